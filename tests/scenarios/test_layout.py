# Every window of the plug-in in every language at 96 and at 144 dots per inch: no label cut off in
# its control's own font, no control over another, across a group box's frame or out of its window.
import re
from pathlib import Path

import pytest
from harness import OFFLINE, md5, track

WINDOWS = ["Kelmar Config", "Kelmar Services", "Kelmar Service", "Kelmar Plays", "Edit play"]
LANGUAGES = ["en", "de", "fr", "es", "it", "pt-BR", "pl", "ru", "ja", "zh-CN"]
LOCALES = {"en": "en_US.UTF-8", "pt-BR": "pt_BR.UTF-8", "zh-CN": "zh_CN.UTF-8",
           **{tag: f"{tag}_{tag.upper()}.UTF-8" for tag in ("de", "fr", "es", "it", "pl", "ru")},
           "ja": "ja_JP.UTF-8"}
CATALOGUES = Path(__file__).resolve().parents[2] / "ui/lang"


# A language's texts: tr(ONE, FORM, MANY) is a text's plural form FORM, English's own without a
# translation.
def catalogue(language):
    texts, entry = {}, []
    path = CATALOGUES / f"{language}.po"
    for line in path.read_text(encoding="utf-8").splitlines() if language != "en" else []:
        m = re.fullmatch(r'(msgid|msgid_plural|msgstr(?:\[\d\])?) "(.*)"', line)
        if m and m[1] == "msgid":
            entry = [m[2]]
        elif m and m[1].startswith("msgstr"):
            texts.setdefault(entry[0], []).append(m[2].encode().decode("unicode_escape").encode("latin-1").decode())
    return lambda one, form=0, many=None: texts.get(one, [one, many or one])[form]


# The scale of a prefix's displays. This Wine takes the user's LogPixels and, without one, the
# machine's; both are set, before any program of the scenario reads them.
def set_dpi(s, env, dpi):
    for key in r"HKCU\Control Panel\Desktop", r"HKCC\Software\Fonts":
        assert s.wine("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f",
                      env=env).returncode == 0


# Each DPI in a prefix and a plug-in folder of its own: offline, one play waits (for Edit play), and
# an extra service is set up (for the service form). The service form and Edit play are modal: the
# watcher checks them, then cancels; each with its note showing (the stored password's, and the
# refusal of a play without an artist).
@pytest.mark.timeout(240)
@pytest.mark.parametrize("language", LANGUAGES)
def test_layout(s, language):
    tr = catalogue(language)
    caption = {w: tr(w) for w in WINDOWS}
    two_wait = tr("%d play waits to be sent", 0 if language in ("ja", "zh-CN") else 1, "%d plays wait to be sent") % 2
    sizes, problems = {}, []
    for dpi in 96, 144:
        env = s.env if dpi == 96 else s.add_prefix(f"prefix{dpi}")
        if dpi != 96:
            s.use_folder(s.work / f"plugins{dpi}")
        set_dpi(s, env, dpi)
        # At 96 dpi Windows speaks the language (Wine takes it from the locale); at 144 the
        # "language" value chooses it, over a Windows in German.
        windows = LOCALES[language] if dpi == 96 else "de_DE.UTF-8"
        s.settings(env=env, proxyport=1, language=language if dpi != 96 else "")
        s.service(1, env=env, name="Home", handshakeurl="http://127.0.0.1:1/", username="listener",
                  password=md5("secret"), enabled=1)
        r = s.player(f"dpi{dpi}", f"""
            {track("Waiting", "Waiting Artist", "Waiting Title")}
            load {s.dll}
            play 0
            wait-log {OFFLINE} 20000
            config
            wait-window {caption["Kelmar Config"]} 5000
            layout {caption["Kelmar Config"]}
            extent 1003 日本語
            extent 1003 ???
            click 1033
            wait-window {caption["Kelmar Services"]} 5000
            layout {caption["Kelmar Services"]}
            select 1060 Home
            fill-next {caption["Kelmar Service"]}|layout|2
            click 1062
            click 2
            wait-closed 5000
            wait-window {caption["Kelmar Config"]} 5000
            click 1030
            wait-window {caption["Kelmar Plays"]} 5000
            wait-text 1041 {two_wait} 10000
            layout {caption["Kelmar Plays"]}
            select 1042 Waiting Artist|Home
            fill-next {caption["Edit play"]}|1050=|click=1|layout|2
            click 1047
            quit
            unload""", env=dict(env, LC_ALL=windows, LANG=windows))
        summaries = {m[1]: m for line in r if (m := re.fullmatch(
            r"layout (.+): (\d+) controls checked, (\d+) problems, (\d+)x(\d+) px at (\d+) dpi, (.*)", line))}
        assert sorted(summaries) == sorted(caption.values()), "every window checked once, in its language"
        # The player's plug-in list reads the description in Windows' code page: the language's where
        # it fits.
        name = tr("Kelmar for Winamp")
        try:
            name.encode({"ru": "cp1251", "pl": "cp1250", "ja": "cp932", "zh": "gbk"}.get(windows[:2], "cp1252"))
        except UnicodeEncodeError:
            name = "Kelmar for Winamp"
        assert any(line.startswith(f"description {name} v") for line in r), "the description in the list"
        assert all(int(m[6]) == dpi for m in summaries.values()), f"not at {dpi} dpi"
        problems += [f"{dpi} dpi: {line}" for line in r if line.startswith("layout problem")]
        # The translations' East Asian texts are drawn in real characters, each about as wide as the
        # font is high, not in boxes hardly wider than question marks.
        cjk, marks = (int(re.search(rf"^extent 1003 (\d+)x\d+ px: {re.escape(t)}$", "\n".join(r), re.M)[1])
                      for t in ("日本語", "???"))
        assert cjk >= 1.5 * marks, f"日本語 {cjk} px wide, ??? {marks} px"
        summaries = {w: summaries[caption[w]] for w in WINDOWS}
        sizes[dpi] = {w: (int(m[4]), int(m[5])) for w, m in summaries.items()}
        s.figures.append(f"{dpi} dpi: " + ", ".join(f"{w} {m[4]}x{m[5]} px ({m[2]} controls)"
                                                    for w, m in summaries.items())
                         + f"; {summaries[WINDOWS[0]][7]}; 日本語 {cjk} px wide, ??? {marks} px")
    # Scaled, not merely told the number: each window grows as the font does, about half again.
    ratios = {w: (sizes[144][w][0] / sizes[96][w][0], sizes[144][w][1] / sizes[96][w][1]) for w in WINDOWS}
    s.figures.append("144/96: " + ", ".join(f"{w} {x:.2f}x{y:.2f}" for w, (x, y) in ratios.items()))
    assert all(1.3 <= x <= 1.7 and 1.3 <= y <= 1.7 for x, y in ratios.values()), ratios
    assert problems == []
