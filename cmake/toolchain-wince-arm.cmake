# Cross-compiles the library's core into a Windows CE DLL for ARM (ARMv4 by default;
# TARVELO_WINCE_ARCH armv4t or armv5te): Debian's arm-linux-gnueabi gcc writes the
# assembly, the arm-mingw32ce tools of scripts/wince-toolchain.sh assemble and link
# (scripts/wince-cc.sh). The image imports only the system's core library and the
# host framework (cmake/TarveloWince.cmake).
#
#   cmake --preset wince-arm
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TARVELO_WINCE ON)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
if(NOT TARVELO_WINCE_TOOLS)
  set(TARVELO_WINCE_TOOLS "$ENV{HOME}/.cache/tarvelo-toolchains/arm-mingw32ce/bin")
  if(DEFINED ENV{XDG_CACHE_HOME})
    set(TARVELO_WINCE_TOOLS "$ENV{XDG_CACHE_HOME}/tarvelo-toolchains/arm-mingw32ce/bin")
  endif()
endif()
set(TARVELO_WINCE_TOOLS "${TARVELO_WINCE_TOOLS}" CACHE PATH "The arm-mingw32ce tools (scripts/wince-toolchain.sh)")
set(CMAKE_AR "${TARVELO_WINCE_TOOLS}/arm-mingw32ce-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${TARVELO_WINCE_TOOLS}/arm-mingw32ce-ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVELO_WINCE_TOOLS)
set(wince_cc "env TARVELO_WINCE_TOOLS=${TARVELO_WINCE_TOOLS} bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/wince-cc.sh")
# The system is neither Linux nor Unix: the code's platform choices see CE.
set(wince_defines "-U__linux__ -U__linux -Ulinux -U__gnu_linux__ -U__unix__ -U__unix -Uunix")
set(CMAKE_C_COMPILE_OBJECT "${wince_cc} gcc ${wince_defines} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
set(CMAKE_CXX_COMPILE_OBJECT "${wince_cc} g++ ${wince_defines} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
set(CMAKE_ASM_COMPILE_OBJECT "${wince_cc} gcc <DEFINES> <INCLUDES> -o <OBJECT> -c <SOURCE>")
