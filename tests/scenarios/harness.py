# What a scenario runs in: a copy of the Wine prefix with its own wineserver, the reference
# service on its own port, a plug-in folder with the DLL, and the substitute player driven by a
# script. Used by conftest.py's fixture and by bench/player_cost.py.
import hashlib
import json
import os
import re
import select
import shutil
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
KEY = r"HKCU\Software\Kelmar\Winamp Plugin"
OFFLINE = "Not in a position to send data. Caching for later."
TEXT_SETTINGS = {"username", "password", "proxyserver", "proxyuser", "proxypass", "skipfolders", "skipgenres",
                 "language"}
# A cache record (record/submission.h): artist, title, album, m, time, length, path, file type.
RECORD = struct.Struct("128s128s128s128s20s6s260s5s")
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def winpath(path):  # the Unix path as Wine's drive Z: sees it
    return "Z:" + str(path).replace("/", "\\")


def read(path):  # a file's text, '' when missing; bytes that are not UTF-8 shown as \xNN
    try:
        return Path(path).read_bytes().decode("utf-8", "backslashreplace")
    except FileNotFoundError:
        return ""


def count(text, lines):
    return sum(text in line for line in lines)


def poll(check, timeout):  # check()'s first true answer within timeout seconds, else None
    deadline = time.monotonic() + timeout
    while not (found := check()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return found or None


# A playlist entry shown as "ARTIST - TITLE", with the artist and title as metadata.
def track(name, artist, title, album=None, seconds=200):
    line = f"track C:\\Music\\{name}.mp3 | {artist} - {title} | {seconds} | artist={artist} | title={title}"
    return line + (f" | album={album}" if album else "")


# The number of records of a cache file when each is whole and is a planted play or one of chain
# CHAIN's plays (each at most once), else "bad ...".
def cache_records(path, chain):
    data = Path(path).read_bytes() if Path(path).exists() else b""
    if len(data) % RECORD.size:
        return f"bad size {len(data)}"
    seen = set()
    for fields in RECORD.iter_unpack(data):
        artist, title, _, _, stamp, length = (f.split(b"\0")[0].decode("latin-1") for f in fields[:6])
        m = re.fullmatch(rf"(Planted|Kill) Artist (\d+|{chain}-\d+)", artist)
        if not (m and title == f"{m[1]} Title {m[2]}" and length == "200"
                and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", stamp)
                and (m[1] == "Planted" or artist not in seen)):
            return f"bad record {artist}|{title}|{length}|{stamp}"
        seen.add(artist)
    return len(data) // RECORD.size


# What a reference service on self.port holds.
class Views:
    def http(self, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        with DIRECT.open(f"http://127.0.0.1:{self.port}{path}", data, timeout=30) as answer:
            return json.loads(answer.read())

    def plays(self, *fields):  # by id; as tuples of FIELDS when given (None as "")
        plays = sorted(self.http("/plays"), key=lambda p: p["id"])
        return [tuple(str(p[f] or "") for f in fields) if fields else p for p in plays]

    def requests(self, kind=None):
        return [r for r in self.http("/_control/requests") if kind in (None, r["kind"])]


# A second reference service, NAME, for an extra service of the plug-in, with the standard account:
# its own database and log, and the same port (its submit address) when started again after stop().
class OtherService(Views):
    def __init__(self, s, name):
        self.s, self.name, self.port = s, name, 0
        self.start()

    def start(self):
        self.proc, (self.port,) = self.s.launch_service(
            self.port, self.name, "--submit-url", "http://127.0.0.1:{port}/submit")

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Scenario(Views):
    def __init__(self, name, win32, service, template, keep=False):
        self.win32, self.service_binary, self.template = Path(win32), Path(service), Path(template)
        for f in self.win32 / "Gen_Kelmar.dll", self.win32 / "substitute_player.exe", self.service_binary:
            assert f.exists(), f"{f} is missing"
        self.work, self.keep = Path(tempfile.mkdtemp(prefix=f"kelmar-{name}-")), keep
        # Wine's WinInet follows the proxy variables: none of the machine's reach the plug-in.
        self.env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
        self.env.update(WINEARCH="win32", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C")
        self.prefixes, self.players, self.services, self.figures, self.kelmar = [], [], [], [], None
        self.use_folder(self.work / "plugins")

    def __enter__(self):
        try:
            self.env = self.add_prefix("prefix")
            self.start_service()
            return self
        except BaseException:
            self.__exit__()
            raise

    # The reference service on its database, with the standard account and EXTRA options; with a
    # certificate, its HTTPS port is tls_port.
    def start_service(self, *extra):
        if self.kelmar:
            self.kelmar.kill()
            self.kelmar.wait()
        self.kelmar, (self.port, *tls) = self.launch_service(0, "service", *extra)
        self.tls_port = tls[0] if tls else None

    # A reference service on PORT (0: any), with NAME.db and NAME.log, the standard account and EXTRA
    # options; returns it and its ports (HTTPS's second).
    def launch_service(self, port, name, *extra):
        proc = subprocess.Popen(
            [self.service_binary, "--port", str(port), "--db", self.work / f"{name}.db", "--test-controls",
             "--account", "listener:secret", *map(str, extra)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=open(self.work / f"{name}.log", "ab"))
        self.services.append(proc)
        # Its lines come together, at one flush.
        ready = select.select([proc.stdout], [], [], 30)[0]
        ports = []
        for _ in range(2 if "--tls-cert" in extra else 1):
            line = proc.stdout.readline().decode() if ready else ""
            assert line.startswith("listening "), f"the service did not start: {line or 'no output'}"
            ports.append(int(line.rsplit(":", 1)[1]))
        return proc, ports

    # A certificate authority the prefix trusts (in its own registry store, as Wine reads it) and one
    # it does not, each with a certificate for NAMES; returns the folder with {trusted,untrusted}.pem
    # (the certificate, then its authority's) and .key.
    def certificates(self, *names):
        folder = self.work / "tls"
        folder.mkdir(exist_ok=True)
        new = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
        for which in "trusted", "untrusted":
            subprocess.run(new + ["-keyout", f"{which}-ca.key", "-out", f"{which}-ca.pem", "-subj",
                                  f"/CN=Kelmar {which} test authority"], check=True, cwd=folder, **QUIET)
            subprocess.run(new + ["-keyout", f"{which}.key", "-out", f"{which}-leaf.pem", "-subj", f"/CN={names[0]}",
                                  "-addext", "subjectAltName=" + ",".join(f"DNS:{n}" for n in names),
                                  "-CA", f"{which}-ca.pem", "-CAkey", f"{which}-ca.key"], check=True, cwd=folder, **QUIET)
            (folder / f"{which}.pem").write_text((folder / f"{which}-leaf.pem").read_text()
                                                 + (folder / f"{which}-ca.pem").read_text())
        # A system store entry: property 3 (the SHA-1 hash), then 0x20 (the DER bytes).
        der = ssl.PEM_cert_to_DER_cert((folder / "trusted-ca.pem").read_text())
        sha1 = hashlib.sha1(der).digest()
        blob = struct.pack("<III", 3, 1, 20) + sha1 + struct.pack("<III", 0x20, 1, len(der)) + der
        key = rf"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates\{sha1.hex().upper()}"
        assert self.wine("reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f").returncode == 0
        return folder

    # Ends what the scenario started. Its wineservers' shutdown and the removal of its folder go on
    # beside the next scenario (the process waits for them before it ends).
    def __exit__(self, *_):
        servers = [subprocess.Popen(["wineserver", "-k"], env=env, **QUIET) for env in self.prefixes]
        for proc in self.players + self.services:
            proc.kill()
            proc.wait()

        def clean():
            for server in servers:
                server.wait()
            if not self.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        threading.Thread(target=clean).start()

    # The plug-in's folder: the DLL, and its log and cache unless it cannot write there.
    def use_folder(self, folder):
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(self.win32 / "Gen_Kelmar.dll", folder)
        self.dll = winpath(folder / "Gen_Kelmar.dll")
        self.log, self.cache = folder / "Kelmar.log.txt", folder / "kelmar.99.cache"

    # A copy of the template prefix with its wineserver running; returns its environment. The
    # system folder, nearly all of its size and only ever read, is linked, not copied.
    def add_prefix(self, name):
        prefix, drive = self.work / name, self.template / "drive_c"
        (prefix / "drive_c").mkdir(parents=True)
        for sources, to, how in ([p for p in self.template.iterdir() if p != drive], prefix, "-a"), \
                ([p for p in drive.iterdir() if p.name != "windows"], prefix / "drive_c", "-a"), \
                ([drive / "windows"], prefix / "drive_c", "-al"):
            subprocess.run(["cp", how, *sources, to], check=True)
        # The user's own data (a play history) starts empty, whatever the template holds.
        for data in (prefix / "drive_c/users").glob("*/AppData/Roaming/Kelmar"):
            shutil.rmtree(data)
        env = dict(self.env, WINEPREFIX=str(prefix))
        self.prefixes.append(env)
        # Wine's helpers keep the first call's output open: give them nothing.
        subprocess.run(["wineserver", "-p"], env=env, **QUIET)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, **QUIET)
        return env

    def script_service(self, answers):
        self.http("/_control/script", answers)

    def account(self, user, password):
        self.http("/_control/account", {"user": user, "password": password})

    # Runs a Windows program. Its output goes through a file, as Wine's helpers may keep it open.
    def wine(self, *args, env=None):
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["wine", *map(str, args)], env=env or self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            proc.stdout = out.read().decode("utf-8", "replace").replace("\r", "")
        return proc

    # The plug-in's settings key anew (its extra services gone): the standard account and proxy, then
    # the overrides; the texts as strings, everything else as numbers.
    def settings(self, env=None, **overrides):
        values = dict(username="listener", password=md5("secret"), useproxy=1, proxyserver="127.0.0.1",
                      proxyport=self.port, showerrors=1, debugoverride=1)
        values.update(overrides)
        self.import_key(KEY, {n: str(v) if n in TEXT_SETTINGS else v for n, v in values.items()}, env)

    # Extra service N's key anew, after settings(): name, handshakeurl, username, password, enabled.
    def service(self, n, env=None, **values):
        self.import_key(rf"{KEY}\Services\{n}", values, env)

    def import_key(self, key, values, env=None):  # texts as strings, numbers as numbers
        key = key.replace("HKCU", "HKEY_CURRENT_USER")
        lines = ["REGEDIT4", "", f"[-{key}]", "", f"[{key}]"]
        lines += [f'"{n}"="{v}"' if isinstance(v, str) else f'"{n}"=dword:{v:08x}' for n, v in values.items()]
        reg = self.work / f"settings-{Path((env or self.env)['WINEPREFIX']).name}.reg"
        reg.write_text("\r\n".join(lines) + "\r\n")
        assert self.wine("reg", "import", winpath(reg), env=env).returncode == 0, "settings not imported"

    # The key's values as {name: text}, a number as "0x..."; None when there is no key.
    def reg(self, key=KEY):
        proc = self.wine("reg", "query", key)
        pairs = re.findall(r"^ +(\S+) +REG_\w+ {4}(.*)$", proc.stdout, re.M)
        return None if proc.returncode else dict(pairs)

    # The substitute player on SCRIPT (its lines stripped, in UTF-8), recording into NAME.result.
    def start_player(self, name, script, env=None):
        script = "\n".join(line.strip() for line in script.strip().splitlines()) + "\n"
        (self.work / f"{name}.script").write_text(script, encoding="utf-8")
        with open(self.work / f"{name}.out", "wb") as out:
            self.players.append(subprocess.Popen(
                ["wine", self.win32 / "substitute_player.exe", winpath(self.work / f"{name}.script"),
                 winpath(self.work / f"{name}.result")], env=env or self.env, stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT))
        return self.players[-1]

    # Waits for a player, whose status must be 0 when CHECK; returns its result lines.
    def finish(self, name, proc, check=True):
        status = proc.wait(180)
        assert status == 0 or not check, f"player {name} ended with status {status}"
        return self.result(name)

    def player(self, name, script, env=None, check=True):
        return self.finish(name, self.start_player(name, script, env), check)

    # One play of "ARTIST - TITLE", and quit once the log says WAIT (by default that it was accepted).
    def play_one(self, name, artist, title, wait=None, dll=None):
        return self.player(name, f"""{track("One", artist, title)}
            load {dll or self.dll}
            play 0
            wait-log {wait or f"Submission of '{artist} - {title}' accepted OK"} 20000
            quit
            unload""")

    def result(self, name):
        return read(self.work / f"{name}.result").splitlines()

    def wait_result(self, name, pattern, timeout=30):
        assert poll(lambda: any(re.search(pattern, line) for line in self.result(name)), timeout), \
            f"no {pattern!r} in {name}.result after {timeout} s"

    # The play history of the prefix's user, as lists of fields, header first.
    def history(self):
        files = list((self.work / "prefix/drive_c/users").glob("*/AppData/Roaming/Kelmar/kelmar.history.tsv"))
        return [line.split("\t") for line in read(files[0]).lstrip("\ufeff").splitlines()] if files else []

    # A cache file of numbered plays, as the plug-in leaves them offline.
    def plant(self, path, plays):
        assert self.wine(self.win32 / "plant_cache.exe", winpath(path), plays).returncode == 0

    # What a failed scenario shows: the players' records, what else they printed, the logs' tails.
    def artefacts(self):
        for f in sorted(self.work.glob("*.result")) + sorted(self.work.glob("*/*.result")):
            yield f.relative_to(self.work), read(f)
        for f in sorted(self.work.glob("*.out")):
            yield f.name, "\n".join(l for l in read(f).splitlines() if not l.startswith("player: "))
        for f, n in [(f, 40) for f in sorted(self.work.glob("*.log"))] + [(self.log, 60)]:
            yield f"{f.name} (the last {n} lines)", "\n".join(read(f).splitlines()[-n:])
