#include <atomic>
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
        return new std::thread([body, argument] { body(argument); });
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
