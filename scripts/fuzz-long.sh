#!/usr/bin/env bash
# The long fuzz run: each target until it has made N executions (default ten
# million), or for at most S seconds when given (0: no cap). What the corpus
# gained is then merged, minimised, into the seed corpus under fuzz/corpus for
# committing; an input that crashes a target stays in build/fuzz/artifacts-*,
# to be fixed and kept as a seed.
#   scripts/fuzz-long.sh [executions-per-target, default 10000000] [seconds cap, default 0]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELMAR_FUZZ_BUILD:-$root/build/fuzz}
KELMAR_FUZZ_RUNS=${1:-10000000} "$root/scripts/fuzz.sh" "${2:-0}"

mapfile -t targets <"$build/fuzz_targets.txt"
for target in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/${target%_fuzz}"
  mkdir -p "$seeds"
  before=$(ls "$seeds" | wc -l)
  "$build/$target" -merge=1 "$seeds" "$build/corpus-$target" >"$build/$target.merge.log" 2>&1
  echo "$target: seed corpus $before -> $(ls "$seeds" | wc -l) inputs"
done
