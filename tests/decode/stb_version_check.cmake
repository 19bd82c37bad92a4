# A stb_image.h of another version than the one the guard mirrors stops the
# configuration with a message naming both versions; the installed one passes.
# -DSOURCE_DIR, -DWORK (scratch, emptied), -DEXPECTED (the version the guard mirrors)
# and -DSTB_DIR (the stb_image.h the build uses).
file(REMOVE_RECURSE ${WORK})
set(probe ${SOURCE_DIR}/tests/decode/stb_version)

function(configure_probe stb_dir name result_var output_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${probe} -B ${WORK}/${name} -G Ninja
                          -DTARVELO_SOURCE_DIR=${SOURCE_DIR} -DTARVELO_STB_DIR=${stb_dir}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${result_var} ${result} PARENT_SCOPE)
  set(${output_var} "${out}${err}" PARENT_SCOPE)
endfunction()

configure_probe(${STB_DIR} installed result output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed stb_image.h was refused:\n${output}")
endif()

# Another version: the first line as stb_image.h carries it, nothing else.
file(WRITE ${WORK}/other/stb_image.h "/* stb_image - v2.99 - public domain image loader */\n")
configure_probe(${WORK}/other other result output)
string(REPLACE "\n" " " output "${output}")
string(REGEX REPLACE " +" " " output "${output}")
if(result EQUAL 0)
  message(FATAL_ERROR "stb_image 2.99 was accepted")
endif()
if(NOT output MATCHES "stb_image 2\\.99" OR NOT output MATCHES "stb_image ${EXPECTED}")
  message(FATAL_ERROR "the refusal does not name both versions:\n${output}")
endif()

# A header without a version line is refused too.
file(WRITE ${WORK}/none/stb_image.h "/* an image loader */\n")
configure_probe(${WORK}/none none result output)
if(result EQUAL 0)
  message(FATAL_ERROR "a stb_image.h without a version line was accepted")
endif()
file(REMOVE_RECURSE ${WORK})
