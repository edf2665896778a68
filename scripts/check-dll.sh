#!/usr/bin/env bash
# Checks that the plug-in DLL is self-contained: it may import only DLLs that
# every Windows system has, never a compiler runtime.
set -euo pipefail
dll=${1:?usage: check-dll.sh Gen_Kelmar.dll}
imports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
allowed='^(kernel32|user32|advapi32|version|wininet|shell32|gdi32|comctl32|comdlg32|ws2_32|rasapi32|msvcrt|ole32)\.dll$'
bad=$(printf '%s\n' "$imports" | grep -v -E "$allowed" || true)
echo "Gen_Kelmar.dll imports: $(echo $imports)"
if [ -n "$bad" ]; then
  echo "Gen_Kelmar.dll imports non-system DLLs: $bad" >&2
  exit 1
fi
