#!/usr/bin/env bash
# Times palmconv against `cat IN > OUT` and `dd if=IN bs=1M > OUT` on the same files, in both
# page-cache states, with CPU time and peak memory, for new outputs and for old outputs replaced;
# where the program's time goes (starting, reading, writing); then the ways the input could be
# read and the floors any conversion stands on, side by side.
#   usage: bench/run.sh [WORK_FOLDER]   (default: build/bench-data)
#
# Every program is started by the same small launcher, which opens the output file for the
# copier's standard output and execs the program, with no shell (hyperfine -N): a shell costs
# more than converting a typical e-book. Each run writes a new output. The input is in the page
# cache in one of two states: "read back" (dropped with posix_fadvise, then read back in, as a
# file that was on the disk before), and "fresh" (just written).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps" build bench
(cd "$top" && cmake --preset native >/dev/null && cmake --build --preset native >/dev/null &&
  cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
palmconv="$top/build/native/palmconv"
launch="$top/build/bench/bench/launch"
cat_bin=$(command -v cat)
dd_bin=$(command -v dd)
ways="$top/build/bench/bench/copy_ways"
work=${1:-$top/build/bench-data}
mkdir -p "$work"
# No graphical session: nothing is opened after a conversion.
unset DISPLAY WAYLAND_DISPLAY

echo "== core micro-benchmarks (in memory)"
"$top/build/bench/bench/palmconv_core_bench" --benchmark_min_time=0.2

declare -A records=([ebook-150k]=36 [64m]=16383 [256m]=65534)
names=(ebook-150k 64m 256m)
for name in "${names[@]}"; do
  [ -f "$work/$name.pdb" ] || python3 "$top/bench/make_database.py" "$work/$name.pdb" "${records[$name]}"
done

read_back() {  # drops the file from the page cache, then reads it back in
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.fsync(fd)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
  "$cat_bin" "$1" >/dev/null
}
fresh() {  # writes the file anew, so that the page cache holds it as just written
  cp "$1" "$1.new" && mv "$1.new" "$1"
}
peak_kib() {  # peak resident set of one run of the command given, in KiB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

compare() {  # name state replace(0|1): one table row, palmconv against cat and dd
  local name=$1 state=$2 replace=$3 in="$work/$1.pdb"
  "$state" "$in"
  local runs
  runs=$([ "$name" = ebook-150k ] && echo 500 || echo 30)
  # Each run starts with nothing left to write back, so that no run pays for an earlier one's;
  # an old output is either removed first or left to be replaced.
  local prepare="rm -f $work/$name.hdb $work/$name.copy $work/$name.dd; sync"
  [ "$replace" = 1 ] && prepare="touch $work/$name.hdb $work/$name.copy $work/$name.dd; sync"
  hyperfine -N --style none --warmup 5 --runs "$runs" \
    --prepare "sh -c '$prepare'" \
    --export-json "$work/$name.json" \
    -n palmconv "$launch /dev/null $palmconv $in" \
    -n cat "$launch $work/$name.copy $cat_bin $in" \
    -n dd "$launch $work/$name.dd $dd_bin if=$in bs=1M status=none" >/dev/null 2>&1
  local rss
  rss=$(peak_kib "$palmconv" "$in")
  python3 - "$name" "$state" "$work/$name.json" "$rss" <<'PY'
import json, sys
name, state, results, rss = sys.argv[1:]
r = {x["command"]: x for x in json.load(open(results))["results"]}
wall = {k: v["median"] for k, v in r.items()}
cpu = {k: v["user"] + v["system"] for k, v in r.items()}
ms = lambda s: "%.2f ms" % (s * 1000)
print("| %s | %s | %s | %s | %s | %.2f | %.2f | %.2f | %.2f | %.1f MiB |" % (
    name, state.replace("_", " "), ms(wall["palmconv"]), ms(wall["cat"]), ms(wall["dd"]),
    wall["palmconv"] / wall["cat"], wall["palmconv"] / wall["dd"],
    cpu["palmconv"] / cpu["cat"], cpu["palmconv"] / cpu["dd"], int(rss) / 1024))
PY
}

split() {  # name state: where one conversion's time goes, all three from one program
  local name=$1 state=$2 in="$work/$1.pdb" runs
  "$state" "$in"
  runs=$([ "$name" = ebook-150k ] && echo 300 || echo 20)
  : > "$work/empty.pdb"
  hyperfine -N -i --style none --warmup 5 --runs "$runs" \
    --prepare "sh -c 'rm -f $work/ways.hdb; sync'" \
    --export-json "$work/split.json" \
    -n start "$launch /dev/null $ways read 1048576 $work/empty.pdb $work/ways.hdb" \
    -n read "$launch /dev/null $ways read-only 1048576 $in $work/ways.hdb" \
    -n whole "$launch /dev/null $ways read 1048576 $in $work/ways.hdb" >/dev/null 2>&1
  python3 - "$name" "$state" "$work/split.json" <<'PY'
import json, sys
name, state, results = sys.argv[1:]
r = {x["command"]: x["median"] * 1000 for x in json.load(open(results))["results"]}
print("| %s | %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms |" % (
    name, state.replace("_", " "), r["start"], r["read"] - r["start"],
    r["whole"] - r["read"], r["whole"]))
PY
}

header='| input | page cache | palmconv | cat | dd bs=1M | / cat | / dd | CPU / cat | CPU / dd | palmconv peak RSS |'
rule='|---|---|---|---|---|---|---|---|---|---|'
echo
echo "== new outputs: whole program against cat and dd (wall: median; CPU: mean user + sys)"
printf '\n%s\n%s\n' "$header" "$rule"
for name in "${names[@]}"; do
  for state in read_back fresh; do compare "$name" "$state" 0; done
done

echo
echo "== old outputs replaced whole, against cat and dd writing over an old file"
printf '\n%s\n%s\n' "$header" "$rule"
for name in ebook-150k 256m; do
  for state in read_back fresh; do compare "$name" "$state" 1; done
done

echo
echo "== where the time goes (medians), timed in copy_ways, which converts as the program does:"
echo "   starting (a run refused at once), reading the input and laying out the blocks (nothing"
echo "   written), writing the output"
printf '\n| input | page cache | start | reading | writing | whole |\n|---|---|---|---|---|---|\n'
for name in "${names[@]}"; do
  for state in read_back fresh; do split "$name" "$state"; done
done

echo
echo "== ways of reading the input, and the floors, 256m (wall: median of 20): the program reads"
echo "   it the 'read' way; dd and dd-shifted write no database: the second lands every byte 2"
echo "   bytes on, as a record's bytes land behind its prefix; gather reads aligned and writes the"
echo "   records behind their prefixes in one gathered write per block"
in="$work/256m.pdb"
printf '\n| way | block | read back | fresh |\n|---|---|---|---|\n'
for way in "dd 1048576" "dd-shifted 1048576" "gather 1048576" "mapped 1048576" "read 262144" \
           "read 1048576" "read 4194304"; do
  set -- $way
  cells=()
  for state in read_back fresh; do
    "$state" "$in"
    hyperfine -N --style none --warmup 3 --runs 20 \
      --prepare "sh -c 'rm -f $work/ways.hdb; sync'" --export-json "$work/ways.json" \
      "$ways $1 $2 $in $work/ways.hdb" >/dev/null 2>&1
    cells+=("$(python3 -c 'import json,sys; print("%.1f ms" % (json.load(open(sys.argv[1]))["results"][0]["median"] * 1000))' "$work/ways.json")")
  done
  printf '| %s | %d KiB | %s | %s |\n' "$1" $(($2 / 1024)) "${cells[0]}" "${cells[1]}"
done
rm -f "$work"/*.copy "$work"/*.dd "$work"/*.hdb "$work/empty.pdb"
