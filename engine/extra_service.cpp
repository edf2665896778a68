#include "engine/extra_service.h"

#include "diagnostics/debug.h"
#include "engine/clock.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"
#include "engine/submit_address.h"
#include "record/md5.h"
#include "record/text_encoding.h"

std::string MakeServiceId(const ServiceSettings& settings) {
    return Md5Hex(AsciiLower(TrimSpace(settings.handshakeUrl)) + "\n" +
                  AsciiLower(TrimSpace(settings.username)))
        .substr(0, 8);
}

std::string ServiceCacheFileName(const std::string& id) {
    return "kelmar.service" + id + ".cache";
}

CExtraService::CExtraService(CPlaytally* engine, const ServiceSettings& settings)
    : m_engine(engine), m_id(settings.id), m_settings(settings) {}

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
    m_status.clear();
}

ServiceSettings CExtraService::Settings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settings;
}

ServiceState CExtraService::State() const {
    ServiceState state;
    if (m_loaded) state.waiting = m_cache.GetCount();
    std::lock_guard<std::mutex> guard(m_lock);
    state.status = m_status;
    return state;
}

bool CExtraService::Retired() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_retired;
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
    m_cache.Load(m_engine->GetDataDir(), ServiceCacheFileName(m_id));
    m_loaded = true;
}

void CExtraService::Queue(Submission play) {
    ServiceSettings settings = Settings();
    if (!settings.IsSet() || settings.enabled == 0 || Retired()) return;
    play.TagAccount(settings.username);
    CDebugSubject subject(settings.name.c_str());
    g_Debug.Log(DEBUG_INFO, "CExtraService::Queue", "Queued '%s'", play.GetDisplayText().c_str());
    Cache().AddSubmission(play);
}

void CExtraService::Tick() {
    ServiceSettings settings = Settings();
    if (!settings.IsSet() || Retired()) return;
    // Read also while switched off, so that the Services window counts its plays.
    CCacheManager& cache = Cache();
    if (settings.enabled == 0 || settings.username.empty()) return;
    // A save that failed (the file held by another program) is tried again.
    if (!cache.IsSaved()) cache.Save();
    if (m_busy) return;
    int64_t now = LocalDateTimeNow();
    int epoch = m_epoch;
    std::shared_ptr<CExtraService> self = shared_from_this();
    if (!m_session) {
        if (!HandshakeDue(now, m_lastHandshake)) return;
        m_lastHandshake = now;
        m_busy = true;
        if (!m_engine->RunInBackground(
                [self, settings, epoch] { self->Handshake(settings, epoch); }))
            m_busy = false;
    } else if (cache.GetCount() > 0 && SendDue(now, m_lastSend, m_interval)) {
        m_busy = true;
        if (!m_engine->RunInBackground([self, settings, epoch] { self->Flush(settings, epoch); }))
            m_busy = false;
    }
}

void CExtraService::Retire(bool discard) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_retired = true;
        m_discard = discard;
        ++m_epoch;
        m_session = false;
    }
    // A flush in flight discards the rest when its answer has come.
    if (discard) DiscardPlays();
}

void CExtraService::Revive(const ServiceSettings& settings) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_retired = false;
        m_discard = false;
    }
    Configure(settings);
}

void CExtraService::DiscardPlays() {
    // Thousands of plays may go: not on the caller's (the player's) thread.
    std::shared_ptr<CExtraService> self = shared_from_this();
    ServiceSettings was = Settings();
    auto discard = [self, was] { self->DiscardIfRemoved(was); };
    if (!m_engine->RunInBackground(discard)) discard();
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
        SetStatus(kAddressRefused);
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
    std::string response, failure, tls;
    int status =
        m_engine->GetURL(address.server, address.path.empty() ? "/" : address.path, query, response,
                         requestId, address.secure, address.port, &tls, &failure);
    std::vector<std::string> lines;
    HandshakeAnswer answer;
    if (status == 0) {
        g_Debug.Log(DEBUG_DETAIL, module, "ReqID %d, No answer to the handshake", requestId);
        SetStatus(NotReachedStatus(failure));
    } else if (status != 200 || !m_engine->ParseReponse(response, lines)) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Handshake answer unreadable (status %d)",
                    requestId, status);
        SetStatus(kUnreadable);
    } else if (!(answer = ReadHandshakeAnswer(lines)).shaped) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Unexpected handshake response - %s", requestId,
                    response.c_str());
        SetStatus(TrimSpace(lines[0]));
    } else {
        // An update offered by another service is not this plug-in's.
        SubmitAddress submit;
        bool addressOk = ReadSubmitAddress(answer.submitUrl, address.secure, &submit, &why);
        int seconds = 0;
        bool intervalOk =
            answer.hasInterval && ReadIntervalSeconds(TrimSpace(answer.interval), &seconds);
        std::string status = TrimSpace(answer.status);
        std::lock_guard<std::mutex> guard(m_lock);
        bool current = epoch == m_epoch && !m_retired;
        // A three-line answer keeps the challenge response of the last one.
        std::string challengeResponse =
            answer.challenge.empty() ? m_challengeResponse
                                     : MakeChallengeResponse(settings.password, answer.challenge);
        if (!addressOk || challengeResponse.empty() || !answer.KnownStatus()) {
            g_Debug.Log(DEBUG_ERROR, module,
                        "ReqID %d, Handshake answer names no known status, challenge or submit "
                        "address to use (%s) - no session",
                        requestId, why.c_str());
            if (current) m_status = addressOk ? status : kSubmitAddressRefused;
        } else if (current) {
            m_challengeResponse = challengeResponse;
            m_submit = submit;
            m_status = status;
            if (intervalOk) m_interval = seconds;
            // The first plays wait a whole interval, as Kelmar's do.
            m_lastSend = LocalDateTimeNow();
            m_session = true;
            g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Server handshake completed OK", requestId);
        }
    }
    m_busy = false;
}

void CExtraService::Flush(ServiceSettings settings, int epoch) {
    CDebugSubject subject(settings.name.c_str());
    int requestId = m_engine->m_nextRequestId.fetch_add(1);
    int batch = m_engine->GetSettings().maxCacheSubs;
    if (batch < 1) batch = kDefaultMaxCacheSubs;
    // Only the plays of the account set now; others (kept from before the
    // account was changed) wait.
    std::vector<Submission> items =
        m_cache.TakeForAccount(MakeAccountTag(settings.username), batch);
    std::string body;
    SubmitAddress submit;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (epoch == m_epoch && !m_retired && !items.empty())
            body = BuildSubmissionBody(m_challengeResponse, settings.username, items);
        submit = m_submit;
    }
    if (body.empty()) {
        m_cache.ReleaseTaken();
        DiscardIfRemoved(settings);
        m_busy = false;
        return;
    }
    g_Debug.Log(DEBUG_DETAIL, "CExtraService::Flush",
                "ReqID %d, Sending %d waiting plays, data len %d", requestId,
                static_cast<int>(items.size()), static_cast<int>(body.size()));
    std::string response, failure, tls;
    m_lastSend = LocalDateTimeNow();
    int status = m_engine->PostURL(submit.server, submit.path, body, response, requestId,
                                   submit.secure, submit.port, &tls, &failure);
    FlushAnswered(settings, response, status, items, requestId);
    if (status == 0) SetStatus(NotReachedStatus(failure));
    m_busy = false;
}

void CExtraService::FlushAnswered(const ServiceSettings& settings, const std::string& response,
                                  int status, const std::vector<Submission>& items, int requestId) {
    const char* module = "CExtraService::ThreadCallback";
    std::vector<std::string> lines;
    bool readable = status == 200 && m_engine->ParseReponse(response, lines);
    FlushOutcome outcome = ReadFlushAnswer(status, readable, lines, items.size());
    FlushSettled settled = SettleFlush(outcome, items, m_cache, m_refusals);
    if (!outcome.answered) {
        SetStatus(kUnreadable);
        EndSession("No usable answer to the flush", requestId);
    } else {
        SetStatus(TrimSpace(lines[0]));
        int seconds = 0;
        if (outcome.answer.intervalValid &&
            ReadIntervalSeconds(TrimSpace(outcome.answer.interval), &seconds))
            m_interval = seconds;
        if (outcome.sessionEnds) EndSession("The service asks for a new session", requestId);
    }
    if (!settled.sent.empty()) {
        std::vector<HistoryEntry> sent;
        for (const Submission& item : settled.sent)
            sent.push_back({item, settings.username, "sent", "from cache", settings.name});
        m_engine->m_history.Append(sent);
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, %d waiting plays accepted OK", requestId,
                    static_cast<int>(sent.size()));
    } else if (outcome.answered) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Flush refused - %s", requestId,
                    lines[0].c_str());
    }
    if (settled.setAside.IsValid()) {
        m_engine->m_history.Append({{settled.setAside, settings.username, "set aside",
                                     outcome.answer.reason, settings.name}});
        g_Debug.Log(DEBUG_ERROR, module,
                    "ReqID %d, Waiting play '%s' refused %d times in a row - kept in %s", requestId,
                    settled.setAside.GetDisplayText().c_str(), settled.refusals,
                    m_cache.GetSideFilePath().c_str());
    }
    DiscardIfRemoved(settings);
}

void CExtraService::DiscardIfRemoved(const ServiceSettings& settings) {
    bool discard;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        discard = m_retired && m_discard;
    }
    // Their history lines still name the service.
    CCacheManager& cache = Cache();
    if (discard) m_engine->RemovePlays(cache, settings.username, settings.name, cache.GetAll());
}
