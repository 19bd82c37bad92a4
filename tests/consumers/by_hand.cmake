# The README's compile by hand against a build tree: the source tree's and the build
# tree's include directories, the library's directory and a run path. The example
# host then converts once, reading the layout from an extension in any case, and
# once through the export. -DCC, -DSOURCE_DIR, -DBUILD_DIR, -DWORK (scratch, emptied).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Werror -I${SOURCE_DIR}/include -I${BUILD_DIR}/include
                        ${SOURCE_DIR}/examples/convert_from_c.c -L${BUILD_DIR}/src -lTarveloImageTGA
                        -Wl,-rpath,${BUILD_DIR}/src -o ${WORK}/host
                RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the documented compile failed: ${err}")
endif()

# A 2x1 binary PPM whose pixel bytes are printable, so that CMake can write it.
file(WRITE ${WORK}/in.ppm "P6\n2 1\n255\nABCDEF")
function(run expected_status expected_out)
  execute_process(COMMAND ${WORK}/host ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL expected_status OR NOT out STREQUAL expected_out)
    message(FATAL_ERROR "host ${ARGN}: status ${status}, out '${out}', err '${err}'")
  endif()
endfunction()
function(expect_file name size signature)
  file(SIZE ${WORK}/${name} actual_size)
  file(READ ${WORK}/${name} head LIMIT 2)
  if(NOT actual_size EQUAL size OR (signature AND NOT head STREQUAL signature))
    message(FATAL_ERROR "${name}: ${actual_size} bytes starting '${head}'")
  endif()
endfunction()

run(0 "converted ${WORK}/in.ppm to ${WORK}/OUT.BMP\n" ${WORK}/in.ppm ${WORK}/OUT.BMP)
expect_file(OUT.BMP 62 BM)  # 54 + a row of 6 bytes padded to 8
run(0 "converted ${WORK}/in.ppm to ${WORK}/out.Tga\n" ${WORK}/in.ppm ${WORK}/out.Tga)
expect_file(out.Tga 24 "")  # 18 + 2 pixels of 3 bytes
run(0 "export returned 999\n" --export ${WORK}/in.ppm ${WORK}/export.bmp)
expect_file(export.bmp 62 BM)
run(2 "" ${WORK}/in.ppm ${WORK}/out.png)
if(EXISTS ${WORK}/out.png)
  message(FATAL_ERROR "a destination the host refused was written")
endif()
