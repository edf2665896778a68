// The player's windows as the controller reaches them: found by class, asked
// with synchronous messages. The DLL links the Win32 adapter; native tests link
// a scripted player.
#pragma once

#include <cstdint>
#include <string>

using PlayerWindow = void*;

// The top-level window of the class in this process, or none.
PlayerWindow FindPlayerWindow(const char* className);
// A message sent and its answer; 0 to no window.
intptr_t SendPlayerMessage(PlayerWindow window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam);
bool IsPlayerWindow(PlayerWindow window);
// The full path of the running program's file (at most 512 characters).
std::string GetHostProgramPath();
