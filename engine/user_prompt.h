// What the engine shows the user: message boxes without an owner window, and
// the shell's "open" verb. The DLL links the Win32 adapter; native tests link a
// double that records what would have been shown.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t PROMPT_OK = 0x00;
constexpr uint32_t PROMPT_YESNO = 0x04;
constexpr uint32_t PROMPT_ICONQUESTION = 0x20;
constexpr uint32_t PROMPT_ICONWARNING = 0x30;

constexpr int PROMPT_ANSWER_OK = 1;
constexpr int PROMPT_ANSWER_YES = 6;
constexpr int PROMPT_ANSWER_NO = 7;

// A modal message box without an owner; blocks the calling thread until
// answered.
int ShowPrompt(const std::string& text, const std::string& caption, uint32_t style);
// The same, owned by a window of the player.
int ShowOwnedPrompt(void* owner, const std::string& text, const std::string& caption,
                    uint32_t style);
// Chooses the windows' language (the "language" value, else Windows') and
// reads its catalogue from the module's resources; logs what it chose.
void LoadWindowLanguage(void* module, const std::string& setting);
// Opens a document or address with the shell, shown normally.
void ShellOpen(const std::string& target);
