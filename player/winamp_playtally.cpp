#include "player/winamp_playtally.h"

#include <cctype>

#include "diagnostics/debug.h"
#include "diagnostics/tick_count.h"
#include "player/winamp_plugin.h"

namespace {
constexpr uint32_t kDuplicateWindowMs = 400;
}  // namespace

CWinampPlaytally::~CWinampPlaytally() {
    // The timer asks this class about the player: it ends before this part goes.
    StopTimer();
}

std::string CWinampPlaytally::GetPlayerVersion() {
    return Format("Winamp Version %s", m_controller.GetVersion().c_str());
}

int CWinampPlaytally::StartPlaytallying(InstanceHandle module, WindowHandle playerWindow,
                                        std::string workingDir) {
    if (!IsPlayerWindow(playerWindow)) return 0;
    m_playerWindow = playerWindow;
    m_controller.Init();
    int result = CPlaytally::StartPlaytallying(workingDir, module);
    g_Debug.Log(DEBUG_TRACE, "CWinampPlaytally::StartPlaytallying",
                "Winamp thinks the Internet is %s",
                m_controller.IsInternetAvailable() ? "ON" : "OFF");
    return result;
}

int CWinampPlaytally::WinampPEMessage(unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (message != WINAMP_WM_USER || wParam != PE_NEW_TRACK_WPARAM ||
        ((static_cast<uint32_t>(lParam) >> 16) & 0xffff) != PE_NEW_TRACK_LPARAM_HIGH ||
        m_controller.GetPlayStatus() != 100) {
        return 1;
    }
    uint32_t now = GetTickCount32();
    // Unsigned arithmetic keeps the test right across the counter's wrap.
    if (now - m_lastNotify >= kDuplicateWindowMs) {
        m_lastNotify = now;
        OnTrackPlay();
    } else {
        g_Debug.Log(DEBUG_TRACE, "CWinampPlaytally::WinampPEMessage",
                    "Duplicate notification arrived - Now %d, Then %d", static_cast<int>(now),
                    static_cast<int>(m_lastNotify));
    }
    return 1;
}

// Older players than 5 (but for 2.9x) have no metadata query.
bool CWinampPlaytally::HasMetadataQuery() {
    std::string version = m_controller.GetVersion();
    int major = !version.empty() && std::isdigit(static_cast<unsigned char>(version[0]))
                    ? version[0] - '0'
                    : 0;
    return !(major < 5 && version.compare(0, 3, "2.9") != 0);
}

std::string CWinampPlaytally::GetSongGenre() {
    return HasMetadataQuery() ? m_controller.GetCurrentSongMetadata("Genre") : std::string();
}

std::string CWinampPlaytally::GetSongMetadata(const std::string& field) {
    return HasMetadataQuery() ? m_controller.GetCurrentSongMetadata(field) : std::string();
}

std::string CWinampPlaytally::GetStreamTitle() {
    // Found again each tick: an entry removed above it moves the playing one.
    return m_controller.GetCurrentTitle();
}

int CWinampPlaytally::GetSongInfo(SongInfo* info) {
    if (!info) {
        g_Debug.Log(DEBUG_TRACE, "CWinampPlaytally::GetSongInfo", "Invalid Song Pointer");
        return 0;
    }
    bool metadata = HasMetadataQuery() && !m_controller.GetCurrentSongMetadata("Artist").empty();
    bool done = false;
    if (metadata) {
        SetSongField(info->artist, m_controller.GetCurrentSongMetadata("Artist"));
        SetSongField(info->title, m_controller.GetCurrentSongMetadata("Title"));
        SetSongField(info->album, m_controller.GetCurrentSongMetadata("Album"));
        done = info->artist[0] != '\0' && info->title[0] != '\0';
    }
    if (!done) {
        std::string title = m_controller.GetCurrentTitle();
        size_t split = title.find(" - ");
        if (split != std::string::npos && split != 0) {
            SetSongField(info->artist, title.substr(0, split));
            SetSongField(info->title, title.substr(split + 3));
        } else {
            SetSongField(info->artist, "");
            SetSongField(info->title, title);
        }
    }
    return info->artist[0] != '\0' && info->title[0] != '\0' ? 1 : 0;
}
