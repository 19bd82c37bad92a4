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
