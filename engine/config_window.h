// The settings window as the engine sees it. The DLL links the Win32 dialog;
// native tests link a double that records what was asked.
#pragma once

class CPlaytally;

// Brings the open settings window to view; false when none is open.
bool ShowOpenConfigWindow();
// Creates the settings window for `engine`, owned by `owner` (a window of the
// player), and shows it; false when it could not be created.
bool OpenConfigWindow(CPlaytally* engine, void* owner);
