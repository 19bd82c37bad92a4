#!/usr/bin/env bash
# Starts or stops the Wine session that the Windows tests run in; CTest runs it as
# the setup and cleanup of the tests.
# Usage: wine_session.sh start|stop PREFIX [WINE32_DIRECTORY (32-bit programs)]
#
# The prefix lives in the build directory (Wine refuses a prefix the user does not
# own). The tests' environment (WINEDEBUG, WINEDLLOVERRIDES, LC_ALL) comes from CTest.
# WINE32_DIRECTORY is the private 32-bit Wine of scripts/wine32.sh.
set -euo pipefail
action=$1
export WINEPREFIX=$2
wine32=${3:-}
log=$WINEPREFIX.log  # what Wine said while the session started, shown if it failed

# Runs a Wine command with its output in the log (processes it leaves running would
# hold a pipe open for ever); on failure shows the log, Wine's errors included.
logged() {
  if ! "$@" >"$log" 2>&1 </dev/null; then
    echo "wine session: '$*' failed:" >&2
    cat "$log" >&2
    exit 1
  fi
}

case $action in
  start)
    mkdir -p "$WINEPREFIX"
    # A server left over from an interrupted run of this build would make -w wait forever.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    if [ -n "$wine32" ]; then
      # 32-bit programs: the prefix is made by the 64-bit loader, natively, and
      # then gets Wine's i386 DLLs in its 32-bit system directory (as links),
      # which the 64-bit setup cannot install without a native 32-bit loader.
      # Wine's errors stay on (WINEDEBUG=fixme-all) for the log.
      logged env WINEARCH=win64 WINEDEBUG=fixme-all "$wine32/bin/wine64" wineboot -i
      wineserver -w
      for dll in "$wine32"/lib/i386-linux-gnu/wine/i386-windows/*; do
        ln -sf "$dll" "$WINEPREFIX/drive_c/windows/syswow64/${dll##*/}"
      done
    fi
    # One persistent server for the whole run, instead of one per test program.
    wineserver -p >/dev/null 2>&1 </dev/null
    # Creates the prefix (64-bit programs) and starts Wine's service
    # processes with their output on /dev/null: services that inherited CTest's
    # pipe would keep CTest waiting for ever.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    if [ -n "$wine32" ]; then
      # One 32-bit program start, with Wine's errors on: a 32-bit Wine that cannot
      # start a program fails here with Wine's reason, not later with a silent test.
      logged env WINEDEBUG=fixme-all "$wine32/bin/wine" cmd /c exit
    fi
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    ;;
  *)
    echo "usage: $0 start|stop PREFIX [WINE32_DIRECTORY]" >&2
    exit 2
    ;;
esac
