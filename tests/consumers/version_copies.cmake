# Every copy of the version a user or a build system reads agrees with the project
# version: the installed .pc, the CMake package's version file and generated header,
# the man page, and the Python package's metadata and __version__ (kept in python/ because pip
# builds the package without CMake). The C calls and the tool's --version are
# checked by the module and cli tests, the DLL's version record by dll.image.
# -DVERSION, -DPREFIX (installed), -DLIBDIR, -DINCLUDEDIR, -DSOURCE_DIR,
# -DPYTHON (may be empty) and -DLIBRARY (the built library file).
set(failures "")
macro(expect what actual)
  if(NOT "${actual}" STREQUAL "${VERSION}")
    string(APPEND failures "\n  ${what}: '${actual}'")
  endif()
endmacro()

file(STRINGS ${PREFIX}/${LIBDIR}/pkgconfig/TarveloImageTGA.pc line REGEX "^Version:")
string(REGEX REPLACE "^Version: *" "" pc "${line}")
expect("TarveloImageTGA.pc" "${pc}")

set(PACKAGE_FIND_VERSION ${VERSION})
include(${PREFIX}/${LIBDIR}/cmake/TarveloImageTGA/TarveloImageTGAConfigVersion.cmake)
expect("TarveloImageTGAConfigVersion.cmake" "${PACKAGE_VERSION}")

file(STRINGS ${PREFIX}/${INCLUDEDIR}/TarveloVersionNumbers.h line REGEX "^#define TARVELO_VERSION_STRING ")
string(REGEX REPLACE "^#define TARVELO_VERSION_STRING \"(.*)\"$" "\\1" header "${line}")
expect("TarveloVersionNumbers.h" "${header}")

file(STRINGS ${SOURCE_DIR}/docs/tarvelo-convert.1 line REGEX "^\\.TH " LIMIT_COUNT 1)
string(REGEX REPLACE ".*\"TarveloImageTGA ([^\"]*)\".*" "\\1" man_page "${line}")
expect("docs/tarvelo-convert.1 (.TH)" "${man_page}")

# pyproject.toml takes the version from tarvelo/_version.py.
file(READ ${SOURCE_DIR}/python/pyproject.toml pyproject)
if(NOT pyproject MATCHES "dynamic = \\[\"version\"\\]" OR
   NOT pyproject MATCHES "version = {attr = \"tarvelo\\._version\\.__version__\"}")
  string(APPEND failures "\n  pyproject.toml does not take its version from tarvelo._version")
endif()
file(STRINGS ${SOURCE_DIR}/python/tarvelo/_version.py line REGEX "^__version__ = ")
string(REGEX REPLACE "^__version__ = \"(.*)\"$" "\\1" python_file "${line}")
expect("python/tarvelo/_version.py" "${python_file}")

if(PYTHON)
  # The package as Python imports it, against this build's library.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${SOURCE_DIR}/python PYTHONDONTWRITEBYTECODE=1
                          TARVELO_LIBRARY=${LIBRARY}
                          ${PYTHON} -c "import tarvelo; print(tarvelo.__version__, tarvelo.library_version())"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    string(APPEND failures "\n  import tarvelo failed: ${err}")
  else()
    separate_arguments(parts UNIX_COMMAND "${out}")
    list(GET parts 0 python_version)
    list(GET parts 1 library_version)
    expect("tarvelo.__version__" "${python_version}")
    expect("tarvelo.library_version()" "${library_version}")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "copies of the version differ from the project's ${VERSION}:${failures}")
endif()
