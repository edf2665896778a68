// The Plays window (a modeless dialog owned by the player's main window, one
// at a time), and what it shares with the settings window: the module its
// template comes from, the count of calls on the player's stack, the key hook
// and the placement on the owner's monitor.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class CPlaytally;

// Creates the window, or brings the open one to view; false when it could not
// be created.
bool OpenPlaysWindow(CPlaytally* engine, HWND owner);
void ClosePlaysWindow();

// The plug-in's module, whose templates the windows are made from.
HINSTANCE DialogModule();
// A dialog procedure's work: counted while it is on the player's stack (see
// CHarkwell::InUse), and an exception logged as `where`'s, never thrown into
// the player. FALSE after an exception.
INT_PTR GuardedDialogCall(const char* where, const std::function<INT_PTR()>& call);
// Tab, Enter and Escape work in `window` (on) in any host, until it goes (off).
void HookDialogKeys(HWND window, bool on);
// Over the owner when it is on screen, else over the work area; inside the
// work area of the owner's monitor either way.
void CentreOnOwner(HWND window);

// A control's text as UTF-8 (a lone surrogate half becomes U+FFFD), and a
// UTF-8 text set in one.
std::string DialogText(HWND dialog, int id);
// A dialog made from template `id`, its caption and controls' texts in the
// user's language: modeless, and modal.
HWND CreateDialogShown(HINSTANCE module, int id, HWND owner, DLGPROC procedure, LPARAM parameter);
INT_PTR DialogBoxShown(HINSTANCE module, int id, HWND owner, DLGPROC procedure, LPARAM parameter);
void SetDialogText(HWND dialog, int id, const std::string& text);
// Whether the list view's window class is registered (the common controls
// loaded once and kept); logged as `where`'s when it is not.
bool ListViewAvailable(const char* where);
// A report list view that selects whole rows, with these columns (widths in
// the window's dialog units).
struct ListColumn {
    const char* name;
    int width;
};
void SetUpListView(HWND window, HWND list, const std::vector<ListColumn>& columns);
