#!/usr/bin/env bash
# Starts or stops the Wine session that the Windows tests run in; CTest runs it as
# the setup and cleanup of the tests.
# Usage: wine_session.sh start|stop PREFIX [I386_DLL_DIRECTORY (32-bit programs)]
#
# The prefix lives in the build directory (Wine refuses a prefix the user does not
# own). The tests' environment (WINEDEBUG, WINEDLLOVERRIDES, LC_ALL) comes from CTest.
set -euo pipefail
action=$1
export WINEPREFIX=$2

case $action in
  start)
    mkdir -p "$WINEPREFIX"
    # A server left over from an interrupted run of this build would make -w wait forever.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    if [ -n "${3:-}" ]; then
      # 32-bit programs: the prefix, complete (wineboot finishes after the first
      # program has returned), gets Wine's i386 DLLs in its 32-bit system directory
      # (as links), which the 64-bit setup cannot install without a 32-bit loader.
      wine cmd /c exit >/dev/null 2>&1 </dev/null
      wineserver -w
      for dll in "$3"/*; do
        ln -sf "$dll" "$WINEPREFIX/drive_c/windows/syswow64/${dll##*/}"
      done
    fi
    # One persistent server for the whole run, instead of one per test program.
    wineserver -p >/dev/null 2>&1 </dev/null
    # Creates the prefix (about 10 s the first time) and starts Wine's service
    # processes with their output on /dev/null: services that inherited CTest's
    # pipe would keep CTest waiting for ever.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
