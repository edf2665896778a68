#!/usr/bin/env bash
# The fuzz run with a long default: scripts/fuzz-long.sh [seconds-per-target, default 600]
exec "$(dirname "$0")/fuzz.sh" "${1:-600}"
