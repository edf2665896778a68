// The engine: every setting, the session and per-track state, and the virtual
// operations through which the player-specific class reaches the player.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "cache/cache_manager.h"
#include "diagnostics/lock.h"
#include "diagnostics/module_version.h"
#include "engine/corrections.h"
#include "engine/extra_service.h"
#include "engine/play_history.h"
#include "engine/session_rules.h"
#include "engine/settings.h"
#include "engine/thread_start.h"
#include "engine/watch_connection.h"
#include "record/submission.h"

using InstanceHandle = void*;
using WindowHandle = void*;

// Artist, title and album of the playing track, in UTF-8; each text at most
// 1023 bytes, cut on a whole character, and always terminated.
struct SongInfo {
    char artist[1024] = {};
    char title[1024] = {};
    char album[1024] = {};
};
static_assert(sizeof(SongInfo) == 3072, "three fixed 1024-byte texts");

// Copies a text into a SongInfo field, cutting it to fit and terminating it.
void SetSongField(char (&field)[1024], const std::string& text);
// An internet stream ("http://" or "https://", in any case).
bool IsStream(const std::string& path);

enum RequestType {
    REQUEST_HANDSHAKE = 100,
    REQUEST_SUBMIT = 200,
    REQUEST_CACHE = 300,
    REQUEST_CHECK = 400,  // a submission without plays, proving the password
};

// The file beside the cache that keeps the last play that counted.
constexpr char kLastCountedFileName[] = "kelmar.lastplay.txt";

// Where the first handshake goes until the service names a submit address.
extern const char kDefaultHandshakeHost[];

// The timer's period; a track is counted in ticks of this length.
constexpr int kTimerPeriodMs = 5000;
// The goal of a track that never counts, and what GetSecondsToSubmit says of it.
constexpr int kNeverGoal = 0x7fffffff;
constexpr int kNeverSubmitted = -2;
// How long a request may wait to connect, to send or for the next bytes of an
// answer before it counts as failed.
constexpr int kRequestTimeoutMs = 30000;
class CPlaytally;

// What one worker thread needs for its request; the worker owns it.
struct ThreadRequest {
    CPlaytally* engine = nullptr;
    std::string host;
    std::string path;
    bool secure = false;
    uint16_t port = 80;
    std::string body;
    RequestType type = REQUEST_SUBMIT;
    Submission submission;
    int requestId = 0;
    bool claimed = false;  // its play is this worker's to cache (see ClaimUnsent)
    std::string account;   // the account its plays were sent as
    std::string failure;   // why no answer came, when none did
};

class CPlaytally {
  public:
    CPlaytally();
    virtual ~CPlaytally();
    CPlaytally(const CPlaytally&) = delete;
    CPlaytally& operator=(const CPlaytally&) = delete;

    // The player, as the player-specific class sees it.
    virtual std::string GetPluginName() = 0;
    virtual std::string GetClientId() = 0;
    virtual std::string GetRegistryKey() = 0;
    virtual std::string GetPlayerVersion() = 0;
    virtual int IsPlaying() = 0;
    virtual int IsPaused() = 0;
    virtual std::string GetCurrentFile() = 0;
    virtual int GetTrackLength() = 0;
    virtual int GetSongInfo(SongInfo* info) = 0;
    // The current track's genre; asked only while a genre is to be skipped.
    virtual std::string GetSongGenre() { return std::string(); }
    // A metadata field of the playing entry ("albumartist"); asked by the
    // timer only, when a track counts.
    virtual std::string GetSongMetadata(const std::string&) { return std::string(); }
    // The title the player shows for the playing entry now (a stream's
    // changes with each song); asked by the timer only.
    virtual std::string GetStreamTitle() { return std::string(); }
    virtual WindowHandle GetPlayerWindow() = 0;
    // Videos are never submitted, streams only while "ignorehttp" is off.
    virtual int IsSupportedFile(const std::string& path);

    // Reads the settings, opens the log and loads the cache. 1 when the settings
    // key exists; 0 on a first run (the caller then shows the settings).
    int StartPlaytallying(std::string workingDir, InstanceHandle instance);
    int StopPlaytallying();
    int LoadSettings();
    void SaveSettings();
    void Enable();
    void Disable();
    // A new account: a handshake still in flight for the old one completes
    // nothing, and one for the new account starts at once (from the timer).
    void EndSession();
    // Saved from the settings window: once the session is open, a submission
    // without plays proves the password, and Last Response says how it went.
    // At most one such check a save; none while switched off.
    void CheckAccountOnce();
    void StartDebugLog();
    // Stops the timer thread and waits for it and for every request worker, as
    // a player-specific class does before its own part is destroyed (the threads
    // call its virtual operations). The destructor only stops the timer.
    void Shutdown();

    // A record for this track, as the player reports it now; empty while
    // artist or title is missing. `path` gets the track's whole path when given.
    Submission BuildSubmission(const SongInfo& song, std::string* path = nullptr);
    // The record the playing track makes, as it stands.
    Submission CurrentSubmission() const { return Get(m_submission); }
    // The skip rule that keeps the playing track out ("folder", "genre";
    // empty: none).
    std::string CurrentSkipRule() const { return Get(m_skipRule); }

    // Track timing.
    void OnTrackPlay();
    void CalculateGoal(int length);
    static unsigned TimeUpdaterThread(void* engine);
    int TimerCallback();
    int OkToSendData();
    // -1 once handed on; kNeverSubmitted for a track the listening rule never counts.
    int GetSecondsToSubmit();
    int GetSecondsToSend();

    // Handshake and session.
    void DoHandshake();
    void SetChallenge(std::string challenge);
    void SetInterval(std::string interval);
    // A handshake's query for the account, after the address's own ("?" or "&").
    std::string HandshakeQuery(const std::string& username, char first = '?');

    // Request dispatch and response handling.
    void SubmitSong(Submission submission);
    void CacheSubmission(Submission submission);
    void AddLastSubmission(Submission submission);
    void ClearCache();
    // Takes the next batch of the account's cached plays for a flush (see
    // CCacheManager::TakeForAccount); the plays.
    std::vector<Submission> TakeFlushBatch(const std::string& username);
    // 1 when the worker started; a request that could not start is discarded.
    // `account`: the account the body sends plays as.
    int SpawnThread(std::string body, RequestType type, Submission submission,
                    const std::string& account = std::string());
    static unsigned SendThread(void* request);
    // `account`: the account the plays were sent as (for a play, the
    // session's when not given).
    // `failure`: why no answer came (status 0).
    void ThreadCallback(RequestType type, std::string response, Submission submission,
                        int requestId, int statusCode, const std::string& account = std::string(),
                        const std::string& failure = std::string());
    // Logs why the request's last call failed; the error number.
    uint32_t LogRequestError(const char* module, const char* call, int requestId);
    // A copy of the recent list, newest first.
    std::vector<Submission> GetLastSubmissions() const;
    // Request workers still running, and a wait for them to end (-1: no limit).
    // A session start asked of the timer and not yet run counts as one.
    int GetLiveWorkers() const;
    bool WaitForWorkers(int milliseconds);
    // At quit, after the wait: the plays whose requests have not ended go to
    // the cache, so that the end of the process loses none of them. One that
    // is accepted later after all is taken out of the cache again.
    void KeepUnsentPlays();
    // The Plays window's actions, run off the player's thread: waiting plays
    // leave the cache (each with a history line), or are sent with the account
    // set now. Plays no longer in the cache are passed over; the number of
    // those acted on.
    // Plays a flush is sending are left alone and counted apart.
    struct PlaysActedOn {
        int done = 0;
        int beingSent = 0;
    };
    // `service`: whose waiting plays (kKelmarService, or an extra service's
    // id); an extra service's account is its own. A service removed since
    // the plays were shown has none to act on.
    PlaysActedOn RemoveWaitingPlays(const std::vector<Submission>& plays,
                                    const std::string& service = kKelmarService);
    PlaysActedOn SendWithCurrentAccount(const std::vector<Submission>& plays,
                                        const std::string& service = kKelmarService);
    // The waiting play gets these texts (UTF-8) in its place in the cache,
    // keeping its time and account (Submission::WithTexts), and an "edited"
    // history line of the old and the new texts.
    PlaysActedOn EditWaitingPlay(const Submission& play, const std::string& artist,
                                 const std::string& title, const std::string& album,
                                 const std::string& service = kKelmarService);
    // Every play waiting in the cache, read from its file first when no
    // session has read it yet (a start switched off); `taken`: as
    // CCacheManager::GetAll's.
    std::vector<Submission> GetWaitingPlays(std::vector<unsigned char>* taken = nullptr,
                                            const std::string& service = kKelmarService);

    // The extra services, numbered 1 to kMaxExtraServices. Setting one saves
    // it at once under "Services\<number>" (a new one gets its id); removing
    // it deletes that key and ends it: nothing more goes to it, and its
    // waiting plays go when `discardPlays`, else they stay in their file for
    // when the same service (address and account) is added again.
    ServiceSettings GetService(int number) const;
    void SetService(int number, const ServiceSettings& settings);
    void RemoveService(int number, bool discardPlays);
    ServiceState GetServiceState(int number);
    // "Kelmar", or the extra service's name (empty when it is gone).
    std::string ServiceName(const std::string& service) const;
    // The files that hold the services' waiting plays, Kelmar's first.
    std::vector<std::string> PlaysFiles() const;
    // A pause of new plays, from the Plays window: until it ends, tracks are
    // neither submitted nor written to the history, only counted. It ends by
    // itself, and at quit; the cache keeps being sent. PausedUntil: its end
    // (UTC seconds), 0 while none is in force. PauseKeptOut: the tracks the
    // last pause kept out.
    void PauseSubmissions(int seconds);
    void ResumeSubmissions();
    int64_t PausedUntil() const;
    int PauseKeptOut() const { return m_pauseKeptOut; }

    // Runs the task on a thread of its own, counted with the request workers
    // so that quit waits for it; false when it could not start.
    bool RunInBackground(std::function<void()> task);
    // Goes up with every change of the cache or the history.
    // Goes up with every change of a cache (Kelmar's or an extra service's) or
    // of the history.
    unsigned PlaysChanges() const;

    // HTTP transport. The status code, 0 when none was received. `secure`:
    // over HTTPS. `otherStatus`: the request is an extra service's, whose
    // failure of TLS is told there; Kelmar's status, clock note and times
    // stay as they are. `why`: why no answer came, when none did.
    int PostURL(std::string server, std::string path, std::string body, std::string& response,
                int requestId, bool secure = false, uint16_t port = 80,
                std::string* otherStatus = nullptr, std::string* why = nullptr);
    int GetURL(std::string server, std::string path, std::string query, std::string& response,
               int requestId, bool secure = false, uint16_t port = 80,
               std::string* otherStatus = nullptr, std::string* why = nullptr);
    bool ParseReponse(std::string response, std::vector<std::string>& lines);
    // False when the address is refused (see ReadSubmitAddress); the last one stays.
    bool SetSubmitURL(std::string url);
    // Compares the PC's clock with the time an answer carried; stamped times
    // stay as they are.
    void CheckClock(int64_t serviceUtc);

    // Connectivity: true when a connection is usable. The check may take
    // seconds (a host lookup): only the timer and the workers make it.
    bool InternetConnected();
    // The result of the latest check: 1 connected, 0 not, -1 none made yet.
    int LastConnected() const { return m_lastConnected; }

    // Shows the configuration dialog, creating it when needed.
    void Config();

    // The settings as one value: a copy, and its replacement in one step. The
    // settings window replaces them on the player's thread; every other
    // reader takes one copy per use.
    Settings GetSettings() const;
    void ApplySettings(const Settings& settings);
    // The account and challenge response that submissions carry, and where
    // they go, as one value.
    Session GetSession() const;

    // Texts shared between threads: copied and replaced under the engine lock.
    std::string GetServer() const { return Get(m_server); }
    std::string GetSubmitPath() const { return Get(m_submitPath); }
    std::string GetUpdateUrl() const { return Get(m_updateUrl); }
    std::string GetChallengeResponse() const { return Get(m_challengeResponse); }
    std::string GetServerStatus() const { return Get(m_serverStatus); }
    std::string GetLastMessage() const { return Get(m_lastMessage); }
    std::string GetWorkingDir() const { return m_workingDir; }
    // Where the log and the cache live (see ChooseDataFolder).
    std::string GetDataDir() const { return m_dataDir; }

    // Flags, numbers and date-times: single values read without the lock.
    // Date-times are local wall-clock seconds (see ToDateTime).
    std::atomic<float> m_threshold{0.5f};
    std::atomic<int64_t> m_lastHandshakeAttempt;
    std::atomic<int> m_stop{0};
    // Cached plays tagged with another account than the one set, as the
    // timer last counted them.
    std::atomic<int> m_otherAccountPlays{0};
    // How far the PC's clock was from the service's at the last answer, in
    // minutes (positive: ahead); 0 within 5 minutes.
    std::atomic<int> m_clockSkewMinutes{0};
    std::atomic<bool> m_clockNoted{false};  // logged once a run
    std::atomic<int> m_goal{0};
    std::atomic<int> m_ticks{0};
    std::atomic<int> m_submitted{0};
    std::atomic<int64_t> m_pausedUntil{0};
    std::atomic<int> m_pauseKeptOut{0};
    std::atomic<int64_t> m_lastSubmitTime;
    std::atomic<int> m_interval{0};
    std::atomic<int> m_nextRequestId{0};
    CCacheManager m_cache;
    CPlayHistory m_history;
    std::atomic<int> m_inTimer{0};
    std::atomic<int> m_handshakeInProgress{0};
    std::atomic<int> m_handshakeComplete{0};
    std::atomic<int> m_flushInProgress{0};
    std::atomic<int> m_messageShown{0};
    std::atomic<int> m_xmlLog{0};
    // Bumped when the account changes or the plug-in is switched off; a
    // handshake answers only for the value it was started under.
    std::atomic<int> m_sessionEpoch{0};
    std::atomic<int> m_handshakeEpoch{0};
    // The check a save asked for: wanted until sent, then in flight until
    // answered; it answers only for the epoch it was sent under.
    std::atomic<bool> m_checkWanted{false};
    std::atomic<bool> m_checkInFlight{false};
    std::atomic<int> m_checkEpoch{0};
    // Not settings: the timer's period and the requests' time-out, which tests
    // shorten.
    std::atomic<int> m_timerPeriodMs{kTimerPeriodMs};
    std::atomic<int> m_requestTimeoutMs{kRequestTimeoutMs};

  protected:
    template <class T>
    T Get(const T& field) const {
        std::lock_guard<std::mutex> guard(m_lock);
        return field;
    }
    template <class T>
    void Put(T& field, const typename std::common_type<T>::type& value) {
        std::lock_guard<std::mutex> guard(m_lock);
        field = value;
    }

    // The locks, in the order they may be taken (one taken while another is
    // held comes later in this list, never earlier):
    //   m_handshakeLock   serialises DoHandshake's callers
    //   m_watchLock       the connection watcher's calls
    //   m_cacheLoadLock   the first read of the cache file
    //   m_workersLock     the live workers and the plays in flight
    //   the cache's lock, then its path lock (CCacheManager)
    //   the history's lock (CPlayHistory)
    //   m_timerLock       the timer's wake-up flags; nothing is taken under it
    //   m_lock            the engine lock; nothing is taken under it: it is
    //                     held only to copy or replace a value
    //   the log's lock    (CDebug) last: any holder above may write a line
    mutable CMutex m_lock;
    CModuleVersionInfo m_versionInfo;
    std::string m_workingDir;
    std::string m_dataDir;  // set at start, before any other thread runs
    InstanceHandle m_instance = nullptr;
    std::string m_updateUrl;
    std::string m_submitPath;
    std::string m_server;
    bool m_submitSecure = false;  // under m_lock, as the two above
    uint16_t m_submitPort = 80;
    std::string m_challengeResponse;
    std::string m_sessionUser;  // the account m_challengeResponse was made for
    Settings m_settings;
    Submission m_lastSubmissions[5];  // newest first
    std::string m_serverStatus;
    std::string m_lastMessage;

  protected:
    friend class CExtraService;
    // Stops and joins the timer thread; a player-specific class calls it first
    // in its destructor, since the timer asks it about the player.
    void StopTimer();

  private:
    void Tick();
    // Has the timer thread read the cache (once) and start a handshake as soon
    // as it can, so that the player's thread never waits for a large cache,
    // the connectivity check or the request. Counted as background work until
    // it has run (see WaitForWorkers).
    void RequestSessionStart();
    // A greeting for the account set now, without waiting out the spacing.
    void GreetAtOnce();
    void LoadCacheOnce();
    // Counts the cached plays of other accounts; logs when the number changes.
    void CountOtherAccountPlays();
    int ComputeGoal(int length);
    // A track starts: the player announced it, or a stream's title (given)
    // changed to another song.
    void StartTrack(const SongInfo& song, const std::string* streamTitle);
    // With "streamsongs" on and a stream playing: a change of its title is a
    // new track (or, without " - ", no song). True when the title changed.
    bool StreamTitleChanged();
    // The last play that counted (its file, artist and title as one key),
    // when it started (UTC seconds) and its length: a new announcement of it
    // before it could have ended is the same listening. Kept in the user's
    // own folder across restarts.
    void LoadLastCounted();
    void SaveLastCounted(const std::string& key, int64_t startUtc, int length);
    bool CountedAlready(const std::string& key, int64_t nowUtc);
    // The play as the user's rules have it (album artist, clean titles, the
    // correction file, read again when it changed), marked when they changed
    // it. Timer thread only.
    Submission ApplyUserRules(const Submission& submission);
    void ReadCorrections();
    struct Target {
        std::string server;
        std::string object;
        bool secure;
        uint16_t port;
        std::string* otherStatus;
        std::string* why;
    };
    void Failed(const Target& target, uint32_t error);
    int Request(const char* module, const char* verb, const Target& target,
                const std::string& headers, const std::string& data, bool readAlways,
                std::string& response, int requestId);
    void HandshakeResponse(const std::vector<std::string>& lines, const std::string& response,
                           int requestId);
    // The answers to each kind of request, as a worker hands them over.
    void HandshakeAnswered(const std::string& response, int requestId, int statusCode,
                           const std::string& failure);
    void SubmitAnswered(const std::string& response, const Submission& submission, int requestId,
                        int statusCode, const std::string& account);
    void FlushAnswered(const std::string& response, int requestId, int statusCode,
                       const std::string& account);
    // True when the check a save asked for went out now.
    bool SendAccountCheck();
    void AccountCheckAnswered(const std::string& response, int requestId, int statusCode,
                              const std::string& failure);
    // The answer's lines; false, with the status "UNREADABLE", for an answer
    // that cannot be read.
    bool ReadAnswer(const std::string& response, int requestId, std::vector<std::string>* lines);
    bool SubmissionResponse(RequestType type, const std::vector<std::string>& lines,
                            const Submission& submission, const std::string& account,
                            int requestId);
    // The flush in flight is over: its plays are the user's again.
    void FlushEnded();
    // A play's final fate, for the history (never on the player's thread).
    void Record(const Submission& play, const std::string& account, const char* outcome,
                const std::string& detail);
    void RequestAbandoned(const ThreadRequest& request);
    void TellUser(const std::string& message);
    // The handshake in flight is over, whatever its answer: the next one
    // follows under the usual spacing.
    void HandshakeEnded();
    void WorkerStarted();
    void WorkerEnded();
    // The play of a request that has ended: false when quit cached it already.
    bool ClaimUnsent(int requestId);
    // The answer to a play that quit cached while its request ran.
    void AnsweredAfterQuit(const ThreadRequest& request, const std::string& response, int status);

    // The extra services' subkey, under the settings key.
    std::string ServiceKey(int number);
    void LoadServices();
    void SaveService(int number, const ServiceSettings& settings);
    // The service set as `number`: the one there, edited, when the id is its
    // own or none; else a new one, with a new id when it has none. The
    // settings as set, id included.
    ServiceSettings SetExtra(int number, ServiceSettings settings);
    // The id of a service set before services had ids (see LoadServices).
    std::string IdOfNumberedService(int number, const ServiceSettings& service);
    // The extra service set as `number` (1 to kMaxExtraServices), or the one
    // of this id; null when there is none.
    std::shared_ptr<CExtraService> Extra(int number) const;
    std::shared_ptr<CExtraService> ExtraById(const std::string& id) const;
    // Every extra service set now.
    std::vector<std::shared_ptr<CExtraService>> Extras() const;
    // A service's waiting plays: Kelmar's cache or an extra service's (kept
    // alive while in use), the account they go as and the name their history
    // lines carry. No cache when the service is gone.
    struct PlaysOfService {
        CCacheManager* cache = nullptr;
        std::string account;
        std::string historyName;
        std::shared_ptr<CExtraService> extra;
    };
    PlaysOfService PlaysOf(const std::string& service);
    // Removes the plays from the cache, with a "removed" history line each
    // naming the account (for its own plays) and the service.
    PlaysActedOn RemovePlays(CCacheManager& cache, const std::string& account,
                             const std::string& serviceName, const std::vector<Submission>& plays);

    // Under m_lock: the extra services by number; a removed one lives on
    // only while its requests do.
    std::shared_ptr<CExtraService> m_extra[kMaxExtraServices];
    std::vector<std::weak_ptr<CExtraService>> m_retiredExtras;  // removed ones, under m_lock
    std::atomic<unsigned> m_servicesChanges{0};                 // services set or removed
    CWatchConnection m_watch;
    CMutex m_watchLock;  // see the lock order at m_lock
    CMutex m_handshakeLock;
    ThreadHandle m_timer = nullptr;
    CMutex m_timerLock;
    std::condition_variable m_timerWake;
    bool m_sessionStartWanted = false;  // under m_timerLock
    std::atomic<int> m_lastConnected{-1};
    std::atomic<int> m_probes{0};
    CCorrections m_corrections;  // the timer thread's, as the file's path and stamp
    std::string m_correctionsPath;
    uint64_t m_correctionsSize = 0;
    int64_t m_correctionsTime = 0;
    bool m_correctionsFound = false;
    CMutex m_cacheLoadLock;      // see the lock order at m_lock
    bool m_cacheLoaded = false;  // under m_cacheLoadLock
    mutable CMutex m_workersLock;
    std::condition_variable m_workersDone;
    int m_liveWorkers = 0;
    std::map<int, Submission> m_unsent;  // plays in flight by request, under m_workersLock
    bool m_settingsRead = false;         // LoadSettings ran (settings thread only)
    // Texts present in the store that could not be read (too long for the
    // buffer, or of another type): saving leaves them as they are.
    std::vector<std::string> m_unreadTexts;
    CRefusalRun m_refusalRun;  // of the cached plays

    // Under m_lock: the plays the flush in flight took; the playing track
    // (the last one whose information could not be read, when stale), the
    // record it makes, its file's whole path (the record's is cut to fit),
    // the skip rule that keeps it out ("folder", "genre"; empty: none) and
    // the entry of its list that matched.
    std::vector<Submission> m_flushItems;
    SongInfo m_staleSong;
    SongInfo m_song;
    Submission m_submission;
    std::string m_submissionPath;
    std::string m_skipRule;
    std::string m_skipMatch;
    int64_t m_trackStartUtc = 0;  // when the playing track started, and its length
    int m_trackLength = 0;
    std::string m_streamTitle;  // the stream's title last seen, trimmed
    bool m_streamTitleSeen = false;
    std::string m_lastCountedPath;  // set at start, before any other thread runs
    std::string m_lastCounted;
    int64_t m_lastCountedStart = 0;
    int m_lastCountedLength = 0;
};
