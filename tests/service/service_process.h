// The reference service (testbed/reference_service.cpp) as a child process of a
// test: on a free loopback port with an in-memory database unless the arguments
// say otherwise, stopped with SIGTERM at the latest when this object goes away.
// Link the CMake target kelmar_service_process; it knows where the service is.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class ServiceProcess {
  public:
    enum class Controls { kOn, kOff };

    // Starts `kelmar_service --port 0 --db :memory: [--test-controls] ARGS...`
    // (later options win) and waits for its "listening on" line; throws
    // std::runtime_error if it does not come. The service's log goes to this
    // process's stderr. The control paths below need the test controls on.
    explicit ServiceProcess(const std::vector<std::string>& args = {},
                            Controls controls = Controls::kOn);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    int Port() const { return m_port; }
    const std::string& Host() const { return m_host; }

    // SIGTERM, then waits (SIGKILL after 10 s). The exit status, or 128 + the
    // signal that ended it; stopping again gives the same.
    int Stop();

    // The control paths; each throws std::runtime_error on a failed request.
    // Queues scripted answers: an array of {"for","status","body","delay_ms",
    // "silent","content_type"} objects.
    void Script(const nlohmann::json& answers);
    // Every protocol request so far: {"method","target","path","headers","body","kind","tls",
    // "duplicate"}, the last the number of its plays the service already held.
    nlohmann::json Requests();
    // The accepted plays, newest first.
    nlohmann::json Plays();
    // Forgets the recorded requests and the queued answers.
    void Reset();
    void AddAccount(const std::string& user, const std::string& password);

  private:
    nlohmann::json Call(const std::string& method, const std::string& path,
                        const std::string& body = "");

    pid_t m_pid = -1;
    int m_output = -1;  // the service's stdout
    std::string m_host;
    int m_port = 0;
    int m_exitStatus = -1;
};
