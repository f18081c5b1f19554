# Sourced by the Windows test scripts: a wine prefix of the project's own, kept off the desktop.
# Sets WINEPREFIX (created once under build/), WINE_BITS (the width of the programs tested),
# WINE_NATIVE_BITS (the width of the helper programs that `wine` runs without an emulator),
# WINE_PROGRAM (the command that runs such a program as the process it starts, which is what a
# test signals or waits for) and WINE_RUNS (how they run, for the scripts to say), and defines
# start_wine_session, which starts a fresh persistent wine server; the server is stopped when the
# sourcing shell exits.
#
# The shipped program is 32-bit, and it is what the tests run:
# - natively, with Debian's 32-bit wine, where the kernel runs 32-bit code;
# - else under qemu-i386-static (wine-on-qemu.sh), in a 64-bit prefix in which wine itself and
#   its services run natively and only 32-bit programs are emulated;
# - else, without the emulator, the program's 64-bit build (build/windows64) from the same
#   sources, with WINE_BITS 64.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINE_BITS=32
  export WINE_RUNS="the 32-bit program, natively"
  export WINE_PROGRAM=wine WINE_NATIVE_BITS=32
  export WINEPREFIX="$top/build/wine-prefix"
elif command -v qemu-i386-static >/dev/null && [ -x /usr/lib/wine/wine ] &&
     [ -x /usr/lib/wine/wine64 ] && command -v gcc >/dev/null; then
  source "$top/tests/windows/wine-on-qemu.sh"
  export WINE_BITS=32
  export WINE_RUNS="the 32-bit program, under qemu-i386-static (this kernel runs no 32-bit code)"
  export WINE_PROGRAM="$qemu_wine/bin/wine32" WINE_NATIVE_BITS=64
  export WINEPREFIX="$top/build/wine-prefix-wow64"
  export WINEARCH=win64
else
  export WINE_BITS=64
  export WINE_RUNS="the program's 64-bit build (this kernel runs no 32-bit code, and qemu-i386-static is missing)"
  export WINE_PROGRAM=wine WINE_NATIVE_BITS=64
  export WINEPREFIX="$top/build/wine-prefix64"
  export WINEARCH=win64
  export WINELOADER=/usr/lib/wine/wine64
  # Debian's wine script would pick the 32-bit loader, present but not runnable here.
  mkdir -p "$top/build/wine64-bin"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' > "$top/build/wine64-bin/wine"
  chmod +x "$top/build/wine64-bin/wine"
  export PATH="$top/build/wine64-bin:$PATH"
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;winebrowser.exe=d;mscoree=d;mshtml=d"
# wine takes its ANSI code page from the locale, not from the manifest: make it UTF-8, as the
# manifest makes it on Windows.
export LC_ALL=C.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the wine prefix" >&2
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
  # Without a window manager a managed dialog returns late; unmanaged windows do not wait.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
fi

# Starts a new wine session for the DISPLAY now set (or none): wine's desktop process belongs to
# a session, and one started without a display cannot show a later program's windows.
start_wine_session() {
  wineserver -k 2>/dev/null || true
  wineserver -w
  wineserver -p
  # The first program of a session starts wine's own services, which outlive it and would hold
  # on to a test's output pipes: start them here, with nothing to hold.
  wine cmd /c exit </dev/null >/dev/null 2>&1
}
trap 'wineserver -k 2>/dev/null || true' EXIT
