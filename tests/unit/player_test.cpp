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
            return Answer(message, wParam, lParam);
        });
    }
    intptr_t Answer(uint32_t message, uintptr_t wParam, intptr_t query) {
        if (message != WINAMP_WM_USER) return 0;
        asked.push_back(query);
        if (wideAnswer && (query == IPC_GETPLAYLISTFILEW || query == IPC_GET_EXTENDED_FILE_INFOW))
            return wideAnswer;
        auto text = [](const std::vector<std::string>& list, uintptr_t i) -> intptr_t {
            return i < list.size() ? reinterpret_cast<intptr_t>(list[i].c_str()) : 0;
        };
        switch (query) {
            case IPC_GETVERSION:
                return version;
            case IPC_ISPLAYING:
                return status;
            case IPC_GETOUTPUTTIME:
                return wParam == 1 ? length : 0;
            case IPC_GETLISTPOS:
                return position;
            case IPC_GETPLAYLISTFILE:
                return text(files, wParam);
            case IPC_GETPLAYLISTTITLE:
                return text(titles, wParam);
            case IPC_INETAVAILABLE:
                return 1;
            case IPC_GETPLAYLISTFILEW:
                return wParam == 0 ? reinterpret_cast<intptr_t>(wideFile.c_str()) : 0;
            case IPC_GET_EXTENDED_FILE_INFOW: {
                auto* info = reinterpret_cast<extendedFileInfoStructW*>(wParam);
                auto found = wideMetadata.find(info->metadata);
                if (info->filename != wideFile || found == wideMetadata.end()) return 0;
                found->second.copy(info->ret, info->retlen - 1);
                info->ret[std::min(found->second.size(), info->retlen - 1)] = 0;
                return 1;
            }
            case IPC_GET_EXTENDED_FILE_INFO: {
                auto* info = reinterpret_cast<extendedFileInfoStruct*>(wParam);
                auto found = metadata.find(info->metadata);
                if (found == metadata.end()) return 0;
                lstrcpyn(info->ret, found->second, info->retlen);
                return 1;
            }
            default:
                return 0;
        }
    }
    static void lstrcpyn(char* out, const std::string& text, uint32_t size) {
        size_t n = text.size() < size - 1 ? text.size() : size - 1;
        text.copy(out, n);
        out[n] = '\0';
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
    // The song details as the engine would get them.
    int Song(SongInfo* info) {
        *info = SongInfo();
        return winamp.GetSongInfo(info);
    }

    ScriptedPlayer player;
    CWinampPlaytally winamp;
};

}  // namespace

TEST(WinampVersion, TheSecondDigitIsSkipped) {
    EXPECT_EQ(VersionText(0x5012), "5.12");
    EXPECT_EQ(VersionText(0x2091), "2.91");
    EXPECT_EQ(VersionText(0x5000), "5.00");
    EXPECT_EQ(VersionText(0x100), "1.0");
}

TEST_F(PlayerTest, ControllerReadsThePlayersAnswers) {
    EXPECT_EQ(winamp.m_controller.GetVersion(), "5.12");
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

    // The folder is read once; the line is written every time.
    EXPECT_EQ(winamp.m_controller.GetWinampDir(), "C:\\Program Files\\Winamp\\");
    EXPECT_EQ(FakePlayerProgramPathCalls(), 1);
    size_t mark = Log().size();
    winamp.m_controller.GetWinampDir();
    EXPECT_TRUE(Contains(Log(mark), "Getting Winamp Dir."));
    CWinampController bare;
    FakePlayerSetProgramPath("winamp.exe");
    EXPECT_EQ(bare.GetWinampDir(), "");
    EXPECT_TRUE(Contains(Log(), "Failed to Get Winamp Dir."));

    player.position = 0;
    EXPECT_EQ(winamp.m_controller.GetCurrentSongMetadata("Mood"), "");
    EXPECT_TRUE(Contains(Log(), "FAILED - metadata 'Mood', ret is 0"));
}

TEST_F(PlayerTest, SongDetailsFollowTheVersionRule) {
    SongInfo info;
    EXPECT_EQ(Song(&info), 1);
    EXPECT_STREQ(info.artist, "X");
    EXPECT_STREQ(info.title, "Y");
    EXPECT_STREQ(info.album, "Z");

    // Metadata without a title: artist and title from the display title.
    player.metadata["Title"] = "";
    EXPECT_EQ(Song(&info), 1);
    EXPECT_STREQ(info.artist, "Display Artist");
    EXPECT_STREQ(info.title, "Display Title");
    EXPECT_STREQ(info.album, "Z");

    struct {
        uint32_t version;
        const char* title;
        int found;
        const char* artist;
        const char* song;
    } cases[] = {
        {0x2091, "A - B", 1, "X", "Y"},  // 2.9x has metadata
        {0x2081, "A - B - C", 1, "A", "B - C"},
        {0x2081, "No separator", 0, "", "No separator"},
        {0x2081, " - Leading", 0, "", " - Leading"},
    };
    player.metadata["Title"] = "Y";
    for (const auto& c : cases) {
        CWinampPlaytally older;
        player.version = c.version;
        player.titles = {c.title};
        older.m_controller.Init();  // the version is read once, at start
        SongInfo fromOlder;
        EXPECT_EQ(older.GetSongInfo(&fromOlder), c.found) << c.title;
        EXPECT_STREQ(fromOlder.artist, c.artist);
        EXPECT_STREQ(fromOlder.title, c.song);
    }

    player.metadata["Artist"] = std::string(1500, 'a');
    EXPECT_EQ(Song(&info), 1);
    EXPECT_EQ(std::string(info.artist), std::string(1023, 'a'));
    player.metadata["Artist"] = std::string(1022, 'a') + "\xc3\xa9";  // no half character
    EXPECT_EQ(Song(&info), 1);
    EXPECT_EQ(std::string(info.artist), std::string(1022, 'a'));
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
        player.version = r.version;
        player.wideAnswer = r.wideAnswer;
        player.asked.clear();
        CWinampPlaytally started;
        started.m_controller.Init();
        SongInfo info;
        EXPECT_EQ(started.GetSongInfo(&info), 1);
        EXPECT_STREQ(info.artist, r.artist) << r.version;
        EXPECT_STREQ(info.title, r.title) << r.version;
        EXPECT_STREQ(info.album, r.album) << r.version;
        EXPECT_EQ(started.GetCurrentFile(), r.file) << r.version;
        bool wide = std::any_of(player.asked.begin(), player.asked.end(),
                                [](intptr_t q) { return q == 213 || q == 214 || q == 3026; });
        EXPECT_EQ(wide, r.version >= 0x5013) << r.version;
    }
}

TEST_F(PlayerTest, NewTrackNoticesWithinFourHundredMillisecondsAreDuplicates) {
    const intptr_t notice = 0x40000003;
    auto count = [&] {
        size_t n = 0;
        for (const LogEntry& e : LogEntries(Log()))
            n += e.message.rfind("New song detected", 0) == 0;
        return n;
    };
    SetFakeTickCount(1000);
    EXPECT_EQ(winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice), 1);
    SetFakeTickCount(1100);
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice);
    EXPECT_TRUE(Contains(Log(), "Duplicate notification arrived - Now 1100, Then 1000"));
    SetFakeTickCount(1400);
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice);
    EXPECT_EQ(count(), 2u);

    // Across the counter's wrap: 512 ms apart is a new track, 32 ms is not.
    winamp.m_lastNotify = 0xffffff00u;
    SetFakeTickCount(0x100);
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice);
    EXPECT_EQ(count(), 3u);
    winamp.m_lastNotify = 0xfffffff0u;
    SetFakeTickCount(0x10);
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice);
    EXPECT_EQ(count(), 3u);

    // Other messages, and the notice while paused, are not tracks.
    SetFakeTickCount(100000);
    winamp.WinampPEMessage(WINAMP_WM_USER, 667, notice);
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, 0x30000003);
    winamp.WinampPEMessage(WINAMP_WM_USER + 1, PE_NEW_TRACK_WPARAM, notice);
    player.status = 3;
    winamp.WinampPEMessage(WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, notice);
    EXPECT_EQ(count(), 3u);
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
    auto occurrences = [this](const std::string& text) {
        std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
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
         [&] { winamp.m_controller.GetCurrentSongMetadata("Mood"); }},
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
             CWinampController().GetWinampDir();
         }},
    };
    for (const Row& row : rows) {
        for (threshold = row.level; threshold <= row.level + 1 && threshold <= 9; ++threshold) {
            g_Debug.SetLevel(threshold);
            size_t before = occurrences(row.text);
            row.act();
            EXPECT_EQ(occurrences(row.text) > before, threshold == row.level)
                << row.text << " at threshold " << threshold;
        }
    }
}
