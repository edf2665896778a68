// The settings dialog in the DLL: its compiled template, control by control,
// and the dialog made from it on a real engine.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/debug.h"
#include "engine/config_window.h"
#include "record/md5.h"
#include "tests/unit/test_support.h"
#include "ui/harkwell.h"
#include "ui/resource.h"

namespace {

// Reads a DLGTEMPLATEEX the way the dialog manager does.
class TemplateReader {
  public:
    explicit TemplateReader(const BYTE* data) : m_at(data) {}
    template <typename T>
    T Take() {
        T value;
        std::memcpy(&value, m_at, sizeof(T));
        m_at += sizeof(T);
        return value;
    }
    // A name or an ordinal: "#N" for an ordinal.
    std::string NameOrOrdinal() {
        WORD first = Take<WORD>();
        if (first == 0) return "";
        if (first == 0xFFFF) return "#" + std::to_string(Take<WORD>());
        std::string text(1, static_cast<char>(first));
        for (WORD c = Take<WORD>(); c != 0; c = Take<WORD>())
            text += static_cast<char>(c);
        return text;
    }
    void AlignToDword() {
        while (reinterpret_cast<uintptr_t>(m_at) % 4)
            ++m_at;
    }
    void Skip(size_t n) { m_at += n; }

  private:
    const BYTE* m_at;
};

struct Item {
    int id;
    const char* kind;  // class, by ordinal
    const char* caption;
    DWORD style;  // the bits that make the kind, the tab stop and the state
};

constexpr DWORD kEdit = WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kBox = BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kButton = BS_PUSHBUTTON | WS_TABSTOP;
const char kButtonClass[] = "#128", kEditClass[] = "#129", kStaticClass[] = "#130";

// Template order, which is the tab order. Every edit scrolls sideways, so that
// texts longer than the box can be typed; "Skip Streams" sits in the free row
// of the Preferences group.
const Item kItems[] = {
    {1003, kEditClass, "", kEdit},
    {1004, kEditClass, "", kEdit | ES_PASSWORD},
    {1033, kButtonClass, "Services...", kButton},
    {1020, kButtonClass, "Enable Plugin", kBox | BS_FLAT},
    {1022, kButtonClass, "Show Error Messages ", kBox | BS_FLAT},
    {1023, kButtonClass, "Skip Streams", kBox | BS_FLAT},
    {1032, kButtonClass, "Report each song on radio", kBox | BS_FLAT},
    {1005, kEditClass, "", kEdit},
    {1031, kButtonClass, "Count only listened tracks", kBox | BS_FLAT},
    {1008, kEditClass, "", kEdit},
    {1006, kEditClass, "", kEdit},
    {1010, kEditClass, "", kEdit},
    {1007, kEditClass, "", kEdit | ES_PASSWORD},
    {4, kButtonClass, "View Log File", kButton},
    {1030, kButtonClass, "&Plays...", kButton},
    {3, kButtonClass, "Help", kButton},
    {2, kButtonClass, "&Cancel", kButton},
    {1, kButtonClass, "&Save", BS_DEFPUSHBUTTON | WS_TABSTOP},
    {-1, kButtonClass, "Kelmar Login", BS_GROUPBOX},
    {-1, kStaticClass, "Username", SS_LEFT},
    {-1, kStaticClass, "Password", SS_LEFT},
    {1017, kStaticClass, "", SS_CENTER},
    {-1, kButtonClass, "Preferences", BS_GROUPBOX},
    {-1, kStaticClass, "Max size of log file", SS_RIGHT},
    {-1, kStaticClass, "  kb", SS_LEFT},
    {3001, kStaticClass, "", SS_CENTER | WS_DISABLED},
    {-1, kStaticClass, "Username", SS_LEFT},
    {-1, kStaticClass, "Password", SS_LEFT},
    {-1, kStaticClass, "Host", SS_LEFT},
    {-1, kButtonClass, "", BS_GROUPBOX},
    {-1, kStaticClass, "Port", SS_LEFT},
    {-1, kButtonClass, "", BS_GROUPBOX},
    {3005, kButtonClass, "Use Proxy Server", kBox},
    {3006, kButtonClass, "Use Proxy Authentication", kBox},
    {3000, kStaticClass, "", SS_LEFT},
    {-1, kButtonClass, "Submission Stats", BS_GROUPBOX},
    {3002, kStaticClass, "", SS_LEFTNOWORDWRAP},
    {-1, kButtonClass, "Last Submitted Tracks", BS_GROUPBOX},
};

constexpr DWORD kCheckedBits = WS_TABSTOP | WS_DISABLED | ES_PASSWORD | ES_AUTOHSCROLL | BS_FLAT;

// A class given by name, as the dialog manager treats it: the predefined
// ones are the same as their ordinals.
std::string ClassOrdinal(const std::string& name) {
    if (lstrcmpiA(name.c_str(), "Button") == 0) return kButtonClass;
    if (lstrcmpiA(name.c_str(), "Edit") == 0) return kEditClass;
    if (lstrcmpiA(name.c_str(), "Static") == 0) return kStaticClass;
    return name;
}

DWORD KindBits(const std::string& kind, DWORD style) {
    if (kind == kButtonClass) return style & (BS_TYPEMASK | WS_TABSTOP | WS_DISABLED | BS_FLAT);
    if (kind == kStaticClass) return style & (SS_TYPEMASK | WS_TABSTOP | WS_DISABLED);
    return style & kCheckedBits;
}

}  // namespace

TEST(DialogTemplate, MatchesTheLayoutControlByControl) {
    HMODULE dll = LoadLibraryExA("Gen_Kelmar.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(dll, nullptr) << GetLastError();
    HRSRC found = FindResourceA(dll, MAKEINTRESOURCEA(IDD_CONFIG), MAKEINTRESOURCEA(5));
    ASSERT_NE(found, nullptr) << "no dialog 102";
    TemplateReader read(static_cast<const BYTE*>(LockResource(LoadResource(dll, found))));

    EXPECT_EQ(read.Take<WORD>(), 1);  // the extended form
    EXPECT_EQ(read.Take<WORD>(), 0xFFFF);
    read.Take<DWORD>();  // help id
    EXPECT_EQ(read.Take<DWORD>(), static_cast<DWORD>(WS_EX_APPWINDOW));
    DWORD style = read.Take<DWORD>();
    EXPECT_EQ(style & (DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CHILD),
              static_cast<DWORD>(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU));
    WORD count = read.Take<WORD>();
    ASSERT_EQ(count, sizeof(kItems) / sizeof(kItems[0]));
    read.Skip(4 * sizeof(short));         // place and size: the layout scenario checks them
    EXPECT_EQ(read.NameOrOrdinal(), "");  // no menu
    EXPECT_EQ(read.NameOrOrdinal(), "");  // the dialog class
    EXPECT_EQ(read.NameOrOrdinal(), "Kelmar Config");
    ASSERT_TRUE(style & DS_SETFONT);
    EXPECT_EQ(read.Take<WORD>(), 8);
    read.Skip(sizeof(WORD) + 2);  // weight, italic, character set
    EXPECT_EQ(read.NameOrOrdinal(), "MS Shell Dlg");

    for (const Item& want : kItems) {
        read.AlignToDword();
        SCOPED_TRACE(std::string("control ") + std::to_string(want.id) + " " + want.caption);
        read.Take<DWORD>();  // help id
        EXPECT_EQ(read.Take<DWORD>(), 0u);
        DWORD itemStyle = read.Take<DWORD>();
        read.Skip(4 * sizeof(short));
        EXPECT_EQ(static_cast<short>(read.Take<DWORD>() & 0xFFFF), want.id);
        std::string kind = ClassOrdinal(read.NameOrOrdinal());
        EXPECT_EQ(kind, want.kind);
        EXPECT_EQ(read.NameOrOrdinal(), want.caption);
        EXPECT_EQ(KindBits(kind, itemStyle), want.style);
        EXPECT_TRUE(itemStyle & WS_CHILD);
        read.Skip(read.Take<WORD>());  // creation data
    }
    FreeLibrary(dll);
}

namespace {

class DialogWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kelmar\\Test Plugin");
        m_dll = LoadLibraryA("Gen_Kelmar.dll");
        ASSERT_NE(m_dll, nullptr);
        CHarkwell::SetModule(m_dll);
        engine.m_timerPeriodMs = 3600 * 1000;
        engine.StartPlaytallying(dir.str(), m_dll);
    }
    void TearDown() override {
        CHarkwell::ReleaseModule();
        engine.Shutdown();
        g_Debug.Close();
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kelmar\\Test Plugin");
        if (m_dll) FreeLibrary(m_dll);
    }
    HWND Open() {
        engine.Config();
        HWND window = FindWindowA("#32770", "Kelmar Config");
        EXPECT_NE(window, nullptr);
        return window;
    }
    static std::string Text(HWND window, int id) {
        char text[2048] = {};
        GetDlgItemTextA(window, id, text, sizeof(text));
        return text;
    }

    HMODULE m_dll = nullptr;
    TempDir dir;
    TestPlaytally engine;
};

}  // namespace

TEST_F(DialogWin32Test, OpensWithTheEngineValuesAndSavesWhatItShows) {
    engine.Set(&Settings::logSize, 0);
    std::string longName(300, 'n');
    engine.Set(&Settings::username, longName);
    engine.Set(&Settings::password, Md5Hex("secret"));
    HWND window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_VIEW_LOG))) << "log size 0";
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_PROXY_HOST)));
    EXPECT_EQ(Text(window, IDC_LOGIN_NOTE), "Your password is stored");
    EXPECT_EQ(Text(window, IDC_PASSWORD), "");
    EXPECT_EQ(Text(window, IDC_LOG_SIZE), "0");

    // A typed text stops at 199 characters; a longer one set by hand is kept.
    HWND proxyHost = GetDlgItem(window, IDC_PROXY_HOST);
    EXPECT_EQ(SendMessageA(proxyHost, EM_GETLIMITTEXT, 0, 0), 199);
    SetDlgItemTextA(window, IDC_LOG_SIZE, "  12kb");
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    EXPECT_FALSE(IsWindow(window)) << "saved and closed";
    EXPECT_EQ(engine.GetSettings().username, longName);
    EXPECT_EQ(engine.GetSettings().password, Md5Hex("secret"));
    EXPECT_EQ(engine.GetSettings().logSize, 12);

    // Cancel and the close box copy nothing.
    for (UINT close : {UINT(WM_COMMAND), UINT(WM_CLOSE)}) {
        window = Open();
        SetDlgItemTextA(window, IDC_USERNAME, "someone");
        SendMessageA(window, close, close == WM_COMMAND ? MAKEWPARAM(IDCANCEL, 0) : 0, 0);
        EXPECT_FALSE(IsWindow(window)) << close;
        EXPECT_EQ(engine.GetSettings().username, longName) << close;
    }
}

TEST_F(DialogWin32Test, OpeningIsLoggedAtLevelThree) {
    auto opened = [this] {
        std::string log = ReadFileBytes(dir.file("Kelmar.log.txt"));
        size_t n = 0;
        for (size_t at = log.find("Showing Config..."); at != std::string::npos;
             at = log.find("Showing Config...", at + 1))
            ++n;
        return n;
    };
    g_Debug.SetLevel(4);
    Open();
    CHarkwell::ReleaseModule();  // closes it
    EXPECT_EQ(opened(), 0u);
    CHarkwell::SetModule(m_dll);
    g_Debug.SetLevel(3);
    Open();
    EXPECT_EQ(opened(), 1u);
}

TEST_F(DialogWin32Test, QuitClosesAnOpenWindow) {
    HWND window = Open();
    ASSERT_NE(window, nullptr);
    engine.Config();
    EXPECT_EQ(FindWindowA("#32770", "Kelmar Config"), window) << "the same window";
    CHarkwell::ReleaseModule();
    EXPECT_FALSE(IsWindow(window));
    // Without the module there is no template: config reports the failure.
    EXPECT_FALSE(OpenConfigWindow(&engine, nullptr));
}
