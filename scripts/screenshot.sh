#!/usr/bin/env bash
# The pictures for the README and the user guide: the plug-in, loaded by the
# substitute player under Wine's X11 driver on a virtual display, from a first
# start with the default settings (the account typed into the window that
# opens by itself), reporting to the local reference service. Each picture is
# cut to its window:
#
#   first-start   docs/first-start.png     the settings window as a first start opens it,
#                                          the user name and password typed, before Save
#   config        docs/config-dialog.png   the settings window after two plays
#   services      docs/services-window.png the Services window with the extra service
#                                          "Home archive" (a second reference service)
#                                          after it took the two plays
#   service-form  docs/service-form.png    the Kelmar Service form editing it, over the
#                                          Services window
#   plays         docs/plays-window.png    the Plays window after plays a minute apart and
#                                          a skipped video, with a play waiting from a
#                                          later start without a network
#   edit-play     docs/edit-play.png       Edit play on that waiting play, over the Plays
#                                          window
#   config-de     docs/config-dialog-de.png the settings window of a first start in German
#   config-ja     docs/config-dialog-ja.png and in Japanese (the "language" value), the
#                                          account typed
#
#   scripts/screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [OUTPUT.png] [KIND]
#   scripts/screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [FOLDER] all
#
# KIND is one of the above (config when left out); "all" makes every picture,
# into docs/ or FOLDER, in runs of the player: the first four pictures come
# from one, the Plays window's two from another (two minutes of it are the
# waits between plays), and each language's from one of its own. Needs Xvfb, ImageMagick and xwininfo (packages
# xvfb, imagemagick and x11-utils), which it installs when they are missing,
# and Wine's own fonts (fonts-wine), which it fetches when Wine lacks them and
# puts into its copy of the prefix only.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A picture's run, the line in the player's result that says its window is up
# and the window it is cut to. A modal dialog blocks the script that opened
# it, so the player's dialog watcher says so ("dialog CAPTION") and holds it
# until the picture is taken; the picture shows it over the window it belongs
# to.
kinds="first-start config services service-form plays edit-play config-de config-ja"
run_of() { case $1 in plays | edit-play) echo plays ;; config-*) echo "lang-${1#config-}" ;; *) echo start ;; esac; }
file_of() {
  case $1 in
    config) echo config-dialog.png ;;
    config-*) echo "config-dialog-${1#config-}.png" ;;
    services) echo services-window.png ;;
    plays) echo plays-window.png ;;
    *) echo "$1.png" ;;
  esac
}
ready_of() {
  case $1 in
    service-form) echo "dialog Kelmar Service" ;;
    edit-play) echo "dialog Edit play" ;;
    *) echo "picture $1" ;;
  esac
}
window_of() {
  case $1 in
    first-start | config) echo "Kelmar Config" ;;
    services | service-form) echo "Kelmar Services" ;;
    plays | edit-play) echo "Kelmar Plays" ;;
  esac
}
# tr LANGUAGE TEXT: a text of the windows in that language, from the plug-in's catalogue.
tr_to() { grep -A1 -Fx "msgid \"$2\"" "$root/ui/lang/$1.po" | sed -n 's/^msgstr "\(.*\)"$/\1/p'; }

# Beside Kelmar's service: the Home archive's, whose submit address is its own.
if [ "${1:-}" = "--beside-kelmar" ]; then
  service=$2
  shift 2
  KELMAR_PORT=$KELMAR_SERVICE_PORT exec "$root/scripts/with-service.sh" "$service" \
    --test-controls --account listener:secret --submit-url 'http://127.0.0.1:{port}/submit' -- \
    "$root/scripts/screenshot.sh" --beside-service "$@"
fi

if [ "${1:-}" = "--beside-service" ]; then
  work=$2 win32=$3 run=$4
  shift 4
  port=$KELMAR_PORT home_port=$KELMAR_SERVICE_PORT
  # The pictures wanted from this run, KIND=FILE each; the others are passed by.
  declare -A wanted=()
  for pair in "$@"; do wanted[${pair%%=*}]=${pair#*=}; done
  taken() { winpath "$work/$1.taken"; }

  # The machine's own network setting, Windows' proxy, which the plug-in follows
  # while its Use Proxy Server box is clear, leads to Kelmar's service (or, on
  # port 1, nowhere); it passes the requests for the Home archive on. The
  # plug-in's settings stay as a first start leaves them.
  network() {
    local key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
    wine reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
    wine reg add "$key" /v ProxyServer /t REG_SZ /d "127.0.0.1:$1" /f >/dev/null 2>&1 </dev/null
  }
  # watch_home N: makes the file home-holds-N once the Home archive holds N
  # plays, for the script to wait for.
  watcher=
  watch_home() {
    for _ in $(seq 600); do
      [ "$(curl -sf --max-time 2 "http://127.0.0.1:$home_port/plays" | jq length)" -ge "$1" ] &&
        { : >"$work/home-holds-$1"; break; }
      sleep 0.1
    done >/dev/null 2>&1 &
    watcher=$!
  }
  trap '[ -z "$watcher" ] || kill "$watcher" 2>/dev/null || true' EXIT
  # player NAME: the substitute player on the script in $work/NAME.script.
  player() {
    : >"$work/$1.result"
    wine "$win32/substitute_player.exe" "$(winpath "$work/$1.script")" \
      "$(winpath "$work/$1.result")" >"$work/$1.out" 2>&1 </dev/null
  }

  network "$port"
  dll=$(winpath "$work/Plugins/Gen_Kelmar.dll")
  opening="track C:\\Music\\Opening Night.mp3 | The Kelmar Trio - Opening Night | 241 | artist=The Kelmar Trio | title=Opening Night | album=Live at the Testbed"
  tide="track C:\\Music\\Slow Tide.mp3 | Quiet Hours - Slow Tide | 198 | artist=Quiet Hours | title=Slow Tide | album=Harbour Lights"
  if [ "$run" = start ]; then
    # The first start: the settings window opens by itself and the account is
    # typed (a picture), then saved. The Home archive is added in the Services
    # window; two plays reach both services. The settings window (a picture),
    # the Services window (a picture) and the form on Home (a picture).
    # The window a first start opens comes up active under Wine but without
    # the foreground, as no window of the player had it yet, and Wine draws
    # its title bar grey; on Windows the player the user just started has the
    # foreground. The Services window, opened and closed over it, hands it
    # the foreground, as a click would.
    shots="first-start config services service-form"
    cat >"$work/shot.script" <<EOF
$opening
$tide
load $dll
wait-window Kelmar Config 10000
click 1033
wait-window Kelmar Services 5000
click 2
wait-closed 5000
wait-window Kelmar Config 5000
set 1003 listener
set 1004 secret
key 9
key 35
note picture first-start
wait-file $(taken first-start) 60000
click 1
wait-closed 5000
wait-log Server handshake completed OK 30000
config
wait-window Kelmar Config 5000
click 1033
wait-window Kelmar Services 5000
fill-next Kelmar Service|1070=Home archive|1071=http://127.0.0.1:$home_port/|1072=listener|1073=secret|1
click 1061
click 2
wait-closed 5000
wait-window Kelmar Config 5000
click 2
wait-closed 5000
play 0
wait-log Submission of 'The Kelmar Trio - Opening Night (Live at the Testbed)' accepted OK 30000
play 1
wait-log Submission of 'Quiet Hours - Slow Tide (Harbour Lights)' accepted OK 30000
wait-file $(winpath "$work/home-holds-2") 60000
config
wait-window Kelmar Config 5000
wait-text 3002 2. The Kelmar Trio 10000
note picture config
wait-file $(taken config) 60000
click 1033
wait-window Kelmar Services 5000
note picture services
wait-file $(taken services) 60000
select 1060 Home archive
fill-next Kelmar Service|until=$(taken service-form)|2
click 1062
click 2
wait-closed 5000
wait-window Kelmar Config 5000
click 2
wait-closed 5000
quit
unload
EOF
  elif [ "$run" != plays ]; then
    # A first start in another language: the settings window opens by itself,
    # the account typed (a picture). Windows of that language draws "MS Shell
    # Dlg" in its own font: for Japanese, the East Asian one the bootstrap
    # installs.
    language=${run#lang-}
    shots="config-$language"
    wine reg add 'HKCU\Software\Kelmar\Winamp Plugin' /v language /d "$language" /f >/dev/null 2>&1 </dev/null
    [ "$language" = ja ] && wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v 'MS Shell Dlg' /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1 </dev/null
    cat >"$work/shot.script" <<EOF
load $dll
config
wait-window $(tr_to "$language" "Kelmar Config") 10000
set 1003 listener
set 1004 secret
key 9
key 35
where
note picture config-$language
wait-file $(taken "config-$language") 60000
click 2
wait-closed 5000
quit
unload
EOF
  else
    # A first start, the account typed and saved; two plays a minute apart, so
    # that the newest-first order shows, then a video the plug-in skips.
    cat >"$work/online.script" <<EOF
$opening
$tide
load $dll
wait-window Kelmar Config 10000
set 1003 listener
set 1004 secret
click 1
wait-closed 5000
wait-log Server handshake completed OK 30000
play 0
wait-log Submission of 'The Kelmar Trio - Opening Night (Live at the Testbed)' accepted OK 30000
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
    player online || {
      echo "screenshot: the plays before the picture failed:" >&2
      cat "$work/online.result" >&2
      exit 1
    }
    # The next start finds no network: its play waits. The Plays window (a
    # picture) and Edit play on the waiting play (a picture).
    network 1
    shots="plays edit-play"
    cat >"$work/shot.script" <<EOF
track C:\\Music\\Harbour Bells - Low Water.mp3 | Harbour Bells - Low Water | 187 | artist=Harbour Bells | title=Low Water | album=Tidal Songs
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
wait-closed 5000
wait-window Kelmar Plays 5000
note picture plays
wait-file $(taken plays) 60000
select 1042 Harbour Bells
fill-next Edit play|until=$(taken edit-play)|2
click 1047
quit
unload
EOF
  fi

  [ "$run" = start ] && watch_home 2
  player shot &
  pid=$!
  for shot in $shots; do
    ready=$(ready_of "$shot")
    for _ in $(seq 1 1200); do
      grep -qxF "$ready" "$work/shot.result" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if ! grep -qxF "$ready" "$work/shot.result"; then
      echo "screenshot: the window for $shot did not come up (no \"$ready\"); the player's record:" >&2
      cat "$work/shot.result" >&2
      exit 1
    fi
    if [ -n "${wanted[$shot]:-}" ]; then
      # Painted when two looks a moment apart agree.
      import -window root "$work/a.png"
      for _ in $(seq 1 20); do
        sleep 0.3
        import -window root "$work/b.png"
        [ "$(compare -metric AE "$work/a.png" "$work/b.png" null: 2>&1)" = 0 ] && break
        mv "$work/b.png" "$work/a.png"
      done
      # The window's place on the display, its frame included (Wine draws
      # the frame: no window manager runs); a window captioned in another
      # language says where it is itself.
      where=$(sed -n 's/^window at \([0-9]*\),\([0-9]*\) \([0-9x]*\)$/\3+\1+\2/p' "$work/shot.result")
      window=$(window_of "$shot")
      if [ -n "$where" ]; then
        geometry=$where
      else
        info=$(xwininfo -name "$window") || {
          echo "screenshot: no window \"$window\" on the display for $shot" >&2
          exit 1
        }
        value() { sed -n "s/^ *$1: *//p" <<<"$info"; }
        geometry="$(value Width)x$(value Height)+$(value 'Absolute upper-left X')+$(value 'Absolute upper-left Y')"
      fi
      convert "$work/a.png" -crop "$geometry" +repage "${wanted[$shot]}"
      echo "screenshot: ${wanted[$shot]} ($(identify -format '%wx%h' "${wanted[$shot]}"))"
    fi
    : >"$work/$shot.taken"
  done
  wait "$pid" || {
    echo "screenshot: the player failed after the pictures; its record:" >&2
    cat "$work/shot.result" >&2
    exit 1
  }
  exit 0
fi

usage() {
  echo "usage: screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [OUTPUT.png] [KIND]" >&2
  echo "       screenshot.sh WIN32_BUILD_DIR SERVICE_BINARY [FOLDER] all" >&2
  echo "KIND: ${kinds// /, } (config when left out)" >&2
  exit 2
}
if [ $# -lt 2 ] || [ $# -gt 4 ]; then usage; fi
win32=$(cd "$1" && pwd)
service=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
what=config out=
case $# in
  1) if [ "$1" = all ] || [[ " $kinds " = *" $1 "* ]]; then what=$1; else out=$1; fi ;;
  2) out=$1 what=$2 ;;
esac
[ "$what" = all ] || [[ " $kinds " = *" $what "* ]] || usage

# Where each picture wanted goes (KIND=FILE), by run.
runs="start plays lang-de lang-ja"
declare -A pictures_of=()
want() { pictures_of[$(run_of "$1")]+="$1=$2 "; }
if [ "$what" = all ]; then
  folder=${out:-$root/docs}
  mkdir -p "$folder"
  folder=$(cd "$folder" && pwd)
  for kind in $kinds; do want "$kind" "$folder/$(file_of "$kind")"; done
else
  out=${out:-$root/docs/$(file_of "$what")}
  mkdir -p "$(dirname "$out")"
  want "$what" "$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
fi

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v import >/dev/null || missing+=(imagemagick)
command -v xwininfo >/dev/null || missing+=(x11-utils)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "screenshot: installing ${missing[*]}"
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
start=$SECONDS
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
# Windows draws "MS Shell Dlg", the dialogs' font, in Microsoft Sans Serif;
# Wine, which lacks that font, in Tahoma, which is wider and wraps labels
# that fit on Windows. MS Sans Serif, among Wine's fonts, has its widths.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v 'MS Shell Dlg' \
  /t REG_SZ /d 'MS Sans Serif' /f >/dev/null 2>&1 </dev/null
# Wine's desktop may have started on the old driver: start afresh.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null

for run in $runs; do
  read -r -a run_pictures <<<"${pictures_of[$run]:-}"
  [ ${#run_pictures[@]} -gt 0 ] || continue
  # Each run is a first start: no settings, no play history, no cache or log,
  # and services of its own.
  wine reg delete 'HKCU\Software\Kelmar' /f >/dev/null 2>&1 </dev/null || true
  rm -rf "$work/prefix/drive_c/users/"*/AppData/Roaming/Kelmar "$work/Plugins" "$work"/*.taken \
    "$work"/home-holds-*
  mkdir -p "$work/Plugins"
  cp "$win32/Gen_Kelmar.dll" "$work/Plugins/"
  "$root/scripts/with-service.sh" "$service" --test-controls --account listener:secret -- \
    "$root/scripts/screenshot.sh" --beside-kelmar "$service" "$work" "$win32" "$run" "${run_pictures[@]}"
done
echo "screenshot: done in $((SECONDS - start)) s"
