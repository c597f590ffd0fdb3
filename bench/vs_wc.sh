#!/usr/bin/env bash
# A line-scanning benchmark (line_bench.hpp) next to `wc -l` on the same file.
#
#   bench/vs_wc.sh NAME MEGABYTES    e.g. bench/vs_wc.sh abaqus_scan 1100
#
# Has build/NAME generate a sample of that size in a temporary directory (removed afterwards),
# reads it once so that both contenders run from the page cache, then takes the best of five
# runs of `wc -l` and of the benchmark with each of its kernels.
set -euo pipefail
cd "$(dirname "$0")/.."

name=$1
megabytes=$2
bin=build/$name
[ -x "$bin" ] || make build >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
sample=$tmp/sample

echo "$name: generating a ${megabytes} MB sample in $tmp"
"$bin" generate "$sample" "$megabytes"
bytes=$(stat -c %s "$sample")
cat "$sample" >/dev/null

best=""
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N)
  lines=$(wc -l <"$sample")
  t1=$(date +%s%N)
  ns=$((t1 - t0))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
wc_seconds=$(awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }')

report() {  # label seconds
  awk -v name="$1" -v s="$2" -v b="$bytes" -v w="$wc_seconds" \
    'BEGIN { printf "%-24s %8.4f s %9.0f MB/s %6.2fx wc -l\n", name, s, b / 1e6 / s, s / w }'
}

echo "sample: $bytes bytes, $lines lines"
report "wc -l" "$wc_seconds"
for kernel in auto avx2 sse2 portable; do
  out=$("$bin" scan "$sample" 5 "$kernel")
  report "$name ($kernel)" "$(awk '{ print $2 }' <<<"$out")"
done
echo "$name found: $(cut -d' ' -f3- <<<"$out")"
