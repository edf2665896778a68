"""What the Plays window costs, timed under Wine and printed as a report (not a
test; run by hand):

    /usr/bin/python3 bench/plays_window.py [--win32 DIR] [--service BINARY] [--rounds N]

In a scenario of the end-to-end suite (tests/scenarios/harness.py), offline,
taking turns between a plug-in with 10 000 waiting plays and 100 000 history
lines and one with none: how long the click on "Plays..." holds the player's
thread until the window is up, how long until its rows are read, the
player's thread's time in a refresh with nothing changed, a click on a column
header (twice: up, then down; the sort itself runs off the player's thread),
the longest any message held the player's thread from the window's opening
until its rows are sorted, and the export of every play against a copy of the
history file (medians over the rounds; the longest message also as the worst
round). Then the Kelmar Services window with 20 000 plays kept for the removed
service Home: each round opens the window, adds Home again (its plays come back
with it; the click includes the form, which the test host fills within about
20 ms), lets it refresh, and removes Home keeping the plays; the longest message
on the player's thread in each phase."""
import argparse
import os
import re
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/scenarios"))
from harness import ROOT, Scenario, md5, winpath  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--win32", default=ROOT / "build/win32")
parser.add_argument("--service", default=ROOT / "build/native/kelmar_service")
parser.add_argument("--rounds", type=int, default=5)
args = parser.parse_args()

HEADER = "played_utc\tartist\ttitle\talbum\tlength\taccount\toutcome\tat_utc\tdetail"


def history_lines(n):
    lines = [HEADER] + [f"2026-{1 + i % 12:02d}-{1 + i % 28:02d} {i % 24:02d}:{i % 60:02d}:00\tArtist {i}\t"
                        f"Title {i}\tAlbum {i % 997}\t{120 + i % 300}\tlistener\tsent\t"
                        f"2026-{1 + i % 12:02d}-{1 + i % 28:02d} {i % 24:02d}:{i % 60:02d}:30\tlive"
                        for i in range(n)]
    return ("\ufeff" + "\r\n".join(lines) + "\r\n").encode()


figures = {"full": [], "none": [], "services": []}
with Scenario("plays-bench", args.win32, args.service,
              os.environ.get("KELMAR_WINEPREFIX", ROOT / "build/wineprefix")) as s:
    s.settings(proxyport=1)
    full, empty = s.work / "full", s.work / "plugins"
    s.use_folder(full)
    s.use_folder(empty)
    s.plant(full / "kelmar.99.cache", 10000)
    roaming = next((s.work / "prefix/drive_c/users").glob("*/AppData/Roaming"))
    history = roaming / "Kelmar/kelmar.history.tsv"
    history.parent.mkdir(exist_ok=True)
    big = history_lines(100000)
    for n in range(args.rounds):
        for case, folder in ("full", full), ("none", empty):
            history.write_bytes(big if case == "full" else history_lines(0))
            out = s.work / f"export-{case}-{n}.csv"
            r = s.player(f"{case}-{n}", f"""load {winpath(folder / 'Gen_Kelmar.dll')}
                config
                wait-window Kelmar Config 5000
                longest-message
                time-click 1030
                wait-window Kelmar Plays 5000
                longest-message
                wait-text 1041 to be sent 120000
                longest-message
                time-calls 2000
                longest-message
                time-sort 1042 2
                wait 6000
                time-sort 1042 2
                wait 6000
                longest-message
                save-as {winpath(out)}
                click 1045
                wait-log Exported 120000
                time-copy {winpath(history)} {winpath(s.work / 'copy.tsv')}
                quit
                unload""")
            log = (folder / "Kelmar.log.txt").read_text("utf-8", "replace"); print(case, [l.split("TIMING")[1] for l in log.splitlines() if "TIMING" in l]); print([l for l in r if "longest" in l])
            figures[case].append({
                "click": float(next(re.search(r"time click 1030 (\d+) us", l)[1] for l in r if "time click" in l)),
                "rows": float(next(re.search(r"text after (\d+) ms", l)[1] for l in r if "text after" in l)),
                "refresh99": float(next(re.search(r"p99=([\d.]+)", l)[1] for l in r if "time refresh" in l)),
                "sort": max(float(re.search(r"time sort 2 (\d+) us", l)[1]) for l in r if "time sort" in l),
                **dict(zip(("opening", "reading", "refreshes", "sorting"),
                           [float(re.search(r"longest message (\d+) us", l)[1]) for l in r if "longest" in l][1:])),
                "which": [l.split(", ", 1)[1] for l in r if "longest" in l][1:],
                "export": float(re.findall(r"Exported (\d+) plays to .* in (\d+) ms", log)[-1][1]),
                "exported": int(re.findall(r"Exported (\d+) plays", log)[-1]),
                "copy": float(next(re.search(r"time copy (\d+) us", l)[1] for l in r if "time copy" in l)) / 1000,
            })

    # Where the plug-in keeps Home's plays: its id, made from its address and account.
    home = "http://127.0.0.1:1/home/"
    s.plant(empty / f"kelmar.service{md5(home + chr(10) + 'listener')[:8]}.cache", 20000)
    for n in range(args.rounds):
        r = s.player(f"services-{n}", f"""load {winpath(empty / 'Gen_Kelmar.dll')}
            config
            wait-window Kelmar Config 5000
            longest-message
            click 1033
            wait-window Kelmar Services 5000
            longest-message
            fill-next Kelmar Service|1070=Home|1071={home}|1072=listener|1073=secret|1
            time-click 1061
            longest-message
            wait 6000
            time-calls 200
            longest-message
            answer yes no
            select 1060 Home
            click 1063
            longest-message
            quit
            unload""")
        figures["services"].append({
            "add": float(next(re.search(r"time click 1061 (\d+) us", l)[1] for l in r if "time click" in l)),
            **dict(zip(("opening", "adding", "refreshes", "removing"),
                       [float(re.search(r"longest message (\d+) us", l)[1]) for l in r if "longest" in l][1:]))})


def median(case, key):
    return statistics.median(f[key] for f in figures[case])


for case in "full", "none":
    print(f"{case}: click until the window is up {median(case, 'click'):.0f} us, rows read after "
          f"{median(case, 'rows'):.0f} ms (the timer's 500 ms granularity), refresh p99 "
          f"{median(case, 'refresh99'):.1f} us, export of {figures[case][0]['exported']} plays "
          f"{median(case, 'export'):.0f} ms, copy of the history {median(case, 'copy'):.1f} ms")
    print(f"{case}: header click {median(case, 'sort'):.0f} us (the slower of the two); the longest message "
          "on the player's thread while the window opens, reads, refreshes and sorts (worst round), " + ", ".join(
              f"{phase} {median(case, phase) / 1000:.1f} ms ({max(f[phase] for f in figures[case]) / 1000:.1f})"
              for phase in ("opening", "reading", "refreshes", "sorting")))
    print(f"{case}: the longest messages: " + ", ".join(sorted({w for f in figures[case] for w in f["which"] if w})))
print(f"window up with 10 000 waiting and 100 000 history lines against none: ratio "
      f"{median('full', 'click') / median('none', 'click'):.2f}")
print(f"export of 110 000 plays against a copy of the 100 000-line history: ratio "
      f"{median('full', 'export') / max(median('full', 'copy'), 0.001):.2f}")
print(f"Services window, 20 000 plays kept for Home: the click on Add... {median('services', 'add') / 1000:.1f} ms "
      "(the form included); the longest message on the player's thread (worst round): " + ", ".join(
          f"{phase} {median('services', phase) / 1000:.1f} ms ({max(f[phase] for f in figures['services']) / 1000:.1f})"
          for phase in ("opening", "adding", "refreshes", "removing")))
