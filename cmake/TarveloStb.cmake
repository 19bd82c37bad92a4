# stb_image comes from the system's libstb-dev package; it is never copied into this
# repository. Its implementation is compiled into the library from the installed
# header in one translation unit, with hidden symbols.
#
# Only the stb directory is put on the include path (through a link in the build
# tree), never the whole of /usr/include: a cross build must not see the host's
# C library headers.
find_path(TARVELO_STB_DIR NAMES stb_image.h stb_image_write.h
          PATHS /usr/include/stb /usr/local/include/stb
          NO_CMAKE_FIND_ROOT_PATH
          DOC "Directory holding stb_image.h (Debian: libstb-dev)")
if(NOT TARVELO_STB_DIR)
  message(FATAL_ERROR "stb_image.h not found: install Debian's libstb-dev")
endif()

# The input guard mirrors this stb_image's reading byte for byte (src/guard/), so a
# different stb_image.h could decode what the guard lets through in ways it never
# checked: another version stops the configuration. Moving to a new version means
# reviewing the guard against its decoder, then changing this line.
set(TARVELO_STB_IMAGE_VERSION 2.27)
file(STRINGS ${TARVELO_STB_DIR}/stb_image.h stb_version_line REGEX "stb_image - v[0-9]" LIMIT_COUNT 1)
if(stb_version_line MATCHES "stb_image - v([0-9][0-9.]*[0-9])")
  set(stb_found_version ${CMAKE_MATCH_1})
else()
  set(stb_found_version "unknown (no \"stb_image - vX.YY\" line)")
endif()
if(NOT stb_found_version STREQUAL TARVELO_STB_IMAGE_VERSION)
  message(FATAL_ERROR "${TARVELO_STB_DIR}/stb_image.h is stb_image ${stb_found_version}, but the input "
    "guard mirrors the decoder of stb_image ${TARVELO_STB_IMAGE_VERSION} byte for byte. Install that "
    "version (Debian 12's libstb-dev) or point TARVELO_STB_DIR at it.")
endif()

set(TARVELO_STB_LINK_ROOT ${PROJECT_BINARY_DIR}/stb-include)
file(MAKE_DIRECTORY ${TARVELO_STB_LINK_ROOT})
file(CREATE_LINK ${TARVELO_STB_DIR} ${TARVELO_STB_LINK_ROOT}/stb SYMBOLIC)
add_library(tarvelo_stb INTERFACE)
target_include_directories(tarvelo_stb SYSTEM INTERFACE $<BUILD_INTERFACE:${TARVELO_STB_LINK_ROOT}>)

# The decoder's translation unit is compiled at -O3 in every optimised build,
# whatever the build type's own level (RelWithDebInfo and distribution builds use
# -O2), so that every optimised build, a distribution's included, gets the same
# decoder as the one the comparison measures (bench/compare.py compares it with the
# header at -O2 and with Debian's prebuilt libstb.a; bench/RESULTS.md). The target
# architecture stays the baseline (no -march), and Debug builds keep their own level.
function(tarvelo_compile_decoder source)
  if(NOT MSVC)
    set_property(SOURCE ${source} APPEND PROPERTY COMPILE_OPTIONS $<$<NOT:$<CONFIG:Debug>>:-O3>)
  endif()
endfunction()
