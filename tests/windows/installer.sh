#!/usr/bin/env bash
# Runs the Windows installer's tests (tests/installer_test.py) on the installer that
# scripts/package wrote into dist/: its tables, then silent installs, the Start-menu shortcut's
# dialog on a virtual X display, the .pdb verb, upgrades and removal under wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)

source "$top/tests/windows/virtual-display.sh"
source "$top/tests/windows/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT

start=$SECONDS
echo "the installer tests run $WINE_RUNS" >&2
if [ "$WINE_BITS" = 64 ]; then
  (cd "$top" && cmake --preset windows64 >/dev/null && cmake --build --preset windows64 >/dev/null)
fi
python3 "$top/tests/installer_test.py" -v
echo "installer tests took $((SECONDS - start)) s"
