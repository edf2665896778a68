#!/usr/bin/env bash
# End-to-end scenarios under Wine: the real Gen_Kelmar.dll, loaded by the
# substitute player, against the native reference service.
#
#   scripts/e2e.sh WIN32_BUILD_DIR SERVICE_BINARY [SCENARIO...]
#
# Each scenario has a copy of the Wine prefix (KELMAR_WINEPREFIX, default
# build/wineprefix) and so its own wineserver, a service on its own port, and a
# plug-in folder of its own for the log and the cache; four run at a time
# (KELMAR_E2E_JOBS), as most of a scenario is waiting for the plug-in. A
# scenario drives the player with a script and then checks the player's record,
# the plug-in's log, cache file and registry key, and what the service got.
# Prints one line per scenario with its time, and shows a failed scenario's
# files. Exits non-zero when any scenario failed. KELMAR_E2E_KEEP=1 keeps the
# scenarios' folders.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
all_scenarios=(killed plays dialog first_start second_instance offline badauth unload quit no_playlist
               reload drain load_loop installer protected held_cache unsent
               unicode_pe dialog_keys unicode_folder)

md5() { printf %s "$1" | md5sum | cut -c1-32; }
# The Unix path as Wine's drive Z: sees it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# copy_prefix FROM TO: a Wine prefix of a scenario's own. The system folder
# (nearly all of its size) is only ever read: its files are linked, not copied.
copy_prefix() {
  local item sub
  mkdir -p "$2/drive_c"
  for item in "$1"/* "$1"/.[!.]*; do
    [ -e "$item" ] || [ -L "$item" ] || continue
    if [ "${item##*/}" != drive_c ]; then
      cp -a "$item" "$2/"
      continue
    fi
    for sub in "$item"/*; do
      if [ "${sub##*/}" = windows ]; then cp -al "$sub" "$2/drive_c/"; else cp -a "$sub" "$2/drive_c/"; fi
    done
  done
}

# ---- Inside one scenario (run beside its service by with-service.sh) ----

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# has FILE TEXT / lacks FILE TEXT / has_line FILE LINE / count FILE TEXT
has() { grep -qF -- "$2" "$1" 2>/dev/null || fail "$(basename "$1") lacks: $2"; }
lacks() { ! grep -qF -- "$2" "$1" 2>/dev/null || fail "$(basename "$1") has: $2"; }
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null || fail "$(basename "$1") lacks the line: $2"; }
count() { grep -cF -- "$2" "$1" 2>/dev/null || true; }
expect_eq() {  # what, expected, actual
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}
# The line number of the first line with TEXT (0 when none).
line_of() { grep -nF -- "$2" "$1" 2>/dev/null | head -n 1 | cut -d: -f1 || echo 0; }

service() { curl -sf "http://127.0.0.1:$KELMAR_SERVICE_PORT$1" "${@:2}"; }
plays() { service /plays; }
requests() { service /_control/requests; }
script_service() { service /_control/script -X POST --data-binary "$1" >/dev/null; }

# The plug-in's settings key from NAME=VALUE pairs: the five texts as strings,
# everything else as numbers. The standard account and proxy come first.
text_settings=" username password proxyserver proxyuser proxypass "
settings() {
  {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kelmar\\Winamp Plugin]\n'
    local pair name value
    for pair in "username=listener" "password=$(md5 secret)" useproxy=1 proxyserver=127.0.0.1 \
                "proxyport=$KELMAR_SERVICE_PORT" showerrors=1 debugoverride=1 "$@"; do
      name=${pair%%=*}
      value=${pair#*=}
      if [[ "$text_settings" == *" $name "* ]]; then
        printf '"%s"="%s"\n' "$name" "$value"
      else
        printf '"%s"=dword:%08x\n' "$name" "$value"
      fi
    done
  } >"$work/settings.reg"
  wine reg delete 'HKCU\Software\Kelmar\Winamp Plugin' /f >/dev/null 2>&1 </dev/null || true
  wine reg import "$(winpath "$work/settings.reg")" >/dev/null 2>&1 </dev/null
}

# The names of the values under the plug-in's key, one a line, sorted.
setting_names() {
  wine reg query 'HKCU\Software\Kelmar\Winamp Plugin' </dev/null 2>/dev/null |
    tr -d '\r' | awk '$2 ~ /^REG_/ { print $1 }' | sort
}
# Every value the settings dialog edits, as quitting saves them.
expect_saved_settings() {
  expect_eq "saved settings" \
    "ignorehttp logsize password pluginenabled proxypass proxyport proxyserver proxyuser showerrors useproxy useproxyauth username" \
    "$(setting_names | grep -vx debugoverride | tr '\n' ' ' | sed 's/ $//')"
}

# player NAME: runs the substitute player on the script from stdin; its record
# is $work/NAME.result. A status other than 0 counts as a failure.
player() {
  local name=$1
  cat >"$work/$name.script"
  local status=0
  timeout 180 wine "$win32/substitute_player.exe" "$(winpath "$work/$name.script")" \
    "$(winpath "$work/$name.result")" >"$work/$name.out" 2>&1 </dev/null || status=$?
  [ "$status" -eq 0 ] || fail "player $name ended with status $status"
  return 0
}

dll=
log=
cache=

# a: no settings key yet. The settings dialog opens by itself; the account and
# proxy typed into it are saved, the password as its digest, and the first
# play goes through a handshake with them.
scenario_first_start() {
  wine reg delete 'HKCU\Software\Kelmar\Winamp Plugin' /f >/dev/null 2>&1 </dev/null || true
  service /_control/account -X POST --data-binary '{"user": "reader", "password": "n3wS3cret"}' >/dev/null
  player run <<EOF
track C:\\Music\\First.mp3 | First Artist - First Title | 200 | artist=First Artist | title=First Title
load $dll
bench-hook 200000
wait-window Kelmar Config 5000
read 1003
read 1004
read 1017
read 1020
read 3005
read 1008
read 4
read 3001
read 3000
read 3002
set 1003 reader
set 1004 n3wS3cret
click 3005
read 1008
set 1008 127.0.0.1
set 1010 $KELMAR_SERVICE_PORT
click 1
wait-closed 2000
reg username
reg password
reg useproxy
reg proxyserver
reg proxyport
wait-log Server handshake completed OK 20000
play 0
wait-log Submission of 'First Artist - First Title' accepted OK 20000
quit
unload
EOF
  local r=$work/run.result
  has_line "$r" "init 0"
  has_line "$r" "description Kelmar for Winamp v1.2.1 "
  has_line "$r" "record version 0x10"
  has_line "$r" "hook-answers ok"
  has_line "$r" "window Kelmar Config #1"
  has_line "$r" "control 1003 enabled=1 checked=0 "
  has_line "$r" "control 1004 enabled=1 checked=0 "
  has_line "$r" "control 1017 enabled=1 checked=0 Please provide your details."
  has_line "$r" "control 1020 enabled=1 checked=1 Enable Plugin"
  has_line "$r" "control 3005 enabled=1 checked=0 Use Proxy Server"
  has_line "$r" "control 1008 enabled=0 checked=0 "
  has_line "$r" "control 1008 enabled=1 checked=0 "
  has_line "$r" "control 4 enabled=1 checked=0 View Log File"
  has_line "$r" "control 3001 enabled=0 checked=0 Kelmar for Winamp Version 1.2.1  Build 592"
  has "$r" $'control 3000 enabled=1 checked=0 Cached Files\t0 (0 Bytes)\\r\\nPlayback State\tStopped\\r\\nSubmit Interval\t0\\r\\nLast Response\t'
  has_line "$r" 'control 3002 enabled=1 checked=0 1. \r\n2. \r\n3. \r\n4. \r\n5. \r\n'
  has_line "$r" "window closed"
  has_line "$r" "reg username=reader"
  has_line "$r" "reg password=$(md5 n3wS3cret)"
  has_line "$r" "reg useproxy=#1"
  has_line "$r" "reg proxyserver=127.0.0.1"
  has_line "$r" "reg proxyport=#$KELMAR_SERVICE_PORT"
  lacks "$r" "box "
  wine reg query 'HKCU\Software\Kelmar\Winamp Plugin' </dev/null >"$work/registry.txt" 2>/dev/null
  lacks "$work/registry.txt" "n3wS3cret"
  lacks "$log" "n3wS3cret"
  has "$log" "Startup Complete."
  has_line "$r" "unloaded"
  expect_saved_settings
  expect_eq "play stored for the new account" "reader|First Artist" \
    "$(plays | jq -r '.[] | [.user, .artist] | join("|")')"
}

# The settings dialog on a running plug-in: what it shows, keyboard
# navigation through the player's loop, one window however often it is asked
# for, live status labels, the proxy checks, and the switch that acts at once.
scenario_dialog() {
  settings
  player run <<EOF
track C:\\Music\\One.mp3 | Dialog One - Title One | 200 | artist=Dialog One | title=Title One | album=Album One
load $dll
wait-log Server handshake completed OK 20000
config
wait-window Kelmar Config 5000
read 1003
read 1004
read 1017
read 1020
read 1022
read 1023
read 1005
read 3005
read 1008
read 1010
read 3006
read 1006
read 1007
focus
key 9
focus
config
wait-window Kelmar Config 5000
windows Kelmar Config
play 0
wait-log Submission of 'Dialog One - Title One (Album One)' accepted OK 20000
wait-text 3002 1. Dialog One - Title One (Album One) 15000
wait-text 3000 Playing (Submission Sent) 15000
wait-text 3000 Last Response\tOK 15000
set 1010 0
click 1
click 3006
read 1006
set 1010 $KELMAR_SERVICE_PORT
click 1
check-log Saving settings...
click 1020
wait-log KPlaytally is now Disabled 2000
click 2
wait-closed 2000
config
wait-window Kelmar Config 5000
read 1020
read 3006
key 27
wait-closed 2000
quit
unload
EOF
  local r=$work/run.result
  has "$log" "Showing Config..."
  has_line "$r" "window Kelmar Config #1"
  has_line "$r" "control 1003 enabled=1 checked=0 listener"
  has_line "$r" "control 1004 enabled=1 checked=0 "
  has_line "$r" "control 1017 enabled=1 checked=0 Your password is stored"
  has_line "$r" "control 1020 enabled=1 checked=1 Enable Plugin"
  has_line "$r" "control 1022 enabled=1 checked=1 Show Error Messages "
  has_line "$r" "control 1023 enabled=1 checked=0 Skip Streams"
  has_line "$r" "control 1005 enabled=1 checked=0 -1"
  has_line "$r" "control 3005 enabled=1 checked=1 Use Proxy Server"
  has_line "$r" "control 1008 enabled=1 checked=0 127.0.0.1"
  has_line "$r" "control 1010 enabled=1 checked=0 $KELMAR_SERVICE_PORT"
  has_line "$r" "control 3006 enabled=1 checked=0 Use Proxy Authentication"
  has_line "$r" "control 1006 enabled=0 checked=0 "
  has_line "$r" "control 1007 enabled=0 checked=0 "
  expect_eq "focus, then after Tab" "focus 1003
focus 1004" "$(grep '^focus' "$r")"
  expect_eq "windows found" "window Kelmar Config #1
window Kelmar Config #1
window Kelmar Config #2" "$(grep '^window Kelmar' "$r")"
  has_line "$r" "windows Kelmar Config 1"
  has_line "$r" "control 1006 enabled=1 checked=0 "
  expect_eq "warnings" "box Error|You must enter a valid Server and a Port if you are using a Proxy.
box Error|You must enter a Username and a Password if you are using Proxy Authentication." \
    "$(grep '^box ' "$r")"
  has_line "$r" "log-lacks Saving settings..."
  expect_eq "after Cancel" "control 1020 enabled=1 checked=0 Enable Plugin
control 3006 enabled=1 checked=0 Use Proxy Authentication" \
    "$(grep -E '^control (1020|3006)' "$r" | tail -n 2)"
  expect_eq "saved when quitting" "0x0" \
    "$(wine reg query 'HKCU\Software\Kelmar\Winamp Plugin' /v pluginenabled </dev/null 2>/dev/null |
      tr -d '\r' | awk '$1 == "pluginenabled" { print $3 }')"
  has_line "$r" "unloaded"
}

# b: plays reported and skipped, duplicates, pause and stop.
scenario_plays() {
  settings ignorehttp=1
  player run <<EOF
track C:\\Music\\Normal.mp3 | Normal Artist - Normal Title | 215 | artist=Normal Artist | title=Normal Title | album=Normal Album
track C:\\Music\\Ace.mp3 | Mot$(printf '\xf6')rhead - Ace of Spades | 169 | Artist=Mot$(printf '\xf6')rhead | TITLE=Ace of Spades | album=Ace of Spades
track C:\\Video\\Clip.avi | Video Artist - Video Clip | 60 | artist=Video Artist | title=Video Clip
track http://radio.example/live.mp3 | Radio Artist - Radio Song | 0 | artist=Radio Artist | title=Radio Song
track C:\\Music\\Paused.mp3 | Paused Artist - Paused Title | 200 | artist=Paused Artist | title=Paused Title
track C:\\Music\\Stopped.mp3 | Stopped Artist - Stopped Title | 200 | artist=Stopped Artist | title=Stopped Title
load $dll
wait-log Server handshake completed OK 20000
play 0
notify
wait-log Duplicate notification arrived 2000
wait-log Submission of 'Normal Artist - Normal Title (Normal Album)' accepted OK 20000
play 1
wait-log Submission of 'Mot$(printf '\xf6')rhead - Ace of Spades (Ace of Spades)' accepted OK 20000
play 2
wait-log Unsupported file type so skipping submission (Video Artist - Video Clip) 20000
play 3
wait-log Unsupported file type so skipping submission (Radio Artist - Radio Song) 20000
play 4
pause
wait-ticks 1 15000
wait 500
check-log Submitting 'Paused Artist
resume
wait-log Submission of 'Paused Artist - Paused Title' accepted OK 20000
play 5
wait-log Submission of 'Stopped Artist - Stopped Title' accepted OK 20000
stop
wait-log Playback stopped. Track monitoring aborted. 20000
quit
unload
EOF
  local r=$work/run.result
  has_line "$r" "log-lacks Submitting 'Paused Artist"
  expect_eq "duplicate notifications" 1 "$(count "$log" "Duplicate notification arrived")"
  expect_eq "new songs detected" 6 "$(count "$log" "New song detected")"

  # The first submission, byte for byte: the challenge's answer, the account,
  # and each field percent-encoded as UTF-8.
  local challenge
  challenge=$(sed -n 's/.*New Challenge \([0-9a-f]*\), Response is.*/\1/p' "$log" | head -n 1)
  local answer
  answer=$(md5 "$(md5 secret)$challenge")
  requests >"$work/requests.json"
  local bodies
  bodies=$(jq -r '.[] | select(.kind == "submit") | .body' "$work/requests.json")
  expect_eq "submissions" 4 "$(printf '%s\n' "$bodies" | grep -c .)"
  local date='[0-9]{4}%2d[0-9]{2}%2d[0-9]{2}%20[0-9]{2}%3a[0-9]{2}%3a[0-9]{2}'
  printf '%s\n' "$bodies" | sed -n 1p | grep -qxE \
    "s=$answer&u=listener&a\[0\]=Normal%20Artist&t\[0\]=Normal%20Title&b\[0\]=Normal%20Album&m\[0\]=&l\[0\]=215&i\[0\]=$date" ||
    fail "first submission: $(printf '%s\n' "$bodies" | sed -n 1p)"
  printf '%s\n' "$bodies" | sed -n 2p | grep -qE \
    "&a\[0\]=Mot%c3%b6rhead&t\[0\]=Ace%20of%20Spades&b\[0\]=Ace%20of%20Spades&m\[0\]=&l\[0\]=169&i\[0\]=" ||
    fail "second submission: $(printf '%s\n' "$bodies" | sed -n 2p)"

  plays >"$work/plays.json"
  expect_eq "plays stored" "Normal Artist|Normal Title|Normal Album|215
Motörhead|Ace of Spades|Ace of Spades|169
Paused Artist|Paused Title||200
Stopped Artist|Stopped Title||200" \
    "$(jq -r 'sort_by(.id) | .[] | [.artist, .title, .album, .length] | join("|")' "$work/plays.json")"
}

# c: a second player in the same session while the first runs: its init
# refuses, it leaves the second player's window alone, its config opens
# nothing, and the first goes on.
scenario_second_instance() {
  settings
  player first <<EOF &
track C:\\Music\\First.mp3 | First Artist - First Title | 200 | artist=First Artist | title=First Title
load $dll
wait-log Server handshake completed OK 20000
wait-file $(winpath "$work/second.done") 60000
play 0
wait-log Submission of 'First Artist - First Title' accepted OK 20000
quit
unload
EOF
  local first=$!
  for _ in $(seq 1 300); do
    grep -q '^seen after' "$work/first.result" 2>/dev/null && break
    sleep 0.1
  done
  # The second copy quits as a player does; it must leave the first one's
  # settings as they are.
  player second <<EOF
load $dll
config
quit
unload
EOF
  expect_eq "user name after the second copy quit" "listener" \
    "$(wine reg query 'HKCU\Software\Kelmar\Winamp Plugin' /v username </dev/null 2>/dev/null |
      tr -d '\r' | awk '$1 == "username" { print $3 }')"
  touch "$work/second.done"
  wait "$first" || true
  has_line "$work/first.result" "init 0"
  has_line "$work/first.result" "exit"
  has_line "$work/second.result" "init -1"
  has_line "$work/second.result" "config returned"
  lacks "$work/second.result" "dialog "
  has_line "$work/second.result" "pe-proc ours"
  has_line "$work/first.result" "unloaded"
  expect_eq "plays stored" "First Artist" "$(plays | jq -r '.[].artist')"
}

# The next start, with the standard settings: one flush delivers the cache and
# the file goes.
flush_at_next_start() {
  settings
  player online <<EOF
load $dll
wait-log Submission of cache file accepted OK 30000
quit
unload
EOF
  [ ! -e "$cache" ] || fail "the cache file is still there"
}

# cache_two_offline NAME: the service out of reach, "NAME One" and "NAME Two"
# are played and cached.
cache_two_offline() {
  settings proxyport=1
  player offline <<EOF
track C:\\Music\\One.mp3 | $1 One - Title One | 200 | artist=$1 One | title=Title One
track C:\\Music\\Two.mp3 | $1 Two - Title Two | 200 | artist=$1 Two | title=Title Two
load $dll
play 0
wait-log Not in a position to send data. Caching for later. 20000
play 1
wait-log Not in a position to send data. Caching for later. 20000
quit
unload
EOF
}

# d: offline the plays go to the cache file; online again, one flush delivers
# each exactly once and the file goes.
scenario_offline() {
  cache_two_offline Offline
  [ -s "$cache" ] || fail "no cache file after the offline run"
  has "$cache" "Offline One"
  has "$cache" "Offline Two"
  expect_eq "plays while offline" 0 "$(plays | jq length)"

  # The plug-in reads its settings at start: the next run reaches the service.
  flush_at_next_start
  expect_eq "plays delivered" "Offline One
Offline Two" "$(plays | jq -r '.[].artist' | sort)"
  expect_eq "submissions" 1 "$(requests | jq '[.[] | select(.kind == "submit")] | length')"
}

# e: a refused account is shown once, however often the service refuses it.
scenario_badauth() {
  settings "password=$(md5 wrong)"
  player run <<EOF
track C:\\Music\\One.mp3 | Bad One - Title One | 200 | artist=Bad One | title=Title One
track C:\\Music\\Two.mp3 | Bad Two - Title Two | 200 | artist=Bad Two | title=Title Two
load $dll
wait-log Server handshake completed OK 20000
play 0
wait-log Bad One - Title One', Response is BADAUTH 20000
play 1
wait-log Bad Two - Title Two', Response is BADAUTH 20000
wait 1000
quit
unload
EOF
  expect_eq "refusals shown" 1 \
    "$(count "$work/run.result" "box Kelmar for Winamp|Your username/password are invalid. Please check them in the config dialog.")"
  expect_eq "boxes" 1 "$(count "$work/run.result" "box ")"
  expect_eq "plays stored" 0 "$(plays | jq length)"
}

# f: quitting closes down in order and saves the settings; on a player older
# than 5 the display title is split even when the file has metadata.
scenario_quit() {
  settings
  player run <<EOF
version 0x2081
track C:\\Music\\Old.mp3 | Split Artist - Split Title | 180 | artist=Meta Artist | title=Meta Title | album=Meta Album
load $dll
wait-log Server handshake completed OK 20000
play 0
wait-log accepted OK 20000
quit
unload
EOF
  has "$log" "Winamp Version 2.81"
  local closing saving complete
  closing=$(line_of "$log" "Closing Down")
  saving=$(line_of "$log" "Saving settings...")
  complete=$(line_of "$log" "Shutdown Complete")
  { [ "$closing" -gt 0 ] && [ "$saving" -gt "$closing" ] && [ "$complete" -gt "$saving" ]; } ||
    fail "quit's log lines out of order (Closing Down $closing, Saving $saving, Complete $complete)"
  expect_eq "pe hook after quit" "pe-proc ours" "$(grep '^pe-proc' "$work/run.result" | tail -n 1)"
  expect_saved_settings
  expect_eq "play stored" "Split Artist|Split Title|" \
    "$(plays | jq -r '.[] | [.artist, .title, .album] | join("|")')"
}

# g: unloaded while a submission waits for its answer: the player lives on, and
# the module goes once the request's worker has left it.
# quit_while_posting ANSWER ARTIST [LINES]: a play goes out, and the player
# quits while the service holds its answer as ANSWER (a scripted answer) says;
# LINES follow in the player's script.
quit_while_posting() {
  settings
  script_service "[$1]"
  player run <<EOF
track C:\\Music\\Slow.mp3 | $2 - Slow Title | 200 | artist=$2 | title=Slow Title
load $dll
wait-log Server handshake completed OK 20000
play 0
wait-log Posting Data 20000
quit
${3:-}
EOF
}

scenario_unload() {
  quit_while_posting '{"for": "submit", "delay_ms": 8000, "body": "OK\n"}' "Slow Artist" \
    "unload
module-state
wait-module-gone 20000
wait 2000"
  local r=$work/run.result
  has_line "$r" "unloaded"
  has_line "$r" "module-still-loaded"
  has "$r" "module-gone after"
  lacks "$r" "crash"
  has_line "$r" "exit"
  # Quit cached the play still in flight; accepted after all, it left again.
  has "$log" "No answer yet at quit - caching 'Slow Artist - Slow Title'"
  has "$log" "Accepted after all - taken out of the cache again"
  [ ! -e "$cache" ] || fail "the cache file is still there"
}

# A player without a playlist editor window, or one that destroys it while
# the plug-in hooks it: nothing to hear, but nothing breaks either.
scenario_no_playlist() {
  settings
  player before <<EOF
destroy-pe
load $dll
quit
unload
EOF
  player during <<EOF
track C:\\Music\\One.mp3 | One Artist - One Title | 200 | artist=One Artist | title=One Title
load $dll
wait-log Server handshake completed OK 20000
destroy-pe
play 0
quit
unload
EOF
  local r
  for r in "$work/before.result" "$work/during.result"; do
    has_line "$r" "init 0"
    has_line "$r" "unloaded"
    has_line "$r" "exit"
    lacks "$r" "crash"
  done
}

# A start in the same process after a quit that had to leave the hook on, as
# the module then stays loaded: another subclass came after ours (quit leaves
# it in place), or quit came from inside our hook. The hook is taken up again,
# not chained to itself, and every play arrives.
scenario_reload() {
  settings
  player after <<EOF
track C:\\Music\\One.mp3 | Reload One - Title One | 200 | artist=Reload One | title=Title One
load $dll
subclass-pe
quit
unload
load $dll
play 0
wait-log Submission of 'Reload One - Title One' accepted OK 20000
quit
unload
EOF
  player inside <<EOF
track C:\\Music\\Two.mp3 | Reload Two - Title Two | 200 | artist=Reload Two | title=Title Two
load $dll
quit-in-pe
unload
load $dll
play 0
wait-log Submission of 'Reload Two - Title Two' accepted OK 20000
quit
unload
EOF
  # After each load, subclass-pe and quit: who has the playlist window.
  expect_eq "procedures" "other subclass subclass subclass subclass|other other other ours" \
    "$(for r in after inside; do grep '^pe-proc' "$work/$r.result" | cut -d ' ' -f 2 | paste -sd ' '; done |
      paste -sd '|')"
  expect_eq "answers through the hook" "pe-answer ok|pe-answer ok" \
    "$(cat "$work/after.result" "$work/inside.result" | grep '^pe-answer' | paste -sd '|')"
  expect_eq "plays stored" "Reload One
Reload Two" "$(plays | jq -r 'sort_by(.id) | .[].artist')"
}

# The records of a cache file: their number when each is whole and is a
# planted play or one of chain C's plays (each at most once), else "bad ...".
cache_records() {
  perl -e 'my ($file, $c) = @ARGV; my $d = ""; my %seen;
    if (open(my $f, "<:raw", $file)) { local $/; $d = <$f>; }
    length($d) % 803 == 0 or exit print "bad size ", length($d);
    my @r = unpack("(Z128 Z128 Z128 Z128 Z20 Z6 Z260 Z5)*", $d);
    while (my ($a, $t, $b, $m, $i, $l) = splice(@r, 0, 8)) {
      $a =~ /^(Planted|Kill) Artist (\d+|$c-\d+)$/ && $t eq "$1 Title $2" && $l eq "200" &&
        $i =~ /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/ && ($1 eq "Planted" || !$seen{$a}++)
        or exit print "bad record $a|$t|$l|$i";
    }
    print length($d) / 803;' "$1" "$2"
}

# Chain C of starts in its own folder, each killed at a random moment just
# after its play went to the cache. Every start must load at least what the
# one before had saved (its last "Saved N entries"), at most one more, and the
# file must hold only whole records of known plays.
kill_chain() {
  local c=$1 dir=$work/chain$1 k pid loaded records saved
  saved=$(cache_records "$dir/kelmar.99.cache" "$c")
  for k in $(seq 1 11); do
    rm -f "$dir/Kelmar.log.txt"
    printf '%s\n' "track C:\\Music\\Kill.mp3 | Kill | 200 | artist=Kill Artist $c-$k | title=Kill Title $c-$k" \
      "load $(winpath "$dir/Gen_Kelmar.dll")" "play 0" "wait 30000" >"$dir/$k.script"
    # The last start is not killed: it shows what the last kill left (the cache
    # is read on the timer thread just after init).
    [ "$k" -lt 11 ] || printf '%s\n' "load $(winpath "$dir/Gen_Kelmar.dll")" "wait-log Loaded 30000" \
      quit unload >"$dir/$k.script"
    wine "$win32/substitute_player.exe" "$(winpath "$dir/$k.script")" "$(winpath "$dir/$k.result")" \
      >/dev/null 2>&1 </dev/null &
    pid=$!
    if [ "$k" -lt 11 ]; then
      for _ in $(seq 1 1000); do
        grep -q 'Caching for later' "$dir/Kelmar.log.txt" 2>/dev/null && break
        sleep 0.02
      done
      sleep "$(printf '0.%03d' $((RANDOM % 40)))"
      kill -9 "$pid"
    fi
    wait "$pid" 2>/dev/null || true
    cp "$dir/Kelmar.log.txt" "$dir/$k.log"
    has_line "$dir/$k.result" "init 0"
    loaded=$(sed -n 's/.*Loaded \([0-9]*\) entries.*/\1/p' "$dir/$k.log")
    { [ "${loaded:-0}" -ge "$saved" ] && [ "${loaded:-0}" -le $((saved + 1)) ]; } ||
      fail "chain $c start $k loaded ${loaded:-nothing} after $saved saved"
    saved=$(sed -n 's/.*Saved \([0-9]*\) entries.*/\1/p' "$dir/$k.log" | tail -n 1)
    records=$(cache_records "$dir/kelmar.99.cache" "$c")
    [[ $records =~ ^[0-9]+$ ]] && [ "$records" -ge "${saved:=$loaded}" ] ||
      fail "chain $c after kill $k: $records (saved $saved)"
    echo "$records" >>"$dir/checked"
  done
}

# Killed while caching: offline, two chains of ten kills side by side, each in
# a prefix of its own (the plug-in runs once a session), over a planted cache
# large enough that some kills fall inside a save.
scenario_killed() {
  copy_prefix "$WINEPREFIX" "$work/prefix2"
  settings proxyport=1
  local c second
  for c in 1 2; do
    mkdir -p "$work/chain$c"
    cp "$work/plugins/Gen_Kelmar.dll" "$work/chain$c/"
    wine "$win32/plant_cache.exe" "$(winpath "$work/chain$c/kelmar.99.cache")" 2000 </dev/null
  done
  (
    export WINEPREFIX=$work/prefix2
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    settings proxyport=1
    kill_chain 2
    wineserver -k >/dev/null 2>&1 || true
    [ "$failures" -eq 0 ]
  ) &
  second=$!
  kill_chain 1
  wait "$second" || fail "chain 2 failed"
  # A kill inside a save leaves "Saving submissions..." as the log's last line.
  echo "20 kills, $(for f in "$work"/chain*/[0-9]*.log; do tail -n 1 "$f"; done |
    grep -c 'Saving submissions')" "of them inside a save; $(cat "$work"/chain*/checked |
    awk '{ n += $1 } END { print n }') records checked" >"$work/figure"
}

# A thousand plays left offline (planted as the plug-in writes them) reach the
# service once each and in order, in flushes of 250 set by hand; the file goes.
scenario_drain() {
  settings maxcachesubs=250
  wine "$win32/plant_cache.exe" "$(winpath "$cache")" 1000 </dev/null
  player run <<EOF
load $dll
wait-log Submission of cache file accepted OK 20000
wait-log Submission of cache file accepted OK 20000
wait-log Submission of cache file accepted OK 20000
wait-log Submission of cache file accepted OK 20000
quit
unload
EOF
  [ ! -e "$cache" ] || fail "the cache file is still there"
  expect_eq "plays stored, in order" \
    "$(seq 1 1000 | awk '{ printf "Planted Artist %05d|Planted Title %05d\n", $1, $1 }')" \
    "$(plays | jq -r 'sort_by(.id) | .[] | [.artist, .title] | join("|")')"
  expect_eq "flushes" 4 "$(requests | jq '[.[] | select(.kind == "submit")] | length')"
  # From load to the last flush accepted; every rewrite as its "Saved" line says.
  echo "drained 1000 plays in $(awk '/^seen after/ { s += $3 } END { print s }' "$work/run.result") ms," \
    "$(sed -n 's/.*Saved \([0-9]*\) entries.*/\1/p' "$log" | awk '{ s += $1 * 803 } END { print s + 0 }')" \
    "bytes written to the cache file" >"$work/figure"
}

# A cache file that another program holds open (an antivirus, a backup) cannot
# be replaced or deleted. Two flushes are accepted meanwhile, the second
# emptying the cache; the file is let go only after that save has failed too,
# so a later tick saves it. After a restart the service has each play exactly
# once.
scenario_held_cache() {
  settings maxcachesubs=2
  wine "$win32/plant_cache.exe" "$(winpath "$cache")" 3 </dev/null
  player holder <<EOF &
watch-log $(winpath "$log")
hold-file $(winpath "$cache")
wait-log Failed to delete cache file 60000
wait-log Failed to replace cache file 20000
release-file
EOF
  local holder=$!
  for _ in $(seq 1 300); do
    grep -qx held "$work/holder.result" 2>/dev/null && break
    sleep 0.1
  done
  player run <<EOF
load $dll
wait-log Submission of cache file accepted OK 20000
wait-log Failed to replace cache file 20000
wait-log Submission of cache file accepted OK 20000
wait-log saved again 30000
quit
unload
EOF
  wait "$holder" || true
  has_line "$work/holder.result" "released"
  # Deleted, or emptied when it could not be deleted.
  [ ! -s "$cache" ] || fail "the cache file still holds plays"
  player again <<EOF
track C:\\Music\\New.mp3 | New Artist - New Title | 200 | artist=New Artist | title=New Title
load $dll
play 0
wait-log Submission of 'New Artist - New Title' accepted OK 20000
quit
unload
EOF
  expect_eq "plays stored once each" \
    "New Artist
Planted Artist 00001
Planted Artist 00002
Planted Artist 00003" "$(plays | jq -r '.[].artist' | sort)"
}

# Quit while a play's request gets no answer: the play is in the cache when
# the process ends, and the next start delivers it.
scenario_unsent() {
  quit_while_posting '{"for": "submit", "silent": true}' "Unsent Artist"
  has "$log" "No answer yet at quit - caching 'Unsent Artist - Slow Title'"
  has "$cache" "Unsent Artist"
  flush_at_next_start
  expect_eq "plays stored" "Unsent Artist" "$(plays | jq -r '.[].artist')"
}

# A host whose message loop never calls IsDialogMessage: Tab and Escape still
# work in the settings window.
scenario_dialog_keys() {
  settings
  player run <<EOF
plain-loop
load $dll
config
wait-window Kelmar Config 5000
focus
key 9
focus
key 27
wait-closed 2000
quit
unload
EOF
  local r=$work/run.result
  expect_eq "focus, then after Tab" "focus 1003
focus 1004" "$(grep '^focus' "$r")"
  has_line "$r" "unloaded"
}

# The plug-in in a folder whose name is outside the code page: its log, its
# cache and its version all work there.
scenario_unicode_folder() {
  # Wine names Unix files in the locale's character set: UTF-8 here, while the
  # ANSI code page stays 1252.
  export LC_ALL=C.UTF-8
  local folder=$work/Музыка
  mkdir -p "$folder"
  cp "$win32/Gen_Kelmar.dll" "$folder/"
  dll=$(winpath "$folder/Gen_Kelmar.dll")
  log=$folder/Kelmar.log.txt
  cache=$folder/kelmar.99.cache
  settings proxyport=1
  player offline <<EOF
track C:\\Music\\One.mp3 | Folder Artist - Folder Title | 200 | artist=Folder Artist | title=Folder Title
load $dll
play 0
wait-log Not in a position to send data. Caching for later. 20000
quit
unload
EOF
  has_line "$work/offline.result" "description Kelmar for Winamp v1.2.1 "
  has "$log" "Log and cache in $(winpath "$folder")\\"
  has "$cache" "Folder Artist"
  flush_at_next_start
  expect_eq "plays stored" "Folder Artist" "$(plays | jq -r '.[].artist')"
  has <(requests | jq -r '.[] | select(.kind == "handshake") | .target') "&v=1.2.1&"
}

# A Unicode player's playlist window stays Unicode through the hook: a text
# outside the code page comes back as it was set, hooked and after quit.
scenario_unicode_pe() {
  settings
  player run <<EOF
track C:\\Music\\One.mp3 | Wide Artist - Wide Title | 200 | artist=Wide Artist | title=Wide Title
unicode-pe
load $dll
wait-log Server handshake completed OK 20000
pe-text 日本 Ж é
play 0
wait-log Submission of 'Wide Artist - Wide Title' accepted OK 20000
pe-text Ελληνικά 中文
quit
pe-text 日本 Ж é
unload
EOF
  local r=$work/run.result
  expect_eq "texts kept" 3 "$(count "$r" "pe-text kept")"
  lacks "$r" "pe-text changed"
  expect_eq "pe hook after quit" "pe-proc ours" "$(grep '^pe-proc' "$r" | tail -n 1)"
  expect_eq "plays stored" "Wide Artist" "$(plays | jq -r '.[].artist')"
}

# Started and quit fifty times in one process, a handshake in flight at every
# other quit at least: no crash, the playlist window's own procedure back and
# the module gone each time, no thread or handle left behind (but events: the
# threads runtime never frees a contended std::mutex's). The service closes
# each connection, so WinInet keeps none for later. Then at log threshold 8,
# quit's two lines are there, and not as errors.
scenario_load_loop() {
  settings
  local i answers=""
  for i in $(seq 1 60); do
    answers+='{"for": "handshake", "delay_ms": 400, "headers": {"Connection": "close"}, "body": "UPTODATE\n{challenge}\n{submit_url}\nINTERVAL 0\n"},'
  done
  script_service "[${answers%,}]"
  for i in $(seq 1 50); do
    echo "load $dll"
    [ $((i % 2)) -eq 1 ] || echo "wait-log Getting URL from Server 5000"
    printf '%s\n' quit unload "wait-module-gone 10000"
    [ "$i" -gt 1 ] || echo "resources 0"
  done | sed '1i resources 0' | sed '$a resources 5000' | player run
  local r=$work/run.result
  expect_eq "starts" 50 "$(count "$r" "init 0")"
  expect_eq "own procedure back after quit" 50 "$(grep -c '^pe-proc ours' "$r")"
  expect_eq "module gone" 50 "$(count "$r" "module-gone after")"
  lacks "$r" "crash"
  local inflight
  inflight=$(awk '/^quit [0-9]+ ms$/ && $2 >= 300' "$r" | wc -l)
  [ "$inflight" -ge 25 ] || fail "only $inflight quits waited for a request"
  # threads=T handles=H events=E: T and H - E after the first start and the last.
  expect_eq "threads and handles but events, after the first start and the last" \
    "$(grep '^resources' "$r" | sed -n 2p | awk -F '[= ]' '{ print $3, $5 - $7 }')" \
    "$(grep '^resources' "$r" | sed -n 3p | awk -F '[= ]' '{ print $3, $5 - $7 }')"
  echo "50 starts, $inflight quits with a request in flight;" \
    "$(grep '^resources' "$r" | sed 's/resources //' | paste -sd '>' | sed 's/>/ -> /g')" \
    "(before the first, after the first, after the last)" >"$work/figure"

  settings debugoverride=8
  player level8 <<EOF
load $dll
quit
unload
EOF
  expect_eq "quit's lines at threshold 8" "Closing Down
Shutdown Complete" \
    "$(grep -F 'Gen_Kelmar::Quit' "$log" | tr -d '\r' | awk -F '\t' '{ print $NF }')"
}

# Not a test: what the plug-in costs the player, timed under Wine and printed
# as a report (scripts/test.sh runs it apart from the scenarios). init with a
# cache of 10 000 plays against init with none, taking turns, offline; then,
# online, the player's thread's time in each message into the plug-in: the
# new-track message and ordinary ones through the hook, and the settings
# window's ordinary messages and its 5-second refresh.
scenario_bench() {
  settings proxyport=1
  mkdir -p "$work/full"
  cp "$work/plugins/Gen_Kelmar.dll" "$work/full/"
  wine "$win32/plant_cache.exe" "$(winpath "$work/full/kelmar.99.cache")" 10000 </dev/null
  local i
  for i in $(seq 1 10); do
    printf '%s\n' "load $(winpath "$work/full/Gen_Kelmar.dll")" quit unload "wait-module-gone 10000" \
      "load $dll" quit unload "wait-module-gone 10000"
  done | player init
  settings
  player messages <<EOF
track C:\\Music\\One.mp3 | Bench One - Title One | 200 | artist=Bench One | title=Title One
track C:\\Music\\Two.mp3 | Bench Two - Title Two | 200 | artist=Bench Two | title=Title Two
load $dll
config
wait-window Kelmar Config 5000
time-calls 2000
time-tracks 100 410
quit
unload
EOF
  # The median of ten, in microseconds: the full cache's starts are the odd ones.
  median() {
    awk -v odd="$1" '/^init took/ && ++n % 2 == odd { print $3 }' "$work/init.result" |
      sort -n | sed -n 5,6p | awk '{ s += $1 } END { print s / 2 }'
  }
  local full empty
  full=$(median 1)
  empty=$(median 0)
  {
    echo "init with 10 000 cached plays $full us, with none $empty us:" \
      "ratio $(awk -v a="$full" -v b="$empty" 'BEGIN { printf "%.2f", a / b }')"
    grep '^time ' "$work/messages.result"
  } >"$work/figure"
}

# The installer as a user runs it, silently: it finds the player from its
# registry entry and installs into its Plugins folder; the player loads the
# installed plug-in and a play arrives; installing again over it keeps the
# user's data; with the player running it refuses; uninstalling removes its
# files and entry and keeps the cache with an unsent play.
scenario_installer() {
  local setup=${KELMAR_DIST:-$root/dist}/Gen_Kelmar-1.2.1-setup.exe
  [ -e "$setup" ] || { fail "no installer: run scripts/package.sh first"; return 0; }
  local home="$WINEPREFIX/drive_c/Program Files/Winamp"
  local plugins=$home/Plugins wplugins='C:\Program Files\Winamp\Plugins'
  local entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Gen_Kelmar'
  mkdir -p "$plugins"
  cp "$win32/substitute_player.exe" "$home/winamp.exe"
  wine reg add 'HKCU\Software\Winamp' /ve /d 'C:\Program Files\Winamp' /f >/dev/null 2>&1 </dev/null
  setup() { local rc=0; wine "$setup" /S </dev/null >/dev/null 2>&1 || rc=$?; echo "$rc"; }

  expect_eq "install" 0 "$(setup)"
  local f
  for f in Gen_Kelmar.dll kelmar.html Gen_Kelmar-uninstall.exe; do
    [ -e "$plugins/$f" ] || fail "$f not installed"
  done
  wine reg query "$entry" </dev/null 2>/dev/null | tr -d '\r' >"$work/entry.txt"
  has "$work/entry.txt" "DisplayVersion    REG_SZ    1.2.1"
  has "$work/entry.txt" "Publisher    REG_SZ    Kelmar"

  settings
  player installed <<EOF2
track C:\\Music\\One.mp3 | Installed One - Title One | 200 | artist=Installed One | title=Title One
load $wplugins\\Gen_Kelmar.dll
play 0
wait-log Submission of 'Installed One - Title One' accepted OK 20000
quit
unload
EOF2
  has "$work/installed.result" "description Kelmar for Winamp v1.2.1 "
  settings proxyport=1
  player offline <<EOF2
track C:\\Music\\Two.mp3 | Installed Two - Title Two | 200 | artist=Installed Two | title=Title Two
load $wplugins\\Gen_Kelmar.dll
play 0
wait-log Not in a position to send data. Caching for later. 20000
quit
unload
EOF2
  local cached=$plugins/kelmar.99.cache
  has "$cached" "Installed Two"

  expect_eq "install over it" 0 "$(setup)"
  has "$cached" "Installed Two"

  # While the player runs, its window tells the installer to stay away.
  printf 'note started\nwait-file %s 30000\n' "$(winpath "$work/done")" >"$work/running.script"
  timeout 60 wine "$win32/substitute_player.exe" "$(winpath "$work/running.script")" \
    "$(winpath "$work/running.result")" >/dev/null 2>&1 </dev/null &
  local running=$! i
  for i in $(seq 1 300); do
    grep -q started "$work/running.result" 2>/dev/null && break
    sleep 0.1
  done
  expect_eq "install while the player runs" 2 "$(setup)"
  touch "$work/done"
  wait "$running" || fail "the running player ended badly"

  # The uninstaller waits only when told its folder, as the last argument.
  printf '@"%s\\Gen_Kelmar-uninstall.exe" /S _?=%s\r\n@exit %%ERRORLEVEL%%\r\n' \
    "$wplugins" "$wplugins" >"$work/uninstall.bat"
  local rc=0
  wine cmd /c "$(winpath "$work/uninstall.bat")" </dev/null >/dev/null 2>&1 || rc=$?
  expect_eq "uninstall" 0 "$rc"
  for f in Gen_Kelmar.dll kelmar.html; do
    [ ! -e "$plugins/$f" ] || fail "$f left after uninstalling"
  done
  ! wine reg query "$entry" </dev/null >/dev/null 2>&1 || fail "the uninstall entry is left"
  has "$cached" "Installed Two"
  expect_eq "plays stored" "Installed One" "$(plays | jq -r '.[].artist')"
}

# A player whose plug-in folder the user cannot write (Program Files under
# UAC): the log and the cache go to the user's own folder, and the plays cached
# offline survive a restart and arrive once each.
scenario_protected() {
  local user="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Kelmar"
  chattr +i "$work/plugins"
  trap 'chattr -i "$work/plugins"' EXIT
  cache=$user/kelmar.99.cache
  cache_two_offline Kept
  flush_at_next_start
  chattr -i "$work/plugins"
  expect_eq "plays delivered" "Kept One
Kept Two" "$(plays | jq -r '.[].artist' | sort)"
  has "$user/Kelmar.log.txt" "Cannot write in"
  has "$user/Kelmar.log.txt" "Log and cache in C:\\users\\"
  expect_eq "files beside the DLL" "Gen_Kelmar.dll" "$(ls "$work/plugins")"
}

run_one() {
  local name=$1
  work=$2
  win32=$3
  dll=$(winpath "$work/plugins/Gen_Kelmar.dll")
  log=$work/plugins/Kelmar.log.txt
  cache=$work/plugins/kelmar.99.cache
  "scenario_$name"
  [ "$failures" -eq 0 ]
}

if [ "${1:-}" = "--one" ]; then
  shift
  run_one "$@"
  exit
fi

# ---- The runner ----

[ $# -ge 2 ] || { echo "usage: e2e.sh WIN32_BUILD_DIR SERVICE_BINARY [SCENARIO...]" >&2; exit 2; }
win32=$(cd "$1" && pwd)
service_binary=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=("${all_scenarios[@]}")
prefix=${KELMAR_WINEPREFIX:-$root/build/wineprefix}
for f in "$win32/Gen_Kelmar.dll" "$win32/substitute_player.exe" "$service_binary"; do
  [ -e "$f" ] || { echo "e2e: $f is missing" >&2; exit 2; }
done

export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
top=$(mktemp -d "${TMPDIR:-/tmp}/kelmar-e2e.XXXXXX")
cleanup() {
  local dir
  for dir in "$top"/*/prefix*; do
    [ -d "$dir" ] && WINEPREFIX=$dir wineserver -k >/dev/null 2>&1 || true
  done
  if [ -n "${KELMAR_E2E_KEEP:-}" ]; then echo "e2e: kept $top"; else rm -rf "$top"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# One scenario, all of its output in its folder; the status in its folder too.
run_scenario() {
  local name=$1 work=$top/$1
  mkdir -p "$work/plugins"
  local start=$SECONDS status=0
  {
    copy_prefix "$prefix" "$work/prefix"
    cp "$win32/Gen_Kelmar.dll" "$work/plugins/"
    export WINEPREFIX=$work/prefix
    # Wine's helpers keep the first call's output open: give them nothing.
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    "$root/scripts/with-service.sh" "$service_binary" --account listener:secret -- \
      "$root/scripts/e2e.sh" --one "$name" "$work" "$win32" || status=$?
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${KELMAR_E2E_KEEP:-}" ] || rm -rf "$work"/prefix*
  } >"$work/output.txt" 2>&1
  echo "$status" >"$work/status"
  if [ "$status" -eq 0 ]; then
    echo "e2e: $name passed in $((SECONDS - start))s"
  else
    echo "e2e: $name FAILED in $((SECONDS - start))s"
  fi
}

jobs=${KELMAR_E2E_JOBS:-4}
echo "e2e: ${#scenarios[@]} scenarios, $jobs at a time"
begin=$SECONDS
running=0
for name in "${scenarios[@]}"; do
  declare -F "scenario_$name" >/dev/null || { echo "e2e: no scenario '$name'" >&2; exit 2; }
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_scenario "$name" &
  running=$((running + 1))
done
wait || true

status=0
for name in "${scenarios[@]}"; do
  work=$top/$name
  [ "$(cat "$work/status" 2>/dev/null)" = 0 ] && continue
  status=1
  echo "e2e: $name, what happened:"
  sed 's/^/    /' "$work/output.txt"
  for f in "$work"/*.result; do
    [ -e "$f" ] && { echo "    -- $(basename "$f")"; sed 's/^/    | /' "$f"; }
  done
  if [ -e "$work/plugins/Kelmar.log.txt" ]; then
    echo "    -- Kelmar.log.txt (the last 60 lines)"
    tail -n 60 "$work/plugins/Kelmar.log.txt" | sed 's/^/    | /'
  fi
done
bench=$(grep -h '^bench-hook' "$top/first_start/run.result" 2>/dev/null || true)
[ -z "$bench" ] || echo "e2e: the playlist hook's cost: ${bench#bench-hook }"
# What a scenario measured, one line a figure.
for name in "${scenarios[@]}"; do
  [ ! -s "$top/$name/figure" ] || sed "s/^/e2e: $name: /" "$top/$name/figure"
done
echo "e2e: all scenarios took $((SECONDS - begin))s"
exit "$status"
