#include "testbed/connection_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int kSliceMs = 50;            // how often a wait looks whether the server stops
constexpr size_t kMaxLine = 16384;      // longer request lines go to the library as they are
constexpr size_t kMaxRecord = 1 << 20;  // header bytes kept for the record

bool AddressText(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text));
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text));
        port = ntohs(v6.sin6_port);
    } else {
        return false;
    }
    ip = text;
    return true;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

}  // namespace

CConnectionStream::CConnectionStream(int sock, int readTimeoutMs, int writeTimeoutMs,
                                     std::function<bool()> stopping)
    : m_sock(sock),
      m_readTimeoutMs(readTimeoutMs),
      m_writeTimeoutMs(writeTimeoutMs),
      m_stopping(std::move(stopping)) {}

bool CConnectionStream::WaitFor(short events, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_stopping()) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left < 0) return false;
        pollfd fd{m_sock, events, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool CConnectionStream::Receive() {
    if (!WaitFor(POLLIN, m_readTimeoutMs)) return false;
    char buffer[4096];
    ssize_t n;
    do {
        n = ::recv(m_sock, buffer, sizeof(buffer), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    if (m_inputPos == m_input.size()) {
        m_input.clear();
        m_inputPos = 0;
    }
    m_input.append(buffer, static_cast<size_t>(n));
    return true;
}

bool CConnectionStream::WaitForRequest(int timeoutMs) {
    return m_inputPos < m_input.size() || WaitFor(POLLIN, timeoutMs);
}

void CConnectionStream::BeginRequest() {
    m_atRequestLine = true;
    m_lineForLibrary.clear();
    m_linePos = 0;
    m_rawLine.clear();
    m_rawHead.clear();
    m_headComplete = false;
}

void CConnectionStream::TakeRequestLine() {
    while (m_input.find('\n', m_inputPos) == std::string::npos &&
           m_input.size() - m_inputPos < kMaxLine && Receive()) {
    }
    size_t newline = m_input.find('\n', m_inputPos);
    size_t end = newline == std::string::npos ? m_input.size() : newline + 1;
    m_rawLine = m_input.substr(m_inputPos, end - m_inputPos);
    m_inputPos = end;

    // "METHOD target HTTP/x.y": spaces between the first and the last are the
    // target's own, which the library would take for a malformed line.
    m_lineForLibrary = m_rawLine;
    std::string line = WithoutLineEnd(m_rawLine);
    size_t first = line.find(' ');
    size_t last = line.rfind(' ');
    if (first != std::string::npos && last != first && line.compare(last + 1, 5, "HTTP/") == 0) {
        std::string target = line.substr(first + 1, last - first - 1);
        std::string escaped;
        for (char c : target)
            escaped += c == ' ' ? std::string("%20") : std::string(1, c);
        m_lineForLibrary =
            line.substr(0, first + 1) + escaped + line.substr(last) + m_rawLine.substr(line.size());
    }
}

ssize_t CConnectionStream::read(char* ptr, size_t size) {
    if (m_atRequestLine) {
        m_atRequestLine = false;
        TakeRequestLine();
    }
    if (m_linePos < m_lineForLibrary.size()) {
        size_t n = std::min(size, m_lineForLibrary.size() - m_linePos);
        std::memcpy(ptr, m_lineForLibrary.data() + m_linePos, n);
        m_linePos += n;
        return static_cast<ssize_t>(n);
    }
    if (m_inputPos == m_input.size() && !Receive()) return 0;
    size_t n = std::min(size, m_input.size() - m_inputPos);
    std::memcpy(ptr, m_input.data() + m_inputPos, n);
    m_inputPos += n;
    if (!m_headComplete && m_rawHead.size() < kMaxRecord) {
        size_t from = m_rawHead.size() < 3 ? 0 : m_rawHead.size() - 3;
        m_rawHead.append(ptr, n);
        m_headComplete = m_rawHead.find("\n\r\n", from) != std::string::npos ||
                         m_rawHead.find("\n\n", from) != std::string::npos ||
                         m_rawHead.compare(0, 2, "\r\n") == 0;
    }
    return static_cast<ssize_t>(n);
}

ssize_t CConnectionStream::write(const char* ptr, size_t size) {
    if (m_muted || !WaitFor(POLLOUT, m_writeTimeoutMs)) return -1;
    ssize_t n;
    do {
        n = ::send(m_sock, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool CConnectionStream::is_readable() const {
    return m_linePos < m_lineForLibrary.size() || m_inputPos < m_input.size() ||
           WaitFor(POLLIN, m_readTimeoutMs);
}

bool CConnectionStream::is_writable() const {
    return !m_muted && WaitFor(POLLOUT, m_writeTimeoutMs);
}

void CConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getpeername(m_sock, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        AddressText(address, ip, port);
}

void CConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(m_sock, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        AddressText(address, ip, port);
}

std::string CConnectionStream::RequestLine() const {
    return WithoutLineEnd(m_rawLine);
}

std::vector<std::pair<std::string, std::string>> CConnectionStream::HeaderFields() const {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (start < m_rawHead.size()) {
        size_t end = m_rawHead.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = WithoutLineEnd(m_rawHead.substr(start, end - start));
        start = end + 1;
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {  // folded
            fields.back().second += " " + Trim(line);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        fields.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    return fields;
}
