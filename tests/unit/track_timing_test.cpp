// When a played track is handed on, and the engine's threads at work at once.
#include <thread>

#include "engine/clock.h"
#include "engine/corrections.h"
#include "engine/skip_rules.h"
#include "tests/unit/engine_fixture.h"

namespace {

class TimingTest : public EngineFixture {
  protected:
    void SetUp() override {
        EngineFixture::SetUp();
        engine.currentFile = "C:\\Music\\Artist\\song.mp3";
        engine.SetSong("Artist", "Song", "Album");
    }
    size_t Count(const std::string& needle) const {
        std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
            ++n;
        return n;
    }
};

}  // namespace

TEST_F(TimingTest, ATrackIsHandedOnAtItsFirstPlayingTick) {
    engine.trackLength = 0;
    engine.OnTrackPlay();
    EXPECT_TRUE(Contains(Log(), "New song detected - Artist - Song (Album)"));
    EXPECT_TRUE(Contains(Log(), "Current Goal - 1, Max Goal - 1, Goal - 1"));
    EXPECT_EQ(engine.GetSecondsToSubmit(), 5);
    EXPECT_EQ(engine.CurrentSubmission().Length(), "0");

    engine.playing = 1;
    engine.TimerCallback();
    EXPECT_EQ(engine.m_submitted, 1);
    EXPECT_EQ(engine.GetSecondsToSubmit(), -1);
    // No session yet: the track waits in the cache.
    EXPECT_TRUE(Contains(Log(), "Submitting 'Artist - Song (Album)'"));
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    engine.TimerCallback();
    EXPECT_EQ(Count("Bailing out as already submitted"), 1u);

    // Paused: frozen, no line. Stopped: abandoned, and the same track played
    // again qualifies again.
    engine.playing = 0;
    engine.paused = 1;
    engine.TimerCallback();
    EXPECT_EQ(engine.m_ticks, 2);
    EXPECT_FALSE(Contains(Log(), "Playback stopped"));
    engine.paused = 0;
    engine.TimerCallback();
    EXPECT_TRUE(Contains(Log(), "Playback stopped. Track monitoring aborted."));
    EXPECT_EQ(engine.m_ticks, 0);
    EXPECT_EQ(engine.m_submitted, 0);
    engine.TimerCallback();
    EXPECT_EQ(Count("Playback stopped"), 1u) << "nothing counted, nothing to abandon";
    engine.playing = 1;
    engine.TimerCallback();
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
}

TEST_F(TimingTest, NoticesWithoutDetailsAndExcludedFilesAreNotSubmitted) {
    engine.trackLength = 600;
    engine.OnTrackPlay();
    EXPECT_TRUE(Contains(Log(), "Current Goal - 1, Max Goal - 1, Goal - 1"));
    engine.playing = 1;
    engine.TimerCallback();

    // Details missing: nothing to count.
    engine.songFound = 0;
    engine.OnTrackPlay();
    EXPECT_EQ(engine.m_submitted, 1);
    EXPECT_EQ(Count("New song detected"), 1u);

    engine.SetSong("Director", "Clip", "");
    engine.currentFile = "C:\\Video\\clip.AVI";
    engine.OnTrackPlay();
    engine.TimerCallback();
    EXPECT_TRUE(Contains(Log(), "Unsupported file type so skipping submission (Director - Clip)"));
    EXPECT_EQ(engine.m_submitted, 1);
    EXPECT_EQ(engine.m_cache.GetCount(), 1);

    // A path longer than the record's field is judged whole, not as cut.
    engine.SetSong("Deep", "Folder", "");
    engine.currentFile = "C:\\" + std::string(300, 'd') + "\\song.mp3";
    engine.OnTrackPlay();
    engine.TimerCallback();
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_cache.GetAt(1).FileType(), "MP3");

    // Paused: nothing of a track is cached or written to the history, not even
    // why it would not have gone (already counted, a video, a skipped folder);
    // only those that would have gone are counted. Resumed, the next one goes.
    engine.Set(&Settings::skipFolders, "C:\\Talks");
    engine.PauseSubmissions(3600);
    for (const char* file :
         {"", "C:\\Video\\f.avi", "C:\\Talks\\t.mp3", "C:\\Music\\deep.mp3", ""}) {
        if (!*file && engine.PauseKeptOut()) engine.ResumeSubmissions();
        if (*file) engine.currentFile = file;
        engine.OnTrackPlay();
        engine.TimerCallback();
    }
    EXPECT_EQ(Count("Skipping submission while paused"), 4u);
    EXPECT_EQ(engine.PauseKeptOut(), 1);
    EXPECT_EQ(engine.m_cache.GetCount(), 3);
    EXPECT_FALSE(Contains(ReadFileBytes(engine.historyDir.file(kHistoryFileName)), "\tFolder\t"));
}

TEST_F(TimingTest, PermissionToSendAndTheStatusQueries) {
    engine.Set(&Settings::username, "listener");
    engine.Set(&Settings::password, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    engine.m_handshakeComplete = 1;
    const int64_t now = MakeDateTime(2026, 12, 7, 12, 0, 0);
    SetFakeClockNow(now);
    engine.m_lastSubmitTime = now - 61;
    engine.m_interval = 60;
    EXPECT_EQ(engine.OkToSendData(), 1);
    EXPECT_EQ(engine.GetSecondsToSend(), -1);

    engine.Set(&Settings::forceCache, 1);
    EXPECT_EQ(engine.OkToSendData(), 0);
    EXPECT_TRUE(Contains(Log(),
                         "Internet Connected - Yes, Handshake Complete - Yes, ForceCache - "
                         "Yes, Interval - 60"));
    engine.Set(&Settings::forceCache, 0);

    engine.m_lastSubmitTime = now - 30;
    EXPECT_EQ(engine.OkToSendData(), 0);
    EXPECT_EQ(engine.GetSecondsToSend(), 30);
    engine.m_lastSubmitTime = now - 61;

    FakeNetwork offline;
    offline.connected = false;
    SetFakeNetwork(offline);
    EXPECT_EQ(engine.OkToSendData(), 0);
    SetFakeNetwork(FakeNetwork());
    engine.Set(&Settings::username, "");
    EXPECT_EQ(engine.OkToSendData(), 0);
}

TEST_F(TimingTest, TheTimerThreadTicksAndStopsAtOnce) {
    TestPlaytally fast;
    g_Debug.Close();
    fast.m_timerPeriodMs = 10;
    fast.SetSong("Artist", "Song", "Album");
    fast.currentFile = "C:\\song.mp3";
    fast.playing = 1;
    ASSERT_EQ(fast.StartPlaytallying(dir.str(), nullptr), 1);
    fast.OnTrackPlay();
    while (fast.m_submitted == 0)
        std::this_thread::yield();
    fast.m_timerPeriodMs = 60 * 60 * 1000;
    fast.StopPlaytallying();  // wakes and joins the sleeping timer
    EXPECT_EQ(fast.m_stop, 1);
    EXPECT_TRUE(Contains(Log(), "Creating Event"));
}

TEST_F(TimingTest, StartReportsATimerThatCannotStart) {
    TestPlaytally other;
    g_Debug.Close();
    SetFakeThreadStartFailure(true);
    EXPECT_EQ(other.StartPlaytallying(dir.str(), nullptr), 0);
    SetFakeThreadStartFailure(false);
    EXPECT_TRUE(
        Contains(Log(), "CPlaytally::StartPlaytallying\t\tERROR - ReqID -27, beginthreadex"));
}

// Ticks, answers on several workers, cache changes and the status queries at
// once; the thread sanitizer build checks that they share nothing unguarded.
TEST_F(TimingTest, ThreadsWorkTheEngineAtOnce) {
    engine.Set(&Settings::username, "listener");
    engine.Set(&Settings::password, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    FakeNetSetResponder([](const FakeNetRequest& r) {
        FakeNetAnswer a;
        a.body = r.verb == "GET" ? "UPTODATE\nc\nhttp://post.kelmar.example/s\nINTERVAL 0\n"
                                 : "OK\nINTERVAL 0\n";
        return a;
    });
    engine.playing = 1;
    std::atomic<bool> done{false};
    std::thread player([&] {
        for (int i = 0; i < 200; ++i) {
            engine.SetSong("Artist " + std::to_string(i), "Song", "Album");
            engine.OnTrackPlay();
        }
    });
    std::thread timer([&] {
        for (int i = 0; i < 200; ++i) {
            engine.m_lastHandshakeAttempt = 0;
            engine.TimerCallback();
        }
    });
    std::thread answers([&] {
        for (int i = 0; i < 100; ++i)
            engine.ThreadCallback(REQUEST_SUBMIT, i % 2 ? "OK\n" : "FAILED no\n",
                                  engine.m_cache.GetAt(0), 1000 + i, 200);
    });
    std::thread status([&] {
        while (!done) {
            engine.GetServerStatus();
            engine.GetLastSubmissions();
            engine.GetSecondsToSend();
            engine.GetSecondsToSubmit();
            engine.m_cache.GetStats();
        }
    });
    player.join();
    timer.join();
    answers.join();
    done = true;
    status.join();
    EXPECT_TRUE(engine.WaitForWorkers(20000));
}

// The goal in 5-second ticks: one tick by default, whatever the length; with
// the listening rule, half the track or 4 minutes, whichever comes first,
// never under 30 s, and 200 s for a length the player does not give.
TEST_F(TimingTest, TheGoalFollowsTheListeningRule) {
    const struct {
        int rule, length, goal, secondsToSubmit;
    } cases[] = {
        {0, 40, 1, 5},   {0, 1200, 1, 5},    {0, 0, 1, 5},
        {1, 40, 4, 20},  {1, 1200, 48, 240}, {1, 20, kNeverGoal, kNeverSubmitted},
        {1, 0, 20, 100}, {1, 30, 3, 15},     {1, 29, kNeverGoal, kNeverSubmitted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "rule " << c.rule << ", " << c.length << " s");
        engine.Set(&Settings::listenRule, c.rule);
        engine.trackLength = c.length;
        engine.OnTrackPlay();
        EXPECT_EQ(engine.m_goal, c.goal);
        EXPECT_EQ(engine.GetSecondsToSubmit(), c.secondsToSubmit);
        // Under the rule a play keeps the time it started at.
        EXPECT_EQ(engine.CurrentSubmission().Time().empty(), c.rule == 0);
    }
}

// With "streamsongs", each title a stream shows is a track of its own: a
// change starts one (counted at the next tick), the same title again is none,
// and a title without " - " is no song (nor a line in the history while
// paused). A stream announced under the station's name has its songs too,
// the first one also when its title came before the first tick.
TEST_F(TimingTest, EachSongOnAStreamIsATrack) {
    engine.Set(&Settings::streamSongs, 1);
    engine.currentFile = "https://radio.example/live";
    engine.playing = 1;
    for (auto titles : {std::vector<const char*>{"Radio One", "Z - Zero", "Z - Zero"},
                        std::vector<const char*>{"Y - Why", "Y - Why"}}) {
        engine.songFound = 0;  // announced under the station's name
        engine.OnTrackPlay();
        for (const char* title : titles) {
            engine.SetStreamTitle(title);
            engine.TimerCallback();
        }
    }
    engine.SetSong("Station", "Morning", "");
    engine.SetStreamTitle("Station - Morning");
    engine.OnTrackPlay();
    const struct {
        const char* title;
        int cached;  // after the tick
    } ticks[] = {
        {"Station - Morning", 3},  // as announced: counts at its first tick
        {"A - One", 3},
        {" A - One  ", 4},  // the same title with other spaces
        {"Jingle", 4},
        {"", 4},
        {"B - Two", 4},
        {"C - Three", 4},  // B changed before it counted: no play
        {"C - Three", 5},
        {"Advert", 5},  // paused: no line either
    };
    for (const auto& t : ticks) {
        if (t.title == std::string("Advert")) engine.PauseSubmissions(3600);
        engine.SetStreamTitle(t.title);
        engine.TimerCallback();
        EXPECT_EQ(engine.m_cache.GetCount(), t.cached) << t.title;
    }
    EXPECT_EQ(engine.m_cache.GetAt(3).GetDisplayText() + engine.m_cache.GetAt(4).GetDisplayText(),
              "A - One (STREAM)C - Three (STREAM)");
    std::string history = ReadFileBytes(engine.historyDir.file(kHistoryFileName));
    EXPECT_TRUE(Contains(history, "\t\tJingle\tSTREAM\t"));
    EXPECT_EQ(history.find("stream title"), history.rfind("stream title"));
}

// A track announced again before its last play could have ended (its length,
// or 200 s without one) is the same listening, also after a restart. It is
// kept in the user's own folder; a start after now (the clock was ahead) or a
// file too big for one play is no evidence.
TEST_F(TimingTest, ATrackAnnouncedAgainWhileItMayStillPlayCountsOnce) {
    TempDir user;
    SetFakeUserDataFolder(user.str() + "\\");
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    const struct {
        int64_t startedAgo;
        int length;
        bool counts;
        size_t padding = 0;  // bytes after the line
    } rows[] = {{290, 300, false}, {310, 300, true},  {190, 0, false},
                {210, 0, true},    {-100, 300, true}, {100, 300, true, 70000}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.startedAgo << " s ago, " << r.length << " s");
        // As a play counted that long ago left it, read by an engine that starts.
        WriteFileBytes(user.file(kLastCountedFileName),
                       std::to_string(now - r.startedAgo) + "\t" + std::to_string(r.length) + "\t" +
                           engine.currentFile + "\tArtist\tSong\r\n" + std::string(r.padding, '#'));
        TestPlaytally again;
        again.StartPlaytallying(dir.str(), nullptr);
        again.currentFile = engine.currentFile;
        again.song = engine.song;
        again.songFound = 1;
        again.trackLength = r.length;
        again.OnTrackPlay();
        again.playing = 1;
        again.TimerCallback();
        EXPECT_EQ(Contains(ReadFileBytes(again.historyDir.file(kHistoryFileName)), kAlreadyCounted),
                  !r.counts);
        again.Shutdown();
    }
}

// A track's file under a folder of the list, or its genre in the list, each
// without regard to case nor the quotes around an entry; a folder whose name
// only begins the same is another folder.
TEST(SkipRules, FoldersAndGenres) {
    const struct {
        const char *path, *genre, *folders, *genres, *rule, *matched;
    } cases[] = {
        {"C:\\Music\\Podcasts\\a.mp3", "", "c:\\music\\PODCASTS", "", "folder",
         "c:\\music\\PODCASTS"},
        {"C:\\Music\\Podcasts\\a.mp3", "", " D:\\x ; C:/Music/Podcasts/ ", "", "folder",
         "C:/Music/Podcasts/"},
        {"C:\\Music\\Podcasts2\\a.mp3", "", "C:\\Music\\Podcasts", "", "", ""},
        {"C:\\Music\\Podcasts\\a.mp3", "", "\"D:\\x\";  \"C:\\Music\\Podcasts\" ", "", "folder",
         "C:\\Music\\Podcasts"},
        {"C:\\a.mp3", "podcast", "", "Audiobook; \"PodCast\"", "genre", "PodCast"},
        {"C:\\a.mp3", "Podcasts", "", "Podcast", "", ""},
        {"C:\\a.mp3", "", ";;", " ; ", "", ""},
    };
    for (const auto& c : cases) {
        std::string matched;
        EXPECT_EQ(SkipRule(c.path, c.genre, c.folders, c.genres, &matched), c.rule) << c.path;
        EXPECT_EQ(matched, c.matched);
    }
}

// Album artist, then clean titles, then the correction file; its `from` in
// any case; a line that is no rule is logged by number and the rest apply.
TEST_F(TimingTest, UserRulesInTheirOrder) {
    CCorrections corrections;
    corrections.Parse(
        "\xEF\xBB\xBF"
        "field\tfrom\tto\r\n# title\tSong\tNo\r\nartist\tthe beatles\tThe Beatles\r\n"
        "title\ttwo columns\r\nalbum\tABBEY road\tAbbey Road\r\nyear\t1969\t1970\r\n"
        "artist\tvarious artists\tVarious\r\ntitle\tyesterday\tYesterday!");
    EXPECT_TRUE(Contains(Log(), "Correction line 4 ") && Contains(Log(), "Correction line 6 "));
    const struct {
        const char *albumArtist, *artist, *title, *album;
        bool clean;
        const char *wantArtist, *wantTitle, *wantAlbum;
    } cases[] = {
        {"", "THE BEATLES", "Song", "abbey ROAD", false, "The Beatles", "Song", "Abbey Road"},
        {"", "A", "Song (Remastered)", "", false, "A", "Song (Remastered)", ""},
        {"", "A", "Song (Remastered)", "", true, "A", "Song", ""},
        {"", "A", "Song (REMASTERED 2011)", "", true, "A", "Song", ""},
        {"", "A", "Song - 2009 remaster", "", true, "A", "Song", ""},
        {"", "A", "Song [Remastered]", "", true, "A", "Song", ""},
        {"", "A", "Song (2011 Remaster)", "", true, "A", "Song", ""},
        {"", "A", "Song (deluxe Edition)", "", true, "A", "Song", ""},
        {"", "A", "Song (Explicit)", "", true, "A", "Song", ""},
        {"", "A", "Song [EXPLICIT]", "", true, "A", "Song", ""},
        {"", "A", "Remastered Love", "", true, "A", "Remastered Love", ""},
        {"", "A", "yesterday (Remastered 2009)", "", true, "A", "Yesterday!", ""},
        {"Various Artists", "A", "Song", "", false, "Various", "Song", ""},
        {"", "A", "Song", "", false, "A", "Song", ""},
    };
    for (const auto& c : cases) {
        TagTexts texts{c.artist, c.title, c.album};
        bool changed = ApplyTagRules(&texts, c.albumArtist, c.clean, corrections);
        EXPECT_EQ(texts.artist + "|" + texts.title + "|" + texts.album,
                  std::string(c.wantArtist) + "|" + c.wantTitle + "|" + c.wantAlbum)
            << c.title;
        EXPECT_EQ(changed,
                  texts.artist != c.artist || texts.title != c.title || texts.album != c.album);
    }
}

// The correction file is read within bounds: of its bad lines the first ten
// are named, the rest counted; one over 1 MB is not read, which the log says
// once, and the play goes as heard.
TEST_F(TimingTest, TheCorrectionFileIsReadWithinBounds) {
    SetFakeUserDataFolder(dir.str() + "\\");
    std::string rules = "artist\tArtist\tFixed\n";
    for (int i = 0; i < 400000; ++i)
        rules += "x\n";
    engine.playing = 1;
    for (size_t padding : {0, 300000, 1}) {  // 1: the file as it was
        if (padding != 1)
            WriteFileBytes(dir.file("kelmar.corrections.tsv"), rules + std::string(padding, '#'));
        engine.SetSong("Artist", std::to_string(padding), "");
        engine.OnTrackPlay();
        engine.TimerCallback();
        EXPECT_EQ(engine.m_cache.GetAt(engine.m_cache.GetCount() - 1).Artist(),
                  padding ? "Artist" : "Fixed");
    }
    EXPECT_EQ(Count("not field<TAB>from<TAB>to - skipped"), 11u);
    EXPECT_TRUE(Contains(Log(), "399990 more correction lines"));
    EXPECT_EQ(Count("a correction file may have - its rules are not used"), 1u);
}
