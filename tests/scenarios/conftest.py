# End-to-end scenarios under Wine: the real Gen_Kelmar.dll, loaded by the
# substitute player, against the native reference service.
#
#     /usr/bin/python3 -m pytest -p no:cacheprovider -n 4 tests/scenarios [-k NAME]
#         [--win32 DIR] [--service BINARY] [--keep]
#
# Each scenario (the fixture `s`, a harness.Scenario) has a copy of the Wine
# prefix (KELMAR_WINEPREFIX, default build/wineprefix) with its own wineserver, a
# service on its own port, and a plug-in folder of its own for the log and the
# cache. The installer scenario runs KELMAR_DIST (default dist/)'s installer. A
# failed scenario shows the players' records and output and the log's tail; what
# a scenario measures is printed at the end, a line each.
import os

import pytest
from harness import ROOT, Scenario

def pytest_addoption(parser):
    parser.addoption("--win32", default=os.environ.get("KELMAR_WIN32", ROOT / "build/win32"),
                     help="the Windows build folder: Gen_Kelmar.dll, substitute_player.exe, plant_cache.exe")
    parser.addoption("--service", default=os.environ.get("KELMAR_SERVICE", ROOT / "build/native/kelmar_service"),
                     help="the reference service's binary")
    parser.addoption("--keep", action="store_true", help="keep each scenario's folder")


@pytest.fixture
def s(request):
    option = request.config.getoption
    template = os.environ.get("KELMAR_WINEPREFIX", ROOT / "build/wineprefix")
    with Scenario(request.node.name[5:], option("--win32"), option("--service"), template, option("--keep")) as s:
        s.figures += [f"kept in {s.work}"] if option("--keep") else []
        yield s


# The longest scenarios first, as their timeouts tell, so that the workers end together. A worker
# takes its first two at once: each of the longest goes with one of the shortest.
def pytest_collection_modifyitems(items):
    items.sort(key=lambda item: -item.get_closest_marker("timeout").args[0])
    workers = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1"))
    if len(items) >= 2 * workers:
        longest, rest = items[:workers], items[workers:]
        items[:] = [item for pair in zip(longest, rest[::-1]) for item in pair] + rest[:-workers]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    s = getattr(item, "funcargs", {}).get("s")
    if s and report.when == "call":
        report.user_properties += [("figure", f) for f in s.figures]
        if report.failed:
            report.sections += [(str(title), text) for title, text in s.artefacts() if text]


def pytest_terminal_summary(terminalreporter):
    figures = [f"{report.nodeid.rsplit('::test_', 1)[-1]}: {value}"
               for reports in terminalreporter.stats.values() for report in reports
               for key, value in getattr(report, "user_properties", ()) if key == "figure"]
    if figures:
        terminalreporter.section("figures")
        terminalreporter.line("\n".join(figures))
