"""What the Kelmar Services window costs the player's thread with 20 000 plays
kept for an extra service, timed under Wine and printed as a report (not a
test; run by hand):

    /usr/bin/python3 bench/services_window.py [--win32 DIR] [--service BINARY] [--rounds N]

In a scenario of the end-to-end suite (tests/scenarios/harness.py), offline: the
service "Home" was removed with its 20 000 waiting plays kept; each round opens
the Services window, adds Home again (its plays come back with it), lets the
window refresh, and removes it keeping the plays. Printed: the click on
"Services..." until the window is up, the click on "Add..." (the form included,
which the test host fills within about 20 ms), a refresh, the click on Remove
(its two questions included), and the longest message the player's thread took
in each phase (medians over the rounds, and the worst round)."""
import argparse
import os
import re
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/scenarios"))
from harness import ROOT, Scenario, md5  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--win32", default=ROOT / "build/win32")
parser.add_argument("--service", default=ROOT / "build/native/kelmar_service")
parser.add_argument("--rounds", type=int, default=5)
args = parser.parse_args()

URL = "http://127.0.0.1:1/home/"
rounds = []
with Scenario("services-bench", args.win32, args.service,
              os.environ.get("KELMAR_WINEPREFIX", ROOT / "build/wineprefix")) as s:
    s.settings(proxyport=1)
    # Where the plug-in keeps Home's plays: its id, made from its address and account.
    s.plant(s.cache.parent / f"kelmar.service{md5(URL + chr(10) + 'listener')[:8]}.cache", 20000)
    for n in range(args.rounds):
        r = s.player(f"round-{n}", f"""load {s.dll}
            config
            wait-window Kelmar Config 5000
            longest-message
            time-click 1033
            wait-window Kelmar Services 5000
            longest-message
            fill-next Kelmar Service|1070=Home|1071={URL}|1072=listener|1073=secret|1
            time-click 1061
            longest-message
            wait 6000
            time-calls 200
            longest-message
            answer yes no
            select 1060 Home
            time-click 1063
            longest-message
            quit
            unload""")
        longest = [float(re.search(r"longest message (\d+) us", l)[1]) for l in r if "longest" in l]
        clicks = [float(re.search(r"time click \d+ (\d+) us", l)[1]) for l in r if "time click" in l]
        refresh = float(next(re.search(r"p99=([\d.]+)", l)[1] for l in r if "time refresh" in l))
        rounds.append(dict(zip(("open", "add", "remove"), clicks), refresh=refresh,
                           **dict(zip(("opening", "adding", "refreshing", "removing"), longest[1:]))))
    waiting = [l for l in r if l.startswith("box ")]


def line(keys, unit=1000, suffix="ms"):
    return ", ".join(f"{k} {statistics.median(x[k] for x in rounds) / unit:.1f} {suffix} "
                     f"({max(x[k] for x in rounds) / unit:.1f})" for k in keys)


print("clicks (median, worst round): " + line(("open", "add", "remove")))
print(f"a refresh, p99: {statistics.median(x['refresh'] for x in rounds):.0f} us")
print("the longest message on the player's thread while the window opens, adds, refreshes and removes: "
      + line(("opening", "adding", "refreshing", "removing")))
print("the questions of the last round:", " / ".join(waiting))
