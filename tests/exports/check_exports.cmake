# Checks that the Linux shared library exports exactly the functions the Windows
# module-definition file lists, so that both platforms offer the same API and no
# internal symbol leaks out.
# Usage: cmake -DNM=<nm> -DLIBRARY=<lib.so> -DDEF_FILE=<file.def> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE nm_output RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" nm_lines "${nm_output}")
set(exported)
foreach(line IN LISTS nm_lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()

file(STRINGS ${DEF_FILE} def_lines)
set(listed)
foreach(line IN LISTS def_lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+@[0-9]+")
    list(APPEND listed ${CMAKE_MATCH_1})
  endif()
endforeach()

list(SORT exported)
list(SORT listed)
if(NOT exported STREQUAL listed OR listed STREQUAL "")
  message(FATAL_ERROR "exports differ\n  shared library: ${exported}\n  module definition: ${listed}")
endif()
message(STATUS "exports: ${exported}")
