#include <condition_variable>
#include <mutex>

#include "engine/user_prompt.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
std::condition_variable g_released;
bool g_hold = false;
int g_answer = PROMPT_ANSWER_OK;
std::vector<FakePromptRecord> g_prompts;
std::vector<std::string> g_opens;
}  // namespace

void FakePromptReset(int answer) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_answer = answer;
    g_prompts.clear();
    g_opens.clear();
}

std::vector<FakePromptRecord> FakePrompts() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_prompts;
}

std::vector<std::string> FakeShellOpens() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_opens;
}

void FakePromptHold(bool hold) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_hold = hold;
    }
    g_released.notify_all();
}

int ShowPrompt(const std::string& text, const std::string& caption, uint32_t style) {
    return ShowOwnedPrompt(nullptr, text, caption, style);
}

int ShowOwnedPrompt(void* owner, const std::string& text, const std::string& caption,
                    uint32_t style) {
    std::unique_lock<std::mutex> lock(g_lock);
    g_prompts.push_back(FakePromptRecord{text, caption, style, owner});
    g_released.wait(lock, [] { return !g_hold; });
    return g_answer;
}

void ShellOpen(const std::string& target) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_opens.push_back(target);
}

void LoadWindowLanguage(void*, const std::string&) {}
