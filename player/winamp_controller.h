// The plug-in's only way of talking to the player: its windows, found by
// class, and the synchronous queries its main window answers.
#pragma once

#include <cstdint>
#include <string>

#include "player/player_window.h"

class CWinampController {
  public:
    CWinampController() = default;
    virtual ~CWinampController() = default;

    // Finds the windows and fills the caches; always 1.
    int Init();
    // The player's folder, ending with "\"; empty when it cannot be told.
    std::string GetWinampDir();
    // The player's version as text, 0x5012 as "5.12".
    std::string GetVersion();
    // 100 playing, 101 paused, 102 stopped, -1 anything else.
    int GetPlayStatus();
    int IsPlaying();
    int IsPaused();
    int GetTrackLength();
    int GetListPos();
    // Texts come back as UTF-8. A player from 5.13 on is asked the wide
    // query first; a player before it, or a wide answer that is empty, is
    // asked the ANSI one, whose answer is converted here.
    std::string GetPlaylistFile(int position);
    std::string GetPlaylistTitle(int position);
    std::string GetCurrentFile();
    std::string GetCurrentTitle();
    int IsInternetAvailable();
    // One metadata field ("Artist", "Title", "Album") of the current entry.
    std::string GetCurrentSongMetadata(const std::string& field);

    PlayerWindow GetMainWindow() const { return m_mainWindow; }
    PlayerWindow GetPlaylistWindow() const { return m_playlistWindow; }

  private:
    intptr_t Query(int query, uintptr_t argument = 0);
    // The player's own text at the address it answers with; empty for none.
    std::string AnsiAnswer(int query, int position);
    std::u16string WideAnswer(int query, int position);
    // The wide answer, or else the ANSI one, as UTF-8.
    std::string TextAnswer(int wideQuery, int ansiQuery, int position);
    bool AsksWide();

    PlayerWindow m_mainWindow = nullptr;
    PlayerWindow m_equaliserWindow = nullptr;
    PlayerWindow m_playlistWindow = nullptr;
    PlayerWindow m_browserWindow = nullptr;
    std::string m_version;
    uint32_t m_versionNumber = 0;
    std::string m_winampDir;
};

// The version text of a version number: the first hexadecimal digit, ".",
// then the third digit and every one after it (the second is skipped).
std::string VersionText(uint32_t number);
