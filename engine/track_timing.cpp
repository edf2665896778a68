// When a played track is handed on: the new-track notice, the timer thread and
// its tick, and whether the engine may send at all.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>

#include "cache/file_ops.h"
#include "diagnostics/debug.h"
#include "engine/clock.h"
#include "engine/playtally.h"
#include "engine/skip_rules.h"
#include "engine/user_folder.h"
#include "record/text_encoding.h"

namespace {
constexpr int kSecondsPerTick = 5;
constexpr int kAssumedLength = 200;
constexpr int kMaxGoal = 1;
// The listening rule: half the track, at most 4 minutes; never under 30 s.
constexpr int kListenedAtMostSeconds = 240;
constexpr int kShortestListenedSeconds = 30;
// The last counted play's file holds one line of a path, an artist and a title.
constexpr uint64_t kMaxLastCountedBytes = 64 * 1024;
// Plenty for rules typed by hand; a larger file would hold up the count and quit.
constexpr uint64_t kMaxCorrectionsBytes = 1024 * 1024;

// A count of seconds as written: digits only; -1 for anything else.
int64_t ReadWholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 18) return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// What tells one listening of a file from another: the file, and the artist
// and title it plays as (a test of a player may play one file as many tracks).
std::string PlayKey(const std::string& path, std::string artist, std::string title) {
    for (std::string* text : {&artist, &title}) {
        for (char& c : *text)
            c = c == '\t' || c == '\r' || c == '\n' ? ' ' : c;
    }
    return path + '\t' + artist + '\t' + title;
}

const char* YesNo(bool value) {
    return value ? "Yes" : "No";
}
}  // namespace

void CPlaytally::OnTrackPlay() {
    // Gathered aside and put in place as one whole, so that a tick never sees
    // half of the new track.
    SongInfo song;
    if (!GetSongInfo(&song)) {
        // Nothing to count, and what played before has ended. A stream
        // announced under the station's name still has its songs: its titles,
        // read at the next ticks, need its path.
        std::string path = GetCurrentFile();
        std::lock_guard<std::mutex> guard(m_lock);
        m_song = SongInfo();
        m_submission = Submission();
        m_submissionPath = path;
        m_submitted = 1;
        m_ticks = 0;
        m_skipRule.clear();
        m_streamTitleSeen = false;
        m_streamTitle.clear();
        return;
    }
    bool stale;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        stale = m_staleSong.artist[0] != '\0';
    }
    if (stale) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::OnTrackPlay", "Couldn't determine song info");
        return;
    }
    std::string artist = FixedFieldText(song.artist);
    std::string title = FixedFieldText(song.title);
    std::string album = FixedFieldText(song.album);
    g_Debug.Log(DEBUG_INFO, "CPlaytally::OnTrackPlay", "New song detected - %s - %s (%s)",
                artist.c_str(), title.c_str(), album.c_str());

    StartTrack(song, nullptr);
}

void CPlaytally::StartTrack(const SongInfo& song, const std::string* streamTitle) {
    // A stream's song has no length of its own.
    int length = streamTitle ? 0 : GetTrackLength();
    int goal = ComputeGoal(length);
    std::string path;
    Submission submission = BuildSubmission(song, &path);
    Settings settings = GetSettings();
    std::string genre = settings.skipGenres.empty() ? std::string() : GetSongGenre();
    std::string match;
    // The lists are read as UTF-8, as the path and the genre are.
    std::string rule = SkipRule(path, genre, settings.skipFolders, settings.skipGenres, &match);
    // Under the listening rule a track counts minutes after it started: the
    // play keeps the time it started at.
    if (settings.listenRule != 0) submission.StampTime();
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    // The player resumed, or announced again, what is still being heard.
    bool counted =
        rule.empty() && !IsStream(path) &&
        CountedAlready(PlayKey(path, FixedFieldText(song.artist), FixedFieldText(song.title)), now);

    std::lock_guard<std::mutex> guard(m_lock);
    m_song = song;
    m_submitted = 0;
    m_ticks = 0;
    m_goal = goal;
    m_submission = submission;
    m_submissionPath = path;
    m_skipRule = counted ? kAlreadyCounted : rule;
    m_skipMatch = match;
    m_trackStartUtc = now;
    m_trackLength = length;
    // An announced stream's title is read afresh at the next tick.
    m_streamTitleSeen = streamTitle != nullptr;
    m_streamTitle = streamTitle ? *streamTitle : std::string();
}

bool CPlaytally::StreamTitleChanged() {
    std::string path, last;
    bool seen;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        path = m_submissionPath;
        last = m_streamTitle;
        seen = m_streamTitleSeen;
    }
    if (!IsStream(path)) return false;
    std::string title = TrimSpace(GetStreamTitle());
    if (seen && (title == last || title.empty())) return false;
    size_t split = title.find(" - ");
    bool song = split != std::string::npos && split != 0;
    if (!seen) {
        // The title the track was announced with: no change yet. Announced
        // under the station's name, a song's title is news even when it came
        // before the first tick.
        std::lock_guard<std::mutex> guard(m_lock);
        m_streamTitle = title;
        m_streamTitleSeen = true;
        if (!song || m_song.title[0] != '\0') return false;
    }
    if (song) {
        SongInfo info;
        SetSongField(info.artist, TrimSpace(title.substr(0, split)));
        SetSongField(info.title, TrimSpace(title.substr(split + 3)));
        g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback", "New song on the stream - %s",
                    title.c_str());
        StartTrack(info, &title);
        return true;
    }
    // A station's name, a jingle, an advertisement: no song, and what played
    // before it has ended.
    g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback", "Stream title is no song - %s",
                title.c_str());
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_song = SongInfo();
        m_submitted = 1;
        m_ticks = 0;
        m_streamTitle = title;
    }
    // The pause keeps no trace of what played during it.
    if (PausedUntil() != 0) return true;
    // Written as it is: a title alone is no play (see Record).
    Submission line;
    line.Set("", title, "STREAM", "", path, "");
    line.StampTime();
    m_history.Append({{line, GetSettings().username, "skipped", kSkippedStreamTitle, ""}});
    return true;
}

void CPlaytally::CalculateGoal(int length) {
    m_goal = ComputeGoal(length);
}

int CPlaytally::ComputeGoal(int length) {
    if (length < 1) length = kAssumedLength;
    if (GetSettings().listenRule != 0) {
        int seconds = std::min(length / 2, kListenedAtMostSeconds);
        int goal = length < kShortestListenedSeconds
                       ? kNeverGoal
                       : std::max(1, (seconds * 1000 + kTimerPeriodMs - 1) / kTimerPeriodMs);
        g_Debug.Log(DEBUG_TRACE, "CPlaytally::CalculateGoal",
                    goal == kNeverGoal ? "Listening rule - %d s is too short to count"
                                       : "Listening rule - counts after %d s",
                    goal == kNeverGoal ? length : seconds);
        return goal;
    }
    int periods = static_cast<int>(static_cast<int64_t>(length) * 1000 / kTimerPeriodMs);
    int goal = static_cast<int>(m_threshold.load() * static_cast<float>(periods));
    // Capped at one tick: a track counts once it is heard at a tick at all.
    if (goal > kMaxGoal || goal == 0) goal = kMaxGoal;
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::CalculateGoal",
                "Current Goal - %d, Max Goal - %d, Goal - %d", goal, kMaxGoal, goal);
    return goal;
}

unsigned CPlaytally::TimeUpdaterThread(void* argument) {
    CPlaytally* engine = static_cast<CPlaytally*>(argument);
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::TimeUpdaterThread", "Creating Event");
    auto period = [engine] { return std::chrono::milliseconds(engine->m_timerPeriodMs.load()); };
    auto next = std::chrono::steady_clock::now() + period();
    while (engine->m_stop == 0) {
        bool sessionStart = false;
        {
            // Woken early by the stop, or for a session start asked of it,
            // which keeps the ticks where they were.
            std::unique_lock<std::mutex> lock(engine->m_timerLock);
            engine->m_timerWake.wait_until(lock, next, [engine] {
                return engine->m_stop != 0 || engine->m_sessionStartWanted;
            });
            if (engine->m_stop != 0) break;
            sessionStart = engine->m_sessionStartWanted;
            engine->m_sessionStartWanted = false;
        }
        if (sessionStart) {
            try {
                if (engine->GetSettings().pluginEnabled != 0) {
                    engine->LoadCacheOnce();
                    // Read now, so that the Services window need not.
                    for (const std::shared_ptr<CExtraService>& service : engine->Extras())
                        service->Cache();
                    if (engine->m_handshakeComplete == 0) engine->DoHandshake();
                }
            } catch (const std::exception& e) {
                g_Debug.Log(DEBUG_ERROR, "CPlaytally::TimerCallback", "Exception occurred - %s",
                            e.what());
            }
            engine->WorkerEnded();
            continue;
        }
        engine->TimerCallback();
        next = std::chrono::steady_clock::now() + period();
    }
    return 0;
}

int CPlaytally::TimerCallback() {
    int expected = 0;
    if (!m_inTimer.compare_exchange_strong(expected, 1)) return 1;
    // Nothing may leave the timer thread: it would end the player.
    try {
        Tick();
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::TimerCallback", "Exception occurred - %s", e.what());
    }
    m_inTimer = 0;
    return 1;
}

void CPlaytally::Tick() {
    int probes = m_probes;
    // A save that failed (a full disk, a file another program holds open) is
    // tried again every tick until it goes through.
    if (!m_cache.IsSaved()) m_cache.Save();
    bool enabled = GetSettings().pluginEnabled != 0;
    if (m_handshakeComplete == 0 && enabled) DoHandshake();
    CountOtherAccountPlays();
    // The account's check first: a flush's answer would take its place.
    if (enabled && !SendAccountCheck() && !m_checkWanted && !m_checkInFlight) ClearCache();
    if (enabled && m_stop == 0) {
        for (const std::shared_ptr<CExtraService>& service : Extras())
            service->Tick();
    }
    // While nothing has answered yet, the status shows whether there is a
    // connection: checked here, at most a tick old, and never on the
    // player's thread.
    if (m_probes == probes && enabled && GetServerStatus().empty()) InternetConnected();
    // Once stopping, the player is not asked again: it may be waiting for us.
    if (m_stop != 0) return;

    if (IsPlaying()) {
        // A new song on the stream starts counting at the next tick.
        if (GetSettings().streamSongs != 0 && StreamTitleChanged()) return;
        bool submit = false;
        Submission submission;
        std::string artist, title, path, rule, match;
        int ticks = 0, goal = 0, submitted = 0, length = 0;
        int64_t started = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ticks = ++m_ticks;
            goal = m_goal;
            submitted = m_submitted;
            if (submitted == 0 && ticks >= goal) {
                submission = m_submission;
                path = m_submissionPath;
                rule = m_skipRule;
                match = m_skipMatch;
                artist = FixedFieldText(m_song.artist);
                title = FixedFieldText(m_song.title);
                started = m_trackStartUtc;
                length = m_trackLength;
                m_submitted = 1;
                submit = true;
            }
        }
        // Stamped when it counts, unless stamped when it started.
        if (submit && submission.Time().empty()) submission.StampTime();
        if (submitted != 0) {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::TimerCallback",
                        "Bailing out as already submitted");
        } else if (!submit) {
            if (goal != kNeverGoal) {
                g_Debug.Log(DEBUG_TRACE, "CPlaytally::TimerCallback",
                            "Not listed for long enough. %d of %d", ticks, goal);
            }
        } else if (PausedUntil() != 0) {
            // The user paused to keep this listening to themselves: the
            // history gets no line of it, not even why it would not have
            // gone; the Plays window counts those that would have.
            if (rule.empty() && IsSupportedFile(path)) ++m_pauseKeptOut;
            g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback",
                        "Skipping submission while paused");
        } else if (!IsSupportedFile(path)) {
            g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback",
                        "Unsupported file type so skipping submission (%s - %s)", artist.c_str(),
                        title.c_str());
            Record(submission, GetSettings().username, "skipped",
                   IsStream(path) ? kSkippedStream : kSkippedFileType);
        } else if (rule == kAlreadyCounted) {
            g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback",
                        "Skipping submission - already counted (%s - %s)", artist.c_str(),
                        title.c_str());
            Record(submission, GetSettings().username, "skipped", kAlreadyCounted);
        } else if (!rule.empty()) {
            g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback",
                        "Skipping submission by rule (%s - %s): %s", artist.c_str(), title.c_str(),
                        (rule + " " + match).c_str());
            Record(submission, GetSettings().username, "skipped",
                   std::string(kSkippedRule) + ": " + rule);
        } else {
            // What a switched-off plug-in or a play without its details never
            // counted is no reason to pass over the next announcement.
            if (!IsStream(path) && GetSettings().pluginEnabled != 0 && !artist.empty() &&
                !title.empty())
                SaveLastCounted(PlayKey(path, artist, title), started, length);
            SubmitSong(ApplyUserRules(submission));
        }
    } else if (!IsPaused()) {
        bool stopped = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_ticks > 0) {
                m_submitted = 0;
                m_ticks = 0;
                m_staleSong = SongInfo();
                stopped = true;
            }
        }
        if (stopped) {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::TimerCallback",
                        "Playback stopped. Track monitoring aborted.");
        }
    }
}

void CPlaytally::LoadLastCounted() {
    // The Windows user's own, as the history: in a folder the users of a PC
    // share, one's play would pass over another's.
    std::string folder = GetUserDataFolder();
    m_lastCountedPath = folder.empty() ? folder : folder + kLastCountedFileName;
    // One line: the start (UTC seconds), the length, and the file, artist and
    // title, tab-separated. Read at start, on the player's thread: never more
    // than one line can take.
    uint64_t size = 0;
    if (m_lastCountedPath.empty() || !FileSizeOf(m_lastCountedPath, &size)) return;
    std::string text = ReadFileText(m_lastCountedPath, kMaxLastCountedBytes);
    size_t tab1 = text.find('\t'),
           tab2 = tab1 == std::string::npos ? tab1 : text.find('\t', tab1 + 1);
    size_t end = text.find_first_of("\r\n");
    if (tab2 == std::string::npos || end == std::string::npos || end < tab2) {
        if (size > 0)
            g_Debug.Log(DEBUG_WARNING, "CPlaytally::LoadLastCounted", "Ignored unreadable %s",
                        m_lastCountedPath.c_str());
        return;
    }
    int64_t start = ReadWholeNumber(text.substr(0, tab1));
    int64_t length = ReadWholeNumber(text.substr(tab1 + 1, tab2 - tab1 - 1));
    if (start < 0 || length < 0 || length > kNeverGoal) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_lastCountedStart = start;
    m_lastCountedLength = static_cast<int>(length);
    m_lastCounted = text.substr(tab2 + 1, end - tab2 - 1);
}

void CPlaytally::SaveLastCounted(const std::string& key, int64_t startUtc, int length) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lastCounted = key;
        m_lastCountedStart = startUtc;
        m_lastCountedLength = length;
    }
    if (m_lastCountedPath.empty()) return;
    std::string target = m_lastCountedPath, temp = target + ".tmp";
    std::string line =
        std::to_string(startUtc) + "\t" + std::to_string(length) + "\t" + key + "\r\n";
    std::FILE* file = OpenStream(temp, "wb");
    bool ok = file && std::fwrite(line.data(), 1, line.size(), file) == line.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok || !ReplaceFileAtomically(temp, target)) {
        RemoveFilePath(temp);
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SaveLastCounted", "Failed to write %s",
                    target.c_str());
    }
}

bool CPlaytally::CountedAlready(const std::string& key, int64_t nowUtc) {
    std::lock_guard<std::mutex> guard(m_lock);
    // A start after now was stamped while the clock was ahead: no evidence.
    if (key != m_lastCounted || m_lastCountedStart > nowUtc) return false;
    // A track of unknown length may play for about as long as most do.
    int64_t end =
        m_lastCountedStart + (m_lastCountedLength > 0 ? m_lastCountedLength : kAssumedLength);
    return nowUtc < end;
}

void CPlaytally::CountOtherAccountPlays() {
    int count = m_cache.CountOtherAccounts(MakeAccountTag(GetSettings().username));
    if (m_otherAccountPlays.exchange(count) == count) return;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::TimerCallback", "%d cached plays wait for another account",
                count);
}

int CPlaytally::OkToSendData() {
    bool due = SendDue(LocalDateTimeNow(), m_lastSubmitTime, m_interval);
    bool connected = InternetConnected();
    Settings settings = GetSettings();
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::OkToSendData",
                "Internet Connected - %s, Handshake Complete - %s, ForceCache - %s, Interval - %d",
                YesNo(connected), YesNo(m_handshakeComplete != 0), YesNo(settings.forceCache != 0),
                m_interval.load());
    return settings.pluginEnabled != 0 && m_handshakeComplete != 0 && connected &&
           settings.forceCache == 0 && due && !settings.password.empty() &&
           !settings.username.empty();
}

void CPlaytally::PauseSubmissions(int seconds) {
    m_pausedUntil = static_cast<int64_t>(std::time(nullptr)) + seconds;
    m_pauseKeptOut = 0;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::PauseSubmissions",
                "New plays paused for %d minutes at the user's request", seconds / 60);
}

void CPlaytally::ResumeSubmissions() {
    m_pausedUntil = 0;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ResumeSubmissions",
                "New plays resumed at the user's request");
}

int64_t CPlaytally::PausedUntil() const {
    int64_t until = m_pausedUntil;
    return until > static_cast<int64_t>(std::time(nullptr)) ? until : 0;
}

int CPlaytally::GetSecondsToSubmit() {
    int ticks = m_ticks, goal = m_goal;
    if (goal == kNeverGoal) return kNeverSubmitted;
    return ticks < goal ? (goal - ticks) * kSecondsPerTick : -1;
}

int CPlaytally::GetSecondsToSend() {
    int64_t now = LocalDateTimeNow(), last = m_lastSubmitTime, interval = m_interval;
    return SendDue(now, last, interval) ? -1 : static_cast<int>(last + interval - now);
}

void CPlaytally::ReadCorrections() {
    if (m_correctionsPath.empty()) m_correctionsPath = CorrectionsPath();
    uint64_t size = 0;
    int64_t modified = 0;
    bool found = !m_correctionsPath.empty() && FileStampOf(m_correctionsPath, &size, &modified);
    if (found == m_correctionsFound && size == m_correctionsSize && modified == m_correctionsTime)
        return;
    bool tooBig = size > kMaxCorrectionsBytes;
    std::string text;
    if (found && !tooBig) {
        text = ReadFileText(m_correctionsPath, kMaxCorrectionsBytes);
        // Not readable now (another program writing it): tried again next time.
        if (text.empty() && size > 0) return;
    }
    // A file too big is not tried again until it changes.
    m_correctionsFound = found;
    m_correctionsSize = size;
    m_correctionsTime = modified;
    m_corrections.Parse(text);
    if (tooBig) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::ReadCorrections",
                    "%s is %llu bytes, more than the %llu a correction file may have - its rules "
                    "are not used",
                    m_correctionsPath.c_str(), static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(kMaxCorrectionsBytes));
        return;
    }
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ReadCorrections", "%d correction rules in %s",
                static_cast<int>(m_corrections.Size()), m_correctionsPath.c_str());
}

Submission CPlaytally::ApplyUserRules(const Submission& submission) {
    Settings settings = GetSettings();
    if (settings.pluginEnabled == 0 || submission.Artist().empty() || submission.Title().empty())
        return submission;
    // The play has counted: whatever fails in the rules, it goes as heard.
    try {
        ReadCorrections();
        std::string albumArtist =
            AsciiLower(settings.artistField) == "albumartist" ? GetSongMetadata("albumartist") : "";
        TagTexts texts{submission.Utf8Text(submission.artist),
                       submission.Utf8Text(submission.title),
                       submission.Utf8Text(submission.album)};
        if (!ApplyTagRules(&texts, albumArtist, settings.cleanTitles != 0, m_corrections))
            return submission;
        Submission corrected = submission.WithTexts(texts.artist, texts.title, texts.album);
        g_Debug.Log(DEBUG_INFO, "CPlaytally::ApplyUserRules", "'%s' corrected to '%s'",
                    submission.GetDisplayText().c_str(), corrected.GetDisplayText().c_str());
        // The record says so, in the cache too, so that its "sent" line says
        // "corrected" whenever it goes.
        corrected.MarkCorrected();
        return corrected;
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::ApplyUserRules",
                    "Rules not used - %s - '%s' goes as heard", e.what(),
                    submission.GetDisplayText().c_str());
        return submission;
    }
}
