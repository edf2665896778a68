// The reference service: the service side of the Kelmar protocol, on a loopback
// port for the tests and the demo (or on another address, as someone's own
// archive of plays). It answers handshakes and submissions as the real service
// does and stores accepted plays in SQLite. With --test-controls it also
// records every protocol request as received, lets a test script its next
// answers under /_control/, and passes proxied requests on to other loopback
// ports. A person sees the plays at / and /plays: beyond loopback, after giving
// an account's name and password, that account's plays only. See kUsage for
// the command line.
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "record/md5.h"
#include "testbed/connection_stream.h"
#include "testbed/form_body.h"
#include "testbed/play_store.h"

using nlohmann::json;

namespace {

const char kUsage[] =
    "usage: kelmar_service [--port N] [--host ADDRESS] [--db FILE] [--accounts-file FILE]\n"
    "                      [--account NAME]... [--account-digest NAME:MD5HEX]... [--interval N]\n"
    "                      [--submit-url URL] [--tls-cert PEM --tls-key PEM [--tls-port N]]\n"
    "                      [--test-controls [--account NAME:PASSWORD]...]\n"
    "It listens on 127.0.0.1 unless --host (or its old name --bind) names another\n"
    "address, such as 0.0.0.0 or the LAN's; there the plays at / and /plays ask for\n"
    "an account's name and password and show that account's plays only.\n"
    "The accounts file has a NAME:PASSWORD line for each account (# starts a comment)\n"
    "and may be open to its owner only (chmod 600). --account NAME asks for the\n"
    "password on the terminal, or takes it from KELMAR_PASSWORD.\n"
    "With a certificate (its chain after it) and key, HTTPS is served too, on its\n"
    "own port; the second line of output names it.\n"
    "In the submit URL, {port} stands for the port it listens on.\n"
    "--test-controls, for tests only: serves /_control/ (scripted answers, the\n"
    "requests received, accounts), passes proxied requests for other loopback ports\n"
    "on, and takes passwords on the command line.\n";

constexpr size_t kChallengesKept = 5;
constexpr int kSilentHoldMs = 120000;
constexpr size_t kWorkerThreads = 24;  // silent answers each hold one
constexpr int kForwardConnectS = 5;
constexpr int kForwardReadS = kSilentHoldMs / 1000 + 10;  // outlasts the other one's silence

struct Options {
    int port = 0;
    std::string host = "127.0.0.1";
    std::string db = "kelmar-service.db";
    std::vector<std::pair<std::string, std::string>> accounts;  // name, password digest
    std::vector<std::string> askedAccounts;                     // names, passwords to come
    std::string accountsFile;
    bool passwordOnCommandLine = false;
    // /_control/, the request record and forwarding: for tests, never for a home.
    bool testControls = false;
    int interval = 0;
    std::string submitUrl = "http://post.kelmar.example/submit";
    std::string tlsCert, tlsKey;
    int tlsPort = 0;
};

struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    int delayMs = 0;
    bool silent = false;  // hold the connection and close it without an answer
    // Extra header fields, such as a proxy's challenge.
    std::vector<std::pair<std::string, std::string>> headers{};
};

Answer Reply(int status, std::string body) {
    Answer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

struct ScriptedAnswer {
    std::string forKind;  // "handshake", "submit" or "any"
    Answer answer;
};

struct RecordedRequest {
    std::string method;
    std::string target;  // exactly as on the request line
    std::string path;    // without query, scheme or host
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string kind;   // "handshake", "submit" or "other"
    bool tls = false;   // it came over HTTPS
    int duplicate = 0;  // plays of a submission the user already had, stored once
};

// The connection the current worker thread serves.
thread_local CConnectionStream* t_connection = nullptr;

// httplib's server with a connection loop of our own, over CConnectionStream.
class CServiceHttpServer : public httplib::Server {
  private:
    bool process_and_close_socket(socket_t sock) override {
        auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
        CConnectionStream stream(sock, static_cast<int>(read_timeout_sec_ * 1000),
                                 static_cast<int>(write_timeout_sec_ * 1000), stopping);
        t_connection = &stream;
        bool ok = false;
        for (size_t left = keep_alive_max_count_; left > 0; --left) {
            if (!stream.WaitForRequest(static_cast<int>(keep_alive_timeout_sec_ * 1000))) break;
            stream.BeginRequest();
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed) break;
        }
        t_connection = nullptr;
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }
};

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string HtmlEscape(std::string text) {
    ReplaceAll(text, "&", "&amp;");  // first: the others bring their own
    ReplaceAll(text, "<", "&lt;");
    ReplaceAll(text, ">", "&gt;");
    ReplaceAll(text, "\"", "&quot;");
    ReplaceAll(text, "'", "&#39;");
    return text;
}

bool IsLoopbackName(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Standard base64, padded or not; false on any other character.
bool Base64Decode(const std::string& text, std::string* bytes) {
    static const std::string kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string data = text.substr(0, text.find_last_not_of('=') + 1);
    uint32_t bits = 0;
    int count = 0;
    bytes->clear();
    for (char c : data) {
        size_t value = kDigits.find(c);
        if (value == std::string::npos) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes->push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return true;
}

// Equality in a time that does not tell where the texts differ.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// JSON text; bytes that are not UTF-8 (a raw Latin-1 name, say) become U+FFFD.
std::string Dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

ScriptedAnswer ScriptedAnswerFromJson(const json& item) {
    if (!item.is_object()) throw std::invalid_argument("each answer is an object");
    for (const auto& entry : item.items()) {
        static const char* const kKeys[] = {"for",    "status",       "body",   "delay_ms",
                                            "silent", "content_type", "headers"};
        if (std::find(std::begin(kKeys), std::end(kKeys), entry.key()) == std::end(kKeys))
            throw std::invalid_argument("unknown key \"" + entry.key() + "\"");
    }
    ScriptedAnswer scripted;
    scripted.forKind = item.value("for", std::string("any"));
    if (scripted.forKind != "handshake" && scripted.forKind != "submit" &&
        scripted.forKind != "any")
        throw std::invalid_argument("\"for\" is handshake, submit or any");
    Answer& answer = scripted.answer;
    answer.status = item.value("status", 200);
    answer.body = item.value("body", std::string());
    answer.delayMs = item.value("delay_ms", 0);
    answer.silent = item.value("silent", false);
    answer.contentType = item.value("content_type", std::string("text/plain"));
    if (item.contains("headers")) {
        const json& headers = item.at("headers");
        if (!headers.is_object()) throw std::invalid_argument("\"headers\" is an object");
        for (const auto& field : headers.items()) {
            if (!field.value().is_string())
                throw std::invalid_argument("each header value is a string");
            answer.headers.emplace_back(field.key(), field.value().get<std::string>());
        }
    }
    if (answer.status < 100 || answer.status > 599)
        throw std::invalid_argument("status is from 100 to 599");
    if (answer.delayMs < 0) throw std::invalid_argument("delay_ms is not negative");
    return scripted;
}

bool ParseNumber(const char* text, int low, int high, int* value);

class CReferenceService {
  public:
    CReferenceService(CPlayStore& store, Options options)
        : m_store(store), m_options(std::move(options)) {}

    void Serve(httplib::Server& server, bool tls) {
        // Every path, also an absolute-form one ("http://host:80/"); POST bodies
        // are read here since the library caps a form body at 8 KiB.
        const std::string any = R"([\s\S]*)";
        auto plain = [this, tls](const httplib::Request& req, httplib::Response& res) {
            Handle(req, res, req.body, tls);
        };
        server.Get(any, plain)
            .Put(any, plain)
            .Patch(any, plain)
            .Delete(any, plain)
            .Options(any, plain);
        server.Post(any, [this, tls](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& content) {
            std::string body;
            content([&](const char* data, size_t size) {
                body.append(data, size);
                return true;
            });
            Handle(req, res, body, tls);
        });
    }

    // The ports it listens on, once bound: requests for them are its own.
    void SetPorts(int port, int tlsPort) {
        m_port = port;
        m_tlsPort = tlsPort;
    }

    // Ends held and delayed answers at once.
    void Stop() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        m_wake.notify_all();
    }

  private:
    void Handle(const httplib::Request& req, httplib::Response& res, const std::string& body,
                bool tls);
    void HandleControl(const std::string& method, const std::string& path, const std::string& body,
                       httplib::Response& res);
    std::optional<std::string> SignedInAccount(const httplib::Request& req);
    void ShowPlays(const std::string& path, const std::optional<std::string>& user,
                   httplib::Response& res);
    bool ForwardedPort(const std::string& target, int* port) const;
    void Forward(const RecordedRequest& record, const std::string& originForm, int port,
                 httplib::Response& res);
    Answer HandshakeAnswer(const std::string& user);
    Answer SubmitAnswer(const std::string& body, int* duplicate);
    std::optional<Answer> TakeScriptedAnswer(const std::string& kind);
    std::string IssueChallenge(const std::string& user);
    bool ChallengeMatches(const std::string& user, const std::string& digest,
                          const std::string& response);
    std::string SubmitUrl() const {
        std::string url = m_options.submitUrl;
        ReplaceAll(url, "{port}", std::to_string(m_port));
        return url;
    }
    std::string IntervalLine() const {
        return "INTERVAL " + std::to_string(m_options.interval) + "\n";
    }
    // False when the service stopped before the time was up.
    bool WaitUnlessStopping(int ms) {
        std::unique_lock<std::mutex> lock(m_lock);
        return !m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
    }

    CPlayStore& m_store;
    const Options m_options;

    std::mutex m_lock;  // guards everything below
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::deque<ScriptedAnswer> m_script;
    std::vector<RecordedRequest> m_requests;
    std::map<std::string, std::deque<std::string>> m_challenges;  // newest last
    std::random_device m_random;
    std::atomic<long> m_clockOffset{0};  // seconds added to the Date of protocol answers
    std::atomic<int> m_port{0}, m_tlsPort{0};
};

void CReferenceService::Handle(const httplib::Request& req, httplib::Response& res,
                               const std::string& body, bool tls) {
    RecordedRequest record;
    record.tls = tls;
    record.method = req.method;
    record.body = body;
    if (t_connection != nullptr) {
        std::string line = t_connection->RequestLine();
        record.target = line.substr(line.find(' ') + 1, line.rfind(' ') - line.find(' ') - 1);
        record.headers = t_connection->HeaderFields();
    } else {
        record.target = req.target;
        record.headers.assign(req.headers.begin(), req.headers.end());
    }

    // An absolute-form target ("http://host[:port]/path?query") came through the
    // proxy setting: always the plug-in. Control and views are origin-form only.
    std::string rest = record.target;
    bool absoluteForm = !rest.empty() && rest[0] != '/' && rest.find("://") != std::string::npos;
    if (absoluteForm) {
        size_t slash = rest.find_first_of("/?", rest.find("://") + 3);
        rest = slash == std::string::npos ? "/"
               : rest[slash] == '?'       ? "/" + rest.substr(slash)
                                          : rest.substr(slash);
    }
    int forwardTo = 0;
    if (absoluteForm && ForwardedPort(record.target, &forwardTo)) {
        if (m_options.testControls) return Forward(record, rest, forwardTo, res);
        res.status = 404;
        res.set_content("not passed on: this service is no proxy\n", "text/plain");
        return;
    }
    size_t question = rest.find('?');
    record.path = PercentDecodeLenient(rest.substr(0, question));
    FormPairs query = SplitForm(question == std::string::npos ? "" : rest.substr(question + 1));
    bool handshake = req.method == "GET" && FormValue(query, "hs") == "true";

    if (!absoluteForm && record.path.rfind("/_control/", 0) == 0) {
        if (m_options.testControls) return HandleControl(req.method, record.path, body, res);
        res.status = 404;
        res.set_content("not found\n", "text/plain");
        return;
    }
    if (!absoluteForm && (req.method == "GET" || req.method == "HEAD") &&
        (record.path == "/plays" || (record.path == "/" && !handshake))) {
        // On loopback everyone's plays, as the tests read them; beyond it, the
        // plays of the account whose name and password the browser gives.
        std::optional<std::string> user;
        if (!IsLoopbackName(m_options.host) && !(user = SignedInAccount(req))) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"kelmar_service\"");
            res.set_content("an account's name and password, please\n", "text/plain");
            return;
        }
        return ShowPlays(record.path, user, res);
    }

    record.kind = handshake ? "handshake" : req.method == "POST" ? "submit" : "other";
    std::string user = FormValue(handshake ? query : SplitForm(body), "u");
    std::optional<Answer> scripted = TakeScriptedAnswer(record.kind);
    Answer answer;
    if (scripted) {
        answer = *scripted;
        if (answer.body.find("{challenge}") != std::string::npos)
            ReplaceAll(answer.body, "{challenge}", IssueChallenge(user));
        ReplaceAll(answer.body, "{submit_url}", SubmitUrl());
        ReplaceAll(answer.body, "{interval}", std::to_string(m_options.interval));
    } else if (handshake) {
        answer = HandshakeAnswer(user);
    } else if (record.kind == "submit") {
        answer = SubmitAnswer(body, &record.duplicate);
    } else {
        answer = Reply(404, "FAILED not a protocol request\n");
    }
    if (m_options.testControls) {  // only a test reads them back
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(record);
    }

    std::string shown = answer.silent ? "no answer"
                                      : std::to_string(answer.status) + " " +
                                            answer.body.substr(0, answer.body.find('\n'));
    if (scripted) shown += " (scripted)";
    if (record.duplicate > 0) shown += " (" + std::to_string(record.duplicate) + " already held)";
    if (answer.delayMs > 0) shown += " after " + std::to_string(answer.delayMs) + " ms";
    std::string line = record.method + " " + record.target;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    std::fprintf(stderr, "kelmar_service: %s %s -> %s\n", record.kind.c_str(), line.c_str(),
                 shown.c_str());

    // A silent answer, or a delayed one cut short by the stop, ends the
    // connection without a word.
    if (answer.silent) WaitUnlessStopping(kSilentHoldMs);
    if (answer.silent || !WaitUnlessStopping(answer.delayMs)) {
        if (t_connection != nullptr) t_connection->Mute();
        return;
    }
    res.status = answer.status;
    // The service's time, as far off as a test set it.
    std::time_t now = std::time(nullptr) + m_clockOffset;
    std::tm utc{};
    char date[64];
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    if (std::none_of(answer.headers.begin(), answer.headers.end(),
                     [](const auto& header) { return header.first == "Date"; }))
        res.set_header("Date", date);
    for (const auto& [name, value] : answer.headers)
        res.set_header(name, value);
    res.set_content(answer.body, answer.contentType);
}

// A request through the proxy setting for another service on this machine (a
// second reference service: the user's own archive, in a test) is passed on to
// it, and its answer relayed, as the proxy would, when the test controls are
// on. Only loopback targets with a port of their own are forwarded, and only
// while this service itself listens on loopback: it is never a way to other
// hosts, nor, when it listens on the network, a way in to this host's
// loopback-only ports.
bool CReferenceService::ForwardedPort(const std::string& target, int* port) const {
    if (target.rfind("http://", 0) != 0 || !IsLoopbackName(m_options.host)) return false;
    std::string authority = target.substr(7, target.find_first_of("/?", 7) - 7);
    size_t colon = authority.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = authority.substr(0, colon);
    if (host != "127.0.0.1" && host != "localhost") return false;
    return ParseNumber(authority.substr(colon + 1).c_str(), 1, 65535, port) && *port != m_port &&
           *port != m_tlsPort;
}

bool IsHopByHop(const std::string& name) {
    static const char* const kFields[] = {
        "connection", "keep-alive",        "proxy-connection", "proxy-authorization", "te",
        "trailer",    "transfer-encoding", "upgrade",          "content-length",      "host"};
    std::string lower = name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(std::begin(kFields), std::end(kFields), lower) != std::end(kFields);
}

// The answer as the other service gave it; 502 when it cannot be reached, and
// no answer when it gave none.
void CReferenceService::Forward(const RecordedRequest& record, const std::string& originForm,
                                int port, httplib::Response& res) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(kForwardConnectS);
    client.set_read_timeout(kForwardReadS);
    client.set_url_encode(false);  // the target goes on as it came
    httplib::Request out;
    out.method = record.method;
    out.path = originForm;
    out.body = record.body;
    for (const auto& [name, value] : record.headers)
        if (!IsHopByHop(name)) out.headers.emplace(name, value);
    httplib::Response answer;
    httplib::Error error = httplib::Error::Success;
    bool ok = client.send(out, answer, error);
    std::string shown = ok ? std::to_string(answer.status) : httplib::to_string(error);
    std::fprintf(stderr, "kelmar_service: forwarded %s http://127.0.0.1:%d%s -> %s\n",
                 record.method.c_str(), port, originForm.c_str(), shown.c_str());
    if (!ok && error != httplib::Error::Connection && error != httplib::Error::ConnectionTimeout &&
        t_connection != nullptr) {
        t_connection->Mute();
        return;
    }
    if (!ok) {
        res.status = 502;
        res.set_content("cannot reach 127.0.0.1:" + std::to_string(port) + "\n", "text/plain");
        return;
    }
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers)
        if (!IsHopByHop(name) && name != "Content-Type") res.set_header(name, value);
    res.set_content(answer.body, answer.get_header_value("Content-Type"));
}

std::optional<Answer> CReferenceService::TakeScriptedAnswer(const std::string& kind) {
    if (kind == "other") return std::nullopt;
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_script.begin(); it != m_script.end(); ++it) {
        if (it->forKind == "any" || it->forKind == kind) {
            Answer answer = it->answer;
            m_script.erase(it);
            return answer;
        }
    }
    return std::nullopt;
}

Answer CReferenceService::HandshakeAnswer(const std::string& user) {
    std::string digest;
    if (!m_store.FindDigest(user, &digest)) return Reply(200, "BADUSER\n");
    return Reply(200,
                 "UPTODATE\n" + IssueChallenge(user) + "\n" + SubmitUrl() + "\n" + IntervalLine());
}

Answer CReferenceService::SubmitAnswer(const std::string& body, int* duplicate) {
    SubmissionForm form;
    std::string reason;
    if (!ParseSubmissionForm(body, &form, &reason)) return Reply(200, "FAILED " + reason + "\n");
    std::string digest;
    if (!m_store.FindDigest(form.user, &digest) ||
        !ChallengeMatches(form.user, digest, form.challengeResponse))
        return Reply(200, "BADAUTH\n");
    // Without plays it only proves the password: nothing to store.
    if (!form.items.empty()) *duplicate = m_store.AddPlays(form.user, form.items, UtcNow());
    return Reply(200, "OK\n" + IntervalLine());
}

std::string CReferenceService::IssueChallenge(const std::string& user) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string challenge;
    static const char kHex[] = "0123456789abcdef";
    for (int word = 0; word < 4; ++word) {
        uint32_t bits = m_random();
        for (int nibble = 0; nibble < 8; ++nibble, bits >>= 4)
            challenge += kHex[bits & 0xf];
    }
    std::deque<std::string>& issued = m_challenges[user];
    issued.push_back(challenge);
    if (issued.size() > kChallengesKept) issued.pop_front();
    return challenge;
}

bool CReferenceService::ChallengeMatches(const std::string& user, const std::string& digest,
                                         const std::string& response) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const std::string& challenge : m_challenges[user]) {
        if (Md5Hex(digest + challenge) == response) return true;
    }
    return false;
}

void CReferenceService::HandleControl(const std::string& method, const std::string& path,
                                      const std::string& body, httplib::Response& res) {
    json reply = json::object();
    try {
        if (method == "POST" && path == "/_control/script") {
            json answers = json::parse(body);
            if (answers.is_object()) answers = json::array({answers});
            if (!answers.is_array()) throw std::invalid_argument("expected an array of answers");
            std::vector<ScriptedAnswer> parsed;
            for (const json& item : answers)
                parsed.push_back(ScriptedAnswerFromJson(item));
            std::lock_guard<std::mutex> guard(m_lock);
            m_script.insert(m_script.end(), parsed.begin(), parsed.end());
            reply["queued"] = m_script.size();
        } else if (method == "GET" && path == "/_control/requests") {
            std::lock_guard<std::mutex> guard(m_lock);
            reply = json::array();
            for (const RecordedRequest& r : m_requests) {
                reply.push_back({{"method", r.method},
                                 {"target", r.target},
                                 {"path", r.path},
                                 {"headers", r.headers},
                                 {"body", r.body},
                                 {"kind", r.kind},
                                 {"tls", r.tls},
                                 {"duplicate", r.duplicate}});
            }
        } else if (method == "POST" && path == "/_control/reset") {
            std::lock_guard<std::mutex> guard(m_lock);
            m_requests.clear();
            m_script.clear();
        } else if (method == "POST" && path == "/_control/clock") {
            m_clockOffset = json::parse(body).at("offset_s").get<long>();
        } else if (method == "POST" && path == "/_control/account") {
            json account = json::parse(body);
            m_store.SetAccount(account.at("user").get<std::string>(),
                               Md5Hex(account.at("password").get<std::string>()));
        } else {
            res.status = 404;
            reply["error"] = "no such control: " + method + " " + path;
        }
    } catch (const json::exception& e) {
        res.status = 400;
        reply = {{"error", e.what()}};
    } catch (const std::invalid_argument& e) {
        res.status = 400;
        reply = {{"error", e.what()}};
    }
    res.set_content(Dump(reply), "application/json");
}

// The account whose name and password the request's Basic credentials give.
std::optional<std::string> CReferenceService::SignedInAccount(const httplib::Request& req) {
    std::string field = req.get_header_value("Authorization");
    if (field.size() < 6 || strncasecmp(field.c_str(), "Basic ", 6) != 0) return std::nullopt;
    size_t start = field.find_first_not_of(' ', 6);
    std::string credentials, digest;
    if (start == std::string::npos || !Base64Decode(field.substr(start), &credentials))
        return std::nullopt;
    size_t colon = credentials.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string user = credentials.substr(0, colon);
    if (!m_store.FindDigest(user, &digest) ||
        !SameSecret(Md5Hex(credentials.substr(colon + 1)), digest))
        return std::nullopt;
    return user;
}

void CReferenceService::ShowPlays(const std::string& path, const std::optional<std::string>& user,
                                  httplib::Response& res) {
    std::vector<StoredPlay> plays = m_store.Plays(user);
    if (path == "/plays") {
        json list = json::array();
        for (const StoredPlay& p : plays) {
            list.push_back({{"id", p.id},
                            {"user", p.user},
                            {"artist", p.item.artist},
                            {"title", p.item.title},
                            {"album", p.item.album},
                            {"length", p.item.length},
                            {"time", p.item.time},
                            {"received_at", p.receivedAt}});
        }
        res.set_content(Dump(list), "application/json");
        return;
    }
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Kelmar reference service"
        "</title></head>\n<body><h1>Plays" +
        (user ? " of " + HtmlEscape(*user) : std::string()) +
        "</h1>\n<table border=\"1\">\n<tr><th>#</th><th>Received</th><th>User</th><th>Artist"
        "</th><th>Title</th><th>Album</th><th>Length</th><th>Played (UTC)</th></tr>\n";
    for (const StoredPlay& p : plays) {
        html += "<tr><td>" + std::to_string(p.id) + "</td>";
        for (const std::string* cell : {&p.receivedAt, &p.user, &p.item.artist, &p.item.title,
                                        &p.item.album, &p.item.length, &p.item.time})
            html += "<td>" + HtmlEscape(*cell) + "</td>";
        html += "</tr>\n";
    }
    html += "</table>\n<p>" + std::to_string(plays.size()) + " plays.</p></body></html>\n";
    res.set_content(html, "text/html; charset=utf-8");
}

bool ParseNumber(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    long number = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || number < low || number > high) return false;
    *value = static_cast<int>(number);
    return true;
}

// NAME:VALUE with a non-empty name.
bool SplitAccount(const std::string& text, std::string* name, std::string* value) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    *name = text.substr(0, colon);
    *value = text.substr(colon + 1);
    return true;
}

bool IsDigest(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--test-controls") {
            options->testControls = true;
            continue;
        }
        if (option == "--help" || option == "-h" || i + 1 >= argc) return false;
        const char* value = argv[++i];
        std::string name, secret;
        if (option == "--port") {
            if (!ParseNumber(value, 0, 65535, &options->port)) return false;
        } else if (option == "--host" || option == "--bind") {
            options->host = value;
        } else if (option == "--db") {
            options->db = value;
        } else if (option == "--interval") {
            if (!ParseNumber(value, 0, 1000000, &options->interval)) return false;
        } else if (option == "--submit-url") {
            options->submitUrl = value;
        } else if (option == "--tls-cert") {
            options->tlsCert = value;
        } else if (option == "--tls-key") {
            options->tlsKey = value;
        } else if (option == "--tls-port") {
            if (!ParseNumber(value, 0, 65535, &options->tlsPort)) return false;
        } else if (option == "--accounts-file") {
            options->accountsFile = value;
        } else if (option == "--account" && *value != '\0' && std::strchr(value, ':') == nullptr) {
            options->askedAccounts.push_back(value);
        } else if (option == "--account" && SplitAccount(value, &name, &secret)) {
            options->accounts.emplace_back(name, Md5Hex(secret));
            options->passwordOnCommandLine = true;
        } else if (option == "--account-digest" && SplitAccount(value, &name, &secret) &&
                   IsDigest(secret)) {
            options->accounts.emplace_back(name, secret);
        } else {
            return false;
        }
    }
    return true;
}

// The accounts of a file of NAME:PASSWORD lines, where blank lines and lines
// that start with '#' are skipped. It holds passwords: a file its group or
// others may use is refused.
bool ReadAccountsFile(const std::string& path, Options* options, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode) || (info.st_mode & 077) != 0) {
        close(fd);
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        *error = !S_ISREG(info.st_mode)
                     ? path + " is not a file"
                     : path +
                           " holds passwords, yet others than its owner have rights to it (mode " +
                           mode + "): chmod 600 " + path;
        return false;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    if (n < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::string name, password;
        if (!SplitAccount(line, &name, &password) || password.empty()) {
            // Not the line itself: it may hold a password.
            *error = path + ", line " + std::to_string(number) + ": not NAME:PASSWORD";
            return false;
        }
        options->accounts.emplace_back(name, Md5Hex(password));
    }
    return true;
}

// The terminal's settings while a password is typed there, for a signal that
// ends the service meanwhile to put back.
int g_terminal = -1;
termios g_terminalSettings{};

void PutTerminalBackAndStop(int signalNumber) {
    tcsetattr(g_terminal, TCSAFLUSH, &g_terminalSettings);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// The password of NAME, typed on the terminal without being shown.
bool AskPassword(const std::string& name, std::string* password, std::string* error) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    FILE* terminal = fd < 0 ? nullptr : fdopen(fd, "r+");
    if (terminal == nullptr) {
        if (fd >= 0) close(fd);
        *error = "no terminal to ask for the password of " + name +
                 " on: set KELMAR_PASSWORD, or use --accounts-file";
        return false;
    }
    const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction earlier[4] = {};
    bool quiet = tcgetattr(fd, &g_terminalSettings) == 0;
    if (quiet) {
        g_terminal = fd;
        struct sigaction restore {};
        restore.sa_handler = PutTerminalBackAndStop;
        for (size_t i = 0; i < 4; ++i)
            sigaction(kStopSignals[i], &restore, &earlier[i]);
        termios silent = g_terminalSettings;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;  // the Enter still shows
        tcsetattr(fd, TCSAFLUSH, &silent);
    }
    std::fprintf(terminal, "Password for %s: ", name.c_str());
    std::fflush(terminal);
    char* line = nullptr;
    size_t size = 0;
    ssize_t length = getline(&line, &size, terminal);
    if (quiet) {
        tcsetattr(fd, TCSAFLUSH, &g_terminalSettings);
        for (size_t i = 0; i < 4; ++i)
            sigaction(kStopSignals[i], &earlier[i], nullptr);
        g_terminal = -1;
    }
    password->assign(line != nullptr && length > 0 ? line : "");
    std::free(line);
    std::fclose(terminal);
    while (!password->empty() && (password->back() == '\n' || password->back() == '\r'))
        password->pop_back();
    if (password->empty()) *error = "no password given for " + name;
    return !password->empty();
}

// The accounts named on the command line without their password, and those
// of the accounts file, added to the others.
bool CompleteAccounts(Options* options, std::string* error) {
    if (!options->accountsFile.empty() && !ReadAccountsFile(options->accountsFile, options, error))
        return false;
    const char* given = std::getenv("KELMAR_PASSWORD");
    for (const std::string& name : options->askedAccounts) {
        std::string password = given != nullptr ? given : "";
        if (given != nullptr && password.empty()) {
            *error = "KELMAR_PASSWORD is empty";
            return false;
        }
        if (given == nullptr && !AskPassword(name, &password, error)) return false;
        options->accounts.emplace_back(name, Md5Hex(password));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options) || options.tlsCert.empty() != options.tlsKey.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.passwordOnCommandLine && !options.testControls) {
        std::fputs(
            "kelmar_service: --account NAME:PASSWORD is for tests (with --test-controls):\n"
            "every user of this machine can see a command line. Give the password with\n"
            "--accounts-file FILE, --account NAME (it asks, or reads KELMAR_PASSWORD) or\n"
            "--account-digest NAME:MD5HEX.\n",
            stderr);
        return 2;
    }
    std::string error;
    if (!CompleteAccounts(&options, &error)) {
        std::fprintf(stderr, "kelmar_service: %s\n", error.c_str());
        return 1;
    }

    // Signals are taken by one thread with sigwait; every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The database holds every account's password digest, which is as good as
    // the password to a client: it is no more readable than the accounts file.
    umask(077);
    try {
        CPlayStore store(options.db);
        // As someone's archive, the accounts are those it was started with: one
        // taken out of the accounts file is gone. Tests add theirs as they go.
        if (!options.testControls) store.ClearAccounts();
        for (const auto& [name, digest] : options.accounts)
            store.SetAccount(name, digest);

        CServiceHttpServer server;
        server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        CReferenceService service(store, options);
        service.Serve(server, false);

        int port = options.port;
        if (port == 0) {
            port = server.bind_to_any_port(options.host);
        } else if (!server.bind_to_port(options.host, port)) {
            port = -1;
        }
        if (port < 0) {
            std::fprintf(stderr, "kelmar_service: cannot listen on %s:%d\n", options.host.c_str(),
                         options.port);
            return 1;
        }
        const std::string& url = options.submitUrl;
        if (url.find("://localhost") != std::string::npos ||
            url.find("://127.") != std::string::npos || url.find("://[::1]") != std::string::npos)
            std::fprintf(stderr,
                         "kelmar_service: warning: the submit URL names a local host, which "
                         "clients may reach without their proxy\n");
        std::printf("listening on %s:%d\n", options.host.c_str(), port);
        service.SetPorts(port, 0);
        // HTTPS beside it: the same service, with the key and the chain given.
        std::unique_ptr<httplib::SSLServer> tls;
        std::thread tlsListener;
        if (!options.tlsCert.empty()) {
            tls.reset(new httplib::SSLServer(options.tlsCert.c_str(), options.tlsKey.c_str()));
            tls->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
            service.Serve(*tls, true);
            int tlsPort = !tls->is_valid()       ? -1
                          : options.tlsPort == 0 ? tls->bind_to_any_port(options.host)
                          : tls->bind_to_port(options.host, options.tlsPort) ? options.tlsPort
                                                                             : -1;
            if (tlsPort < 0) {
                std::fprintf(stderr, "kelmar_service: cannot serve HTTPS with %s and %s\n",
                             options.tlsCert.c_str(), options.tlsKey.c_str());
                return 1;
            }
            std::printf("listening tls on %s:%d\n", options.host.c_str(), tlsPort);
            service.SetPorts(port, tlsPort);
            tlsListener = std::thread([&] { tls->listen_after_bind(); });
        }
        std::fflush(stdout);

        std::atomic<bool> signalled{false};
        std::atomic<bool> listenEnded{false};
        std::thread signalWaiter([&] {
            int signalNumber = 0;
            sigwait(&stopSignals, &signalNumber);
            signalled = true;
            service.Stop();
            while (tls && !tls->is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (tls) tls->stop();
            while (!server.is_running() && !listenEnded)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            server.stop();
        });
        server.listen_after_bind();
        listenEnded = true;
        bool stoppedBySignal = signalled;
        if (!stoppedBySignal) pthread_kill(signalWaiter.native_handle(), SIGTERM);  // ends its wait
        signalWaiter.join();
        if (tlsListener.joinable()) tlsListener.join();
        if (!stoppedBySignal) {
            std::fprintf(stderr, "kelmar_service: the server stopped unexpectedly\n");
            return 1;
        }
        std::fprintf(stderr, "kelmar_service: stopped\n");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelmar_service: %s\n", e.what());
        return 1;
    }
}
