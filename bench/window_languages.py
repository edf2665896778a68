"""What the windows' languages cost, timed under Wine and printed as a report
(not a test; run by hand):

    /usr/bin/python3 bench/window_languages.py [--win32 DIR] [--service BINARY] [--rounds N]

Offline, in each language (the "language" value): the
player's thread's time in config until the settings window is up, and in the
click on "Plays..." until the Plays window is up; medians over the rounds of
two passes, and each language's against English's."""
import argparse
import os
import re
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/scenarios"))
from harness import ROOT, Scenario  # noqa: E402
from test_layout import LANGUAGES, catalogue  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--win32", default=ROOT / "build/win32")
parser.add_argument("--service", default=ROOT / "build/native/kelmar_service")
parser.add_argument("--rounds", type=int, default=10)
args = parser.parse_args()

# Two passes over the languages, so that a drift of the machine's speed falls on all of them.
samples = {language: {"config": [], "click 1030": []} for language in LANGUAGES}
with Scenario("languages-bench", args.win32, args.service,
              os.environ.get("KELMAR_WINEPREFIX", ROOT / "build/wineprefix")) as s:
    for language in LANGUAGES * 2:
        tr = catalogue(language)
        s.settings(proxyport=1, language="" if language == "en" else language)
        rounds = "\n".join(f"""time-config
            wait-window {tr("Kelmar Config")} 5000
            time-click 1030
            wait-window {tr("Kelmar Plays")} 5000
            click 2
            wait-window {tr("Kelmar Config")} 5000
            click 2
            wait-closed 5000""" for _ in range(args.rounds))
        r = "\n".join(s.player(language, f"""load {s.dll}
            {rounds}
            quit
            unload"""))
        for what, got in samples[language].items():
            got += [float(m[1]) for m in re.finditer(rf"time {what} (\d+) us", r)]
times = {language: [statistics.median(got) for got in kinds.values()] for language, kinds in samples.items()}
for language, (config, plays) in times.items():
    base = times["en"]
    print(f"{language}: settings window {config / 1000:.1f} ms ({config / base[0] - 1:+.0%}), "
          f"Plays window {plays / 1000:.1f} ms ({plays / base[1] - 1:+.0%})")
