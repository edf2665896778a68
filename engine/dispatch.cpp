// Moving submissions to the service: sending or caching one track, flushing
// the cache, and acting on the answers (the workers are in workers.cpp).
#include <stdexcept>

#include "diagnostics/debug.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"

namespace {

// Refusals of the same cached play in a row before it is moved aside.
constexpr int kRefusalsBeforeSetAside = 3;

}  // namespace

void CPlaytally::SubmitSong(Submission submission) {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::SubmitSong", "Submitting '%s'",
                submission.GetDisplayText().c_str());
    submission.StampTime();
    Settings settings = GetSettings();
    // The play belongs to the account it was heard under, wherever it goes.
    submission.TagAccount(settings.username);
    if (settings.pluginEnabled == 0) return;
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
        if (SpawnThread(body, REQUEST_SUBMIT, submission)) {
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
    // A hand-set batch size below 1 would send empty flushes for ever.
    int batch = GetSettings().maxCacheSubs;
    if (batch < 1) batch = kDefaultMaxCacheSubs;
    // Only the plays of the account the session is for; the others wait.
    Session session = GetSession();
    std::vector<Submission> items = m_cache.GetForAccount(MakeAccountTag(session.username), batch);
    int n = static_cast<int>(items.size());
    if (n < 1) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_flushItems = items;
        m_flushUser = session.username;
    }
    std::string body = BuildSubmissionBody(session.challengeResponse, session.username, items);

    m_flushInProgress = 1;
    if (!SpawnThread(body, REQUEST_CACHE, Submission())) m_flushInProgress = 0;
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::ClearCache",
                "Sending Cache File - %d entries, data len %d and URL is %s", n,
                static_cast<int>(body.size()), body.c_str());
}

void CPlaytally::ThreadCallback(RequestType type, std::string response, Submission submission,
                                int requestId, int statusCode) {
    const char* module = "CPlaytally::ThreadCallback";
    g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission is '%s', Response is %s, Status Code %d",
                requestId, submission.GetDisplayText().c_str(), response.c_str(), statusCode);

    // The account changed, or the plug-in was switched off, while the
    // handshake was in flight: its answer opens no session.
    if (type == REQUEST_HANDSHAKE && m_handshakeEpoch != m_sessionEpoch) {
        g_Debug.Log(DEBUG_INFO, module,
                    "ReqID %d, Handshake answer for an earlier account or session ignored",
                    requestId);
        HandshakeEnded();
        return;
    }
    // A proxy that wants other credentials answers with a page of its own:
    // say so rather than call the answer unreadable.
    if (type == REQUEST_HANDSHAKE && statusCode == 407) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, The proxy asks for authentication (407)",
                    requestId);
        Put(m_serverStatus, kProxyAuthRequired);
        HandshakeEnded();
        return;
    }
    if (type != REQUEST_HANDSHAKE && statusCode != 200) {
        m_handshakeComplete = 0;
        if (type == REQUEST_SUBMIT) CacheSubmission(submission);
        if (type == REQUEST_CACHE) m_flushInProgress = 0;
        return;
    }

    bool accepted = false;
    int refusedItem = -1;
    std::string reason;
    std::vector<std::string> lines;
    if (!ParseReponse(response, lines)) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Last response from the server was unreadable",
                    requestId);
        Put(m_serverStatus, "UNREADABLE");
        m_handshakeComplete = 0;
        if (type == REQUEST_SUBMIT) CacheSubmission(submission);
    } else if (type == REQUEST_HANDSHAKE) {
        HandshakeResponse(lines, response, requestId);
    } else if (type == REQUEST_SUBMIT || type == REQUEST_CACHE) {
        accepted = SubmissionResponse(type, lines, submission, requestId, &refusedItem, &reason);
    }

    if (type == REQUEST_CACHE) {
        // The file is rewritten once for the whole batch.
        std::vector<Submission> items = Get(m_flushItems);
        if (accepted) {
            std::string account = Get(m_flushUser);
            for (const Submission& item : m_cache.RemoveRecords(items))
                Record(item, account, "sent", "from cache");
        }
        bool named = !accepted && refusedItem >= 0 && refusedItem < static_cast<int>(items.size());
        NoteRefusal(named ? items[static_cast<size_t>(refusedItem)] : Submission(), requestId,
                    reason);
        m_flushInProgress = 0;
    } else if (type == REQUEST_HANDSHAKE) {
        HandshakeEnded();
    }
}

bool CPlaytally::SubmissionResponse(RequestType type, const std::vector<std::string>& lines,
                                    const Submission& submission, int requestId, int* refusedItem,
                                    std::string* reason) {
    const char* module = "CPlaytally::ThreadCallback";
    const std::string& status = lines[0];
    Put(m_serverStatus, status);
    SubmissionAnswer answer = ReadSubmissionAnswer(lines);

    if (!answer.failed.empty())
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, answer.failed.c_str());
    if (answer.error) {
        *refusedItem = answer.refusedItem;
        *reason = answer.reason;
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
        if (type == REQUEST_SUBMIT) Record(submission, GetSession().username, "sent", "live");
        if (submission.IsValid()) {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of '%s' accepted OK", requestId,
                        submission.GetDisplayText().c_str());
        } else {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of cache file accepted OK",
                        requestId);
        }
        Put(m_lastMessage, "");
    } else if (type == REQUEST_SUBMIT) {
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
    // Blocks this worker only.
    ShowPrompt(message, GetPluginName(), PROMPT_OK);
}

void CPlaytally::Record(const Submission& play, const std::string& account, const char* outcome,
                        const std::string& detail) {
    if (play.IsValid()) m_history.Append({{play, account, outcome, detail}});
}

int CPlaytally::RemoveWaitingPlays(const std::vector<Submission>& plays) {
    std::string account = GetSettings().username;
    std::vector<Submission> removed = m_cache.RemoveRecords(plays);
    for (const Submission& play : removed) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::RemoveWaitingPlays",
                    "Removed '%s' from the cache at the user's request",
                    play.GetDisplayText().c_str());
        // Another account's play: its name is not known here.
        Record(play, play.IsForAccount(MakeAccountTag(account)) ? account : "", "removed", "");
    }
    return static_cast<int>(removed.size());
}

int CPlaytally::SendWithCurrentAccount(const std::vector<Submission>& plays) {
    std::string account = GetSettings().username;
    std::vector<Submission> tagged = m_cache.TagRecords(plays, account);
    for (const Submission& play : tagged) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::SendWithCurrentAccount",
                    "'%s' will be sent as %s at the user's request", play.GetDisplayText().c_str(),
                    AnsiToUtf8(account).c_str());
    }
    return static_cast<int>(tagged.size());
}

// A cached play that the service refuses by name blocks every flush, and so
// every play behind it. After a few refusals of the same play in a row it is
// kept in a side file instead, and the others can go.
void CPlaytally::NoteRefusal(const Submission& item, int requestId, const std::string& reason) {
    if (!item.IsValid()) {
        // Any other outcome of a flush ends a run of refusals.
        std::lock_guard<std::mutex> guard(m_lock);
        m_refusedItem.clear();
        m_refusals = 0;
        return;
    }
    std::string key(reinterpret_cast<const char*>(&item), sizeof(item));
    int count;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (key != m_refusedItem) {
            m_refusedItem = key;
            m_refusals = 0;
        }
        count = ++m_refusals;
    }
    if (count < kRefusalsBeforeSetAside || !m_cache.SetAside(item)) return;
    Record(item, GetSession().username, "set aside", reason);
    g_Debug.Log(DEBUG_ERROR, "CPlaytally::ThreadCallback",
                "ReqID %d, Cached play '%s' refused %d times in a row - kept in %s instead",
                requestId, item.GetDisplayText().c_str(), count, m_cache.GetSideFilePath().c_str());
    std::lock_guard<std::mutex> guard(m_lock);
    m_refusedItem.clear();
    m_refusals = 0;
}
