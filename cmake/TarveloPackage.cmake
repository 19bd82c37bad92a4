# A Debian package of the runtime, the tool and the development files, built with
# `cpack -G DEB` from a build directory.
set(CPACK_PACKAGE_NAME "tarvelo-image-tga")
set(CPACK_PACKAGE_VENDOR "The TarveloImageTGA developers")
set(CPACK_PACKAGE_CONTACT "TarveloImageTGA developers <maintainers@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Convert any image file into an uncompressed TGA or 24-bit BMP file")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# Dependencies come from the binaries' own shared-library needs (libc; the C++
# runtime and the decoder are compiled in, so nothing else is needed at run time).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(CMAKE_CROSSCOMPILING)
  # An ARM package built on another machine: its architecture is the target's,
  # and dpkg-shlibdeps cannot read the target's libraries from this machine's
  # package database. The binaries need the C library alone, at most the version
  # they were linked against (Debian 12's); the release script checks that they ask
  # for no symbol version newer than the one declared.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36)")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "TarveloImageTGA turns any image file stb_image reads (JPEG, PNG, BMP, TGA, GIF,\n PSD, PIC, PNM, HDR) into an uncompressed true-colour TGA or 24-bit BMP file,\n byte-exact and without ever leaving a partial file. Includes the\n tarvelo-convert tool, the shared library and its development files.")
include(CPack)
