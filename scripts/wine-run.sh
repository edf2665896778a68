#!/usr/bin/env bash
# Runs a Windows program under the project's headless 32-bit Wine prefix.
# KELMAR_WINEPREFIX names the prefix (the test script sets it); output goes to
# our stdout/stderr, which CTest keeps in files.
set -euo pipefail
export WINEPREFIX=${KELMAR_WINEPREFIX:-${WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix}}
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The tests expect the western code page (1252) whatever the host locale is.
export LC_ALL=C
exec wine "$@"
