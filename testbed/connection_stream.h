// One client connection as the HTTP library reads and writes it, keeping each
// request's line and header fields exactly as they arrived: the library keeps
// headers sorted by name and rejects a request line with a raw space in it.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class CConnectionStream : public httplib::Stream {
  public:
    // `stopping` makes every wait give up early once the server stops.
    CConnectionStream(int sock, int readTimeoutMs, int writeTimeoutMs,
                      std::function<bool()> stopping);

    // Waits for the next request to begin; false when the time runs out or the
    // server stops (true at the peer's end of stream: the read then finds it).
    bool WaitForRequest(int timeoutMs);
    // Starts the record of a new request.
    void BeginRequest();
    // The request line as received, without its line end.
    std::string RequestLine() const;
    // Header fields in the order received, values without surrounding blanks.
    std::vector<std::pair<std::string, std::string>> HeaderFields() const;
    // Nothing more is written: the connection ends without an answer.
    void Mute() { m_muted = true; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_sock; }

  private:
    bool WaitFor(short events, int timeoutMs) const;
    // Receives more into m_input; false at the end, on an error or time-out.
    bool Receive();
    // Takes the request line off the input; what the library reads instead has
    // any spaces inside the target escaped.
    void TakeRequestLine();

    int m_sock;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    std::function<bool()> m_stopping;
    bool m_muted = false;

    std::string m_input;  // received, not yet read
    size_t m_inputPos = 0;
    bool m_atRequestLine = false;
    std::string m_lineForLibrary;
    size_t m_linePos = 0;
    std::string m_rawLine;
    std::string m_rawHead;  // bytes read after the request line, up to the blank line
    bool m_headComplete = false;
};
