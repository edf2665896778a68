#!/usr/bin/env bash
# The product's layers stack in this order, and each folder includes only its
# own and those before it: diagnostics < record < cache < engine < ui < player.
# Lists every #include that runs back up and exits non-zero if there is one.
# The tests, testbed, fuzz targets and benchmarks may include anything.
#   scripts/check-layers.sh [source root, default: this repository]
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
layers=(diagnostics record cache engine ui player)

status=0
for ((i = 0; i < ${#layers[@]}; ++i)); do
  later=$(IFS='|'; echo "${layers[*]:i+1}")
  [ -n "$later" ] || continue
  # An include of a later folder, quoted or bracketed, from the root or relative.
  if grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<](\.\./)*($later)/" \
       --include='*.h' --include='*.cpp' --include='*.rc' "$root/${layers[i]}"; then
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  echo "check-layers: the includes above run back up the layers (${layers[*]})" >&2
fi
exit "$status"
