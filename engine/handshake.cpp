// The session with the service: when a handshake may start, what its answer
// sets, and the challenge and interval it carries.
#include <cctype>
#include <stdexcept>

#include "diagnostics/debug.h"
#include "diagnostics/translate.h"
#include "engine/clock.h"
#include "engine/playtally.h"
#include "engine/submission_answer.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"

namespace {

constexpr char kProtocolVersion[] = "1.1";

// The shell opens whatever it is given: a share, a program. The address comes
// in a plain-HTTP answer, so only a web page is opened.
bool IsWebAddress(const std::string& url) {
    std::string scheme;
    for (size_t i = 0; i < url.size() && i < 8; ++i)
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
    if (scheme.compare(0, 7, "http://") != 0 && scheme.compare(0, 8, "https://") != 0) return false;
    for (unsigned char c : url) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string FormatDateTime(int64_t dateTime) {
    LocalTime t = FromDateTime(dateTime);
    return Format("%02d/%02d/%d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                  t.second);
}

}  // namespace

void CPlaytally::DoHandshake() {
    // Only the timer thread starts handshakes (a session start asked of it
    // included), never the player's thread: the lookup and the connectivity
    // check may take seconds. The lock keeps any other caller from passing the
    // checks before the first has marked its handshake in flight.
    std::lock_guard<std::mutex> serial(m_handshakeLock);
    int64_t now = LocalDateTimeNow();
    int64_t last = m_lastHandshakeAttempt;
    int64_t timeout = last + kHandshakeSpacing;

    Settings settings = GetSettings();
    const std::string& username = settings.username;
    if (m_handshakeInProgress != 0 || username.empty() || settings.password.empty()) {
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::DoHandshake", "Handshake already in progress.");
        return;
    }
    if (!HandshakeDue(now, last)) {
        g_Debug.Log(DEBUG_TRACE, "CPlaytally::DoHandshake",
                    "Too soon to try another Handshake (Timeout %s/Now %s)",
                    FormatDateTime(timeout).c_str(), FormatDateTime(now).c_str());
        return;
    }
    m_lastHandshakeAttempt = now;
    if (!InternetConnected()) {
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::DoHandshake", "No Internet Connection Available");
        return;
    }
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::DoHandshake", "Starting to shake...");
    Put(m_submitPath, "");
    try {
        std::string query = HandshakeQuery(username);
        m_handshakeInProgress = 1;
        m_handshakeEpoch = m_sessionEpoch.load();
        if (!SpawnThread(query, REQUEST_HANDSHAKE, Submission())) m_handshakeInProgress = 0;
    } catch (const std::exception& e) {
        m_handshakeInProgress = 0;
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::DoHandshake", "Exception occurred - %s", e.what());
    }
}

void CPlaytally::HandshakeResponse(const std::vector<std::string>& lines,
                                   const std::string& response, int requestId) {
    const char* module = "CPlaytally::ThreadCallback";
    HandshakeAnswer answer = ReadHandshakeAnswer(lines);
    if (!answer.shaped) {
        g_Debug.Log(DEBUG_ERROR, module,
                    "ReqID %d, Unexpected handshake response - %d responses received - %s",
                    requestId, static_cast<int>(lines.size()), response.c_str());
        // A one-line answer is a refusal (BADUSER, BANNED, FAILED reason): shown
        // until the next handshake rather than a wait that never ends.
        if (lines.size() == 1) Put(m_serverStatus, TrimSpace(lines[0]));
        return;
    }
    Put(m_serverStatus, answer.status);
    if (answer.upToDate) {
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Handshake Response - Plugin is uptodate",
                    requestId);
    } else if (answer.update) {
        const std::string& url = answer.updateUrl;
        if (!IsWebAddress(url)) {
            g_Debug.Log(DEBUG_ERROR, module,
                        "ReqID %d, Update offered at an address that is not a web page - %s",
                        requestId, url.c_str());
        } else {
            Put(m_updateUrl, url);
            // Blocks this worker only; the handshake stays in flight until
            // answered.
            int prompt = ShowPrompt(
                Tr("There is a new version of the Kelmar plugin available. Would you like to "
                   "visit the web site to download it?"),
                GetPluginName(), PROMPT_YESNO | PROMPT_ICONQUESTION);
            if (prompt == PROMPT_ANSWER_YES) ShellOpen(url);
            g_Debug.Log(DEBUG_NOTICE, module,
                        "ReqID %d, Handshake Response - new Version of plugin available at %s",
                        requestId, url.c_str());
        }
    } else {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Unknown version status reponse in handshake",
                    requestId);
    }

    if (answer.fourLines) {
        if (answer.challenge.empty()) {
            g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Missing Challenge from handshake",
                        requestId);
        } else {
            SetChallenge(answer.challenge);
        }
    }
    bool refused = false;
    if (answer.submitUrl.empty()) {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Missing Submit URL from handshake", requestId);
    } else {
        refused = !SetSubmitURL(answer.submitUrl);
    }
    if (answer.hasInterval) {
        SetInterval(answer.interval);
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, New Interval is %d", requestId,
                    m_interval.load());
    } else {
        g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, Missing Interval from handshake", requestId);
    }

    // Plays go nowhere the answer did not name: kept to the last address,
    // they would go without a path, and after a refused downgrade in plain
    // text. Such an answer opens no session, nor does a status the protocol
    // does not know (a refusal that came with the other lines).
    if (refused) {
        g_Debug.Log(DEBUG_ERROR, module,
                    "ReqID %d, Handshake answer names no submit address to use - no session",
                    requestId);
        Put(m_serverStatus, kSubmitAddressRefused);
        return;
    }
    if (!answer.KnownStatus()) return;
    // An account changed while this answer was read opens no session with it.
    if (m_handshakeEpoch != m_sessionEpoch) {
        g_Debug.Log(DEBUG_INFO, module,
                    "ReqID %d, Handshake answer for an earlier account or session ignored",
                    requestId);
        return;
    }
    m_handshakeComplete = 1;
    m_lastSubmitTime = LocalDateTimeNow();
    g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Server handshake completed OK", requestId);
}

void CPlaytally::HandshakeEnded() {
    m_handshakeInProgress = 0;
    m_lastHandshakeAttempt = LocalDateTimeNow();
}

void CPlaytally::SetChallenge(std::string challenge) {
    challenge = TrimSpace(challenge);
    if (challenge.empty()) return;
    // The response and the account it answers for change together: a
    // submission never pairs one account's name with another's response.
    Settings settings = GetSettings();
    std::string response = MakeChallengeResponse(settings.password, challenge);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_challengeResponse = response;
        m_sessionUser = settings.username;
    }
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SetChallenge", "New Challenge %s, Response is %s",
                challenge.c_str(), response.c_str());
}

std::string CPlaytally::HandshakeQuery(const std::string& username, char first) {
    return first + ("hs=true&p=" + std::string(kProtocolVersion) + "&v=" +
                    m_versionInfo.GetFileVersion() + "&c=" + GetClientId() + "&u=" + username);
}

void CPlaytally::SetInterval(std::string interval) {
    interval = TrimSpace(interval);
    if (interval.empty()) return;
    int seconds = 0;
    if (!ReadIntervalSeconds(interval, &seconds)) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SetInterval",
                    "Failed to set interval because data was bobbins - %s", interval.c_str());
        return;
    }
    m_interval = seconds;
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SetInterval", "New interval %d", m_interval.load());
}

void CPlaytally::CheckAccountOnce() {
    Settings settings = GetSettings();
    if (settings.pluginEnabled == 0 || settings.username.empty() || settings.password.empty())
        return;
    // With a challenge of its own: the session's may be one the service has
    // forgotten (it restarted), and the right password would look wrong. Wanted
    // only then, so that the old session never carries it.
    EndSession();
    m_checkWanted = true;
}

bool CPlaytally::SendAccountCheck() {
    // The timer and a greeting's worker may both try: the one that marks it in
    // flight goes on. Marked before it stops being wanted, so that the timer
    // never sees it neither (see Tick). Not beside a flush, whose answer
    // would take the check's place.
    if (!m_checkWanted || m_checkInFlight.exchange(true)) return false;
    int epoch = m_sessionEpoch;
    Session session = GetSession();
    bool wanted = true;
    if (m_flushInProgress || !OkToSendData() || session.challengeResponse.empty() ||
        session.username.empty() || !m_checkWanted.compare_exchange_strong(wanted, false)) {
        m_checkInFlight = false;
        return false;
    }
    m_checkEpoch = epoch;
    g_Debug.Log(DEBUG_INFO, "CPlaytally::CheckAccount",
                "Checking the account %s with a submission without plays",
                session.username.c_str());
    std::string body = BuildSubmissionBody(session.challengeResponse, session.username, {});
    if (SpawnThread(body, REQUEST_CHECK, Submission(), session.username)) return true;
    m_checkInFlight = false;
    return false;
}

void CPlaytally::AccountCheckAnswered(const std::string& response, int requestId, int statusCode,
                                      const std::string& failure) {
    const char* module = "CPlaytally::ThreadCallback";
    // Another account saved, or the plug-in switched off, since it was sent:
    // it says nothing of the account set now.
    if (m_checkEpoch != m_sessionEpoch) {
        g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Account check for an earlier account ignored",
                    requestId);
        m_checkInFlight = false;
        return;
    }
    std::string status, why, message;
    std::vector<std::string> lines;
    if (statusCode == 0) {
        why = NotReachedStatus(failure);
    } else if (statusCode == 407) {
        why = kProxyAuthRequired;
    } else if (statusCode != 200) {
        m_handshakeComplete = 0;
        why = Format("HTTP %d", statusCode);
    } else if (!ReadAnswer(response, requestId, &lines)) {
        why = kUnreadable;
    } else {
        SubmissionAnswer answer = ReadSubmissionAnswer(lines);
        std::string first = TrimSpace(lines[0]);
        if (answer.accepted) {
            status = kAccountWorks;
        } else if (first.compare(0, 7, "BADAUTH") == 0) {
            status = kWrongPassword;
        } else {
            why = first;
        }
        if (answer.reauth) m_handshakeComplete = 0;
        if (answer.intervalValid) SetInterval(answer.interval);
        message = answer.message;
    }
    if (status.empty()) status = std::string(kAccountNotChecked) + ": " + why;
    g_Debug.Log(DEBUG_INFO, module, "ReqID %d, Account check - %s", requestId, status.c_str());
    Put(m_serverStatus, status);
    m_checkInFlight = false;
    // Last: the box holds this worker until the user closes it.
    TellUser(message);
}
