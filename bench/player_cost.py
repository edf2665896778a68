"""What the plug-in costs the player, timed under Wine and printed as a report
(not a test; run by hand):

    /usr/bin/python3 bench/player_cost.py [--win32 DIR] [--service BINARY]

In a scenario of the end-to-end suite (tests/scenarios/harness.py): the
playlist hook's cost per ignored message against a bare subclass and none;
init with a cache of 10 000 plays against init with none, taking turns,
offline (medians of ten); then, online, the player's thread's time in each
message into the plug-in: the new-track message and ordinary ones through the
hook, and the settings window's ordinary messages and its 5-second refresh,
for a player before 5.13 (ANSI queries) and one after it (wide queries, with
Japanese texts), first with Kelmar alone, then with two extra services besides
(two more reference services, as the user's archive and a friend's): the p99
of each side by side at the end."""
import argparse
import os
import re
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/scenarios"))
from harness import ROOT, OtherService, Scenario, md5, track, winpath  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--win32", default=ROOT / "build/win32")
parser.add_argument("--service", default=ROOT / "build/native/kelmar_service")
args = parser.parse_args()

with Scenario("bench", args.win32, args.service, os.environ.get("KELMAR_WINEPREFIX", ROOT / "build/wineprefix")) as s:
    s.settings()
    hook = s.player("hook", f"load {s.dll}\nbench-hook 200000\nquit\nunload")
    s.settings(proxyport=1)
    full = s.work / "full"
    s.use_folder(full)
    s.use_folder(s.work / "plugins")
    s.plant(full / "kelmar.99.cache", 10000)
    turn = f"load {winpath(full / 'Gen_Kelmar.dll')}\nquit\nunload\nwait-module-gone 10000\n"
    turn += f"load {s.dll}\nquit\nunload\nwait-module-gone 10000\n"
    took = [int(line.split()[2]) for line in s.player("init", turn * 10) if line.startswith("init took")]
    s.settings()
    home, away, messages = OtherService(s, "home"), OtherService(s, "away"), {}
    for extra in "", "home":
        if extra:
            for n, (name, other) in enumerate((("Home", home), ("Away", away)), 1):
                s.service(n, name=name, handshakeurl=f"http://127.0.0.1:{other.port}/", username="listener",
                          password=md5("secret"), enabled=1)
        # A player before 5.13 is asked the ANSI queries; a later one the wide ones first.
        messages.update({(version, extra): s.player(f"messages-{version}{extra}", rf"""version {version}
        {track("One", artist + " One", "Title One")}
        {track("Two", artist + " Two", "Title Two")}
        load {s.dll}
        config
        wait-window Kelmar Config 5000
        time-calls 2000
        time-tracks 100 410
        quit
        unload""") for version, artist in (("0x5012", "Bench"), ("0x5066", "夜明けの灯台"))})
    home_plays = (len(home.plays()), len(away.plays()))
# The full cache's starts are the odd ones.
with_cache, without = statistics.median(took[0::2]), statistics.median(took[1::2])
print("the playlist hook's cost:", next(line for line in hook if line.startswith("bench-hook")).split(" ", 1)[1])
print(f"init with 10 000 cached plays {with_cache:g} us, with none {without:g} us: ratio {with_cache / without:.2f}")
for (version, extra), lines in messages.items():
    print(f"player {version}, {'with Home and Away' if extra else 'Kelmar alone'}:",
          "\n".join(line for line in lines if line.startswith("time ")))
p99 = {key: dict(re.findall(r"^time (\w+) .* p99=(\S+ us)", "\n".join(lines), re.M)) for key, lines in messages.items()}
for version in "0x5012", "0x5066":
    print(f"p99 on the player's thread, player {version}, Kelmar alone -> with Home and Away "
          f"({home_plays[0]} and {home_plays[1]} plays there):",
          ", ".join(f"{kind} {us} -> {p99[version, 'home'].get(kind)}" for kind, us in p99[version, ""].items()))
