#!/usr/bin/env bash
# The project line loop (line splitter, prefix test, budgeted text) next to `wc -l` on the
# same file.
#
#   bench/project_lines.sh [MEGABYTES]    (default 1000)
#
# Generates AEDT-like project text of that size in a temporary directory (removed afterwards),
# reads it once so that both contenders run from the page cache, then takes the best of five
# runs of `wc -l` and of the loop with each of its kernels.
set -euo pipefail
cd "$(dirname "$0")/.."

megabytes=${1:-1000}
bin=build/project_lines
[ -x "$bin" ] || make build >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/project-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
project=$tmp/project.aedt

echo "generating a ${megabytes} MB project in $tmp"
"$bin" generate "$project" "$megabytes"
bytes=$(stat -c %s "$project")
cat "$project" >/dev/null

best=""
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N)
  lines=$(wc -l <"$project")
  t1=$(date +%s%N)
  ns=$((t1 - t0))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
wc_seconds=$(awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }')

report() {  # name seconds
  awk -v name="$1" -v s="$2" -v b="$bytes" -v w="$wc_seconds" \
    'BEGIN { printf "%-20s %8.4f s %9.0f MB/s %6.2fx wc -l\n", name, s, b / 1e6 / s, s / w }'
}

echo "project: $bytes bytes, $lines lines"
report "wc -l" "$wc_seconds"
for kernel in auto avx2 sse2 portable; do
  out=$("$bin" scan "$project" 5 "$kernel")
  report "line loop ($kernel)" "$(awk '{ print $2 }' <<<"$out")"
done
echo "line loop result: $out"
