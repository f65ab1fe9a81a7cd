# Strict warnings for a target of ours; errors as well when KQ_WERROR is on.
function(kq_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2)
  if(KQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
