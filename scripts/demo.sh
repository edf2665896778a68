#!/usr/bin/env bash
# The main job: the plug-in, loaded by the substitute player under Wine, reports
# a short playlist to the local reference service, and to a second one as the
# user's own archive ("Home"). Then it shows the plays the services stored, the
# plug-in's log lines that matter, and the cache.
#
#   scripts/demo.sh
#
# Installs what is missing (scripts/bootstrap.sh), builds the service natively
# and the plug-in and the substitute player with MinGW (in build/native and
# build/win32 when they are there, else build/demo-native and build/demo-win32;
# KELMAR_DEMO_NATIVE and KELMAR_DEMO_WIN32 name other folders). The services
# and the Wine prefix are throwaway copies; nothing is left running. Exits
# non-zero when a play that should have arrived did not, or when the two
# services do not hold the same plays, each once.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
jobs=${KELMAR_JOBS:-2}

md5() { printf %s "$1" | md5sum | cut -c1-32; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
say() { echo "demo: $*"; }

# ---- The second half runs beside the two services (see the end) ----

# Beside Kelmar's service: the Home archive's, whose submit address is its own.
if [ "${1:-}" = "--beside-kelmar" ]; then
  KELMAR_PORT=$KELMAR_SERVICE_PORT exec "$root/scripts/with-service.sh" "$4" \
    --test-controls --account demo:demo-password --submit-url 'http://127.0.0.1:{port}/submit' -- \
    "$root/scripts/demo.sh" --beside-service "$2" "$3"
fi

if [ "${1:-}" = "--beside-service" ]; then
  work=$2 win32=$3
  port=$KELMAR_PORT home_port=$KELMAR_SERVICE_PORT
  plugins=$work/Plugins
  dll=$(winpath "$plugins/Gen_Kelmar.dll")
  export WINEPREFIX=$work/prefix

  say "Kelmar's service listens on 127.0.0.1:$port, the Home archive on 127.0.0.1:$home_port,"
  say "each with the account demo"
  say "the player's settings: the demo account, the proxy pointing at Kelmar's service (which"
  say "passes requests for 127.0.0.1:$home_port on), and the extra service Home"
  {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kelmar\\Winamp Plugin]\n'
    printf '"username"="demo"\n"password"="%s"\n' "$(md5 demo-password)"
    printf '"useproxy"=dword:00000001\n"proxyserver"="127.0.0.1"\n"proxyport"=dword:%08x\n' "$port"
    # Errors go to the log, not to message boxes; the log is kept across runs.
    printf '"showerrors"=dword:00000000\n"ignorehttp"=dword:00000000\n"logsize"=dword:00000400\n'
    printf '"debugoverride"=dword:00000003\n'
    # "Report each song on radio": each song a stream plays is a play.
    printf '"streamsongs"=dword:00000001\n'
    printf '\n[HKEY_CURRENT_USER\\Software\\Kelmar\\Winamp Plugin\\Services\\1]\n'
    printf '"name"="Home"\n"handshakeurl"="http://127.0.0.1:%d/"\n' "$home_port"
    printf '"username"="demo"\n"password"="%s"\n"enabled"=dword:00000001\n' "$(md5 demo-password)"
  } >"$work/settings.reg"
  wine reg import "$(winpath "$work/settings.reg")" >/dev/null 2>&1 </dev/null

  # play NAME: the substitute player on the script from stdin; its events are
  # shown as they happen.
  play() {
    local name=$1
    cat >"$work/$name.script"
    : >"$work/$name.result"
    wine "$win32/substitute_player.exe" "$(winpath "$work/$name.script")" \
      "$(winpath "$work/$name.result")" >"$work/$name.out" 2>&1 </dev/null &
    local pid=$!
    # The player's texts are UTF-8.
    tail -n +1 -f --pid="$pid" "$work/$name.result" | while IFS= read -r line; do
      echo "  player: $line"
    done
    wait "$pid"
  }

  # home_holds N: a file (its Windows path) that appears once the Home archive
  # holds N plays; a script waits for it before it quits.
  home_holds() {
    local file=$work/home-holds-$1
    for _ in $(seq 900); do
      [ "$(curl -sf "http://127.0.0.1:$home_port/plays" | jq length)" -ge "$1" ] && { : >"$file"; break; }
      sleep 0.1
    done >/dev/null 2>&1 &
    winpath "$file"
  }

  say "playing seven tracks; the plug-in reports a track at its first tick (every 5 s)"
  say "the player is a Unicode one (5.66): it gives its texts in UTF-16, in any script"
  status=0
  play session1 <<EOF || status=$?
version 0x5066
track C:\\Music\\Kelmar Trio - Opening Night.mp3 | The Kelmar Trio - Opening Night | 241 | artist=The Kelmar Trio | title=Opening Night | album=Live at the Testbed
track C:\\Music\\Motorhead - Ace of Spades.mp3 | Motörhead - Ace of Spades | 169 | artist=Motörhead | title=Ace of Spades | album=Ace of Spades
track C:\\Videos\\Tour Film.avi | The Kelmar Trio - Tour Film | 1260 | artist=The Kelmar Trio | title=Tour Film
track http://radio.example/morning.mp3 | Radio Kelmar - Morning Show | 0 | artist=Radio Kelmar | title=Morning Show
track C:\\Music\\Quiet Hours - Slow Tide.mp3 | Quiet Hours - Slow Tide | 198 | artist=Quiet Hours | title=Slow Tide | album=Harbour Lights
track C:\\Music\\夜明けの灯台 - Καλοκαίρι στη Σύρο.mp3 | 夜明けの灯台 - Καλοκαίρι στη Σύρο | 224 | artist=夜明けの灯台 | title=Καλοκαίρι στη Σύρο | album=海辺の記録
load $dll
wait-log Server handshake completed OK 30000
note track 1: with metadata
play 0
wait-log Submission of 'The Kelmar Trio - Opening Night (Live at the Testbed)' accepted OK 30000
note track 2: an artist outside ASCII
play 1
wait-log Submission of 'Motörhead - Ace of Spades (Ace of Spades)' accepted OK 30000
note track 3: a video file, which is never reported
play 2
wait-log Unsupported file type so skipping submission 30000
note track 4: an internet stream, each of its songs reported
play 3
wait-log Submission of 'Radio Kelmar - Morning Show (STREAM)' accepted OK 30000
note the station plays a jingle, which is no song
retitle Radio Kelmar Jingle
wait-log Stream title is no song - Radio Kelmar Jingle 30000
note then another song
retitle Lighthouse Keepers - Foghorn Waltz
wait-log Submission of 'Lighthouse Keepers - Foghorn Waltz (STREAM)' accepted OK 30000
note track 5: paused for a tick, then resumed
play 4
pause
wait-ticks 1 15000
resume
wait-log Submission of 'Quiet Hours - Slow Tide (Harbour Lights)' accepted OK 30000
note track 6: a Japanese artist and a Greek title, outside the ANSI code page
play 5
wait-log Submission of '夜明けの灯台 - Καλοκαίρι στη Σύρο (海辺の記録)' accepted OK 30000
note waiting for the Home archive to hold the six plays too
wait-file $(home_holds 6) 60000
quit
unload
EOF
  if [ "$status" -eq 0 ]; then
    say "track 7 on an older player (2.81), which has no metadata: the display title is split"
    play session2 <<EOF || status=$?
version 0x2081
track C:\\Music\\Nightjar - Paper Lanterns.mp3 | Nightjar - Paper Lanterns | 207 | artist=ignored by an old player
load $dll
wait-log Server handshake completed OK 30000
note track 7: "Nightjar - Paper Lanterns", no metadata
play 0
wait-log Submission of 'Nightjar - Paper Lanterns' accepted OK 30000
note the settings window, as the player's preferences open it; the password typed again and Saved
config
wait-window Kelmar Config 5000
set 1004 demo-password
click 1
wait-closed 5000
note Save checks the account with the service: the window opened again shows what it found
config
wait-window Kelmar Config 5000
wait-text 3000 Last Response\tAccount works 30000
wait-text 3002 1. Nightjar - Paper Lanterns 10000
read 3000
read 3002
key 27
wait-closed 5000
wait-file $(home_holds 7) 60000
quit
unload
EOF
  fi
  if [ "$status" -eq 0 ]; then
    say "track 8 with the services out of reach (the proxy on a closed port): it waits in the caches"
    sed 's/"proxyport"=dword:.*/"proxyport"=dword:00000001/' "$work/settings.reg" >"$work/offline.reg"
    wine reg import "$(winpath "$work/offline.reg")" >/dev/null 2>&1 </dev/null
    play session3 <<EOF || status=$?
track C:\\Music\\Harbour Bells - Low Water.mp3 | Harbour Bells - Low Water | 187 | artist=Harbour Bells | title=Low Water | album=Tidal Songs
load $dll
play 0
wait-log Caching for later 30000
note the Plays window, from the settings window's Plays... button
config
wait-window Kelmar Config 5000
click 1030
wait-window Kelmar Plays 5000
wait-text 1041 2 plays wait to be sent 10000
rows 1042
key 27
wait-closed 5000
quit
unload
EOF
  fi
  # de TEXT: the German of an English text of the windows, from the plug-in's catalogue.
  de() { grep -A1 -Fx "msgid \"$1\"" "$root/ui/lang/de.po" | sed -n 's/^msgstr "\(.*\)"$/\1/p'; }
  if [ "$status" -eq 0 ]; then
    say "the settings window in German: the registry value \"language\" set to de"
    wine reg add 'HKCU\Software\Kelmar\Winamp Plugin' /v language /d de /f >/dev/null 2>&1 </dev/null
    play session4 <<EOF || status=$?
load $dll
config
wait-window $(de "Kelmar Config") 5000
texts
key 27
wait-closed 5000
quit
unload
EOF
  fi
  [ "$status" -eq 0 ] || say "the player stopped early (status $status)"

  for service in kelmar:$port home:$home_port; do
    echo
    say "the plays ${service%%:*}'s service stored (its /plays)"
    curl -sf "http://127.0.0.1:${service#*:}/plays" >"$work/${service%%:*}-plays.json"
    # Padded by characters, not bytes; a longer text just pushes the row.
    jq -r 'def pad(n): tostring | if length < n then . + " " * (n - length) else . + " " end;
           (["#", "Artist", "Title", "Album", "Length", "Played (UTC)"] | "  \(.[0] | pad(4))\(.[1] | pad(18))\(.[2] | pad(17))\(.[3] | pad(21))\(.[4] | pad(7))\(.[5])"),
           (sort_by(.id) | .[] | "  \(.id | pad(4))\(.artist | pad(18))\(.title | pad(17))\(.album | pad(21))\(.length | pad(7))\(.time)")' \
      "$work/${service%%:*}-plays.json"
  done

  echo
  say "the plug-in's log, the lines that matter ($plugins/Kelmar.log.txt)"
  grep -aE 'Winamp Version|handshake completed|New song detected|New song on the stream|Stream title is no song|Submitting|accepted OK|Unsupported file type|Caching|Closing Down|Saving settings|Shutdown Complete' \
    "$plugins/Kelmar.log.txt" | cut -f 2- | sed 's/^/  /' || true

  echo
  say "what the settings window showed at the end"
  grep -aE '^control (3000|3002) ' "$work/session2.result" 2>/dev/null |
    sed -E 's/^control [0-9]+ enabled=[01] checked=[01] //; s/\\r\\n|\\n/\n/g' |
    expand -t 18 | sed '/^$/d; s/^/  /' || true

  echo
  say "the settings window in German, read back through its controls"
  grep -a '^text ' "$work/session4.result" 2>/dev/null | sed -E 's/^text /  /' || true

  echo
  say "the Plays window's rows, read back through its list view (Played, Artist, Title, Album, Account, Status, Service)"
  grep -a '^row ' "$work/session3.result" 2>/dev/null | sed -E 's/^row [0-9]+: /  /' || true

  echo
  for cache in kelmar.99.cache "$(cd "$plugins" && ls kelmar.service*.cache 2>/dev/null | head -n 1)"; do
    if [ -n "$cache" ] && [ -e "$plugins/$cache" ]; then
      waiting=$(($(stat -c %s "$plugins/$cache") / 803))
      say "the cache: $waiting play$([ "$waiting" -eq 1 ] || echo s) waiting in $plugins/$cache"
    else
      say "the cache: empty (no ${cache:-file of the extra service}), every play was delivered"
    fi
  done

  expected="The Kelmar Trio|Opening Night
Motörhead|Ace of Spades
Radio Kelmar|Morning Show
Lighthouse Keepers|Foghorn Waltz
Quiet Hours|Slow Tide
夜明けの灯台|Καλοκαίρι στη Σύρο
Nightjar|Paper Lanterns"
  got=$(jq -r 'sort_by(.id) | .[] | "\(.artist)|\(.title)"' "$work/kelmar-plays.json")
  if [ "$got" != "$expected" ]; then
    say "FAILED: the service should hold these plays, in this order:"
    printf '%s\n' "$expected" | sed 's/^/  /'
    exit 1
  fi
  # The same plays (artist, title, time) at Home, and none of them sent twice to either.
  plays() { jq -r 'sort_by(.id) | .[] | "\(.artist)|\(.title)|\(.time)"' "$work/$1-plays.json"; }
  if [ "$(plays kelmar)" != "$(plays home)" ]; then
    say "FAILED: the Home archive does not hold the plays Kelmar holds:"
    diff <(plays kelmar) <(plays home) | sed 's/^/  /'
    exit 1
  fi
  for p in "$port" "$home_port"; do
    twice=$(curl -sf "http://127.0.0.1:$p/_control/requests" | jq '[.[].duplicate] | add // 0')
    if [ "$twice" -ne 0 ]; then
      say "FAILED: the service on 127.0.0.1:$p was sent $twice play(s) it already held"
      exit 1
    fi
  done
  for fate in Sent "Skipped: file type" "Skipped: stream title" Waiting; do
    if ! grep -aqE "\| $fate( \||\$)" "$work/session3.result" 2>/dev/null; then
      say "FAILED: the Plays window shows no play with the status $fate"
      exit 1
    fi
  done
  # The Save button and the window's status block say it in German.
  if ! grep -aqFx "text 1: $(de "&Save")" "$work/session4.result" ||
    ! grep -aqF "$(de "Last Response")" "$work/session4.result"; then
    say "FAILED: the settings window did not show its texts in German"
    exit 1
  fi
  say "all plays arrived at both services, seven of them, each once, the Japanese and Greek texts"
  say "exactly, both songs of the"
  say "stream; the video and the stream's jingle were skipped;"
  say "the offline play waits, the Plays window shows every play's fate,"
  say "and the settings window speaks German when the \"language\" value asks for it"
  exit "$status"
fi

# ---- Install, build, and start the service ----

start=$SECONDS
say "checking the packages and the Wine prefix (scripts/bootstrap.sh)"
"$root/scripts/bootstrap.sh" "$build"

native=${KELMAR_DEMO_NATIVE:-}
[ -n "$native" ] || { [ -f "$build/native/CMakeCache.txt" ] && native=$build/native || native=$build/demo-native; }
win32=${KELMAR_DEMO_WIN32:-}
[ -n "$win32" ] || { [ -f "$build/win32/CMakeCache.txt" ] && win32=$build/win32 || win32=$build/demo-win32; }

say "building the reference service in $native"
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$native.configure.log" 2>&1 ||
    { tail -n 40 "$native.configure.log"; exit 1; }
fi
cmake --build "$native" -j"$jobs" --target kelmar_service >"$native.demo-build.log" 2>&1 ||
  { tail -n 40 "$native.demo-build.log"; exit 1; }

say "building Gen_Kelmar.dll and substitute_player.exe in $win32"
if [ ! -f "$win32/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMAR_SERVICE="$native/kelmar_service" \
    >"$win32.configure.log" 2>&1 || { tail -n 40 "$win32.configure.log"; exit 1; }
fi
cmake --build "$win32" -j"$jobs" --target Gen_Kelmar substitute_player >"$win32.demo-build.log" 2>&1 ||
  { tail -n 40 "$win32.demo-build.log"; exit 1; }
say "built in $((SECONDS - start)) s"

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/kelmar-demo.XXXXXX")
cleanup() {
  [ -d "$work/prefix" ] && WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

say "a fresh Wine prefix in $work/prefix, the plug-in in $work/Plugins"
cp -a "${KELMAR_WINEPREFIX:-$build/wineprefix}" "$work/prefix"
# The user's own data (a play history) starts empty, whatever the template holds.
rm -rf "$work/prefix/drive_c/users/"*/AppData/Roaming/Kelmar
mkdir -p "$work/Plugins"
cp "$win32/Gen_Kelmar.dll" "$work/Plugins/"
# Wine's helpers keep the first call's output open: give them nothing.
WINEPREFIX=$work/prefix wineserver -p >/dev/null 2>&1 </dev/null
WINEPREFIX=$work/prefix wine cmd /c exit >/dev/null 2>&1 </dev/null || true

status=0
# The test controls: the record of requests read at the end, and Kelmar's
# service passing the plug-in's requests for Home on, as its proxy.
"$root/scripts/with-service.sh" "$native/kelmar_service" --test-controls --account demo:demo-password -- \
  "$root/scripts/demo.sh" --beside-kelmar "$work" "$win32" "$native/kelmar_service" || status=$?
say "done in $((SECONDS - start)) s"
exit "$status"
