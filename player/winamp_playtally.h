// The engine for this player: the player's answers behind the engine's
// virtual operations, and the player's new-track message turned into a track.
#pragma once

#include <cstdint>
#include <string>

#include "diagnostics/translate.h"
#include "engine/playtally.h"
#include "player/winamp_controller.h"

class CWinampPlaytally : public CPlaytally {
  public:
    CWinampPlaytally() = default;
    ~CWinampPlaytally() override;

    std::string GetPluginName() override { return TR_TEXT("Kelmar for Winamp"); }
    std::string GetClientId() override { return "wa2"; }
    std::string GetRegistryKey() override { return "Software\\Kelmar\\Winamp Plugin\\"; }
    std::string GetPlayerVersion() override;
    int IsPlaying() override { return m_controller.IsPlaying(); }
    int IsPaused() override { return m_controller.IsPaused(); }
    std::string GetCurrentFile() override { return m_controller.GetCurrentFile(); }
    int GetTrackLength() override { return m_controller.GetTrackLength(); }
    int GetSongInfo(SongInfo* info) override;
    std::string GetSongGenre() override;
    std::string GetSongMetadata(const std::string& field) override;
    std::string GetStreamTitle() override;
    WindowHandle GetPlayerWindow() override { return m_playerWindow; }

    // 1 when the engine started fully; 0 without a valid player window (then
    // nothing is started) or when the engine's own start says 0.
    int StartPlaytallying(InstanceHandle module, WindowHandle playerWindow, std::string workingDir);
    // Every message of the playlist editor window; always 1 (the window's own
    // procedure handles it too).
    int WinampPEMessage(unsigned message, uintptr_t wParam, intptr_t lParam);
    // Whether this player version answers metadata queries at all.
    bool HasMetadataQuery();

    CWinampController m_controller;
    WindowHandle m_playerWindow = nullptr;
    uint32_t m_lastNotify = 0;  // tick count of the last track notice taken
};
