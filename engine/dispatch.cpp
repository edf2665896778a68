// Moving submissions to the service: sending or caching one track, flushing
// the cache, one worker thread per request, and acting on the answers.
#include <memory>
#include <stdexcept>

#include "diagnostics/debug.h"
#include "engine/clock.h"
#include "engine/playtally.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"

namespace {

// Refusals of the same cached play in a row before it is moved aside.
constexpr int kRefusalsBeforeSetAside = 3;

// Removes the first k characters (all of them when there are fewer).
void Drop(std::string& text, size_t k) {
    text.erase(0, k < text.size() ? k : text.size());
}

bool Has(const std::string& text, const char* keyword) {
    return text.find(keyword) != std::string::npos;
}

}  // namespace

void CPlaytally::SubmitSong(Submission submission) {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::SubmitSong", "Submitting '%s'",
                submission.GetDisplayText().c_str());
    submission.StampTime();
    if (GetSettings().pluginEnabled == 0) return;
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
    int count = m_cache.GetCount();
    // A hand-set batch size below 1 would send empty flushes for ever.
    int batch = GetSettings().maxCacheSubs;
    if (batch < 1) batch = kDefaultMaxCacheSubs;
    int n = count < batch ? count : batch;
    if (n < 1) return;
    m_flushCount = n;
    std::vector<Submission> items;
    items.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        items.push_back(m_cache.GetAt(i));
    Session session = GetSession();
    std::string body = BuildSubmissionBody(session.challengeResponse, session.username, items);

    m_flushInProgress = 1;
    if (!SpawnThread(body, REQUEST_CACHE, Submission())) m_flushInProgress = 0;
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::ClearCache",
                "Sending Cache File - %d entries, data len %d and URL is %s", n,
                static_cast<int>(body.size()), body.c_str());
}

int CPlaytally::SpawnThread(std::string body, RequestType type, Submission submission) {
    // Switched off while the request was prepared (the connectivity check
    // can take seconds): nothing goes out.
    if (GetSettings().pluginEnabled == 0) {
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SpawnThread",
                    "Plugin is disabled - no request started");
        return 0;
    }
    std::unique_ptr<ThreadRequest> request;
    try {
        request.reset(new ThreadRequest);
        request->engine = this;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            request->host = m_server;
            request->path = m_submitPath;
        }
        request->body = std::move(body);
    } catch (const std::exception& e) {
        // The callers undo what they marked in flight; nothing may be thrown
        // past them.
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SpawnThread", "Exception occurred - %s", e.what());
        return 0;
    }
    request->type = type;
    request->submission = submission;
    request->requestId = m_nextRequestId.fetch_add(1);
    int id = request->requestId;
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::SpawnThread",
                "ReqID %d, Spawning new thread. Submission is %s", id,
                submission.GetDisplayText().c_str());

    WorkerStarted();
    if (type == REQUEST_SUBMIT) {
        std::lock_guard<std::mutex> guard(m_workersLock);
        m_unsent.emplace(id, submission);
    }
    ThreadHandle thread = BeginThread(&CPlaytally::SendThread, request.get());
    if (!thread) {
        LogRequestError("CPlaytally::SpawnThread", "beginthreadex", id);
        ClaimUnsent(id);
        WorkerEnded();
        return 0;
    }
    request.release();  // the worker owns it now
    DetachThread(thread);
    return 1;
}

unsigned CPlaytally::SendThread(void* argument) {
    ThreadRequest* request = static_cast<ThreadRequest*>(argument);
    CPlaytally* engine = request->engine;
    g_Debug.Log(DEBUG_TRACE, "CPlaytally::SendThread", "Started new thread");
    try {
        std::string response;
        int status;
        if (request->type == REQUEST_HANDSHAKE) {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::SendThread", "ReqID %d, Performing Handshake",
                        request->requestId);
            status = engine->GetURL(request->host, request->path, request->body, response,
                                    request->requestId);
        } else {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::SendThread", "ReqID %d, Posting Data",
                        request->requestId);
            status = engine->PostURL(request->host, request->path, request->body, response,
                                     request->requestId);
        }
        if (request->type == REQUEST_SUBMIT) {
            request->claimed = engine->ClaimUnsent(request->requestId);
        }
        if (request->type == REQUEST_SUBMIT && !request->claimed) {
            engine->AnsweredAfterQuit(*request, response, status);
        } else {
            engine->ThreadCallback(request->type, response, request->submission, request->requestId,
                                   status);
        }
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SendThread", "ReqID %d, Exception occurred - %s",
                    request->requestId, e.what());
        engine->RequestAbandoned(*request);
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SendThread", "ReqID %d, Exception occurred - %s",
                    request->requestId, "unknown");
        engine->RequestAbandoned(*request);
    }
    delete request;
    engine->WorkerEnded();
    return 0;
}

// A request whose handling broke off: what it held in flight is released and
// its track kept for a later flush.
void CPlaytally::RequestAbandoned(const ThreadRequest& request) {
    try {
        // Unless quit has cached it already.
        if (request.type == REQUEST_SUBMIT && (request.claimed || ClaimUnsent(request.requestId)))
            CacheSubmission(request.submission);
    } catch (...) {
    }
    if (request.type == REQUEST_HANDSHAKE) {
        HandshakeEnded();
    }
    if (request.type == REQUEST_CACHE) m_flushInProgress = 0;
}

void CPlaytally::HandshakeEnded() {
    m_handshakeInProgress = 0;
    m_lastHandshakeAttempt = LocalDateTimeNow();
}

void CPlaytally::WorkerStarted() {
    std::lock_guard<std::mutex> guard(m_workersLock);
    ++m_liveWorkers;
}

bool CPlaytally::ClaimUnsent(int requestId) {
    std::lock_guard<std::mutex> guard(m_workersLock);
    return m_unsent.erase(requestId) != 0;
}

void CPlaytally::KeepUnsentPlays() {
    bool allowCache = GetSettings().allowCache != 0;
    // Under the lock a worker claims its play with: an answer that comes now
    // finds its play cached already, and can take it out again.
    std::lock_guard<std::mutex> guard(m_workersLock);
    std::vector<Submission> plays;
    for (const auto& entry : m_unsent) {
        g_Debug.Log(DEBUG_WARNING, "CPlaytally::KeepUnsentPlays",
                    "ReqID %d, No answer yet at quit - caching '%s'", entry.first,
                    entry.second.GetDisplayText().c_str());
        plays.push_back(entry.second);
    }
    m_unsent.clear();
    // One save for them all: quit waits for it.
    if (allowCache) m_cache.AddSubmissions(plays);
}

void CPlaytally::AnsweredAfterQuit(const ThreadRequest& request, const std::string& response,
                                   int status) {
    std::vector<std::string> lines;
    bool accepted = status == 200 && ParseReponse(response, lines) && TrimSpace(lines[0]) == "OK";
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ThreadCallback",
                "ReqID %d, Answered after quit cached '%s' - %s", request.requestId,
                request.submission.GetDisplayText().c_str(), response.c_str());
    if (accepted && m_cache.RemoveLast(request.submission)) {
        g_Debug.Log(DEBUG_INFO, "CPlaytally::ThreadCallback",
                    "ReqID %d, Accepted after all - taken out of the cache again",
                    request.requestId);
    }
}

void CPlaytally::WorkerEnded() {
    std::lock_guard<std::mutex> guard(m_workersLock);
    if (--m_liveWorkers == 0) m_workersDone.notify_all();
}

int CPlaytally::GetLiveWorkers() const {
    std::lock_guard<std::mutex> guard(m_workersLock);
    return m_liveWorkers;
}

bool CPlaytally::WaitForWorkers(int milliseconds) {
    std::unique_lock<std::mutex> lock(m_workersLock);
    auto idle = [this] { return m_liveWorkers == 0; };
    if (milliseconds < 0) {
        m_workersDone.wait(lock, idle);
        return true;
    }
    return m_workersDone.wait_for(lock, std::chrono::milliseconds(milliseconds), idle);
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
        accepted = SubmissionResponse(type, lines, submission, requestId, &refusedItem);
    }

    if (type == REQUEST_CACHE) {
        // The file is rewritten once for the whole batch.
        if (accepted) m_cache.RemoveFirst(m_flushCount);
        NoteRefusal(accepted || refusedItem >= m_flushCount ? -1 : refusedItem, requestId);
        m_flushInProgress = 0;
    } else if (type == REQUEST_HANDSHAKE) {
        HandshakeEnded();
    }
}

bool CPlaytally::SubmissionResponse(RequestType type, const std::vector<std::string>& lines,
                                    const Submission& submission, int requestId, int* refusedItem) {
    const char* module = "CPlaytally::ThreadCallback";
    bool accepted = false;
    std::string message;
    std::string status = lines[0];
    Put(m_serverStatus, status);
    std::string text = status;

    if (Has(text, "FAILED")) {
        Drop(text, 6);
        if (text.size() > 1) {
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, text.c_str());
            message = text;
        }
    }
    if (Has(text, "ERROR")) {
        Drop(text, 6);
        text = TrimSpace(text);
        if (text.size() > 1) {
            int index = 0;
            size_t digits = 0;
            for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
                if (index < 100000000) index = index * 10 + (text[digits] - '0');
            }
            // Only an answer that names an item refuses that item.
            if (digits > 0) *refusedItem = index;
            Submission item = m_cache.GetAt(index);
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, ERROR for item %d (%s) - Response was %s",
                        requestId, index, item.GetDisplayText().c_str(), status.c_str());
            message += "\r\n" + text;
        }
    }
    if (Has(text, "REAUTH")) {
        m_handshakeComplete = 0;
        Drop(text, 7);
        if (text.size() > 1) {
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, status.c_str());
            message += "\r\n" + text;
        }
    }
    if (Has(text, "BADAUTH")) {
        message = "Your username/password are invalid. Please check them in the config dialog.";
        Drop(text, 7);
        if (text.size() > 1) {
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s", requestId, status.c_str());
            message += "\r\n" + text;
        }
    }
    // Only an answer whose first line is "OK" accepts: a refusal whose reason
    // happens to contain the letters (FAILED BROKEN) must not lose the plays.
    if (TrimSpace(status) == "OK") {
        if (submission.IsValid()) {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of '%s' accepted OK", requestId,
                        submission.GetDisplayText().c_str());
        } else {
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Submission of cache file accepted OK",
                        requestId);
        }
        accepted = true;
        Put(m_lastMessage, "");
    }
    if (!accepted && type == REQUEST_SUBMIT) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Normal submission failed. Caching for later.",
                    requestId);
        CacheSubmission(submission);
    }
    if (lines.size() > 1) {
        const std::string& second = lines[1];
        if (second.compare(0, 8, "INTERVAL") == 0) {
            SetInterval(second.substr(8));
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, New Interval is %d", requestId,
                        m_interval.load());
        } else {
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Interval is corrupted", requestId);
        }
    }
    TellUser(message);
    return accepted;
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

// A cached play that the service refuses by name blocks every flush, and so
// every play behind it. After a few refusals of the same play in a row it is
// kept in a side file instead, and the others can go.
void CPlaytally::NoteRefusal(int index, int requestId) {
    Submission item = index >= 0 ? m_cache.GetAt(index) : Submission();
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
    if (count < kRefusalsBeforeSetAside || !m_cache.SetAside(index)) return;
    g_Debug.Log(DEBUG_ERROR, "CPlaytally::ThreadCallback",
                "ReqID %d, Cached play '%s' refused %d times in a row - kept in %s instead",
                requestId, item.GetDisplayText().c_str(), count, m_cache.GetSideFilePath().c_str());
    std::lock_guard<std::mutex> guard(m_lock);
    m_refusedItem.clear();
    m_refusals = 0;
}
