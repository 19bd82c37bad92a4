# TarveloImageTGA from the Windows zip: find_package(TarveloImageTGA CONFIG) with
# CMAKE_PREFIX_PATH or TarveloImageTGA_DIR pointing at the unpacked folder. The DLL
# and the tool sit at the folder's top, the import library in lib/.
get_filename_component(_tarvelo_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

foreach(_tarvelo_file TarveloImageTGA.dll tarvelo-convert.exe lib/TarveloImageTGA.lib include/TarveloImageTGA.h)
  if(NOT EXISTS "${_tarvelo_root}/${_tarvelo_file}")
    set(TarveloImageTGA_FOUND FALSE)
    set(TarveloImageTGA_NOT_FOUND_MESSAGE "${_tarvelo_root}/${_tarvelo_file} is missing: unpack the whole zip")
    unset(_tarvelo_root)
    unset(_tarvelo_file)
    return()
  endif()
endforeach()

if(NOT TARGET TarveloImageTGA::TarveloImageTGA)
  add_library(TarveloImageTGA::TarveloImageTGA SHARED IMPORTED)
  set_target_properties(TarveloImageTGA::TarveloImageTGA PROPERTIES
    IMPORTED_LOCATION "${_tarvelo_root}/TarveloImageTGA.dll"
    IMPORTED_IMPLIB "${_tarvelo_root}/lib/TarveloImageTGA.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_tarvelo_root}/include")
endif()
if(NOT TARGET TarveloImageTGA::tarvelo-convert)
  add_executable(TarveloImageTGA::tarvelo-convert IMPORTED)
  set_target_properties(TarveloImageTGA::tarvelo-convert PROPERTIES
    IMPORTED_LOCATION "${_tarvelo_root}/tarvelo-convert.exe")
endif()
unset(_tarvelo_root)
unset(_tarvelo_file)
