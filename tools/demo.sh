#!/bin/sh
# The main job on a built-in example: a small "backup" holding three
# versions of a tree (this project's own sources plus generated binary-like
# data), encoded, decoded and compared byte for byte.
set -eu
export LC_ALL=C
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/longdup-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Deterministic pseudo-random bytes (awk's generator with a fixed seed).
noise() {
  awk -v n="$1" -v seed="$2" 'BEGIN {
    srand(seed)
    for (i = 0; i < n; i++) printf "%c", int(rand() * 255) + 1
  }'
}

cd "$root"
tar cf "$work/tree.tar" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
  src tests CMakeLists.txt README.md
noise 3000000 1 > "$work/blob1"
noise 1000000 2 > "$work/blob2"
# Version 2 edits a few lines of the sources and replaces one blob.
sed 's/namespace longdup {/namespace longdup {  \/\/ v2/' "$work/tree.tar" > "$work/tree2.tar"
cat "$work/tree.tar" "$work/blob1" "$work/blob2" > "$work/v1"
cat "$work/tree2.tar" "$work/blob1" "$(noise 1000000 3 > "$work/blob3"; echo "$work/blob3")" > "$work/v2"
cat "$work/v1" "$work/v2" "$work/v1" > "$work/example"

size() { wc -c < "$1" | tr -d ' '; }

echo "== encode: longdup e example example.ld"
"$bin" e "$work/example" "$work/example.ld"
echo "== decode: longdup d example.ld example.out"
"$bin" d "$work/example.ld" "$work/example.out"
cmp "$work/example" "$work/example.out"

in=$(size "$work/example")
out=$(size "$work/example.ld")
echo "== example: $in bytes; encoded: $out bytes ($((out * 100 / in))%); decoded: identical"
