// The player's general purpose plug-in interface, as far as this plug-in and
// our substitute player use it: the plug-in record and the query messages.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int GPPHDR_VER = 0x10;

// The record the plug-in hands the player; the player fills hwndParent and
// hDllInstance before calling init. The entry points use the C convention.
struct winampGeneralPurposePlugin {
    int version;
    char* description;
    int (*init)();
    void (*config)();
    void (*quit)();
    void* hwndParent;    // the player's main window
    void* hDllInstance;  // the plug-in's own module
};

// The exported function's type, for a host that loads the plug-in.
using GetGeneralPurposePluginFunction = winampGeneralPurposePlugin* (*)();
constexpr char kGetGeneralPurposePluginName[] = "winampGetGeneralPurposePlugin";

// Queries go to the main window as WM_USER with the query in lParam.
constexpr uint32_t WINAMP_WM_USER = 1024;
constexpr int IPC_GETVERSION = 0;
constexpr int IPC_ISPLAYING = 104;
constexpr int IPC_GETOUTPUTTIME = 105;
constexpr int IPC_GETLISTPOS = 125;
constexpr int IPC_GETPLAYLISTFILE = 211;
constexpr int IPC_GETPLAYLISTTITLE = 212;
// Their wide twins: the answer points to the player's own UTF-16 text.
constexpr int IPC_GETPLAYLISTTITLEW = 213;
constexpr int IPC_GETPLAYLISTFILEW = 214;
constexpr int IPC_INETAVAILABLE = 242;
constexpr int IPC_GET_EXTENDED_FILE_INFO = 290;
constexpr int IPC_GET_EXTENDED_FILE_INFOW = 3026;
// The first version that answers the wide queries.
constexpr uint32_t kWideQueriesVersion = 0x5013;

// The argument of IPC_GET_EXTENDED_FILE_INFO (its address goes in wParam).
struct extendedFileInfoStruct {
    const char* filename;
    const char* metadata;
    char* ret;
    uint32_t retlen;
};

// The argument of IPC_GET_EXTENDED_FILE_INFOW; `retlen` counts UTF-16 units.
// The player's wchar_t is 16 bits wide, as char16_t is everywhere.
struct extendedFileInfoStructW {
    const char16_t* filename;
    const char16_t* metadata;
    char16_t* ret;
    size_t retlen;
};

// What the player sends its playlist editor window when playback moves to a
// new entry: WM_USER, wParam 666, and 0x4000 in the high 16 bits of lParam.
constexpr uintptr_t PE_NEW_TRACK_WPARAM = 666;
constexpr uint32_t PE_NEW_TRACK_LPARAM_HIGH = 0x4000;

// The player's window classes.
constexpr char kMainWindowClass[] = "Winamp v1.x";
constexpr char kPlaylistWindowClass[] = "Winamp PE";
constexpr char kEqualiserWindowClass[] = "Winamp EQ";
constexpr char kBrowserWindowClass[] = "Winamp MB";
