# The installed tool runs from its prefix alone: installs the build tree into a
# fresh prefix, moves the prefix elsewhere, and converts a file with the tool there,
# with no LD_LIBRARY_PATH and nothing registered with the loader. The tool finds
# the library through its relative run path.
# -DBUILD_DIR, -DWORK (scratch, emptied), -DBINDIR and -DVERSION.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/installed
                OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed: ${result}")
endif()

set(tool ${WORK}/installed/${BINDIR}/tarvelo-convert)
file(READ_ELF ${tool} RUNPATH run_path RPATH old_run_path CAPTURE_ERROR elf_error)
if(elf_error)
  message(FATAL_ERROR "cannot read ${tool}: ${elf_error}")
endif()
if(NOT run_path MATCHES "^\\$ORIGIN/" OR old_run_path)
  message(FATAL_ERROR "the installed tool's RUNPATH is '${run_path}' (RPATH '${old_run_path}'), "
                      "not one relative to its own place")
endif()

file(RENAME ${WORK}/installed ${WORK}/moved)
set(tool ${WORK}/moved/${BINDIR}/tarvelo-convert)
set(run ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=LD_PRELOAD)

execute_process(COMMAND ${run} ${tool} --version RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT out STREQUAL "tarvelo-convert ${VERSION}")
  message(FATAL_ERROR "installed tool --version: status ${result}, '${out}' ${err}")
endif()

# A 2x1 binary PPM whose pixel bytes are printable, so that CMake can write it.
file(WRITE ${WORK}/in.ppm "P6\n2 1\n255\nABCDEF")
execute_process(COMMAND ${run} ${tool} ${WORK}/in.ppm ${WORK}/out.bmp RESULT_VARIABLE result
                ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "installed tool did not convert: status ${result}: ${err}")
endif()
# 54-byte header and one row of 2 BGR pixels padded to 8 bytes; BMP rows are
# stored bottom-up, one row here, so the pixels are the source's in BGR order.
file(READ ${WORK}/out.bmp bmp HEX)
string(SUBSTRING "${bmp}" 108 -1 pixels)
if(NOT pixels STREQUAL "434241464544" AND NOT pixels STREQUAL "4342414645440000")
  message(FATAL_ERROR "installed tool wrote wrong pixels: ${bmp}")
endif()
file(SIZE ${WORK}/out.bmp size)
if(NOT size EQUAL 62)
  message(FATAL_ERROR "installed tool wrote ${size} bytes, not 62")
endif()
file(REMOVE_RECURSE ${WORK})
