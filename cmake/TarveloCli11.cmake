# CLI11 (the tool's command-line parser) is header-only, from Debian's
# libcli11-dev. As for stb, only its own directory is put on the include path,
# through a link in the build tree: its package file names the whole of
# /usr/include, which a cross build (ARM, Windows) must not see.
find_path(TARVELO_CLI11_DIR NAMES CLI.hpp
          PATHS /usr/include/CLI /usr/local/include/CLI
          NO_CMAKE_FIND_ROOT_PATH
          DOC "Directory holding CLI11's CLI.hpp (Debian: libcli11-dev)")
if(NOT TARVELO_CLI11_DIR)
  message(FATAL_ERROR "CLI/CLI.hpp not found: install Debian's libcli11-dev")
endif()
set(TARVELO_CLI11_LINK_ROOT ${PROJECT_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${TARVELO_CLI11_LINK_ROOT})
file(CREATE_LINK ${TARVELO_CLI11_DIR} ${TARVELO_CLI11_LINK_ROOT}/CLI SYMBOLIC)
if(NOT TARGET CLI11::CLI11)
  add_library(tarvelo_cli11 INTERFACE)
  target_include_directories(tarvelo_cli11 SYSTEM INTERFACE $<BUILD_INTERFACE:${TARVELO_CLI11_LINK_ROOT}>)
  add_library(CLI11::CLI11 ALIAS tarvelo_cli11)
endif()
