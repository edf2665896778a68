// The Services window: the services besides Kelmar, over the settings window.
#pragma once

#include <windows.h>

class CPlaytally;

// Opens the window over `owner` (the settings window), which stays disabled
// until it closes, or brings the open one to view; false when it could not be
// made. It closes with its owner.
bool OpenServicesWindow(CPlaytally* engine, HWND owner);
