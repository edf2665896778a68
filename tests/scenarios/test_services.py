# Kelmar and an extra service: the user's own archive, "Home", a second reference service reached
# through the same proxy setting.
import time

import pytest
from harness import RECORD, OtherService, md5, poll, track, winpath

EARLY = [(f"Early Artist {i}", f"Early Title {i}") for i in (1, 2, 3)]
HELD = [(f"Held Artist {i}", f"Held Title {i}") for i in (1, 2)]


def service_cache(s, home):  # Home's file: its id is made from its address and account
    return s.cache.parent / f"kelmar.service{md5(f'http://127.0.0.1:{home.port}/' + chr(10) + 'listener')[:8]}.cache"


def artists(path):  # of a cache file's whole records, in order
    data = path.read_bytes() if path.exists() else b""
    data = data[:len(data) - len(data) % RECORD.size]
    return [fields[0].split(b"\0")[0].decode() for fields in RECORD.iter_unpack(data)]


# Both up, each play reaches each service once, in order. Then Home holds its answer, and is
# stopped: Kelmar takes the next plays as before, and Home's wait in its own cache file, not in
# Kelmar's. Home back on its port: one flush delivers them, once each, and the file goes. Both keep
# the same plays, time and all.
@pytest.mark.timeout(300)
def test_services(s):
    home = OtherService(s, "home")
    s.settings()
    s.service(1, name="Home", handshakeurl=f"http://127.0.0.1:{home.port}/", username="listener",
              password=md5("secret"), enabled=1)
    home_cache = service_cache(s, home)
    silent, stopped, done = s.work / "home-silent", s.work / "home-stopped", s.work / "done"
    lines = [track(f"T{i}", a, t) for i, (a, t) in enumerate(EARLY + HELD)] + [f"load {s.dll}"]
    for i, (a, t) in enumerate(EARLY + HELD):
        lines += {3: [f"wait-file {winpath(silent)} 120000"], 4: [f"wait-file {winpath(stopped)} 120000"]}.get(i, [])
        lines += [f"play {i}", f"wait-log Submission of '{a} - {t}' accepted OK 20000"]
    player = s.start_player("run", "\n".join(lines + [f"wait-file {winpath(done)} 120000", "quit", "unload"]))

    def until(check, what, timeout=90):
        assert poll(lambda: check() or player.poll() is not None, timeout) and check(), what

    until(lambda: home.plays("artist", "title") == EARLY, "Home holds the first three plays")
    duplicates = [r["duplicate"] for r in home.requests("submit")]
    home.http("/_control/script", {"for": "submit", "silent": True})
    silent.touch()
    until(lambda: s.plays("artist", "title") == EARLY + HELD[:1], "Kelmar holds the fourth play")
    home.stop()
    stopped.touch()
    until(lambda: s.plays("artist", "title") == EARLY + HELD, "Kelmar holds all five plays")
    until(lambda: artists(home_cache) == [a for a, _ in HELD], f"{home_cache.name} holds the last two")
    assert not set(artists(s.cache)) & {a for a, _ in HELD}, "Home's plays in Kelmar's cache"
    home.start()
    until(lambda: home.plays("artist", "title") == EARLY + HELD and not home_cache.exists(),
          "Home holds all five plays and its cache file is gone")
    done.touch()
    s.finish("run", player)
    assert home.plays("artist", "title", "time") == s.plays("artist", "title", "time")
    duplicates += [r["duplicate"] for r in s.requests("submit") + home.requests("submit")]
    assert not any(duplicates), "a play sent twice"


# A thousand plays left offline for each of Kelmar and Home (planted as the plug-in writes them)
# reach each service once and in order, in flushes of 250; both files go.
@pytest.mark.timeout(300)
def test_services_drain(s):
    home = OtherService(s, "home")
    s.settings(maxcachesubs=250)
    s.service(1, name="Home", handshakeurl=f"http://127.0.0.1:{home.port}/", username="listener",
              password=md5("secret"), enabled=1)
    # Planted as a version before services had ids left them: the file takes Home's id at the start.
    numbered, home_cache, done = s.cache.parent / "kelmar.service1.cache", service_cache(s, home), s.work / "done"
    s.plant(s.cache, 1000)
    s.plant(numbered, 1000)
    started = time.monotonic()
    player = s.start_player("run", f"load {s.dll}\nwait-file {winpath(done)} 240000\nquit\nunload")
    planted = [(f"Planted Artist {n:05d}", f"Planted Title {n:05d}") for n in range(1, 1001)]
    assert poll(lambda: (not s.cache.exists() and not home_cache.exists() and not numbered.exists())
                or player.poll() is not None, 200), "the cache files are still there"
    s.figures.append(f"1000 plays to each of Kelmar and Home in {time.monotonic() - started:.1f} s")
    done.touch()
    s.finish("run", player)
    assert s.plays("artist", "title") == planted
    assert home.plays("artist", "title") == planted
    assert not any(r["duplicate"] for r in s.requests("submit") + home.requests("submit"))
