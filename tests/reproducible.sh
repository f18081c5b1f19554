#!/usr/bin/env bash
# Builds the last commit's release files twice, from clean clones built as differently as two
# builders may, and fails, showing how, unless every file comes out the same, bit for bit.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$top" rev-parse HEAD)
start=$SECONDS

first=$(mktemp -d)
if [ -d /dev/shm ] && [ -w /dev/shm ]; then second=$(mktemp -d -p /dev/shm); else second=$(mktemp -d); fi
trap 'rm -rf "$first" "$second"' EXIT
echo "building $commit in $first and $second"

# A French locale of the test's own, so that the machine needs none installed.
mkdir -p "$second/locales"
localedef -i fr_FR -f UTF-8 "$second/locales/fr_FR.UTF-8" 2>/dev/null ||
  { echo "localedef could not make fr_FR.UTF-8 (the locales package is missing)" >&2; exit 1; }

# The second build differs from the first in folder (on /dev/shm's file system where it can),
# clock (400 days ahead), umask, locale, time zone and HOME.
build() {  # FOLDER UMASK CLOCK ENVIRONMENT...
  local folder=$1 mask=$2 clock=$3 began=$SECONDS
  shift 3
  (
    umask "$mask"
    mkdir -p "$folder/home"
    git clone -q "$top" "$folder/palmconv"
    git -C "$folder/palmconv" checkout -q "$commit"
    cd "$folder/palmconv"
    if [ "$clock" = now ]; then
      env HOME="$folder/home" "$@" scripts/package
    else
      # The monotonic clock stays true, for the tools that time themselves with it.
      env HOME="$folder/home" FAKETIME_DONT_FAKE_MONOTONIC=1 "$@" faketime -f "$clock" scripts/package
    fi
  ) >"$folder/package.log" 2>&1 || { cat "$folder/package.log" >&2; echo "the build in $folder failed" >&2; exit 1; }
  echo "built in $folder in $((SECONDS - began)) s"
}

build "$first" 022 now LANG=C.UTF-8 LC_ALL=C.UTF-8 TZ=UTC
build "$second" 077 +400d LOCPATH="$second/locales" LANG=fr_FR.UTF-8 LC_ALL=fr_FR.UTF-8 \
  TZ=Pacific/Chatham

failed=0
for log in "$first/package.log" "$second/package.log"; do
  lines=$(grep -c '^not signed: ' "$log" || true)
  if [ "$lines" != 1 ]; then
    echo "an unsigned build says so in $lines lines, not one ($log):" >&2
    cat "$log" >&2
    failed=1
  fi
done

a=$first/palmconv/dist
b=$second/palmconv/dist
if [ "$(ls "$a")" != "$(ls "$b")" ]; then
  echo "the builds made different files:" >&2
  diff <(ls "$a") <(ls "$b") >&2 || true
  failed=1
fi

# Shows how two release files differ.
explain() {  # A B
  if command -v diffoscope >/dev/null; then
    diffoscope --text - "$1" "$2" | head -n 200 || true
    return
  fi
  cmp -l "$1" "$2" | head -n 20 || true
  local x=$first/explain y=$second/explain
  rm -rf "$x" "$y"
  mkdir -p "$x" "$y"
  case $1 in
    *.zip)
      diff <(zipinfo -v "$1" | tail -n +2) <(zipinfo -v "$2" | tail -n +2) | head -n 60 || true
      unzip -q "$1" -d "$x" && unzip -q "$2" -d "$y" ;;
    *.deb)
      diff <(dpkg-deb -I "$1") <(dpkg-deb -I "$2") || true
      diff <(dpkg-deb -c "$1") <(dpkg-deb -c "$2") || true
      dpkg-deb -R "$1" "$x/tree" && dpkg-deb -R "$2" "$y/tree" ;;
    *.msi)
      diff <(msiinfo suminfo "$1") <(msiinfo suminfo "$2") || true
      msiextract -C "$x" "$1" >/dev/null && msiextract -C "$y" "$2" >/dev/null ;;
  esac
  diff -r "$x" "$y" | head -n 40 || true
}

for name in $(ls "$a"); do
  [ -f "$b/$name" ] || continue
  if cmp -s "$a/$name" "$b/$name"; then
    echo "same: $name ($(sha256sum <"$a/$name" | cut -c1-16)…)"
  else
    echo "DIFFERENT: $name" >&2
    explain "$a/$name" "$b/$name" >&2
    failed=1
  fi
done

# No path of either build in the programs, built or shipped, nor in anything the release holds.
for folder in "$first" "$second"; do
  tree=$folder/palmconv
  unpacked=$folder/unpacked
  mkdir -p "$unpacked"
  for zip in "$tree"/dist/*.zip; do unzip -q "$zip" -d "$unpacked/$(basename "$zip")"; done
  dpkg-deb -x "$tree"/dist/*.deb "$unpacked/deb"
  mkdir -p "$unpacked/msi"
  msiextract -C "$unpacked/msi" "$tree"/dist/*.msi >/dev/null
  for file in "$tree/build/package/palmconv" "$tree/build/windows/palmconv.exe" \
    "$tree/build/web/palmconv_web.wasm" "$tree/build/web/palmconv_web.js" \
    "$tree/build/web/site/index.html" $(find "$unpacked" -type f); do
    for path in "$first" "$second"; do
      if strings -a "$file" | grep -qF "$path"; then
        echo "$file holds the build's path $path:" >&2
        strings -a "$file" | grep -F "$path" | head -n 5 >&2
        failed=1
      fi
    done
  done
done

echo "reproducibility test took $((SECONDS - start)) s"
[ "$failed" = 0 ] || { echo "the two builds differ" >&2; exit 1; }
echo "the two builds are the same"
