// The request workers: one thread per request, started, counted and waited
// for, and at quit the plays whose answers have not come yet kept in the cache.
#include <memory>
#include <new>
#include <stdexcept>

#include "diagnostics/debug.h"
#include "engine/http_api.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"

int CPlaytally::SpawnThread(std::string body, RequestType type, Submission submission,
                            const std::string& account) {
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
        bool secureHandshake = GetSettings().secureHandshake != 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            request->host = m_server;
            request->path = m_submitPath;
            // A handshake goes to the host on the usual port of its scheme;
            // plays go where the handshake said.
            request->secure = type == REQUEST_HANDSHAKE ? secureHandshake : m_submitSecure;
            request->port = type != REQUEST_HANDSHAKE ? m_submitPort
                            : secureHandshake         ? NET_DEFAULT_HTTPS_PORT
                                                      : NET_DEFAULT_HTTP_PORT;
        }
        request->body = std::move(body);
        request->account = account;
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
                                    request->requestId, request->secure, request->port, nullptr,
                                    &request->failure);
        } else {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::SendThread", "ReqID %d, Posting Data",
                        request->requestId);
            status = engine->PostURL(request->host, request->path, request->body, response,
                                     request->requestId, request->secure, request->port, nullptr,
                                     &request->failure);
        }
        if (request->type == REQUEST_SUBMIT) {
            request->claimed = engine->ClaimUnsent(request->requestId);
        }
        if (request->type == REQUEST_SUBMIT && !request->claimed) {
            engine->AnsweredAfterQuit(*request, response, status);
        } else {
            engine->ThreadCallback(request->type, response, request->submission, request->requestId,
                                   status, request->account, request->failure);
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
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SendThread", "ReqID %d, Exception occurred - %s",
                    request.requestId, "unknown");
    }
    if (request.type == REQUEST_HANDSHAKE) {
        HandshakeEnded();
    }
    if (request.type == REQUEST_CACHE) FlushEnded();
    if (request.type == REQUEST_CHECK) m_checkInFlight = false;
}

bool CPlaytally::RunInBackground(std::function<void()> task) {
    struct Job {
        CPlaytally* engine;
        std::function<void()> task;
    };
    std::unique_ptr<Job> job(new (std::nothrow) Job{this, std::move(task)});
    if (!job) return false;
    WorkerStarted();
    ThreadHandle thread = BeginThread(
        [](void* argument) -> unsigned {
            std::unique_ptr<Job> job(static_cast<Job*>(argument));
            try {
                job->task();
            } catch (const std::exception& e) {
                g_Debug.Log(DEBUG_ERROR, "CPlaytally::RunInBackground", "Exception occurred - %s",
                            e.what());
            } catch (...) {
                g_Debug.Log(DEBUG_ERROR, "CPlaytally::RunInBackground", "Exception occurred - %s",
                            "unknown");
            }
            CPlaytally* engine = job->engine;
            job.reset();  // what the task held goes before quit may go on
            engine->WorkerEnded();
            return 0;
        },
        job.get());
    if (!thread) {
        WorkerEnded();
        return false;
    }
    job.release();
    DetachThread(thread);
    return true;
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
    bool accepted =
        status == 200 && ParseReponse(response, lines) && ReadSubmissionAnswer(lines).accepted;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::ThreadCallback",
                "ReqID %d, Answered after quit cached '%s' - %s", request.requestId,
                request.submission.GetDisplayText().c_str(), response.c_str());
    if (accepted) Record(request.submission, request.account, "sent", "live");
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
