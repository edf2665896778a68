#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (plain, with
# AddressSanitizer + UndefinedBehaviorSanitizer, and with ThreadSanitizer), a
# bounded libFuzzer run, then the Windows build's unit, adapter and end-to-end
# tests under Wine, beside the native reference service. Exits non-zero on any failure. Run as root on Debian 12; the bootstrap
# installs what is missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
jobs=${KELMAR_JOBS:-2}
cd "$root"

"$root/scripts/bootstrap.sh" "$build"

status=0
echo "== includes follow the layers"
"$root/scripts/check-layers.sh" "$root" || status=1
run_native() {  # name, extra cmake args...
  local name=$1
  shift
  echo "== native build: $name"
  cmake -S "$root" -B "$build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$build/$name.configure.log" 2>&1 ||
    { cat "$build/$name.configure.log"; return 1; }
  cmake --build "$build/$name" -j"$jobs" >"$build/$name.build.log" 2>&1 ||
    { tail -n 60 "$build/$name.build.log"; return 1; }
  (cd "$build/$name" && ctest --output-on-failure -j"$jobs")
}

run_native native -DKELMAR_BENCHMARKS=ON || status=1
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_native native-asan -DKELMAR_SANITIZE=address,undefined || status=1
TSAN_OPTIONS=halt_on_error=1 run_native native-tsan -DKELMAR_SANITIZE=thread || status=1

echo "== fuzzing (libFuzzer, 30 s a target)"
"$root/scripts/fuzz.sh" 30 || status=1

echo "== Windows build (MinGW-w64, tests under Wine)"
export KELMAR_WINEPREFIX="$build/wineprefix"
export WINEPREFIX="$KELMAR_WINEPREFIX" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
# The Wine network tests talk to the native build's reference service.
if cmake -S "$root" -B "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMAR_SERVICE="$build/native/kelmar_service" >"$build/win32.configure.log" 2>&1 &&
   cmake --build "$build/win32" -j"$jobs" >"$build/win32.build.log" 2>&1; then
  # One persistent wineserver for the whole phase; Wine's helpers must not hold
  # our output pipes open.
  wineserver -p >/dev/null 2>&1 </dev/null
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
  "$root/scripts/check-dll.sh" "$build/win32/Gen_Kelmar.dll" || status=1
  # Each service-backed test has a service of its own on its own port, and
  # registry keys of its own: they run side by side.
  (cd "$build/win32" && ctest --output-on-failure -j"$jobs") || status=1
  echo "== the timer's cost under Wine (a report, not a test)"
  "$root/scripts/wine-run.sh" "$build/win32/timer_bench_win32.exe" || true
  wineserver -k >/dev/null 2>&1 || true
  # What a user installs; the installer scenario runs the installer it built.
  echo "== the package: release DLL, installer, zip"
  if "$root/scripts/package.sh" "$build" >"$build/package.log" 2>&1; then
    grep -E 'stripped|^installer:' "$build/package.log"
  else
    tail -n 40 "$build/package.log"
    status=1
  fi
  # Each scenario copies the prefix, so its wineserver has ended first.
  echo "== end to end: the plug-in in the substitute player, against the service"
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -n 4 -v "$root/tests/scenarios" \
    --win32 "$build/win32" --service "$build/native/kelmar_service" || status=1
else
  tail -n 60 "$build/win32.configure.log" "$build/win32.build.log"
  status=1
fi

if [ "$status" -eq 0 ]; then echo "== all tests passed"; else echo "== FAILURES"; fi
exit "$status"
