# The cache file: plays kept offline, at quit, in a held file, through kills,
# in a folder the plug-in cannot write or whose name is outside the code page.
import os
import pwd
import random
import re
import shutil
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from harness import OFFLINE, RECORD, cache_records, md5, poll, read, track, winpath

pytestmark = pytest.mark.timeout(120)


# The next start, with the standard settings: one flush delivers the cache and the file goes.
def flush_at_next_start(s):
    s.settings()
    s.player("online", f"load {s.dll}\nwait-log Submission of cache file accepted OK 30000\nquit\nunload")
    assert not s.cache.exists(), "the cache file is still there"


# The service out of reach, "NAME One" and "NAME Two" are played and cached.
def cache_two_offline(s, name):
    s.settings(proxyport=1)
    s.player("offline", rf"""
        {track("One", f"{name} One", "Title One")}
        {track("Two", f"{name} Two", "Title Two")}
        load {s.dll}
        play 0
        wait-log {OFFLINE} 20000
        play 1
        wait-log {OFFLINE} 20000
        quit
        unload""")


# A play goes out, and the player quits while the service holds its answer as ANSWER says.
def quit_while_posting(s, answer, artist, more=""):
    s.settings()
    s.script_service([answer])
    return s.player("run", rf"""
        {track("Slow", artist, "Slow Title")}
        load {s.dll}
        wait-log Server handshake completed OK 20000
        play 0
        wait-log Posting Data 20000
        quit
        {more}""")


def artists(s):  # of the plays stored, sorted
    return sorted(artist for artist, in s.plays("artist"))


# Chain C of starts in its own folder, each killed at a random moment just after its play went to
# the cache. Every start must load at least what the one before had saved (its last "Saved N
# entries"), at most one more, and the file must hold only whole records of known plays. Returns the
# logs' last lines and the records checked.
def kill_chain(s, c, env):
    folder = s.work / f"chain{c}"
    log, cache = folder / "Kelmar.log.txt", folder / "kelmar.99.cache"
    saved, last_lines, checked = cache_records(cache, c), [], 0
    for k in range(1, 12):
        log.unlink(missing_ok=True)
        load = f"load {winpath(folder / 'Gen_Kelmar.dll')}"
        # The last start is not killed: it shows what the last kill left (the cache is read on
        # the timer thread just after init).
        script = (f"track C:\\Music\\Kill.mp3 | Kill | 200 | artist=Kill Artist {c}-{k} | title=Kill Title {c}-{k}"
                  f"\n{load}\nplay 0\nwait 30000" if k < 11 else f"{load}\nwait-log Loaded 30000\nquit\nunload")
        proc = s.start_player(f"chain{c}/{k}", script, env)
        if k < 11:
            poll(lambda: "Caching for later" in read(log), 20)
            time.sleep(random.randrange(40) / 1000)  # the moment of the kill: 0-39 ms after caching
            proc.kill()
        s.finish(f"chain{c}/{k}", proc, check=False)
        text = read(log)
        shutil.copy(log, folder / f"{k}.log")
        last_lines.append(text.splitlines()[-1] if text else "")
        assert "init 0" in s.result(f"chain{c}/{k}")
        loaded = int((re.findall(r"Loaded (\d+) entries", text) or [0])[0])
        assert saved <= loaded <= saved + 1, f"chain {c} start {k} loaded {loaded} after {saved} saved"
        saved = int((re.findall(r"Saved (\d+) entries", text) or [loaded])[-1])
        records = cache_records(cache, c)
        assert isinstance(records, int) and records >= saved, f"chain {c} after kill {k}: {records} (saved {saved})"
        checked += records
    return last_lines, checked


# Killed while caching: offline, two chains of ten kills side by side, each in a prefix of its own
# (the plug-in runs once a session), over a planted cache large enough that some kills fall inside a
# save.
@pytest.mark.timeout(300)
def test_killed(s):
    second = s.add_prefix("prefix2")
    for c, env in (1, s.env), (2, second):
        (s.work / f"chain{c}").mkdir()
        shutil.copy(s.win32 / "Gen_Kelmar.dll", s.work / f"chain{c}")
        s.plant(s.work / f"chain{c}/kelmar.99.cache", 2000)
        s.settings(env=env, proxyport=1)
    with ThreadPoolExecutor(2) as pool:
        chains = [pool.submit(kill_chain, s, c, env) for c, env in ((1, s.env), (2, second))]
        (lines1, checked1), (lines2, checked2) = [chain.result() for chain in chains]
    # A kill inside a save leaves "Saving submissions..." as the log's last line.
    inside = sum("Saving submissions" in line for line in lines1 + lines2)
    s.figures.append(f"20 kills, {inside} of them inside a save; {checked1 + checked2} records checked")


# A thousand plays left offline (planted as the plug-in writes them) reach the service once each and
# in order, in flushes of 250 set by hand; the file goes.
@pytest.mark.timeout(180)
def test_drain(s):
    s.settings(maxcachesubs=250)
    s.plant(s.cache, 1000)
    flushes = "wait-log Submission of cache file accepted OK 20000\n" * 4
    r = s.player("run", f"load {s.dll}\n{flushes}quit\nunload")
    assert not s.cache.exists(), "the cache file is still there"
    assert s.plays("artist", "title") == [
        (f"Planted Artist {n:05d}", f"Planted Title {n:05d}") for n in range(1, 1001)]
    assert len(s.requests("submit")) == 4
    # From load to the last flush accepted; every rewrite as its "Saved" line says.
    took = sum(int(line.split()[2]) for line in r if line.startswith("seen after"))
    written = sum(int(n) * 803 for n in re.findall(r"Saved (\d+) entries", read(s.log)))
    s.figures.append(f"drained 1000 plays in {took} ms, {written} bytes written to the cache file")


# A cache file that another program holds open (an antivirus, a backup) cannot be replaced or
# deleted. Two flushes are accepted meanwhile, the second emptying the cache; the file is let go
# only after that save has failed too, so a later tick saves it. After a restart the service has
# each play exactly once.
@pytest.mark.timeout(180)
def test_held_cache(s):
    s.settings(maxcachesubs=2)
    s.plant(s.cache, 3)
    holder = s.start_player("holder", f"""
        watch-log {winpath(s.log)}
        hold-file {winpath(s.cache)}
        wait-log Failed to delete cache file 60000
        wait-log Failed to replace cache file 20000
        release-file""")
    s.wait_result("holder", "^held$")
    s.player("run", f"""
        load {s.dll}
        wait-log Submission of cache file accepted OK 20000
        wait-log Failed to replace cache file 20000
        wait-log Submission of cache file accepted OK 20000
        wait-log saved again 30000
        quit
        unload""")
    assert "released" in s.finish("holder", holder)
    # Deleted, or emptied when it could not be deleted.
    assert not s.cache.exists() or s.cache.stat().st_size == 0, "the cache file still holds plays"
    s.play_one("again", "New Artist", "New Title")
    assert artists(s) == ["New Artist", "Planted Artist 00001", "Planted Artist 00002", "Planted Artist 00003"]


# A player whose plug-in folder the user cannot write (Program Files under UAC): the log and the
# cache go to the user's own folder, and the plays cached offline survive a restart and arrive once
# each.
@pytest.mark.timeout(180)
def test_protected(s):
    user = s.work / f"prefix/drive_c/users/{pwd.getpwuid(os.getuid()).pw_name}/AppData/Roaming/Kelmar"
    subprocess.run(["chattr", "+i", s.work / "plugins"], check=True)
    try:
        s.log, s.cache = user / "Kelmar.log.txt", user / "kelmar.99.cache"
        cache_two_offline(s, "Kept")
        flush_at_next_start(s)
    finally:
        subprocess.run(["chattr", "-i", s.work / "plugins"], check=True)
    assert artists(s) == ["Kept One", "Kept Two"]
    log = read(s.log)
    assert "Cannot write in" in log
    assert "Log and cache in C:\\users\\" in log
    assert [p.name for p in (s.work / "plugins").iterdir()] == ["Gen_Kelmar.dll"]


# The plug-in in a folder whose name is outside the code page: its log, its cache and its version
# all work there.
def test_unicode_folder(s):
    # Wine names Unix files in the locale's character set: UTF-8 here, while the ANSI code page
    # stays 1252.
    s.env["LC_ALL"] = "C.UTF-8"
    folder = s.work / "Музыка"
    s.use_folder(folder)
    s.settings(proxyport=1)
    r = s.play_one("offline", "Folder Artist", "Folder Title", OFFLINE)
    assert "description Kelmar for Winamp v1.2.1 " in r
    assert f"Log and cache in {winpath(folder)}\\" in read(s.log)
    assert b"Folder Artist" in s.cache.read_bytes()
    flush_at_next_start(s)
    assert artists(s) == ["Folder Artist"]
    assert any("&v=1.2.1&" in r["target"] for r in s.requests("handshake"))


# Quit while a play's request gets no answer: the play is in the cache when the process ends, and
# the next start delivers it.
def test_unsent(s):
    quit_while_posting(s, {"for": "submit", "silent": True}, "Unsent Artist")
    assert "No answer yet at quit - caching 'Unsent Artist - Slow Title'" in read(s.log)
    assert b"Unsent Artist" in s.cache.read_bytes()
    flush_at_next_start(s)
    assert artists(s) == ["Unsent Artist"]


# Offline the plays go to the cache file; online again, one flush delivers each exactly once and the
# file goes.
@pytest.mark.timeout(180)
def test_offline(s):
    cache_two_offline(s, "Offline")
    cached = s.cache.read_bytes() if s.cache.exists() else b""
    assert cached, "no cache file after the offline run"
    assert b"Offline One" in cached and b"Offline Two" in cached
    assert s.plays() == []
    # The plug-in reads its settings at start: the next run reaches the service.
    flush_at_next_start(s)
    assert artists(s) == ["Offline One", "Offline Two"]
    assert len(s.requests("submit")) == 1


# Unloaded while a submission waits for its answer: the player lives on, and the module goes once
# the request's worker has left it.
@pytest.mark.timeout(180)
def test_unload(s):
    r = quit_while_posting(s, {"for": "submit", "delay_ms": 8000, "body": "OK\n"}, "Slow Artist",
                           "unload\nmodule-state\nwait-module-gone 20000\nwait 2000")
    assert "unloaded" in r and "module-still-loaded" in r and "exit" in r
    assert any("module-gone after" in line for line in r)
    assert not any("crash" in line for line in r)
    # Quit cached the play still in flight; accepted after all, it left again.
    log = read(s.log)
    assert "No answer yet at quit - caching 'Slow Artist - Slow Title'" in log
    assert "Accepted after all - taken out of the cache again" in log
    assert not s.cache.exists(), "the cache file is still there"


# A Japanese artist with a Greek title from a Unicode player (5.66) arrives exactly, live and from
# the cache after a restart, and the settings window shows it as it is. Then the plays belong to
# their account: alice's cached play waits while bob is logged in, and goes when she is back.
@pytest.mark.timeout(240)
def test_titles_and_accounts(s):
    ja, gr, album = "夜明けの灯台", "Καλοκαίρι", "海辺"
    s.settings()
    s.player("live", f"""version 0x5066
        {track("Live", ja, gr + " 1", album)}
        load {s.dll}
        wait-log Server handshake completed OK 20000
        play 0
        wait-log Submission of '{ja} - {gr} 1 ({album})' accepted OK 20000
        config
        wait-window Kelmar Config 5000
        wait-text 3002 1. {ja} - {gr} 1 ({album}) 10000
        key 27
        wait-closed 5000
        quit
        unload""")
    s.settings(proxyport=1)
    s.player("offline", f"""version 0x5066
        {track("Cached", ja, gr + " 2", album)}
        load {s.dll}
        play 0
        wait-log {OFFLINE} 20000
        quit
        unload""")
    record = RECORD.unpack(s.cache.read_bytes())
    assert record[0].rstrip(b"\0") == ja.encode() and record[3][:7] == b"\0KLMR\x01\x03"
    flush_at_next_start(s)
    assert s.plays("artist", "title", "album") == [(ja, f"{gr} {n}", album) for n in (1, 2)]

    for user in "alice", "bob":
        s.account(user, f"{user}-secret")
    s.settings(username="alice", password=md5("alice-secret"), proxyport=1)
    s.play_one("alice", "Alice Artist", "Alice Title", OFFLINE)
    s.settings(username="bob", password=md5("bob-secret"))
    s.player("bob", f"""{track("Bob", "Bob Artist", "Bob Title")}
        load {s.dll}
        wait-log Server handshake completed OK 20000
        play 0
        wait-log 1 cached plays wait for another account 20000
        wait-log Submission of 'Bob Artist - Bob Title' accepted OK 20000
        config
        wait-window Kelmar Config 5000
        wait-text 3000 , 1 for another account 10000
        key 27
        wait-closed 5000
        quit
        unload""")
    assert b"Alice Artist" in s.cache.read_bytes()
    s.settings(username="alice", password=md5("alice-secret"))
    s.player("back", f"load {s.dll}\nwait-log Submission of cache file accepted OK 30000\nquit\nunload")
    assert not s.cache.exists()
    assert s.plays("user", "artist")[-2:] == [("bob", "Bob Artist"), ("alice", "Alice Artist")]
    last = s.history()[-1]
    assert last[1:7] + last[8:] == ["Alice Artist", "Alice Title", "", "200", "alice", "sent", "from cache"]
