#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine (run as root) and
# prepares a headless 32-bit Wine prefix. Idempotent: a warm machine costs a few checks.
#
#   scripts/bootstrap.sh [build-dir]     (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake make g++ pkg-config googletest libgtest-dev libbenchmark-dev \
         libcpp-httplib-dev libsqlite3-dev nlohmann-json3-dev clang-14 libfuzzer-14-dev libclang-rt-14-dev \
         g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 curl jq \
         nsis zip unzip openssl python3-pytest python3-pytest-xdist python3-pytest-timeout \
         fonts-wqy-microhei; do
  have "$p" || need_pkgs+=("$p")
done

if ((${#need_pkgs[@]})); then
  echo "bootstrap: installing ${need_pkgs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >"$build/apt.log" 2>&1 || {
    tail -n 40 "$build/apt.log"
    exit 1
  }
fi

# Headless 32-bit prefix inside the build tree.
export WINEPREFIX="$build/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.prepared" ]; then
  echo "bootstrap: preparing Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  wineboot -i >"$build/wineboot.log" 2>&1 </dev/null || true
  wineserver -w
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
    >>"$build/wineboot.log" 2>&1 </dev/null
  wineserver -w
  touch "$WINEPREFIX/.prepared"
fi
# Japanese and Chinese texts in the dialogs. Wine finds WenQuanYi Micro Hei
# (fonts-wqy-microhei) through fontconfig, but draws a dialog's text in
# DejaVu Sans, its stand-in for the missing Tahoma, which lacks those
# characters: the link lends them to it, as Windows links Tahoma to its East
# Asian fonts. The Latin texts keep DejaVu Sans. (Linking Tahoma itself, or
# naming WenQuanYi for MS UI Gothic and SimSun, would make it the dialogs'
# font for every text.) Apart from the preparation, for prefixes made before.
if [ ! -f "$WINEPREFIX/.cjk-linked" ]; then
  echo "bootstrap: linking the East Asian font in $WINEPREFIX"
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v 'DejaVu Sans' /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f \
    >>"$build/wineboot.log" 2>&1 </dev/null
  wineserver -w
  touch "$WINEPREFIX/.cjk-linked"
fi
echo "bootstrap: ready"
