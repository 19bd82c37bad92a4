# Installation: the library with its SONAME chain, the public headers, the tool with
# its man page and shell completion, the documentation, an exported CMake package
# (TarveloImageTGA::TarveloImageTGA) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVELO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TarveloImageTGA)

install(TARGETS TarveloImageTGA EXPORT TarveloImageTGATargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ ${TARVELO_GENERATED_INCLUDE_DIR}/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")

install(EXPORT TarveloImageTGATargets NAMESPACE TarveloImageTGA::
  DESTINATION ${TARVELO_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/TarveloImageTGAConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarveloImageTGAConfig.cmake INSTALL_DESTINATION ${TARVELO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarveloImageTGAConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarveloImageTGAConfig.cmake
              ${PROJECT_BINARY_DIR}/TarveloImageTGAConfigVersion.cmake
  DESTINATION ${TARVELO_CMAKE_DIR} COMPONENT development)

# pkg-config paths, relative to the .pc file's own place so that the installed tree
# can be moved; absolute install dirs are kept as they are.
file(RELATIVE_PATH TARVELO_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TARVELO_PC_UP "${TARVELO_PC_UP}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(TARVELO_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(TARVELO_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/TarveloImageTGA.pc.in
  ${PROJECT_BINARY_DIR}/TarveloImageTGA.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/TarveloImageTGA.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The build tree is a package too, for consumers of an uninstalled tree: CMake finds
# it with CMAKE_PREFIX_PATH (or TarveloImageTGA_DIR) set to the build directory, as
# the config file and its version file sit there beside the exported targets, and
# pkg-config prefers TarveloImageTGA-uninstalled.pc, found with PKG_CONFIG_PATH set
# to the build directory, over any installed TarveloImageTGA.pc.
export(EXPORT TarveloImageTGATargets NAMESPACE TarveloImageTGA::
  FILE ${PROJECT_BINARY_DIR}/TarveloImageTGATargets.cmake)
if(NOT CMAKE_CONFIGURATION_TYPES)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/TarveloImageTGA-uninstalled.pc CONTENT
"# The uninstalled build tree: headers from the source tree (and the generated one from the
# build tree), the library from the build tree.
libdir=$<TARGET_LINKER_FILE_DIR:TarveloImageTGA>
includedir=${PROJECT_SOURCE_DIR}/include
generatedincludedir=${TARVELO_GENERATED_INCLUDE_DIR}

Name: TarveloImageTGA
Description: Converts any image file into an uncompressed TGA or 24-bit BMP file (uninstalled)
Version: ${PROJECT_VERSION}
Cflags: -I\${includedir} -I\${generatedincludedir}
Libs: -L\${libdir} -lTarveloImageTGA
Libs.private: -lm
")
endif()

if(TARGET tarvelo-convert)
  # The installed tool finds the library installed with it from its own place
  # ($ORIGIN/../lib, or the multiarch directory), so that it runs from any prefix,
  # also one outside the loader's path, and from a moved tree. ELF platforms only:
  # on Windows the DLL sits beside the tool.
  if(NOT WIN32 AND NOT APPLE)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
      set(tool_run_path "${CMAKE_INSTALL_FULL_LIBDIR}")
    else()
      file(RELATIVE_PATH tool_run_path /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
      set(tool_run_path "$ORIGIN/${tool_run_path}")
    endif()
    set_target_properties(tarvelo-convert PROPERTIES INSTALL_RPATH "${tool_run_path}")
  endif()
  install(TARGETS tarvelo-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  # Man pages are installed compressed, as Debian does.
  find_program(TARVELO_GZIP gzip)
  set(man_page ${PROJECT_SOURCE_DIR}/docs/tarvelo-convert.1)
  if(TARVELO_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/tarvelo-convert.1.gz
      COMMAND ${TARVELO_GZIP} -9 -n -c ${man_page} > ${PROJECT_BINARY_DIR}/tarvelo-convert.1.gz
      DEPENDS ${man_page} VERBATIM)
    add_custom_target(tarvelo_man_page ALL DEPENDS ${PROJECT_BINARY_DIR}/tarvelo-convert.1.gz)
    set(man_page ${PROJECT_BINARY_DIR}/tarvelo-convert.1.gz)
  endif()
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/tarvelo-convert.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarvelo-convert
    COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
