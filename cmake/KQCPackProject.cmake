# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE).
# A Debian package of a build configured for another prefix than /usr would
# carry its library in /usr/lib instead of /usr/lib/<multiarch>.
if(CPACK_GENERATOR STREQUAL "DEB" AND
   NOT CPACK_KQ_CONFIGURED_PREFIX MATCHES "^/usr/?$")
  message(FATAL_ERROR
    "the build is configured for ${CPACK_KQ_CONFIGURED_PREFIX}: configure "
    "it with -DCMAKE_INSTALL_PREFIX=/usr to build the Debian package")
endif()
