# The installer as a user runs it, silently.
import os
import shutil
from pathlib import Path

import pytest
from harness import OFFLINE, ROOT, read, winpath

ENTRY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Gen_Kelmar"


# It finds the player from its registry entry and installs into its Plugins folder; the player loads
# the installed plug-in and a play arrives; installing again over it keeps the user's data; with the
# player running it refuses; uninstalling removes its files and entry and keeps the cache with an
# unsent play.
@pytest.mark.timeout(180)
def test_installer(s):
    setup = Path(os.environ.get("KELMAR_DIST", ROOT / "dist")) / "Gen_Kelmar-1.2.1-setup.exe"
    assert setup.exists(), "no installer: run scripts/package.sh first"
    home = s.work / "prefix/drive_c/Program Files/Winamp"
    plugins, wplugins = home / "Plugins", r"C:\Program Files\Winamp\Plugins"
    plugins.mkdir(parents=True)
    shutil.copy(s.win32 / "substitute_player.exe", home / "winamp.exe")
    s.wine("reg", "add", r"HKCU\Software\Winamp", "/ve", "/d", r"C:\Program Files\Winamp", "/f")
    s.log, s.cache = plugins / "Kelmar.log.txt", plugins / "kelmar.99.cache"

    assert s.wine(setup, "/S").returncode == 0, "install"
    for f in "Gen_Kelmar.dll", "kelmar.html", "Gen_Kelmar-uninstall.exe":
        assert (plugins / f).exists(), f"{f} not installed"
    entry = s.reg(ENTRY)
    assert entry["DisplayVersion"] == "1.2.1" and entry["Publisher"] == "Kelmar"

    s.settings()
    dll = wplugins + r"\Gen_Kelmar.dll"
    r = s.play_one("installed", "Installed One", "Title One", dll=dll)
    assert "description Kelmar for Winamp v1.2.1 " in r
    s.settings(proxyport=1)
    s.play_one("offline", "Installed Two", "Title Two", OFFLINE, dll)
    assert "Installed Two" in read(s.cache)

    assert s.wine(setup, "/S").returncode == 0, "install over it"
    assert "Installed Two" in read(s.cache)

    # While the player runs, its window tells the installer to stay away.
    running = s.start_player("running", f"note started\nwait-file {winpath(s.work / 'done')} 30000")
    s.wait_result("running", "started")
    assert s.wine(setup, "/S").returncode == 2, "install while the player runs"
    (s.work / "done").touch()
    s.finish("running", running)

    # The uninstaller waits only when told its folder, as the last argument.
    (s.work / "uninstall.bat").write_bytes(
        f'@"{wplugins}\\Gen_Kelmar-uninstall.exe" /S _?={wplugins}\r\n@exit %ERRORLEVEL%\r\n'.encode())
    assert s.wine("cmd", "/c", winpath(s.work / "uninstall.bat")).returncode == 0, "uninstall"
    for f in "Gen_Kelmar.dll", "kelmar.html":
        assert not (plugins / f).exists(), f"{f} left after uninstalling"
    assert s.reg(ENTRY) is None, "the uninstall entry is left"
    assert "Installed Two" in read(s.cache)
    assert s.plays("artist") == [("Installed One",)]
