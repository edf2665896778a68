// The player side of the engine: the controller's reading of the player's
// answers, the song details with the version rule, and the new-track filter.
#include <algorithm>
#include <functional>
#include <map>

#include "player/winamp_playtally.h"
#include "player/winamp_plugin.h"
#include "tests/unit/engine_fixture.h"

namespace {

// A player's main window as the doubles answer for it.
struct ScriptedPlayer {
    uint32_t version = 0x5012;
    int status = 1;
    int position = 0;
    int length = 215;
    std::vector<std::string> files{"C:\\Music\\one.mp3"};
    std::vector<std::string> titles{"Display Artist - Display Title"};
    std::map<std::string, std::string> metadata{{"Artist", "X"}, {"Title", "Y"}, {"Album", "Z"}};
    // A Unicode player's own texts, and what it answers the wide queries
    // instead when `wideAnswer` is set (1: a player that has no such query).
    std::u16string wideFile = u"C:\\Music\\\u65e5.mp3";
    std::map<std::u16string, std::u16string> wideMetadata;
    intptr_t wideAnswer = 0;
    std::vector<intptr_t> asked;

    void Install() {
        FakePlayerSetWindows({kMainWindowClass, kPlaylistWindowClass});
        FakePlayerSetResponder([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
            return message == WINAMP_WM_USER ? Answer(wParam, lParam) : 0;
        });
    }
    intptr_t Answer(uintptr_t wParam, intptr_t query) {
        asked.push_back(query);
        if (wideAnswer && (query == IPC_GETPLAYLISTFILEW || query == IPC_GET_EXTENDED_FILE_INFOW))
            return wideAnswer;
        auto text = [](const std::vector<std::string>& list, uintptr_t i) -> intptr_t {
            return i < list.size() ? reinterpret_cast<intptr_t>(list[i].c_str()) : 0;
        };
        if (query == IPC_GETVERSION) return version;
        if (query == IPC_ISPLAYING) return status;
        if (query == IPC_GETOUTPUTTIME) return wParam == 1 ? length : 0;
        if (query == IPC_GETLISTPOS) return position;
        if (query == IPC_GETPLAYLISTFILE) return text(files, wParam);
        if (query == IPC_GETPLAYLISTTITLE) return text(titles, wParam);
        if (query == IPC_INETAVAILABLE) return 1;
        if (query == IPC_GETPLAYLISTFILEW)
            return wParam == 0 ? reinterpret_cast<intptr_t>(wideFile.c_str()) : 0;
        // A tag copied into the plug-in's buffer, cut to fit.
        auto tag = [](auto* info, const auto& tags, bool known) -> intptr_t {
            auto found = tags.find(info->metadata);
            if (!known || found == tags.end()) return 0;
            size_t n = std::min<size_t>(found->second.size(), info->retlen - 1);
            found->second.copy(info->ret, n);
            info->ret[n] = 0;
            return 1;
        };
        if (query == IPC_GET_EXTENDED_FILE_INFOW) {
            auto* info = reinterpret_cast<extendedFileInfoStructW*>(wParam);
            return tag(info, wideMetadata, info->filename == wideFile);
        }
        if (query == IPC_GET_EXTENDED_FILE_INFO)
            return tag(reinterpret_cast<extendedFileInfoStruct*>(wParam), metadata, true);
        return 0;
    }
};

class PlayerTest : public EngineFixture {
  protected:
    void SetUp() override {
        EngineFixture::SetUp();
        player.Install();
        winamp.m_controller.Init();
    }
    void TearDown() override {
        EngineFixture::TearDown();
        ResetFakeTickCount();
    }
    // The song details a plug-in started now on a player of this version gets
    // (the version is read once, at start), and its current file.
    int SongFrom(uint32_t version, SongInfo* info, std::string* file = nullptr) {
        player.version = version;
        player.asked.clear();
        CWinampPlaytally started;
        started.m_controller.Init();
        int found = started.GetSongInfo(info);
        if (file) *file = started.GetCurrentFile();
        return found;
    }

    ScriptedPlayer player;
    CWinampPlaytally winamp;
};

}  // namespace

TEST(WinampVersion, TheSecondDigitIsSkipped) {
    EXPECT_EQ(VersionText(0x2091), "2.91");
    EXPECT_EQ(VersionText(0x5000), "5.00");
    EXPECT_EQ(VersionText(0x100), "1.0");
}

TEST_F(PlayerTest, ControllerReadsThePlayersAnswers) {
    EXPECT_EQ(winamp.GetPlayerVersion(), "Winamp Version 5.12");
    const struct {
        int answer, status, playing, paused;
    } statuses[] = {{1, 100, 1, 0}, {3, 101, 0, 1}, {0, 102, 0, 0}, {2, -1, 0, 0}};
    for (const auto& s : statuses) {
        player.status = s.answer;
        EXPECT_EQ(winamp.m_controller.GetPlayStatus(), s.status);
        EXPECT_EQ(winamp.IsPlaying(), s.playing);
        EXPECT_EQ(winamp.IsPaused(), s.paused);
    }
    EXPECT_EQ(winamp.GetTrackLength(), 215);
    EXPECT_EQ(winamp.GetCurrentFile(), "C:\\Music\\one.mp3");
    player.position = 5;
    EXPECT_EQ(winamp.GetCurrentFile(), "") << "no entry there";
    // A stream's title is the playing entry's, also after one above it went.
    player.titles = {"Above - One", "Radio - Song", "Below - Two"};
    player.position = 1;
    EXPECT_EQ(winamp.GetStreamTitle(), "Radio - Song");
    player.titles.erase(player.titles.begin());
    player.position = 0;
    EXPECT_EQ(winamp.GetStreamTitle(), "Radio - Song");

    // The folder is read once; the line is written every time.
    EXPECT_EQ(winamp.m_controller.GetWinampDir(), "C:\\Program Files\\Winamp\\");
    EXPECT_EQ(FakePlayerProgramPathCalls(), 1);
    size_t mark = Log().size();
    winamp.m_controller.GetWinampDir();
    EXPECT_TRUE(Contains(Log(mark), "Getting Winamp Dir."));
}

TEST_F(PlayerTest, SongDetailsFollowTheVersionRule) {
    const std::string a1022(1022, 'a');
    const struct {
        uint32_t version;
        std::string artistTag, titleTag, shown;
        int found;
        std::string artist, title, album;
    } rows[] = {
        {0x5012, "X", "Y", "D - T", 1, "X", "Y", "Z"},
        // Metadata without a title: artist and title from the display title.
        {0x5012, "X", "", "D - T", 1, "D", "T", "Z"},
        {0x2091, "X", "Y", "A - B", 1, "X", "Y", "Z"},  // 2.9x has metadata
        {0x2081, "X", "Y", "A - B - C", 1, "A", "B - C", ""},
        {0x2081, "X", "Y", "No separator", 0, "", "No separator", ""},
        {0x2081, "X", "Y", " - Leading", 0, "", " - Leading", ""},
        // Cut to the field, never inside a character.
        {0x5012, std::string(1500, 'a'), "Y", "", 1, a1022 + "a", "Y", "Z"},
        {0x5012, a1022 + "\xc3\xa9", "Y", "", 1, a1022, "Y", "Z"},
    };
    for (const auto& r : rows) {
        player.metadata = {{"Artist", r.artistTag}, {"Title", r.titleTag}, {"Album", "Z"}};
        player.titles = {r.shown};
        SongInfo info;
        EXPECT_EQ(SongFrom(r.version, &info), r.found) << r.shown;
        EXPECT_EQ(info.artist, r.artist) << r.shown;
        EXPECT_EQ(info.title, r.title) << r.shown;
        EXPECT_EQ(info.album, r.album) << r.shown;
    }
    EXPECT_EQ(winamp.GetSongInfo(nullptr), 0);
    EXPECT_TRUE(Contains(Log(), "Invalid Song Pointer"));
}

TEST_F(PlayerTest, PlayersFromFiveThirteenAreAskedForTheirWideTexts) {
    player.wideMetadata = {{u"Artist", u"\u65e5\u672c"},
                           {u"Title", u"\u039b\xe9" + std::u16string(1, char16_t(0xD800))},
                           {u"Album", u""}};
    const struct {
        uint32_t version;
        intptr_t wideAnswer;
        const char *artist, *title, *album, *file;
    } rows[] = {
        // Before 5.13: the ANSI queries, converted from the code page.
        {0x5012, 0, "X", "Y", "Z\xc3\xa9", "C:\\Music\\one.mp3"},
        // The wide texts; an empty one (the album) is asked the ANSI way.
        {0x5066, 0, "\xe6\x97\xa5\xe6\x9c\xac", "\xce\x9b\xc3\xa9\xef\xbf\xbd", "Z\xc3\xa9",
         "C:\\Music\\\xe6\x97\xa5.mp3"},
        // A player that answers 1 to queries it lacks.
        {0x5066, 1, "X", "Y", "Z\xc3\xa9", "C:\\Music\\one.mp3"},
    };
    player.metadata["Album"] = "Z\xe9";
    for (const auto& r : rows) {
        player.wideAnswer = r.wideAnswer;
        SongInfo info;
        std::string file;
        EXPECT_EQ(SongFrom(r.version, &info, &file), 1);
        EXPECT_STREQ(info.artist, r.artist) << r.version;
        EXPECT_STREQ(info.title, r.title) << r.version;
        EXPECT_STREQ(info.album, r.album) << r.version;
        EXPECT_EQ(file, r.file) << r.version;
        bool wide = std::any_of(player.asked.begin(), player.asked.end(),
                                [](intptr_t q) { return q == 213 || q == 214 || q == 3026; });
        EXPECT_EQ(wide, r.version >= 0x5013) << r.version;
    }
}

TEST_F(PlayerTest, NewTrackNoticesWithinFourHundredMillisecondsAreDuplicates) {
    auto notice = [&](uint32_t tick, uintptr_t wParam = PE_NEW_TRACK_WPARAM,
                      intptr_t lParam = 0x40000003, unsigned message = WINAMP_WM_USER) {
        SetFakeTickCount(tick);
        return winamp.WinampPEMessage(message, wParam, lParam);
    };
    auto tracks = [&] {
        size_t n = 0;
        for (const LogEntry& e : LogEntries(Log()))
            n += e.message.rfind("New song detected", 0) == 0;
        return n;
    };
    EXPECT_EQ(notice(1000), 1);
    notice(1100);
    EXPECT_TRUE(Contains(Log(), "Duplicate notification arrived - Now 1100, Then 1000"));
    notice(1400);

    // Across the counter's wrap: 512 ms apart is a new track, 32 ms is not.
    winamp.m_lastNotify = 0xffffff00u;
    notice(0x100);
    EXPECT_EQ(tracks(), 3u);
    winamp.m_lastNotify = 0xfffffff0u;
    notice(0x10);
    // Other messages, and the notice while paused, are not tracks.
    notice(100000, 667);
    notice(100000, PE_NEW_TRACK_WPARAM, 0x30000003);
    notice(100000, PE_NEW_TRACK_WPARAM, 0x40000003, WINAMP_WM_USER + 1);
    player.status = 3;
    notice(100000);
    EXPECT_EQ(tracks(), 3u);
}

TEST_F(PlayerTest, NoPlayerWindowStartsNothing) {
    CWinampPlaytally other;
    EXPECT_EQ(other.StartPlaytallying(nullptr, nullptr, dir.str()), 0);
    EXPECT_EQ(other.StartPlaytallying(nullptr, reinterpret_cast<WindowHandle>(77), dir.str()), 0);
    EXPECT_EQ(other.GetPlayerWindow(), nullptr);
}

// Each line is written at its level: at a threshold of that level it is there,
// one above it is not; level 9 lines carry "ERROR - ".
TEST_F(PlayerTest, ThePlayerSidesLinesAndTheirLevels) {
    int threshold = 1;
    struct Row {
        int level;
        const char* text;
        std::function<void()> act;
    } rows[] = {
        {1, "Duplicate notification arrived",
         [&] {
             SetFakeTickCount(5000);
             winamp.m_lastNotify = 4900;
             winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, 0x40000003);
         }},
        {1, "FAILED - metadata 'Mood', ret is 0",
         [&] { EXPECT_EQ(winamp.m_controller.GetCurrentSongMetadata("Mood"), ""); }},
        {1, "CWinampPlaytally::StartPlaytallying\t\tWinamp thinks the Internet is ",
         [&] {
             // A start opens the log again, kept, at the stored level.
             CWinampPlaytally started;
             started.m_timerPeriodMs = 3600 * 1000;
             FakeRegistrySetNumber(started.GetRegistryKey(), "logsize", 1024);
             FakeRegistrySetNumber(started.GetRegistryKey(), "debugoverride", threshold);
             started.StartPlaytallying(nullptr, FindPlayerWindow(kMainWindowClass), dir.str());
             started.StopPlaytallying();
         }},
        {9, "ERROR - Failed to Get Winamp Dir.",
         [] {
             FakePlayerSetProgramPath("winamp.exe");
             EXPECT_EQ(CWinampController().GetWinampDir(), "");
         }},
    };
    for (const Row& row : rows) {
        for (threshold = row.level; threshold <= row.level + 1 && threshold <= 9; ++threshold) {
            g_Debug.SetLevel(threshold);
            size_t mark = Log().size();
            row.act();
            EXPECT_EQ(Contains(Log(mark), row.text), threshold == row.level)
                << row.text << " at threshold " << threshold;
        }
    }
}
