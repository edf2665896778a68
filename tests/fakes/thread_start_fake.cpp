#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "engine/thread_start.h"
#include "tests/fakes/fakes.h"

namespace {
std::atomic<bool> g_fail{false};
}  // namespace

void SetFakeThreadStartFailure(bool fail) {
    g_fail = fail;
}

ThreadHandle BeginThread(ThreadBody body, void* argument) {
    if (g_fail) return nullptr;
    try {
        // Handed back only once it runs: under Wine, a winpthreads thread
        // detached before it has started may never run at all, and a request
        // would stay in flight for good.
        auto started = std::make_shared<std::promise<void>>();
        std::future<void> running = started->get_future();
        auto* thread = new std::thread([body, argument, started] {
            started->set_value();
            body(argument);
        });
        running.wait();
        return thread;
    } catch (const std::exception&) {
        return nullptr;  // as the system's start fails
    }
}

void JoinThread(ThreadHandle thread) {
    auto* t = static_cast<std::thread*>(thread);
    if (t->joinable()) t->join();
    delete t;
}

void DetachThread(ThreadHandle thread) {
    auto* t = static_cast<std::thread*>(thread);
    t->detach();
    delete t;
}
