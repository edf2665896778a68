#!/usr/bin/env bash
# Bounded fuzzing: builds the libFuzzer targets with clang-14 (AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs each for the given seconds on a copy of
# its seed corpus (fuzz/corpus/<name without _fuzz>), which grows across runs in
# the build folder. Prints the executions per target; exits non-zero when a
# target fails to build or finds a crash (the input is left in the build folder).
#   scripts/fuzz.sh [seconds-per-target, default 30]
# KELMAR_FUZZ_BUILD overrides the build folder (default build/fuzz);
# KELMAR_FUZZ_RUNS=N ends each target after N executions instead (the seconds,
# when not 0, still cap it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build=${KELMAR_FUZZ_BUILD:-$root/build/fuzz}
jobs=${KELMAR_JOBS:-2}

echo "== fuzz build: $build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELMAR_FUZZ=ON >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
mapfile -t targets <"$build/fuzz_targets.txt"
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$build.build.log" 2>&1 ||
  { tail -n 60 "$build.build.log"; exit 1; }

# Scratch files of the targets, in memory where there is /dev/shm.
scratch=$(mktemp -d -p "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}" )" kelmar-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export KELMAR_FUZZ_SCRATCH="$scratch"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  seeds="$root/fuzz/corpus/${target%_fuzz}"
  artifacts="$build/artifacts-$target"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$seeds" ]; then cp -rn "$seeds/." "$corpus/"; fi
  log="$build/$target.log"
  rc=0
  start=$SECONDS
  "$build/$target" -max_total_time="$seconds" -runs="${KELMAR_FUZZ_RUNS:--1}" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || rc=$?
  runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    echo "$target: ${runs:-?} executions in $((SECONDS - start)) s, corpus $(ls "$corpus" | wc -l) inputs"
  else
    echo "$target: FAILED (exit $rc) after ${runs:-?} executions; log $log, inputs in $artifacts"
    grep -E "ERROR|SUMMARY|cache_load_fuzz:|runtime error" "$log" | head -n 20 || true
    status=1
  fi
done
exit "$status"
