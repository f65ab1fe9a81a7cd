# What `cmake --install` puts in place besides the targets (each target
# installs itself where it is defined): the CMake package and pkg-config
# file for programs using the library, the manual pages, bash completion,
# and the Debian package built from all of it by CPack. Included by the
# top-level CMakeLists.txt after the targets exist.
include(CMakePackageConfigHelpers)

# ---- CMake package: find_package(KQShmLog) -> KQShmLog::kqshmlog --------
set(KQ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KQShmLog)
install(EXPORT KQShmLogTargets
  NAMESPACE KQShmLog::
  DESTINATION ${KQ_CMAKE_PACKAGE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/KQShmLogConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KQShmLogConfig.cmake
  INSTALL_DESTINATION ${KQ_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/KQShmLogConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/KQShmLogConfig.cmake
  ${PROJECT_BINARY_DIR}/KQShmLogConfigVersion.cmake
  DESTINATION ${KQ_CMAKE_PACKAGE_DIR})

# ---- pkg-config: kqshmlog.pc ---------------------------------------------
# The prefix is the one the install actually uses (cmake --install --prefix,
# or /usr under CPack), so the file is written at install time; the rest is
# known now.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KQ_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KQ_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(KQ_PC_PREFIX "@KQ_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kqshmlog.pc.in
  ${PROJECT_BINARY_DIR}/kqshmlog.pc.in @ONLY)
install(CODE "
  set(KQ_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/kqshmlog.pc.in\"
                 \"${PROJECT_BINARY_DIR}/pkgconfig/kqshmlog.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/kqshmlog.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- Manual pages and bash completion ------------------------------------
# Installed compressed, as Debian has them. gzip -9n stores neither name nor
# time stamp, so every build gives the same bytes.
find_program(KQ_GZIP gzip)
mark_as_advanced(KQ_GZIP)
if(NOT KQ_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual pages")
endif()
# kq_gzip(SOURCE OUTPUT): OUTPUT is built as SOURCE compressed.
function(kq_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\""
            ${KQ_GZIP} ${source} ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()
set(KQ_MANPAGES)
foreach(page kqlogreader.1 kqlogger.1)
  kq_gzip(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/${page}.gz)
  list(APPEND KQ_MANPAGES ${PROJECT_BINARY_DIR}/${page}.gz)
endforeach()
add_custom_target(kq_manpages ALL DEPENDS ${KQ_MANPAGES})
install(FILES ${KQ_MANPAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# bash-completion loads a command's completion from a file of its name; one
# script serves both tools.
foreach(tool kqlogreader kqlogger)
  install(FILES completion/kqshmlog.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME ${tool})
endforeach()

if(KQ_BUILD_TESTS)
  add_test(NAME completion_test
    COMMAND bash ${PROJECT_SOURCE_DIR}/completion/completion_test.sh
            $<TARGET_FILE:kqlogreader> $<TARGET_FILE:kqlogger>)
endif()

# ---- systemd unit ---------------------------------------------------------
# examples/kqlogreader-follow@.service names /usr/bin/kqlogreader, where the
# Debian package puts the tool. The installed copy names the kqlogreader of
# the prefix the install really uses (as kqshmlog.pc, written at install
# time), in PREFIX/lib/systemd/system, where systemd looks for /usr and
# /usr/local. A template: nothing runs until an instance is enabled.
set(KQ_UNIT kqlogreader-follow@.service)
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(KQ_UNIT_BINDIR "${CMAKE_INSTALL_BINDIR}")
else()
  set(KQ_UNIT_BINDIR "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
install(CODE "
  file(READ \"${PROJECT_SOURCE_DIR}/examples/${KQ_UNIT}\" kq_unit)
  set(kq_exec \"ExecStart=/usr/bin/kqlogreader \")
  string(FIND \"\${kq_unit}\" \"\${kq_exec}\" kq_at)
  if(kq_at EQUAL -1)
    message(FATAL_ERROR \"examples/${KQ_UNIT} has no line \${kq_exec}...\")
  endif()
  string(REPLACE \"\${kq_exec}\" \"ExecStart=${KQ_UNIT_BINDIR}/kqlogreader \"
         kq_unit \"\${kq_unit}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/systemd/${KQ_UNIT}\" \"\${kq_unit}\")")
install(FILES ${PROJECT_BINARY_DIR}/systemd/${KQ_UNIT}
  DESTINATION lib/systemd/system)

# ---- Debian package: cpack -G DEB ----------------------------------------
set(KQ_PACKAGE_MAINTAINER "KQShmLog developers <kqshmlog@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

# The package's documentation directory: the licence in Debian's
# machine-readable form and the package's change log (a native package's,
# so named changelog.gz), installed by every install.
set(KQ_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/kqshmlog)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
  ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
kq_gzip(${PROJECT_BINARY_DIR}/packaging/changelog
  ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(kq_changelog ALL
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${KQ_PACKAGE_DOCDIR})

set(CPACK_PACKAGE_NAME kqshmlog)
set(CPACK_PACKAGE_CONTACT "${KQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "service logs in shared memory: kqlogreader, kqlogger and library")
# Debian's first description line is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Services keep their log in a System V shared-memory segment: a table of
tags with levels and switches, and a ring of short text records.
kqlogreader prints and follows a service's log and changes its tag levels
and switches in place; kqlogger writes messages into a log. The library
kqshmlog (headers, CMake package and pkg-config file included) gives
programs the same reading and writing interfaces.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The package installs under /usr, where GNUInstallDirs gives the library
# directory Debian expects (lib/<multiarch>) only to a build configured for
# that prefix: cpack -G DEB refuses a build configured for another one.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_KQ_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/KQCPackProject.cmake)
find_program(KQ_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(KQ_DPKG_SHLIBDEPS)
if(KQ_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # kqlogreader --grep links PCRE2's 8-bit library (10.34 or later:
  # invalid UTF-8 in texts).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libpcre2-8-0 (>= 10.34)")
endif()
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # dpkg runs ldconfig once after all packages are in place.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
endif()
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
