// The player's side: its four windows and what they answer the plug-in, the
// playlist and the play state, the plug-in's module and its log.
#include "testbed/substitute_player/player.h"

namespace {

constexpr DWORD kTickGapMs = 1000;
// Asks the playlist editor's own procedure to call the plug-in's quit.
constexpr UINT kQuitFromPlaylist = WM_APP + 1;

int ElapsedMs() {
    if (g_player.status != kPlaying) return g_player.playedMs;
    return g_player.playedMs + static_cast<int>(GetTickCount() - g_player.playStart);
}

// Pause, resume and stop: the play time stands still, runs on again, or is 0.
void MoveTo(int status, const char* event) {
    if (status == kPaused && g_player.status == kPlaying) g_player.playedMs = ElapsedMs();
    if (status == kPlaying && g_player.status == kPaused) g_player.playStart = GetTickCount();
    if (status == kStopped) g_player.playedMs = 0;
    g_player.status = status;
    Record(event);
}

// The first entry of the file answers; metadata names match without case, and
// an entry without a name has no such field. An ANSI query's file name is
// matched against the path's ANSI form.
const std::wstring* Field(const std::wstring& file, const std::wstring& name, bool ansi) {
    for (const Track& track : g_player.tracks) {
        if (!SameText(ansi ? Wide(track.ansiPath, CP_ACP) : track.path, file)) continue;
        for (const auto& [key, value] : track.metadata)
            if (SameText(key, name)) return &value;
        return nullptr;
    }
    return nullptr;
}

// Fills the plug-in's buffer, cut to its size and terminated.
template <typename Char>
LRESULT Copy(const std::basic_string<Char>& text, Char* ret, size_t retlen) {
    size_t n = std::min(text.size(), retlen - 1);
    text.copy(ret, n);
    ret[n] = 0;
    return 1;
}

LRESULT ExtendedInfo(const extendedFileInfoStruct* i) {
    if (!i || !i->filename || !i->metadata || !i->ret || i->retlen == 0) return 0;
    const std::wstring* value = Field(Wide(i->filename, CP_ACP), Wide(i->metadata, CP_ACP), true);
    return value ? Copy(Ansi(*value), i->ret, i->retlen) : 0;
}

LRESULT ExtendedInfoW(const extendedFileInfoStructW* i) {
    if (!i || !i->filename || !i->metadata || !i->ret || i->retlen == 0) return 0;
    auto wide = [](const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); };
    const std::wstring* value = Field(wide(i->filename), wide(i->metadata), false);
    return value ? Copy(*value, reinterpret_cast<wchar_t*>(i->ret), i->retlen) : 0;
}

LRESULT Answer(WPARAM wParam, LPARAM lParam) {
    auto entry = [](WPARAM index) -> const Track* {
        return index < g_player.tracks.size() ? &g_player.tracks[index] : nullptr;
    };
    const Track* track = entry(wParam);
    switch (lParam) {
        case IPC_GETVERSION:
            return g_player.version;
        case IPC_ISPLAYING:
            // The plug-in's timer is the only one asking from another thread.
            if (InSendMessage() && GetTickCount() - g_player.lastTick >= kTickGapMs) {
                g_player.lastTick = GetTickCount();
                ++g_player.ticks;
            }
            return g_player.status;
        case IPC_GETOUTPUTTIME:
            track = entry(static_cast<WPARAM>(g_player.position));
            if (wParam == 1) return track ? track->length : -1;
            if (wParam == 0) return g_player.status == kStopped ? 0 : ElapsedMs();
            return -1;
        case IPC_GETLISTPOS:
            return g_player.position;
        case IPC_GETPLAYLISTFILE:
            return track ? reinterpret_cast<LRESULT>(track->ansiPath.c_str()) : 0;
        case IPC_GETPLAYLISTTITLE:
            return track ? reinterpret_cast<LRESULT>(track->ansiTitle.c_str()) : 0;
        case IPC_INETAVAILABLE:
            return 1;
        case IPC_GET_EXTENDED_FILE_INFO:
            return ExtendedInfo(reinterpret_cast<extendedFileInfoStruct*>(wParam));
    }
    // An older player does not know the wide queries.
    if (static_cast<uint32_t>(g_player.version) < kWideQueriesVersion) return 1;
    switch (lParam) {
        case IPC_GETPLAYLISTFILEW:
            return track ? reinterpret_cast<LRESULT>(track->path.c_str()) : 0;
        case IPC_GETPLAYLISTTITLEW:
            return track ? reinterpret_cast<LRESULT>(track->title.c_str()) : 0;
        case IPC_GET_EXTENDED_FILE_INFOW:
            return ExtendedInfoW(reinterpret_cast<extendedFileInfoStructW*>(wParam));
    }
    return 1;  // as a player answers a query it does not know
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WINAMP_WM_USER && window == g_player.main) return Answer(wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

// Another's subclass of the playlist editor, installed after the plug-in's.
LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_player.subclassNext, window, message, wParam, lParam);
}

// Whether the playlist editor still runs our own procedure, or a hook.
void RecordProc() {
    HWND playlist = g_player.playlist;
    if (!IsWindow(playlist)) return;
    WNDPROC current = reinterpret_cast<WNDPROC>(IsWindowUnicode(playlist)
                                                    ? GetWindowLongPtrW(playlist, GWLP_WNDPROC)
                                                    : GetWindowLongPtrA(playlist, GWLP_WNDPROC));
    Record(current == PlainProc      ? "pe-proc ours"
           : current == SubclassProc ? "pe-proc subclass"
                                     : "pe-proc other");
}

BOOL CALLBACK CollectOwn(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

void Quit(const Command& c) {
    DWORD start = GetTickCount();
    Plugin(c)->quit();
    Record(Format("quit %lu ms", GetTickCount() - start));
    RecordProc();
}

// The log is beside the DLL, or in the user's own folder when the DLL's folder
// cannot be written. Only what this run writes counts for wait-log: init
// either starts the log afresh (shorter than before) or appends to it.
void Load(const Command& c) {
    if (g_player.dll) Fail(c.line, "a plug-in is loaded already");
    HMODULE dll = g_player.dll = LoadLibraryW(Wide(c.argument).c_str());
    if (!dll) Fail(c.line, Format("load-failed %lu", GetLastError()));
    g_pluginModule = dll;
    // Through the generic function type: the export's real type is ours to know.
    auto get = reinterpret_cast<GetGeneralPurposePluginFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, kGetGeneralPurposePluginName)));
    if (!get) Fail(c.line, Format("no %s export", kGetGeneralPurposePluginName));
    std::string full = ModuleFileName(dll);
    size_t slash = full.find_last_of("\\/");
    std::string beside = full.substr(0, slash + 1) + "Kelmar.log.txt";
    wchar_t appData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
    std::string user = Utf8(appData) + "\\Kelmar\\Kelmar.log.txt";
    g_player.dllName = full.substr(slash + 1);
    Record("loaded");

    winampGeneralPurposePlugin* plugin = g_player.plugin = get();
    if (!plugin) Fail(c.line, "the plug-in gave no record");
    Record(Format("record version 0x%x", plugin->version));
    plugin->hwndParent = g_player.main;
    plugin->hDllInstance = dll;
    size_t besideBefore = ReadWholeFile(beside).size(), userBefore = ReadWholeFile(user).size();
    int result = 0;
    double us = Microseconds([&] { result = plugin->init(); });
    bool isBeside = Exists(beside);
    g_player.logPath = isBeside ? beside : user;
    size_t before = isBeside ? besideBefore : userBefore;
    g_player.logCursor = ReadWholeFile(g_player.logPath).size() < before ? 0 : before;
    Record(Format("init %d", result));
    Record(Format("init took %.0f us", us));
    Record("description " + Utf8(Wide(plugin->description ? plugin->description : "", CP_ACP)));
    RecordProc();
}

// The same class name, registered again as a Unicode class.
void UnicodePlaylist(const Command& c) {
    DestroyWindow(g_player.playlist);
    UnregisterClassA(kPlaylistWindowClass, GetModuleHandleA(nullptr));
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = L"Winamp PE";
    RegisterClassW(&windowClass);
    HWND playlist = g_player.playlist =
        CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                        nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!playlist || !IsWindowUnicode(playlist)) Fail(c.line, "no Unicode playlist window");
    Record("pe-unicode");
}

void Hold(const Command& c, DWORD share) {
    g_player.held = CreateFileW(Wide(c.argument).c_str(), GENERIC_READ, share, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_player.held == INVALID_HANDLE_VALUE) Fail(c.line, "cannot open " + c.argument);
    Record("held");
}

// After the previous match, or after what earlier runs wrote.
void WaitLog(const Command& c) {
    DWORD start = GetTickCount();
    bool seen = PumpUntil(c.ms, [&] {
        std::string log = ReadWholeFile(g_player.logPath);
        if (log.size() < g_player.logCursor) g_player.logCursor = 0;  // the log started afresh
        size_t at = log.find(c.text, g_player.logCursor);
        if (at != std::string::npos) g_player.logCursor = at + c.text.size();
        return at != std::string::npos;
    });
    if (!seen) Fail(c.line, "wait-log timed out: " + c.text);
    Record(Format("seen after %lu ms: ", GetTickCount() - start) + c.text);
}

}  // namespace

Player g_player;

std::vector<HWND> OwnWindows() {
    std::vector<HWND> found;
    EnumWindows(CollectOwn, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool IsDialog(HWND window) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    return std::string(className) == "#32770";
}

LRESULT OwnAnswer(WPARAM wParam, LPARAM lParam) {
    return static_cast<LRESULT>(0x5EED0000u ^ static_cast<uint32_t>(wParam) ^
                                static_cast<uint32_t>(lParam));
}

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WINAMP_WM_USER) return OwnAnswer(wParam, lParam);
    if (message == kQuitFromPlaylist) {
        Quit(Command{});
        return 0;
    }
    return IsWindowUnicode(window) ? DefWindowProcW(window, message, wParam, lParam)
                                   : DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateTopLevel(const char* className, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className;
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}

bool CreatePlayerWindows() {
    HWND equaliser = nullptr, browser = nullptr;
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (!g_player.main) g_player.main = CreateTopLevel(kMainWindowClass, MainProc);
        if (!g_player.playlist) g_player.playlist = CreateTopLevel(kPlaylistWindowClass, PlainProc);
        if (!equaliser) equaliser = CreateTopLevel(kEqualiserWindowClass, PlainProc);
        if (!browser) browser = CreateTopLevel(kBrowserWindowClass, PlainProc);
        if (g_player.main && g_player.playlist && equaliser && browser) return true;
        Sleep(250);
    }
    return false;
}

winampGeneralPurposePlugin* Plugin(const Command& command) {
    if (!g_player.plugin) Fail(command.line, "no plug-in loaded");
    return g_player.plugin;
}

void DrainMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        double us = Microseconds([&] {
            if (g_player.dialogKeys && root && IsDialog(root) && IsDialogMessageA(root, &message))
                return;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        });
        if (us <= g_player.longestMessageUs) continue;
        char window[64] = {};
        if (message.hwnd) GetClassNameA(message.hwnd, window, sizeof(window));
        g_player.longestMessageUs = us;
        g_player.longestMessage = Format("0x%x to %s", message.message, window);
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char buffer[65536];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &read, nullptr) &&
           read > 0)
        bytes.append(buffer, read);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return bytes;
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Play(int index) {
    g_player.position = index;
    g_player.status = kPlaying;
    g_player.playStart = GetTickCount();
    g_player.playedMs = 0;
    Record(Format("play %d", index));
}

double NewTrack() {
    LPARAM lParam = static_cast<LPARAM>((PE_NEW_TRACK_LPARAM_HIGH << 16) |
                                        static_cast<uint32_t>(g_player.position));
    LRESULT answer = 0;
    double us = Microseconds([&] {
        answer = SendMessageA(g_player.playlist, WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, lParam);
    });
    LRESULT own = OwnAnswer(PE_NEW_TRACK_WPARAM, lParam);
    Record(answer == own ? std::string("pe-answer ok")
                         : Format("pe-answer 0x%lx, own 0x%lx", static_cast<unsigned long>(answer),
                                  static_cast<unsigned long>(own)));
    return us;
}

const std::vector<Verb> kPlayerVerbs = {
    // A player older than 0x5013 answers the wide queries as any it does not know: 1.
    {"version", kNumber, "N",
     "what the version query answers (0x5012 unless set; wide from 0x5013)",
     [](const Command& c) { g_player.version = static_cast<int>(c.number); }},
    // Metadata names match without case; an entry without a name has no such field.
    {"track", kTrack, "PATH | TITLE | SECONDS [| NAME=VALUE]...",
     "a playlist entry (the first is 0), metadata such as artist=A, title=T, album=B",
     [](const Command& c) {
         Track track{Wide(c.fields[0]), Wide(c.fields[1]), std::atoi(c.fields[2].c_str()), {}};
         for (auto field = c.fields.begin() + 3; field != c.fields.end(); ++field) {
             size_t equals = field->find('=');
             track.metadata.emplace_back(Wide(field->substr(0, equals)),
                                         Wide(field->substr(equals + 1)));
         }
         g_player.tracks.push_back(track);
     }},
    {"load", kText, "DLL", "loads the plug-in, fills its record, calls init", Load},
    // The editor hears WM_USER, 666, 0x4000xxxx; "pe-answer ok" when its own procedure answered.
    {"play", kNumber, "INDEX", "plays the entry and tells the playlist editor",
     [](const Command& c) {
         if (static_cast<size_t>(c.number) >= g_player.tracks.size())
             Fail(c.line, "no such playlist entry");
         Play(static_cast<int>(c.number));
         NewTrack();
     }},
    {"notify", kNone, "", "tells the playlist editor again, changing nothing",
     [](const Command&) {
         Record("notify");
         NewTrack();
     }},
    // As a station's stream title changes: both title queries answer TEXT from now on.
    {"retitle", kText, "TEXT", "the playing entry's title becomes TEXT, with no new-track message",
     [](const Command& c) {
         if (static_cast<size_t>(g_player.position) >= g_player.tracks.size())
             Fail(c.line, "no such playlist entry");
         Track& track = g_player.tracks[static_cast<size_t>(g_player.position)];
         std::wstring title = Wide(c.argument);
         std::string ansiTitle = Ansi(title);
         track.title.swap(title);  // the old texts' memory goes with them, not freed
         track.ansiTitle.swap(ansiTitle);
         g_player.formerTitles.push_back(std::move(title));
         g_player.formerAnsiTitles.push_back(std::move(ansiTitle));
         Record(Format("retitle %d ", g_player.position) + c.argument);
     }},
    {"pause", kNone, "", "pauses: the play time stands still",
     [](const Command&) { MoveTo(kPaused, "pause"); }},
    {"resume", kNone, "", "plays on after a pause",
     [](const Command&) { MoveTo(kPlaying, "resume"); }},
    {"stop", kNone, "", "stops: the play time is 0",
     [](const Command&) { MoveTo(kStopped, "stop"); }},
    {"config", kNone, "", "the plug-in's config",
     [](const Command& c) {
         Plugin(c)->config();
         Record("config returned");
     }},
    {"time-config", kNone, "", "the plug-in's config, timed: the settings window's opening",
     [](const Command& c) {
         Record(Format("time config %.0f us", Microseconds([&] { Plugin(c)->config(); })));
     }},
    {"quit", kNone, "", "the plug-in's quit; records \"quit N ms\"", Quit},
    {"unload", kNone, "", "FreeLibrary",
     [](const Command& c) {
         if (!g_player.dll) Fail(c.line, "no plug-in loaded");
         FreeLibrary(g_player.dll);
         g_player.dll = nullptr;
         g_player.plugin = nullptr;
         Record("unloaded");
     }},
    {"destroy-pe", kNone, "", "destroys the playlist editor window",
     [](const Command&) {
         DestroyWindow(g_player.playlist);
         Record("pe-destroyed");
     }},
    {"unicode-pe", kNone, "", "makes the playlist editor a Unicode window, as a Unicode player's",
     UnicodePlaylist},
    // Records "pe-text kept" or "pe-text changed to ...".
    {"pe-text", kText, "TEXT", "sets the editor's caption (UTF-8) the wide way, reads it back",
     [](const Command& c) {
         std::wstring text = Wide(c.argument);
         SetWindowTextW(g_player.playlist, text.c_str());
         wchar_t back[256] = {};
         GetWindowTextW(g_player.playlist, back, 255);
         Record(back == text ? std::string("pe-text kept") : "pe-text changed to " + Utf8(back));
     }},
    {"plain-loop", kNone, "", "the message loop stops calling IsDialogMessage",
     [](const Command&) { g_player.dialogKeys = false; }},
    {"subclass-pe", kNone, "", "subclasses the playlist editor after the plug-in",
     [](const Command&) {
         g_player.subclassNext = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
             g_player.playlist, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
         RecordProc();
     }},
    {"quit-in-pe", kNone, "", "the playlist editor's own procedure calls quit in a message",
     [](const Command& c) {
         Plugin(c);
         SendMessageA(g_player.playlist, kQuitFromPlaylist, 0, 0);
     }},
    // A tick is a query from another thread at least a second after the last one.
    {"wait-ticks", kCountMs, "N MS", "until the plug-in's timer has asked N more times",
     [](const Command& c) {
         int goal = g_player.ticks + static_cast<int>(c.number);
         if (!PumpUntil(c.ms, [&] { return g_player.ticks >= goal; }))
             Fail(c.line, "wait-ticks timed out");
         Record(Format("ticks %ld", c.number));
     }},
    // The log is Kelmar.log.txt beside the DLL, else in %APPDATA%\Kelmar.
    {"wait-log", kTextMs, "TEXT MS", "until the plug-in's log holds TEXT after the previous match",
     WaitLog},
    {"check-log", kText, "TEXT", "records whether the log holds TEXT now",
     [](const Command& c) {
         bool has = ReadWholeFile(g_player.logPath).find(c.argument) != std::string::npos;
         Record((has ? "log-has " : "log-lacks ") + c.argument);
     }},
    {"watch-log", kText, "PATH", "the log wait-log reads in a run that loads no plug-in",
     [](const Command& c) {
         g_player.logPath = c.argument;
         g_player.logCursor = ReadWholeFile(g_player.logPath).size();
     }},
    // Shares reading and writing but not deletion, so that the file cannot be
    // replaced or deleted.
    {"hold-file", kText, "PATH", "keeps the file open as an antivirus or backup tool does",
     [](const Command& c) { Hold(c, FILE_SHARE_READ | FILE_SHARE_WRITE); }},
    {"lock-file", kText, "PATH", "keeps the file open as a spreadsheet does: no one writes it",
     [](const Command& c) { Hold(c, FILE_SHARE_READ); }},
    {"release-file", kNone, "", "closes it again",
     [](const Command&) {
         if (g_player.held != INVALID_HANDLE_VALUE) CloseHandle(g_player.held);
         g_player.held = INVALID_HANDLE_VALUE;
         Record("released");
     }},
};
