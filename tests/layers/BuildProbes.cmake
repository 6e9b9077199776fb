# Builds each probe target in BUILD_DIR; PROBES holds <target>:<allowed|wrong>:<header>. An allowed
# probe must build; a wrong one must fail, and for its header missing, not for anything else.
set(failures 0)
foreach(probe IN LISTS PROBES)
  string(REPLACE ":" ";" probe ${probe})
  list(GET probe 0 target)
  list(GET probe 1 verdict)
  list(GET probe 2 header)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX MATCH "[^\n]*${header}'?:? (No such file or directory|file not found)" missing
         "${output}")
  if(verdict STREQUAL "allowed" AND NOT result EQUAL 0)
    message(SEND_ERROR "${target}: ${header} is allowed and did not build:\n${output}")
  elseif(verdict STREQUAL "wrong" AND (result EQUAL 0 OR NOT missing))
    message(SEND_ERROR "${target}: ${header} must be out of reach:\n${output}")
  else()
    message(STATUS "${target}: ${verdict}: ${header}: ${missing}")
  endif()
endforeach()
