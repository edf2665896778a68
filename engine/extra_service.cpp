#include "engine/extra_service.h"

#include "diagnostics/debug.h"
#include "engine/clock.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"
#include "engine/submit_address.h"
#include "record/text_encoding.h"

std::string ServiceCacheFileName(int number) {
    return "kelmar.service" + std::to_string(number) + ".cache";
}

void CExtraService::Attach(CPlaytally* engine, int number) {
    m_engine = engine;
    m_number = number;
}

void CExtraService::Configure(const ServiceSettings& settings) {
    std::lock_guard<std::mutex> guard(m_lock);
    bool same = settings.handshakeUrl == m_settings.handshakeUrl &&
                settings.username == m_settings.username &&
                settings.password == m_settings.password && settings.enabled != 0;
    m_settings = settings;
    if (same) return;
    // An answer to a request made under the old settings opens nothing.
    ++m_epoch;
    m_session = false;
    m_challengeResponse.clear();
    m_lastHandshake = 0;
    m_nextFlush = 0;
    m_status.clear();
}

ServiceSettings CExtraService::Settings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settings;
}

ServiceState CExtraService::State() {
    ServiceState state;
    state.waiting = Cache().GetCount();
    std::lock_guard<std::mutex> guard(m_lock);
    state.status = m_status;
    return state;
}

CCacheManager& CExtraService::Cache() {
    LoadOnce();
    return m_cache;
}

void CExtraService::LoadOnce() {
    if (m_loaded) return;
    std::lock_guard<std::mutex> guard(m_loadLock);
    if (m_loaded) return;
    // Broken records are logged and kept aside by the cache itself.
    m_cache.Load(m_engine->GetDataDir(), ServiceCacheFileName(m_number));
    m_loaded = true;
}

void CExtraService::Queue(Submission play) {
    ServiceSettings settings = Settings();
    if (!settings.IsSet() || settings.enabled == 0) return;
    play.TagAccount(settings.username);
    CDebugSubject subject(settings.name.c_str());
    g_Debug.Log(DEBUG_INFO, "CExtraService::Queue", "Queued '%s'", play.GetDisplayText().c_str());
    Cache().AddSubmission(play);
}

void CExtraService::Tick() {
    ServiceSettings settings = Settings();
    if (!settings.IsSet()) return;
    // Read also while switched off, so that the Services window counts its plays.
    CCacheManager& cache = Cache();
    if (settings.enabled == 0 || settings.username.empty()) return;
    // A save that failed (the file held by another program) is tried again.
    if (!cache.IsSaved()) cache.Save();
    if (m_busy) return;
    int64_t now = LocalDateTimeNow();
    int epoch = m_epoch;
    if (!m_session) {
        int64_t last = m_lastHandshake;
        // A clock set back is no reason to wait.
        if (last != 0 && now >= last && now - last < kHandshakeSpacing) return;
        m_lastHandshake = now;
        m_busy = true;
        if (!m_engine->RunInBackground([this, settings, epoch] { Handshake(settings, epoch); }))
            m_busy = false;
    } else if (cache.GetCount() > 0 && now >= m_nextFlush) {
        m_busy = true;
        if (!m_engine->RunInBackground([this, settings, epoch] { Flush(settings, epoch); }))
            m_busy = false;
    }
}

void CExtraService::WaitBeforeFlush(int seconds) {
    // More than an hour is taken for a fault of the answer, not a wish.
    m_nextFlush = LocalDateTimeNow() + (seconds < 3600 ? seconds : 0);
}

void CExtraService::SetStatus(const std::string& status) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_status = status;
}

void CExtraService::EndSession(const char* why, int requestId) {
    g_Debug.Log(DEBUG_ERROR, "CExtraService::ThreadCallback", "ReqID %d, %s - session ended",
                requestId, why);
    m_session = false;
    m_lastHandshake = LocalDateTimeNow();
}

void CExtraService::Handshake(ServiceSettings settings, int epoch) {
    CDebugSubject subject(settings.name.c_str());
    const char* module = "CExtraService::Handshake";
    int requestId = m_engine->m_nextRequestId.fetch_add(1);
    SubmitAddress address;
    std::string why;
    if (!ReadSubmitAddress(settings.handshakeUrl, false, &address, &why)) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Handshake address refused (%s) - %s", requestId,
                    why.c_str(), settings.handshakeUrl.c_str());
        SetStatus("Address refused");
        m_busy = false;
        return;
    }
    if (!m_engine->InternetConnected()) {
        g_Debug.Log(DEBUG_DETAIL, module, "ReqID %d, No Internet Connection Available", requestId);
        m_busy = false;
        return;
    }
    std::string query = m_engine->HandshakeQuery(
        settings.username, address.path.find('?') == std::string::npos ? '?' : '&');
    std::string response, failure;
    int status = m_engine->GetURL(address.server, address.path.empty() ? "/" : address.path, query,
                                  response, requestId, address.secure, address.port, &failure);
    std::vector<std::string> lines;
    if (status == 0) {
        g_Debug.Log(DEBUG_DETAIL, module, "ReqID %d, No answer to the handshake", requestId);
        SetStatus(failure.empty() ? "No answer" : failure);
    } else if (status != 200 || !m_engine->ParseReponse(response, lines)) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Handshake answer unreadable (status %d)",
                    requestId, status);
        SetStatus("UNREADABLE");
    } else if (lines.size() != 3 && lines.size() != 4) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Unexpected handshake response - %s", requestId,
                    response.c_str());
        SetStatus(TrimSpace(lines[0]));
    } else {
        // The lines as Kelmar's: status, [challenge,] submit address, interval.
        // An update offered by another service is not this plug-in's.
        size_t next = lines.size() == 4 ? 1 : 0;
        std::string challenge = next ? TrimSpace(lines[1]) : std::string();
        SubmitAddress submit;
        bool addressOk =
            ReadSubmitAddress(TrimSpace(lines[next + 1]), address.secure, &submit, &why);
        const std::string& interval = lines[next + 2];
        int seconds = 0;
        if (interval.compare(0, 8, "INTERVAL") == 0)
            ReadIntervalSeconds(TrimSpace(interval.substr(8)), &seconds);
        if (!addressOk || challenge.empty()) {
            g_Debug.Log(DEBUG_ERROR, module,
                        "ReqID %d, Handshake answer names no challenge or submit address to use "
                        "(%s) - no session",
                        requestId, why.c_str());
            SetStatus(addressOk ? TrimSpace(lines[0]) : kSubmitAddressRefused);
        } else {
            std::lock_guard<std::mutex> guard(m_lock);
            if (epoch == m_epoch) {
                m_challengeResponse = MakeChallengeResponse(settings.password, challenge);
                m_submit = submit;
                m_status = TrimSpace(lines[0]);
                WaitBeforeFlush(seconds);
                m_session = true;
            }
        }
        if (m_session)
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Server handshake completed OK", requestId);
    }
    m_busy = false;
}

void CExtraService::Flush(ServiceSettings settings, int epoch) {
    CDebugSubject subject(settings.name.c_str());
    int requestId = m_engine->m_nextRequestId.fetch_add(1);
    int batch = m_engine->GetSettings().maxCacheSubs;
    if (batch < 1) batch = kDefaultMaxCacheSubs;
    // Only the plays of the account set now; others (kept from a service
    // removed and added again under another name) wait.
    std::vector<Submission> items =
        m_cache.TakeForAccount(MakeAccountTag(settings.username), batch);
    std::string body;
    SubmitAddress submit;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (epoch == m_epoch && !items.empty())
            body = BuildSubmissionBody(m_challengeResponse, settings.username, items);
        submit = m_submit;
    }
    if (body.empty()) {
        m_cache.ReleaseTaken();
        m_busy = false;
        return;
    }
    g_Debug.Log(DEBUG_DETAIL, "CExtraService::Flush",
                "ReqID %d, Sending %d waiting plays, data len %d", requestId,
                static_cast<int>(items.size()), static_cast<int>(body.size()));
    std::string response, failure;
    int status = m_engine->PostURL(submit.server, submit.path, body, response, requestId,
                                   submit.secure, submit.port, &failure);
    FlushAnswered(settings, response, status, items, requestId);
    if (!failure.empty()) SetStatus(failure);
    m_busy = false;
}

void CExtraService::FlushAnswered(const ServiceSettings& settings, const std::string& response,
                                  int status, const std::vector<Submission>& items, int requestId) {
    const char* module = "CExtraService::ThreadCallback";
    std::vector<std::string> lines;
    if (status != 200 || !m_engine->ParseReponse(response, lines)) {
        // No answer, another status or a page that is no answer: the plays
        // wait, and the next flush follows a new handshake.
        m_cache.ReleaseTaken();
        SetStatus(status == 0 ? "No answer" : "UNREADABLE");
        EndSession("No usable answer to the flush", requestId);
        return;
    }
    SubmissionAnswer answer = ReadSubmissionAnswer(lines);
    SetStatus(TrimSpace(lines[0]));
    int seconds = 0;
    if (answer.intervalValid && ReadIntervalSeconds(TrimSpace(answer.interval), &seconds))
        WaitBeforeFlush(seconds);
    if (answer.accepted) {
        std::vector<HistoryEntry> sent;
        for (const Submission& item : m_cache.RemoveTaken())
            sent.push_back({item, settings.username, "sent", "from cache", settings.name});
        m_engine->m_history.Append(sent);
        m_refusals = 0;
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, %d waiting plays accepted OK", requestId,
                    static_cast<int>(sent.size()));
        return;
    }
    m_cache.ReleaseTaken();
    g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Flush refused - %s", requestId, lines[0].c_str());
    if (answer.reauth || lines[0].compare(0, 7, "BADAUTH") == 0) {
        EndSession("The service asks for a new session", requestId);
    } else if (answer.error && answer.refusedItem >= 0 &&
               answer.refusedItem < static_cast<int>(items.size()) &&
               ++m_refusals >= kRefusalsBeforeSetAside) {
        const Submission& item = items[static_cast<size_t>(answer.refusedItem)];
        if (m_cache.SetAside(item)) {
            m_engine->m_history.Append(
                {{item, settings.username, "set aside", answer.reason, settings.name}});
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Waiting play '%s' refused - kept in %s",
                        requestId, item.GetDisplayText().c_str(),
                        m_cache.GetSideFilePath().c_str());
        }
        m_refusals = 0;
    }
}
