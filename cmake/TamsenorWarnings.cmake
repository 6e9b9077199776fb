# Warnings are errors in our own targets only; dependencies' headers come in as system headers.
function(tamsenor_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
                                             -Wshadow -Werror)
  endif()
endfunction()
