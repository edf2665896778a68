#include "tests/service/service_process.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#ifndef KELMAR_SERVICE_PATH
#error "KELMAR_SERVICE_PATH names the kelmar_service executable"
#endif

extern char** environ;

namespace {

// Sanitizer builds start slowly.
constexpr int kStartTimeoutMs = 30000;
constexpr auto kStopTimeout = std::chrono::seconds(10);

int ExitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, Controls controls) {
    std::vector<std::string> argv = {KELMAR_SERVICE_PATH, "--port", "0", "--db", ":memory:"};
    if (controls == Controls::kOn) argv.push_back("--test-controls");
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    int rc = posix_spawn(&m_pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    m_output = pipeFds[0];
    if (rc != 0) {
        m_pid = -1;
        close(m_output);
        throw std::runtime_error(std::string("cannot start ") + KELMAR_SERVICE_PATH);
    }

    // "listening on HOST:PORT\n"
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{m_output, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = read(m_output, buffer, sizeof(buffer));
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    const std::string prefix = "listening on ";
    size_t colon = line.rfind(':');
    if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos) {
        int status = Stop();
        throw std::runtime_error("the service did not start (exit status " +
                                 std::to_string(status) + "): " + line);
    }
    m_host = line.substr(prefix.size(), colon - prefix.size());
    m_port = std::stoi(line.substr(colon + 1));
}

ServiceProcess::~ServiceProcess() {
    Stop();
}

int ServiceProcess::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            kill(m_pid, SIGKILL);
            done = waitpid(m_pid, &status, 0);
        }
        m_exitStatus = done == m_pid ? ExitStatus(status) : -1;
        m_pid = -1;
    }
    if (m_output >= 0) {
        close(m_output);
        m_output = -1;
    }
    return m_exitStatus;
}

nlohmann::json ServiceProcess::Call(const std::string& method, const std::string& path,
                                    const std::string& body) {
    httplib::Client client(m_host, m_port);
    client.set_connection_timeout(std::chrono::seconds(10));
    client.set_read_timeout(std::chrono::seconds(10));
    auto result = method == "GET" ? client.Get(path.c_str())
                                  : client.Post(path.c_str(), body, "application/json");
    if (!result)
        throw std::runtime_error(method + " " + path +
                                 " failed: " + httplib::to_string(result.error()));
    if (result->status != 200)
        throw std::runtime_error(method + " " + path + ": " + std::to_string(result->status) + " " +
                                 result->body);
    return nlohmann::json::parse(result->body);
}

void ServiceProcess::Script(const nlohmann::json& answers) {
    Call("POST", "/_control/script", answers.dump());
}

nlohmann::json ServiceProcess::Requests() {
    return Call("GET", "/_control/requests");
}

nlohmann::json ServiceProcess::Plays() {
    return Call("GET", "/plays");
}

void ServiceProcess::Reset() {
    Call("POST", "/_control/reset");
}

void ServiceProcess::AddAccount(const std::string& user, const std::string& password) {
    Call("POST", "/_control/account",
         nlohmann::json{{"user", user}, {"password", password}}.dump());
}
