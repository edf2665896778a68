#!/usr/bin/env bash
# Builds what a user installs, into dist/: the release DLL, stripped, with its
# symbols kept apart in Gen_Kelmar.dll.debug (linked by a debug link, so a
# crash address can still be resolved); the installer; a zip for installing by
# hand; and SHA256SUMS. Run as root on Debian 12; the bootstrap installs what
# is missing.
#   scripts/package.sh [build-dir, default build]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
version=1.2.1
dist=$root/dist
jobs=${KELMAR_JOBS:-2}

"$root/scripts/bootstrap.sh" "$build" >/dev/null

echo "== release build"
release=$build/release
cmake -S "$root" -B "$release" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-Os -g -DNDEBUG" \
  >"$release.configure.log" 2>&1 ||
  { cat "$release.configure.log"; exit 1; }
cmake --build "$release" -j"$jobs" --target Gen_Kelmar >"$release.build.log" 2>&1 ||
  { tail -n 60 "$release.build.log"; exit 1; }

rm -rf "$dist"
mkdir -p "$dist/files"
objcopy=i686-w64-mingw32-objcopy
before=$(stat -c %s "$release/Gen_Kelmar.dll")
$objcopy --only-keep-debug "$release/Gen_Kelmar.dll" "$dist/Gen_Kelmar.dll.debug"
$objcopy --strip-debug --strip-unneeded "$release/Gen_Kelmar.dll" "$dist/files/Gen_Kelmar.dll"
(cd "$dist" && $objcopy --add-gnu-debuglink=Gen_Kelmar.dll.debug files/Gen_Kelmar.dll)
"$root/scripts/check-dll.sh" "$dist/files/Gen_Kelmar.dll"
# What a user installs stays small: past the limit the package is not made.
# The usual causes are library code pulled in whole for one call (sscanf brings
# the C library's scanner and float parsers, an iostream the locales).
# Ten languages cost about 130 KB of it.
dll_limit=655360
shipped=$(stat -c %s "$dist/files/Gen_Kelmar.dll")
if [ "$shipped" -gt "$dll_limit" ]; then
  echo "Gen_Kelmar.dll is $shipped bytes stripped, over the limit of $dll_limit" >&2
  exit 1
fi
# The help page, and the guide as a page beside it with every picture it shows.
pictures="first-start.png config-dialog.png services-window.png service-form.png plays-window.png edit-play.png
  config-dialog-de.png config-dialog-ja.png"
guide_files="kelmar.html user-guide.html $pictures"
cp "$root/ui/kelmar.html" "$dist/files/"
for picture in $pictures; do cp "$root/docs/$picture" "$dist/files/"; done
python3 "$root/scripts/guide-html.py" "$root/docs/user-guide.md" "$dist/files/user-guide.html"
for picture in $(grep -o 'src="[^"]*"' "$dist/files/user-guide.html" | cut -d'"' -f2); do
  [ -f "$dist/files/$picture" ] || { echo "the guide shows $picture, which is not packed" >&2; exit 1; }
done

makensis -V2 -DDIST="$dist/files" -DOUTFILE="$dist/Gen_Kelmar-$version-setup.exe" \
  "$root/installer/gen_kelmar.nsi" >"$build/makensis.log" 2>&1 ||
  { cat "$build/makensis.log"; exit 1; }
(cd "$dist/files" && zip -q -X "../Gen_Kelmar-$version.zip" Gen_Kelmar.dll $guide_files)
rm -rf "$dist/files"
(cd "$dist" && sha256sum "Gen_Kelmar-$version-setup.exe" "Gen_Kelmar-$version.zip" \
  Gen_Kelmar.dll.debug >SHA256SUMS)

dll_size=$(unzip -l "$dist/Gen_Kelmar-$version.zip" Gen_Kelmar.dll | awk 'NR==4 {print $1}')
echo "Gen_Kelmar.dll: $before bytes with symbols, $dll_size stripped (at most $dll_limit)"
echo "installer: $(stat -c %s "$dist/Gen_Kelmar-$version-setup.exe") bytes"
ls -l "$dist"
