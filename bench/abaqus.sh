#!/usr/bin/env bash
# Abaqus deck scanner throughput next to `wc -l` on the same file.
#
#   bench/abaqus.sh [MEGABYTES]    (default 1100)
#
# Generates a deck of that size in a temporary directory (removed afterwards), reads it once
# so that both contenders run from the page cache, then takes the best of five runs of
# `wc -l` and of the scanner with each of its block kernels.
set -euo pipefail
cd "$(dirname "$0")/.."

megabytes=${1:-1100}
bin=build/abaqus_scan
[ -x "$bin" ] || make build >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/abaqus-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
deck=$tmp/deck.inp

echo "generating a ${megabytes} MB deck in $tmp"
"$bin" generate "$deck" "$megabytes"
bytes=$(stat -c %s "$deck")
cat "$deck" >/dev/null

best=""
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N)
  lines=$(wc -l <"$deck")
  t1=$(date +%s%N)
  ns=$((t1 - t0))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
wc_seconds=$(awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }')

report() {  # name seconds
  awk -v name="$1" -v s="$2" -v b="$bytes" -v w="$wc_seconds" \
    'BEGIN { printf "%-16s %8.4f s %9.0f MB/s %6.2fx wc -l\n", name, s, b / 1e6 / s, s / w }'
}

echo "deck: $bytes bytes, $lines lines"
report "wc -l" "$wc_seconds"
for kernel in auto avx2 sse2 portable; do
  out=$("$bin" scan "$deck" 5 "$kernel")
  report "scanner ($kernel)" "$(awk '{ print $2 }' <<<"$out")"
done
echo "scanner result: $out"
