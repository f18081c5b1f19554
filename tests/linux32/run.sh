#!/usr/bin/env bash
# Builds the static 32-bit Linux program and its unit tests, and runs them natively where the
# kernel runs 32-bit code, else under qemu-i386-static; says which.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
start=$SECONDS
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j2 --target palmconv palmconv_core_tests
build=build/linux32
if "$build/tests/palmconv_core_tests" --gtest_list_tests >/dev/null 2>&1; then
  runner=(); echo "32-bit tests run natively" >&2
else
  runner=(qemu-i386-static); echo "32-bit tests run under qemu-i386-static (the kernel refuses 32-bit code)" >&2
fi
file "$build/palmconv" | grep -q "ELF 32-bit" || { echo "not a 32-bit program" >&2; exit 1; }
"${runner[@]}" "$build/tests/palmconv_core_tests"
# The program tests, less those a static program under emulation cannot take: a preloaded
# library (static programs load none) and address-space limits (the emulator's own heap counts).
skip="test_named_temporary_files_where_unnamed_ones_are_not_had test_stopped_conversion_leaves_nothing_behind test_running_out_of_memory_ends_with_a_message_never_a_signal"
keep=()
for name in $(grep -o '^    def test_[a-z0-9_]*' tests/program_test.py | sed 's/^    def //'); do
  case " $skip " in *" $name "*) ;; *) keep+=(-k "$name") ;; esac
done
PALMCONV_LARGE=1 PALMCONV="${runner[*]} $top/$build/palmconv" python3 tests/program_test.py "${keep[@]}"
echo "32-bit tests took $((SECONDS - start)) s" >&2
