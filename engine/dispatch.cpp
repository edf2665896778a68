// Moving submissions to the service: sending or caching one track, flushing
// the cache, and acting on the answers (the workers are in workers.cpp).
#include <cstring>
#include <stdexcept>

#include "diagnostics/debug.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"

void CPlaytally::SubmitSong(Submission submission) {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::SubmitSong", "Submitting '%s'",
                submission.GetDisplayText().c_str());
    // Stamped when it counts, unless stamped when it started.
    if (submission.Time().empty()) submission.StampTime();
    Settings settings = GetSettings();
    // The play belongs to the account it was heard under, wherever it goes.
    submission.TagAccount(settings.username);
    if (settings.pluginEnabled == 0) return;
    // Each extra service gets the play in its own queue, whatever Kelmar's
    // session does with it.
    if (submission.IsValid()) {
        for (const std::shared_ptr<CExtraService>& service : Extras()) {
            service->Queue(submission);
            service->Tick();
        }
    }
    if (!submission.IsValid()) {
        SongInfo song;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            song = m_song;
        }
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::TimerCallback", "Invalid Submission for %s - %s",
                    FixedFieldText(song.artist).c_str(), FixedFieldText(song.title).c_str());
        return;
    }
    if (!OkToSendData()) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::SubmitSong",
                    "Not in a position to send data. Caching for later.");
        CacheSubmission(submission);
        return;
    }
    try {
        Session session = GetSession();
        if (session.challengeResponse.empty() || session.username.empty()) {
            g_Debug.Log(DEBUG_ERROR, "CPlaytally::SubmitSong",
                        "Invalid or missing Uname/Password. Caching Song for later.");
            CacheSubmission(submission);
            return;
        }
        // The account changed since the session was made: the play waits for
        // its own.
        if (!submission.IsForAccount(MakeAccountTag(session.username))) {
            CacheSubmission(submission);
            return;
        }
        std::string body =
            BuildSubmissionBody(session.challengeResponse, session.username, {submission});
        if (SpawnThread(body, REQUEST_SUBMIT, submission, session.username)) {
            AddLastSubmission(submission);
        } else {
            // Nothing was sent: keep the track for the next flush.
            CacheSubmission(submission);
        }
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SubmitSong", "Exception occurred - %s", e.what());
        CacheSubmission(submission);
    }
}

void CPlaytally::CacheSubmission(Submission submission) {
    if (GetSettings().allowCache == 0) return;
    m_cache.AddSubmission(submission);
    AddLastSubmission(submission);
}

void CPlaytally::AddLastSubmission(Submission submission) {
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::AddLastSubmission", "Adding submission %s",
                submission.GetDisplayText().c_str());
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int i = 4; i > 0; --i)
            m_lastSubmissions[i] = m_lastSubmissions[i - 1];
        m_lastSubmissions[0] = submission;
    }
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::AddLastSubmission", "Submission added OK");
}

std::vector<Submission> CPlaytally::GetLastSubmissions() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::vector<Submission>(std::begin(m_lastSubmissions), std::end(m_lastSubmissions));
}

void CPlaytally::ClearCache() {
    if (m_cache.GetCount() < 1 || !OkToSendData() || m_flushInProgress != 0) return;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ClearCache", "Attempting to send cache file");
    Session session = GetSession();
    m_flushInProgress = 1;
    std::vector<Submission> items = TakeFlushBatch(session.username);
    int n = static_cast<int>(items.size());
    if (n < 1) {
        m_flushInProgress = 0;
        return;
    }
    std::string body = BuildSubmissionBody(session.challengeResponse, session.username, items);
    if (!SpawnThread(body, REQUEST_CACHE, Submission(), session.username)) FlushEnded();
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::ClearCache",
                "Sending Cache File - %d entries, data len %d and URL is %s", n,
                static_cast<int>(body.size()), body.c_str());
}

std::vector<Submission> CPlaytally::TakeFlushBatch(const std::string& username) {
    // A hand-set batch size below 1 would send empty flushes for ever.
    int batch = GetSettings().maxCacheSubs;
    if (batch < 1) batch = kDefaultMaxCacheSubs;
    // Only the plays of the account the session is for; the others wait. The
    // cache keeps the plays taken out of the user's reach until the answer.
    std::vector<Submission> items = m_cache.TakeForAccount(MakeAccountTag(username), batch);
    Put(m_flushItems, items);
    return items;
}

void CPlaytally::FlushEnded() {
    m_cache.ReleaseTaken();
    m_flushInProgress = 0;
}

void CPlaytally::ThreadCallback(RequestType type, std::string response, Submission submission,
                                int requestId, int statusCode, const std::string& account,
                                const std::string& failure) {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ThreadCallback",
                "ReqID %d, Submission is '%s', Response is %s, Status Code %d", requestId,
                submission.GetDisplayText().c_str(), response.c_str(), statusCode);
    if (type == REQUEST_HANDSHAKE) {
        HandshakeAnswered(response, requestId, statusCode, failure);
    } else if (type == REQUEST_SUBMIT) {
        SubmitAnswered(response, submission, requestId, statusCode,
                       account.empty() ? GetSession().username : account);
    } else if (type == REQUEST_CACHE) {
        FlushAnswered(response, requestId, statusCode, account);
    } else if (type == REQUEST_CHECK) {
        AccountCheckAnswered(response, requestId, statusCode, failure);
    }
}

bool CPlaytally::ReadAnswer(const std::string& response, int requestId,
                            std::vector<std::string>* lines) {
    if (ParseReponse(response, *lines)) return true;
    g_Debug.Log(DEBUG_ERROR, "CPlaytally::ThreadCallback",
                "ReqID %d, Last response from the server was unreadable", requestId);
    Put(m_serverStatus, kUnreadable);
    m_handshakeComplete = 0;
    return false;
}

void CPlaytally::HandshakeAnswered(const std::string& response, int requestId, int statusCode,
                                   const std::string& failure) {
    const char* module = "CPlaytally::ThreadCallback";
    std::vector<std::string> lines;
    std::string said;  // what this answer showed as the status
    if (m_handshakeEpoch != m_sessionEpoch) {
        // The account changed, or the plug-in was switched off, while the
        // handshake was in flight: its answer opens no session.
        g_Debug.Log(DEBUG_INFO, module,
                    "ReqID %d, Handshake answer for an earlier account or session ignored",
                    requestId);
    } else if (statusCode == 407) {
        // A proxy that wants other credentials answers with a page of its
        // own: say so rather than call the answer unreadable.
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, The proxy asks for authentication (407)",
                    requestId);
        Put(m_serverStatus, said = kProxyAuthRequired);
    } else if (statusCode == 0) {
        // No answer came: shown with why (a certificate, a time-out) until one
        // does, rather than a wait for a greeting that is not coming.
        g_Debug.Log(DEBUG_DETAIL, module, "ReqID %d, No answer to the handshake", requestId);
        Put(m_serverStatus, said = NotReachedStatus(failure));
    } else if (!ReadAnswer(response, requestId, &lines)) {
        said = kUnreadable;
    } else {
        HandshakeResponse(lines, response, requestId);
        said = GetServerStatus() == kSubmitAddressRefused ? kSubmitAddressRefused
                                                          : TrimSpace(lines[0]);
    }
    // A save's check waits for a session; until one opens, the status says
    // why the account is not checked yet.
    if (m_checkWanted && m_handshakeComplete == 0 && m_handshakeEpoch == m_sessionEpoch &&
        !said.empty())
        Put(m_serverStatus, std::string(kAccountNotChecked) + ": " + said);
    bool stale = m_handshakeEpoch != m_sessionEpoch;
    HandshakeEnded();
    // A save's check goes as soon as the session is open, not a tick later.
    if (m_handshakeComplete != 0) SendAccountCheck();
    // Answered for an account saved over (or a switch) meanwhile: the account
    // saved greets now, not a minute after this answer.
    if (stale) GreetAtOnce();
}

void CPlaytally::SubmitAnswered(const std::string& response, const Submission& submission,
                                int requestId, int statusCode, const std::string& account) {
    std::vector<std::string> lines;
    if (statusCode != 200) {
        m_handshakeComplete = 0;
        CacheSubmission(submission);
    } else if (!ReadAnswer(response, requestId, &lines)) {
        CacheSubmission(submission);
    } else {
        SubmissionResponse(REQUEST_SUBMIT, lines, submission, account, requestId);
    }
}

void CPlaytally::FlushAnswered(const std::string& response, int requestId, int statusCode,
                               const std::string& account) {
    std::vector<std::string> lines;
    bool readable = statusCode == 200 && ReadAnswer(response, requestId, &lines);
    std::vector<Submission> items = Get(m_flushItems);
    FlushOutcome outcome = ReadFlushAnswer(statusCode, readable, lines, items.size());
    if (outcome.answered) {
        SubmissionResponse(REQUEST_CACHE, lines, Submission(), account, requestId);
    } else {
        m_handshakeComplete = 0;
    }
    FlushSettled settled = SettleFlush(outcome, items, m_cache, m_refusalRun);
    for (const Submission& item : settled.sent)
        Record(item, account, "sent", "from cache");
    if (settled.setAside.IsValid()) {
        Record(settled.setAside, account, "set aside", outcome.answer.reason);
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::ThreadCallback",
                    "ReqID %d, Cached play '%s' refused %d times in a row - kept in %s instead",
                    requestId, settled.setAside.GetDisplayText().c_str(), settled.refusals,
                    m_cache.GetSideFilePath().c_str());
    }
    m_flushInProgress = 0;
}

bool CPlaytally::SubmissionResponse(RequestType type, const std::vector<std::string>& lines,
                                    const Submission& submission, const std::string& account,
                                    int requestId) {
    const char* module = "CPlaytally::ThreadCallback";
    const std::string& status = lines[0];
    Put(m_serverStatus, status);
    SubmissionAnswer answer = ReadSubmissionAnswer(lines);

    if (!answer.failed.empty())
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, answer.failed.c_str());
    if (answer.error) {
        // A flush's items are numbered from 0 among the plays it took.
        Submission item;
        if (type != REQUEST_CACHE) {
            item = m_cache.GetAt(answer.errorItem);
        } else {
            std::vector<Submission> items = Get(m_flushItems);
            size_t at = static_cast<size_t>(answer.errorItem);
            if (at < items.size()) item = items[at];
        }
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, ERROR for item %d (%s) - Response was %s",
                    requestId, answer.errorItem, item.GetDisplayText().c_str(), status.c_str());
    }
    if (answer.reauth) m_handshakeComplete = 0;
    for (int i = 0; i < answer.statusLines; ++i)
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, status.c_str());
    if (answer.accepted) {
        if (type == REQUEST_SUBMIT) Record(submission, account, "sent", "live");
        if (submission.IsValid()) {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of '%s' accepted OK", requestId,
                        submission.GetDisplayText().c_str());
        } else {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of cache file accepted OK",
                        requestId);
        }
        Put(m_lastMessage, "");
    } else if (type == REQUEST_SUBMIT) {
        // Before any message to the user, which holds this worker up.
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Normal submission failed. Caching for later.",
                    requestId);
        CacheSubmission(submission);
    }
    if (answer.intervalValid) {
        SetInterval(answer.interval);
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, New Interval is %d", requestId,
                    m_interval.load());
    } else if (answer.hasInterval) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Interval is corrupted", requestId);
    }
    TellUser(answer.message);
    return answer.accepted;
}

void CPlaytally::TellUser(const std::string& text) {
    std::string message = TrimSpace(text);
    {
        // Two workers with the same refusal at once show it once: the
        // decision and the message it is about change together.
        std::lock_guard<std::mutex> guard(m_lock);
        if (message != m_lastMessage) m_messageShown = 0;
        if (m_settings.showErrors == 0 || message.empty() || m_messageShown != 0) return;
        m_messageShown = 1;
        m_lastMessage = message;
    }
    // Ours in the user's language; the service's as it came. Blocks this
    // worker only.
    if (message.compare(0, sizeof(kBadAuthMessage) - 1, kBadAuthMessage) == 0)
        message = Tr(kBadAuthMessage) + Utf8OrAnsi(message.substr(sizeof(kBadAuthMessage) - 1));
    ShowPrompt(message, GetPluginName(), PROMPT_OK);
}

void CPlaytally::Record(const Submission& play, const std::string& account, const char* outcome,
                        const std::string& detail) {
    if (!play.IsValid()) return;
    // A play the user's rules changed says so when it is sent, live or later.
    bool corrected = std::strcmp(outcome, "sent") == 0 && play.IsCorrected();
    m_history.Append({{play, account, outcome, corrected ? "corrected" : detail, ""}});
}

CPlaytally::PlaysActedOn CPlaytally::RemoveWaitingPlays(const std::vector<Submission>& plays,
                                                        const std::string& service) {
    PlaysOfService of = PlaysOf(service);
    if (!of.cache) return {};
    return RemovePlays(*of.cache, of.account, of.historyName, plays);
}

CPlaytally::PlaysActedOn CPlaytally::RemovePlays(CCacheManager& cache, const std::string& account,
                                                 const std::string& serviceName,
                                                 const std::vector<Submission>& plays) {
    CCacheManager::Change removed = cache.RemoveRecords(plays);
    AccountTag tag = MakeAccountTag(account);
    std::vector<HistoryEntry> lines;
    for (const Submission& play : removed.records) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::RemoveWaitingPlays",
                    "Removed '%s' from the cache at the user's request",
                    play.GetDisplayText().c_str());
        // Another account's play: its name is not known here.
        lines.push_back({play, play.IsForAccount(tag) ? account : "", "removed", "", serviceName});
    }
    // Thousands of plays may go at once: one write for them all.
    if (!lines.empty()) m_history.Append(lines);
    return {static_cast<int>(removed.records.size()), removed.taken};
}

CPlaytally::PlaysActedOn CPlaytally::SendWithCurrentAccount(const std::vector<Submission>& plays,
                                                            const std::string& service) {
    PlaysOfService of = PlaysOf(service);
    if (!of.cache) return {};
    CCacheManager::Change tagged = of.cache->TagRecords(plays, of.account);
    for (const Submission& play : tagged.records) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::SendWithCurrentAccount",
                    "'%s' will be sent as %s at the user's request", play.GetDisplayText().c_str(),
                    AnsiToUtf8(of.account).c_str());
    }
    return {static_cast<int>(tagged.records.size()), tagged.taken};
}

CPlaytally::PlaysActedOn CPlaytally::EditWaitingPlay(const Submission& play,
                                                     const std::string& artist,
                                                     const std::string& title,
                                                     const std::string& album,
                                                     const std::string& service) {
    // The service refuses a play without an artist or a title.
    Submission replacement = play.WithTexts(TrimSpace(artist), TrimSpace(title), TrimSpace(album));
    PlaysOfService of = PlaysOf(service);
    if (!replacement.IsValid() || !of.cache) return {};
    CCacheManager::Change edited = of.cache->ReplaceRecord(play, replacement);
    for (const Submission& now : edited.records) {
        std::string change = play.GetDisplayText() + " -> " + now.GetDisplayText();
        g_Debug.Log(DEBUG_INFO, "CPlaytally::EditWaitingPlay", "Edited at the user's request: %s",
                    change.c_str());
        m_history.Append({{now, now.IsForAccount(MakeAccountTag(of.account)) ? of.account : "",
                           "edited", change, of.historyName}});
    }
    return {static_cast<int>(edited.records.size()), edited.taken};
}

std::vector<Submission> CPlaytally::GetWaitingPlays(std::vector<unsigned char>* taken,
                                                    const std::string& service) {
    if (service.empty()) LoadCacheOnce();
    PlaysOfService of = PlaysOf(service);
    return of.cache ? of.cache->GetAll(taken) : std::vector<Submission>();
}

CPlaytally::PlaysOfService CPlaytally::PlaysOf(const std::string& service) {
    PlaysOfService of;
    if (service.empty()) {
        of.cache = &m_cache;
        of.account = GetSettings().username;
        return of;
    }
    of.extra = ExtraById(service);
    if (!of.extra) return of;
    ServiceSettings settings = of.extra->Settings();
    of.cache = &of.extra->Cache();
    of.account = settings.username;
    of.historyName = settings.name;
    return of;
}

std::string CPlaytally::ServiceName(const std::string& service) const {
    if (service.empty()) return "Kelmar";
    std::shared_ptr<CExtraService> extra = ExtraById(service);
    return extra ? extra->Settings().name : std::string();
}
