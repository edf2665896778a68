// The settings window: a modeless dialog owned by the player's main window,
// one at a time. It edits a copy of the engine's settings (see
// harkwell_model.h) and shows the engine's state (see status_text.h).
#pragma once

#include <windows.h>

#include <string>

#include "ui/harkwell_model.h"

class CPlaytally;

class CHarkwell {
  public:
    // The module whose template 102 the dialog is made from (the plug-in's,
    // given at init), and its release at quit, which closes an open window.
    static void SetModule(HINSTANCE module);
    static void ReleaseModule();
    // Whether the dialog's code is on the stack now (inside a warning box, say):
    // then the module must outlive quit.
    static bool InUse();

    bool Create(CPlaytally* engine, HWND owner);
    bool Exists() const { return m_window != nullptr && IsWindow(m_window); }
    HWND Window() const { return m_window; }
    void Show();
    void Close();

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void ShowConfig();
    void OnCommand(int id);
    void OnSave();
    void RefreshStats();
    void UpdateStatus();
    void ReadControls();
    void FillControls();
    void EnableProxyEdits(int box);
    void OpenOrWarn(const std::string& path, const char* missing);
    void Warn(const char* text);
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    // UTF-8 (or, when it is not, ANSI) shown through the wide call.
    void SetShownText(int id, const std::string& text);
    // Sets the text unless it is what `shown` says is there, and remembers it.
    void SetChangedText(int id, std::string text, std::string* shown);

    HWND m_window = nullptr;
    CPlaytally* m_engine = nullptr;
    DialogValues m_values;
    std::string m_storedPassword;
    std::string m_note = "Please provide your details.";
    std::string m_helpPath;
    std::string m_logPath;
    std::string m_status;
    std::string m_versionLine;
    std::string m_lastSubmitted;
};
