#!/usr/bin/env bash
# Runs every fuzz target of a VELMORANT_FUZZ build folder for a while, one after another, each on
# a scratch copy of its kept inputs, so that the inputs it discovers stay out of the repository.
# A crashing input is saved as <build>/crashes/<target>-crash-<hash>; fix the fault, then copy the
# input into fuzz/corpus/<target>/ so that `make check` replays it from then on.
# Usage: fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail

build=$(cd "$1" && pwd)
seconds=$2
fuzz=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/crashes" "$build/fuzz-logs"

failed=()
for target in "$build"/*_fuzz; do
  name=$(basename "$target")
  cp -r "$fuzz/corpus/$name" "$scratch/$name"
  # The words of the target's input format, so that it need not guess them byte by byte.
  dict=()
  if [ -f "$fuzz/$name.dict" ]; then dict=(-dict="$fuzz/$name.dict"); fi
  log="$build/fuzz-logs/$name.log"
  if "$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
       "${dict[@]}" -artifact_prefix="$build/crashes/$name-" "$scratch/$name" > "$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$name: ${runs:-?} runs in $seconds s, no fault"
  else
    echo "$name: FAULT (log: $log)"
    tail -n 40 "$log"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that found a fault: ${failed[*]}; inputs in $build/crashes/"
  exit 1
fi
