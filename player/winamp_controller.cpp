#include "player/winamp_controller.h"

#include <cstring>
#include <vector>

#include "diagnostics/debug.h"
#include "player/winamp_plugin.h"
#include "record/text_encoding.h"

namespace {
constexpr size_t kMaxPlayerText = 4096;

// At most `limit` units of a wide text; a pair the limit would split goes whole.
std::u16string WideText(const char16_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    if (n == limit && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    return std::u16string(text, n);
}
}  // namespace

std::string VersionText(uint32_t number) {
    std::string digits = Format("%x", number);
    std::string third = digits.size() > 2 ? digits.substr(2, 1) : std::string();
    std::string rest = digits.size() > 3 ? digits.substr(3) : std::string();
    return Format("%s.%s%s", digits.substr(0, 1).c_str(), third.c_str(), rest.c_str());
}

int CWinampController::Init() {
    m_mainWindow = FindPlayerWindow(kMainWindowClass);
    m_equaliserWindow = FindPlayerWindow(kEqualiserWindowClass);
    m_playlistWindow = FindPlayerWindow(kPlaylistWindowClass);
    m_browserWindow = FindPlayerWindow(kBrowserWindowClass);
    GetWinampDir();
    GetVersion();
    return 1;
}

intptr_t CWinampController::Query(int query, uintptr_t argument) {
    return SendPlayerMessage(m_mainWindow, WINAMP_WM_USER, argument, query);
}

std::string CWinampController::GetWinampDir() {
    g_Debug.Log(DEBUG_DETAIL, "CWinampController::GetWinampDir", "Getting Winamp Dir.");
    if (!m_winampDir.empty()) return m_winampDir;
    std::string path = GetHostProgramPath();
    size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash == 0) {
        g_Debug.Log(DEBUG_ERROR, "CWinampController::GetWinampDir", "Failed to Get Winamp Dir.");
        return std::string();
    }
    m_winampDir = path.substr(0, slash + 1);
    return m_winampDir;
}

std::string CWinampController::GetVersion() {
    if (m_version.empty()) {
        m_versionNumber = static_cast<uint32_t>(Query(IPC_GETVERSION));
        m_version = VersionText(m_versionNumber);
    }
    return m_version;
}

bool CWinampController::AsksWide() {
    GetVersion();
    return m_versionNumber >= kWideQueriesVersion;
}

int CWinampController::GetPlayStatus() {
    switch (Query(IPC_ISPLAYING)) {
        case 1:
            return 100;
        case 3:
            return 101;
        case 0:
            return 102;
        default:
            return -1;
    }
}

int CWinampController::IsPlaying() {
    return GetPlayStatus() == 100 ? 1 : 0;
}

int CWinampController::IsPaused() {
    return GetPlayStatus() == 101 ? 1 : 0;
}

int CWinampController::GetTrackLength() {
    return static_cast<int>(Query(IPC_GETOUTPUTTIME, 1));
}

int CWinampController::GetListPos() {
    return static_cast<int>(Query(IPC_GETLISTPOS));
}

// The player answers with the address of its own text, in this process. No
// text lives in the lowest 64 KB of an address space: a small or negative
// answer is a player that has no text there, or does not know the query (it
// answers 1 to those).
std::string CWinampController::AnsiAnswer(int query, int position) {
    intptr_t answer = Query(query, static_cast<uintptr_t>(position));
    if (answer <= 0xffff && answer >= -0xffff) return std::string();
    const char* text = reinterpret_cast<const char*>(answer);
    return std::string(text, strnlen(text, kMaxPlayerText));
}

std::u16string CWinampController::WideAnswer(int query, int position) {
    intptr_t answer = Query(query, static_cast<uintptr_t>(position));
    if (answer <= 0xffff && answer >= -0xffff) return std::u16string();
    return WideText(reinterpret_cast<const char16_t*>(answer), kMaxPlayerText);
}

std::string CWinampController::TextAnswer(int wideQuery, int ansiQuery, int position) {
    if (AsksWide()) {
        std::u16string wide = WideAnswer(wideQuery, position);
        if (!wide.empty()) return Utf16ToUtf8(wide, true);
    }
    return AnsiToUtf8(AnsiAnswer(ansiQuery, position));
}

std::string CWinampController::GetPlaylistFile(int position) {
    return TextAnswer(IPC_GETPLAYLISTFILEW, IPC_GETPLAYLISTFILE, position);
}

std::string CWinampController::GetPlaylistTitle(int position) {
    return TextAnswer(IPC_GETPLAYLISTTITLEW, IPC_GETPLAYLISTTITLE, position);
}

std::string CWinampController::GetCurrentFile() {
    return GetPlaylistFile(GetListPos());
}

std::string CWinampController::GetCurrentTitle() {
    return GetPlaylistTitle(GetListPos());
}

int CWinampController::IsInternetAvailable() {
    return static_cast<int>(Query(IPC_INETAVAILABLE));
}

std::string CWinampController::GetCurrentSongMetadata(const std::string& field) {
    int position = GetListPos();
    if (AsksWide()) {
        std::u16string file = WideAnswer(IPC_GETPLAYLISTFILEW, position);
        std::u16string name(field.begin(), field.end());  // an ASCII name
        std::vector<char16_t> answer(kMaxPlayerText, 0);
        extendedFileInfoStructW info{file.c_str(), name.c_str(), answer.data(), answer.size()};
        intptr_t result = Query(IPC_GET_EXTENDED_FILE_INFOW, reinterpret_cast<uintptr_t>(&info));
        std::u16string text = WideText(answer.data(), answer.size() - 1);  // whatever it wrote
        if (result == 1 && !text.empty()) return Utf16ToUtf8(text, true);
    }
    char answer[1024] = {};
    char path[260] = {};
    std::string file = AnsiAnswer(IPC_GETPLAYLISTFILE, position);
    std::strncpy(path, file.c_str(), sizeof(path) - 1);
    std::string name = field;
    extendedFileInfoStruct info{path, name.c_str(), answer, sizeof(answer)};
    intptr_t result = Query(IPC_GET_EXTENDED_FILE_INFO, reinterpret_cast<uintptr_t>(&info));
    if (result != 1) {
        g_Debug.Log(DEBUG_TRACE, "CWinampController::GetCurrentSongMetadata",
                    "FAILED - metadata '%s', ret is %d", field.c_str(), static_cast<int>(result));
    }
    answer[sizeof(answer) - 1] = '\0';  // whatever the player wrote
    return AnsiToUtf8(answer);
}
