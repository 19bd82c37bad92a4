# The Windows CE image (included from src/CMakeLists.txt in the wince-arm build):
# the library's objects, CE's platform slot, module entry and runtime shims, the
# resources, linked by the arm-mingw32ce ld against import libraries made here from
# .def files: COREDLL.dll by name, the host framework by ordinal.
enable_language(ASM)
set(wince_tools ${TARVELO_WINCE_TOOLS})
set(wince_dir ${CMAKE_CURRENT_BINARY_DIR}/wince)
file(MAKE_DIRECTORY ${wince_dir})

add_library(tarvelo_wince_objects OBJECT platform/file_system_wince.cpp module/module_entry_wince.cpp
                                         platform/wince_runtime.cpp platform/wince_runtime.S)
tarvelo_compile_as_library(tarvelo_wince_objects)
target_compile_options(tarvelo_wince_objects PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
set_property(SOURCE platform/wince_runtime.cpp APPEND PROPERTY COMPILE_OPTIONS -fno-builtin)

foreach(import coredll host_framework)
  if(import STREQUAL coredll)
    set(def ${CMAKE_CURRENT_SOURCE_DIR}/platform/coredll.def)
  else()
    set(def ${CMAKE_CURRENT_SOURCE_DIR}/module/host_framework.def)
  endif()
  add_custom_command(OUTPUT ${wince_dir}/lib${import}.a
    COMMAND ${wince_tools}/arm-mingw32ce-dlltool -d ${def} -l ${wince_dir}/lib${import}.a
    DEPENDS ${def} VERBATIM)
endforeach()

add_custom_command(OUTPUT ${wince_dir}/resources.o
  COMMAND ${wince_tools}/arm-mingw32ce-windres --preprocessor=arm-linux-gnueabi-cpp
          --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED
          -I ${CMAKE_CURRENT_SOURCE_DIR} -I ${TARVELO_GENERATED_DIR} -I ${TARVELO_GENERATED_INCLUDE_DIR}
          -i ${CMAKE_CURRENT_SOURCE_DIR}/module/module_resources.rc -o ${wince_dir}/resources.o
  DEPENDS module/module_resources.rc module/module_resources.h ${TARVELO_GENERATED_DIR}/version_numbers.h
  VERBATIM)

set(wince_image ${PROJECT_BINARY_DIR}/bin/TarveloImageTGA.dll)
add_custom_command(OUTPUT ${wince_image}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/bin
  COMMAND ${wince_tools}/arm-mingw32ce-ld --dll --subsystem wince:5.0 --entry TarveloModuleEntry
          --image-base 0x10000000 --gc-sections -s -Map ${wince_dir}/TarveloImageTGA.map
          -o ${wince_image} ${CMAKE_CURRENT_SOURCE_DIR}/TarveloImageTGA_wince.def
          $<TARGET_OBJECTS:tarvelo_objects> $<TARGET_OBJECTS:tarvelo_wince_objects> ${wince_dir}/resources.o
          ${wince_dir}/libhost_framework.a ${wince_dir}/libcoredll.a
  DEPENDS tarvelo_objects tarvelo_wince_objects $<TARGET_OBJECTS:tarvelo_objects>
          $<TARGET_OBJECTS:tarvelo_wince_objects> ${wince_dir}/resources.o ${wince_dir}/libcoredll.a
          ${wince_dir}/libhost_framework.a ${CMAKE_CURRENT_SOURCE_DIR}/TarveloImageTGA_wince.def
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(TarveloImageTGA ALL DEPENDS ${wince_image})
# The compile rule runs scripts/wince-cc.sh: a change to it rebuilds every object.
get_target_property(wince_sources tarvelo_objects SOURCES)
get_target_property(wince_own_sources tarvelo_wince_objects SOURCES)
set_property(SOURCE ${wince_sources} ${wince_own_sources} APPEND PROPERTY OBJECT_DEPENDS
             ${PROJECT_SOURCE_DIR}/scripts/wince-cc.sh)
