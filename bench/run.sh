#!/usr/bin/env bash
# Times palmconv against a plain copy of the same files in one run, and reports peak memory.
# usage: bench/run.sh [WORK_FOLDER]   (default: build/bench-data)
#
# Two plain copies are timed: `cat IN > OUT`, which current coreutils does inside the kernel
# (copy_file_range), and `dd bs=256K`, a copy through read and write as palmconv must do it,
# since it puts a length prefix before every record.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps" build bench
(cd "$top" && cmake --preset native >/dev/null && cmake --build --preset native >/dev/null &&
  cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
palmconv="$top/build/native/palmconv"
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

peak_kib() {  # peak resident set of one run of the command given, in KiB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

# "new": no output exists before each run. "replace": the output of the run before is replaced;
# palmconv renames a complete file over it (atomic), cat and dd truncate and rewrite it.
echo
echo "== whole program against plain copies (medians)"
printf '\n| case | input | size | palmconv | cat | palmconv/cat | dd bs=256K | palmconv/dd | palmconv peak RSS | cat peak RSS |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
for case in new replace; do
  for name in "${names[@]}"; do
    in="$work/$name.pdb"
    runs=$([ "$name" = ebook-150k ] && echo 200 || echo 20)
    prepare=true
    [ "$case" = new ] && prepare="rm -f $work/$name.hdb $work/$name.copy"
    hyperfine --style none --warmup 3 --runs "$runs" --prepare "$prepare" --export-json "$work/$name.json" \
      -n palmconv "$palmconv $in" -n cat "cat $in > $work/$name.copy" \
      -n dd "dd if=$in of=$work/$name.copy bs=256K status=none" >/dev/null 2>&1
    rss_conv=$(peak_kib "$palmconv" "$in")
    rss_cat=$(peak_kib sh -c "cat $in > $work/$name.copy")
    python3 - "$case" "$name" "$(stat -c %s "$in")" "$work/$name.json" "$rss_conv" "$rss_cat" <<'PY'
import json, sys
case, name, size, results, rss_conv, rss_cat = sys.argv[1:]
m = {r["command"]: r["median"] for r in json.load(open(results))["results"]}
ms = lambda s: "%.2f ms" % (s * 1000)
print("| %s | %s | %.1f MiB | %s | %s | %.2f | %s | %.2f | %.1f MiB | %.1f MiB |" % (
    case, name, int(size) / 2**20, ms(m["palmconv"]), ms(m["cat"]), m["palmconv"] / m["cat"],
    ms(m["dd"]), m["palmconv"] / m["dd"], int(rss_conv) / 1024, int(rss_cat) / 1024))
PY
  done
done
rm -f "$work"/*.copy "$work"/*.hdb
