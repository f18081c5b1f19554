#!/usr/bin/env bash
# Runs the Windows program's tests under wine, with a virtual X display for the dialog:
# its resources and imports, the program test table, and the real file-open dialog.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
exe="$top/build/windows/palmconv.exe"

source "$top/tests/windows/virtual-display.sh"
source "$top/tests/windows/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT

start=$SECONDS
# The shipped program as a file: 32-bit, its imports, its resources.
python3 "$top/tests/windows/resources_test.py" "$exe"
echo "the Windows tests run $WINE_RUNS" >&2
if [ "$WINE_BITS" = 64 ]; then
  (cd "$top" && cmake --preset windows64 >/dev/null && cmake --build --preset windows64)
  exe="$top/build/windows64/palmconv.exe"
fi
# The program tests run without a graphical session, as on a server; the dialog test with one.
(unset DISPLAY; start_wine_session; PALMCONV="$WINE_PROGRAM $exe" python3 "$top/tests/program_test.py")
start_wine_session
PALMCONV="$WINE_PROGRAM $exe" python3 "$top/tests/windows/dialog_test.py"
# A program that wine runs without an emulator holds old outputs open.
hold="$top/build/windows-tests/hold_file.exe"
mkdir -p "$(dirname "$hold")"
compiler=$([ "$WINE_NATIVE_BITS" = 64 ] && echo x86_64 || echo i686)-w64-mingw32-g++
"$compiler" -O2 -static -o "$hold" "$top/tests/windows/hold_file.cpp"
# These stop conversions part way with Ctrl+C and kills at chosen moments, which an emulated
# program answers late or not at all now and then: where the program is emulated, its 64-bit
# build, from the same sources, runs them natively.
held_program="$WINE_PROGRAM $exe"
if [ "$WINE_BITS" = 32 ] && [ "$WINE_NATIVE_BITS" = 64 ]; then
  echo "the held-output tests run the program's 64-bit build: an emulated program answers signals unreliably" >&2
  (cd "$top" && cmake --preset windows64 >/dev/null && cmake --build --preset windows64 >/dev/null)
  held_program="wine $top/build/windows64/palmconv.exe"
fi
PALMCONV="$held_program" HOLD_FILE="$hold" python3 "$top/tests/windows/held_output_test.py"
echo "windows tests took $((SECONDS - start)) s"
