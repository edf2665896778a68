#!/usr/bin/env bash
# The pictures for the README and the user guide: the plug-in, loaded by the
# substitute player under Wine's X11 driver on a virtual display, from a first
# start with the default settings (the account typed into the window that
# opens by itself), after two plays reached the local reference service.
# "config" pictures the settings window; "plays" the Plays window, after plays
# a minute apart and a skipped video, with a play waiting from a later start
# without a network.
#
#   scripts/screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [OUTPUT.png] [config|plays]
#
# The output defaults to docs/config-dialog.png or docs/plays-window.png.
# Needs Xvfb and ImageMagick (packages xvfb and imagemagick), which it
# installs when they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
winpath() { printf 'Z:%s' "${1//\//\\}"; }
md5() { printf %s "$1" | md5sum | cut -c1-32; }

if [ "${1:-}" = "--beside-service" ]; then
  work=$2 win32=$3 out=$4 what=$5
  port=$KELMAR_SERVICE_PORT
  # The machine's own network setting, Windows' proxy, which the plug-in follows
  # while its Use Proxy Server box is clear, leads to the service (or, on port 1,
  # nowhere). The plug-in's settings stay as a first start leaves them.
  network() {
    local key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
    wine reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
    wine reg add "$key" /v ProxyServer /t REG_SZ /d "127.0.0.1:$1" /f >/dev/null 2>&1 </dev/null
  }
  wine reg delete 'HKCU\Software\Kelmar' /f >/dev/null 2>&1 </dev/null || true
  dll=$(winpath "$work/Plugins/Gen_Kelmar.dll")
  # The first start: the settings window opens by itself, the account is typed,
  # and two plays reach the service.
  plays="track C:\\Music\\Opening Night.mp3 | The Kelmar Trio - Opening Night | 241 | artist=The Kelmar Trio | title=Opening Night | album=Live at the Testbed
track C:\\Music\\Slow Tide.mp3 | Quiet Hours - Slow Tide | 198 | artist=Quiet Hours | title=Slow Tide | album=Harbour Lights
load $dll
wait-window Kelmar Config 10000
set 1003 listener
set 1004 secret
click 1
wait-closed 5000
wait-log Server handshake completed OK 30000
play 0
wait-log Submission of 'The Kelmar Trio - Opening Night (Live at the Testbed)' accepted OK 30000"
  network "$port"
  if [ "$what" = plays ]; then
    # A minute apart, so that the newest-first order shows; then a video the
    # plug-in skips. The next start finds no network: its play waits.
    cat >"$work/online.script" <<EOF
$plays
wait 61000
play 1
wait-log Submission of 'Quiet Hours - Slow Tide (Harbour Lights)' accepted OK 30000
wait 61000
track C:\\Videos\\Tour Film.avi | The Kelmar Trio - Tour Film | 1260 | artist=The Kelmar Trio | title=Tour Film
play 2
wait-log Unsupported file type 30000
quit
unload
EOF
    wine "$win32/substitute_player.exe" "$(winpath "$work/online.script")" \
      "$(winpath "$work/online.result")" >"$work/online.out" 2>&1 </dev/null
    network 1
    show="track C:\\Music\\Harbour Bells - Low Water.mp3 | Harbour Bells - Low Water | 187 | artist=Harbour Bells | title=Low Water | album=Tidal Songs
load $dll
play 0
wait-log Caching for later 30000
config
wait-window Kelmar Config 5000
click 1030
wait-window Kelmar Plays 5000
wait-text 1041 1 play waits to be sent 10000
wait-window Kelmar Config 5000
click 2
wait-closed 5000"
  else
    show="$plays
play 1
wait-log Submission of 'Quiet Hours - Slow Tide (Harbour Lights)' accepted OK 30000
config
wait-window Kelmar Config 5000
wait-text 3002 2. The Kelmar Trio 10000"
  fi
  cat >"$work/shot.script" <<EOF
$show
note ready
wait-file $(winpath "$work/shot.done") 60000
quit
unload
EOF
  : >"$work/shot.result"
  wine "$win32/substitute_player.exe" "$(winpath "$work/shot.script")" \
    "$(winpath "$work/shot.result")" >"$work/shot.out" 2>&1 </dev/null &
  player=$!
  for _ in $(seq 1 1200); do
    grep -qx ready "$work/shot.result" && break
    kill -0 "$player" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qx ready "$work/shot.result"; then
    echo "screenshot: the dialog did not come up" >&2
    cat "$work/shot.result" >&2
    exit 1
  fi
  # Only the dialog is on the black root window: cut it out.
  # Painted when two looks a moment apart agree.
  import -window root "$work/a.png"
  for _ in $(seq 1 20); do
    sleep 0.3
    import -window root "$work/b.png"
    [ "$(compare -metric AE "$work/a.png" "$work/b.png" null: 2>&1)" = 0 ] && break
    mv "$work/b.png" "$work/a.png"
  done
  import -window root -trim +repage "$out"
  touch "$work/shot.done"
  wait "$player"
  echo "screenshot: $out ($(identify -format '%wx%h' "$out"))"
  exit 0
fi

[ $# -ge 2 ] || { echo "usage: screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [OUTPUT.png] [config|plays]" >&2; exit 2; }
win32=$(cd "$1" && pwd)
service=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
what=${4:-config}
[ "$what" = plays ] && picture=plays-window || picture=config-dialog
out=${3:-$root/docs/$picture.png}
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")

if ! command -v Xvfb >/dev/null || ! command -v import >/dev/null; then
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y --no-install-recommends xvfb imagemagick >/dev/null
fi

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/kelmar-shot.XXXXXX")
xvfb=
cleanup() {
  [ -d "$work/prefix" ] && WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# A free display number.
display=90
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=:$display

# The tests' prefix draws nowhere (the null driver): this copy draws on X,
# with windows the window manager does not decorate.
cp -a "${KELMAR_WINEPREFIX:-$root/build/wineprefix}" "$work/prefix"
rm -rf "$work/prefix/drive_c/users/"*/AppData/Roaming/Kelmar
# Wine's own fonts (Debian's fonts-wine, which the bootstrap leaves out as a
# mere recommendation): Marlett draws the title bars' buttons, Tahoma is the
# dialogs' font, as on Windows. Without them a close button is the letter "r"
# and the text falls back to another sans serif. They go into this copy's
# Fonts folder only: the tests' prefix and the machine's Wine stay as they are.
if [ ! -e /usr/share/wine/fonts/marlett.ttf ]; then
  mkdir -p "$work/fonts-wine"
  if ! (cd "$work/fonts-wine" && apt-get download fonts-wine >download.log 2>&1); then
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update >/dev/null 2>&1 || true
    (cd "$work/fonts-wine" && apt-get download fonts-wine >download.log 2>&1) || {
      echo "screenshot: could not fetch the package fonts-wine (Wine's own fonts):" >&2
      cat "$work/fonts-wine/download.log" >&2
      exit 1
    }
  fi
  dpkg-deb -x "$work"/fonts-wine/fonts-wine_*.deb "$work/fonts-wine/files"
  cp "$work/fonts-wine/files/usr/share/wine/fonts/"* "$work/prefix/drive_c/windows/Fonts/"
fi
export WINEPREFIX=$work/prefix
wineserver -p >/dev/null 2>&1 </dev/null
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null || true
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
# Wine's desktop may have started on the old driver: start afresh.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null
mkdir -p "$work/Plugins"
cp "$win32/Gen_Kelmar.dll" "$work/Plugins/"

"$root/scripts/with-service.sh" "$service" --test-controls --account listener:secret -- \
  "$root/scripts/screenshot.sh" --beside-service "$work" "$win32" "$out" "$what"
