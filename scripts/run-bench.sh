#!/usr/bin/env bash
# `make bench`: runs every Google Benchmark program of bench/ and `velloc bench`, prints
# one table of every figure (each a ratio against a baseline of the same run) and writes
# it as JSON. See BENCHMARKS.md.
#
#   scripts/run-bench.sh [velloc bench options, e.g. --quick or --only 1,5]
#
# VELLOC_BUILD      build directory holding the programs (default build/default)
# VELLOC_BENCH_OUT  where results.json, the programs' own output and the image files go
#                   (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELLOC_BUILD:-build/default}
out=${VELLOC_BENCH_OUT:-build/bench}
velloc="$build/agent/velloc"
if [ ! -x "$velloc" ]; then
  echo "run-bench: $velloc is missing: build first (make build)" >&2
  exit 2
fi
mkdir -p "$out/micro" "$out/work"
# The programs that keep an image file keep it with the others.
export VELLOC_BENCH_IMAGE=${VELLOC_BENCH_IMAGE:-$out/work/block-1g.img}
export VELLOC_BENCH_PART_IMAGE=${VELLOC_BENCH_PART_IMAGE:-$out/work/part-1g.img}
export VELLOC_BENCH_WRITE_IMAGE=${VELLOC_BENCH_WRITE_IMAGE:-$out/work/write.img}

start=$(date +%s)
micro=()
shopt -s nullglob
for prog in "$build"/bench/velloc_bench_*; do
  [ -x "$prog" ] || continue
  name=$(basename "$prog")
  json="$out/micro/$name.json"
  rm -f "$json"
  echo "run-bench: $name" >&2
  # Each program is bounded, so one that hangs cannot hold the whole run.
  if ! timeout 150 "$prog" --benchmark_out="$json" --benchmark_out_format=json >"$out/micro/$name.log" 2>&1; then
    echo "run-bench: $name failed; its output is in $out/micro/$name.log" >&2
  fi
  micro+=(--micro "$json")
done
if [ ${#micro[@]} -eq 0 ]; then
  echo "run-bench: no Google Benchmark programs in $build/bench (libbenchmark-dev missing?); whole-flow figures only" >&2
fi

echo "run-bench: velloc bench (whole-flow figures)" >&2
# Sparse images of this run: in memory when the machine has /dev/shm; gone afterwards
# even when the run is killed.
scratch="$out/work/scratch"
[ -w /dev/shm ] && scratch="/dev/shm/velloc-bench-$$"
trap 'rm -rf "$scratch"' EXIT
status=0
timeout 480 "$velloc" bench --workdir "$out/work" --scratch "$scratch" --out "$out/results.json" "${micro[@]}" "$@" ||
  status=$?
echo "run-bench: $(( $(date +%s) - start )) s; table written to $out/results.json" >&2
exit $status
