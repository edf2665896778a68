// A scripted HTTP library: each request is recorded as the engine built it and
// answered by the queue or the responder; any step can be made to fail.
#include <deque>
#include <mutex>

#include "engine/http_api.h"
#include "tests/fakes/fakes.h"

namespace {

struct Handle {
    int kind;  // 0 root, 1 connection, 2 request
    FakeNetRequest request;
    FakeNetAnswer answer;
    size_t readOffset = 0;
    int record = -1;    // index in g_requests once sent
    bool asks = false;  // the responder answers once the request is whole
};

std::mutex g_lock;
std::deque<FakeNetAnswer> g_queue;
std::function<FakeNetAnswer(const FakeNetRequest&)> g_responder;
std::vector<FakeNetRequest> g_requests;
int g_open = 0;
thread_local uint32_t t_error = 0;

FakeNetAnswer DefaultAnswer(const FakeNetRequest&) {
    FakeNetAnswer answer;
    answer.body = "OK\n";
    return answer;
}

// The answer for the request about to be made; decides which step fails.
// Without a queued one, the responder is asked when the request is sent,
// with its server, object and data (`asks`).
FakeNetAnswer NextAnswer(const FakeNetRequest& request, bool* asks) {
    *asks = false;
    if (!g_queue.empty()) {
        FakeNetAnswer answer = g_queue.front();
        g_queue.pop_front();
        return answer;
    }
    *asks = g_responder != nullptr;
    return DefaultAnswer(request);
}

void Record(const FakeNetRequest& request) {
    g_requests.push_back(request);
}

Handle* NewHandle(int kind, const FakeNetRequest& request) {
    ++g_open;
    Handle* h = new Handle{kind, request, FakeNetAnswer(), 0, -1};
    return h;
}

}  // namespace

void FakeNetReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_queue.clear();
    g_responder = nullptr;
    g_requests.clear();
}

void FakeNetSetResponder(std::function<FakeNetAnswer(const FakeNetRequest&)> responder) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_responder = std::move(responder);
}

void FakeNetQueue(const FakeNetAnswer& answer) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_queue.push_back(answer);
}

std::vector<FakeNetRequest> FakeNetRequests() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_requests;
}

int FakeNetOpenHandles() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_open;
}

// The answer is chosen when the root is opened, so that a failure can be
// scripted for any step of the request that follows.
NetHandle NetOpen(const std::string& agent, uint32_t accessType, const std::string& proxy) {
    std::lock_guard<std::mutex> guard(g_lock);
    FakeNetRequest request;
    request.agent = agent;
    request.accessType = accessType;
    request.proxy = proxy;
    bool asks = false;
    FakeNetAnswer answer = NextAnswer(request, &asks);
    if (answer.failAt == FAKE_NET_OPEN) {
        t_error = answer.error;
        Record(request);
        return nullptr;
    }
    Handle* h = NewHandle(0, request);
    h->answer = answer;
    h->asks = asks;
    return h;
}

bool NetSetOption(NetHandle handle, uint32_t option, const std::string& value) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* h = static_cast<Handle*>(handle);
    if ((option == NET_OPTION_PROXY_USERNAME && h->answer.failAt == FAKE_NET_OPTION_USER) ||
        (option == NET_OPTION_PROXY_PASSWORD && h->answer.failAt == FAKE_NET_OPTION_PASSWORD)) {
        t_error = h->answer.error;
        return false;
    }
    h->request.options.emplace_back(option, value);
    return true;
}

bool NetSetTimeouts(NetHandle handle, uint32_t milliseconds) {
    std::lock_guard<std::mutex> guard(g_lock);
    static_cast<Handle*>(handle)->request.timeoutMs = milliseconds;
    return true;
}

NetHandle NetConnect(NetHandle root, const std::string& server, uint16_t port) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* r = static_cast<Handle*>(root);
    r->request.server = server;
    r->request.port = port;
    if (r->answer.failAt == FAKE_NET_CONNECT) {
        t_error = r->answer.error;
        return nullptr;
    }
    Handle* h = NewHandle(1, r->request);
    h->answer = r->answer;
    h->asks = r->asks;
    return h;
}

NetHandle NetOpenRequest(NetHandle connection, const std::string& verb, const std::string& object,
                         uint32_t flags) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* c = static_cast<Handle*>(connection);
    c->request.verb = verb;
    c->request.object = object;
    c->request.flags = flags;
    if (c->answer.failAt == FAKE_NET_OPEN_REQUEST) {
        t_error = c->answer.error;
        return nullptr;
    }
    Handle* h = NewHandle(2, c->request);
    h->answer = c->answer;
    h->asks = c->asks;
    return h;
}

bool NetSendRequest(NetHandle request, const std::string& headers, const std::string& data) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* h = static_cast<Handle*>(request);
    h->request.headers = headers;
    h->request.data = data;
    h->record = static_cast<int>(g_requests.size());
    if (h->asks && g_responder) h->answer = g_responder(h->request);
    Record(h->request);
    if (h->answer.failAt == FAKE_NET_SEND) {
        t_error = h->answer.error;
        return false;
    }
    return true;
}

bool NetQueryStatusCode(NetHandle request, uint32_t* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* h = static_cast<Handle*>(request);
    if (h->answer.failAt == FAKE_NET_QUERY_STATUS) return false;
    *status = h->answer.status;
    return true;
}

bool NetQueryDate(NetHandle request, std::string* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    *text = static_cast<Handle*>(request)->answer.date;
    return !text->empty();
}

bool NetReadFile(NetHandle request, char* buffer, uint32_t size, uint32_t* read) {
    std::lock_guard<std::mutex> guard(g_lock);
    Handle* h = static_cast<Handle*>(request);
    if (h->record >= 0 && static_cast<size_t>(h->record) < g_requests.size())
        g_requests[static_cast<size_t>(h->record)].readSizes.push_back(size);
    const std::string& body = h->answer.body;
    size_t n = body.size() - h->readOffset;
    if (n > size) n = size;
    body.copy(buffer, n, h->readOffset);
    h->readOffset += n;
    *read = static_cast<uint32_t>(n);
    return true;
}

void NetCloseHandle(NetHandle handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    --g_open;
    delete static_cast<Handle*>(handle);
}

bool NetCrackUrl(const std::string& url, std::string* host, std::string* path, std::string* extra) {
    return PortableCrackUrl(url, host, path, extra);
}

NetErrorReport NetLastError() {
    NetErrorReport report;
    report.message = t_error ? "The operation failed" : "The operation completed successfully";
    report.error = report.lastError = t_error;
    return report;
}
