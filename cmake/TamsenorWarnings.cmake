# Warnings are errors in our own targets only; dependencies' headers come in as system headers.
function(tamsenor_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
                                             -Wshadow)
    # A project that builds us as a subdirectory may use a newer compiler with new warnings.
    if(PROJECT_IS_TOP_LEVEL)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
