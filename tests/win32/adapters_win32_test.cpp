// The Win32 adapters against the real thing under Wine: the registry, the ANSI
// code page, files shared with a viewer and the DLL's own version resource.
#include <gtest/gtest.h>
#include <windows.h>

#include "cache/file_ops.h"
#include "diagnostics/ansi_codepage.h"
#include "diagnostics/debug.h"
#include "diagnostics/module_version.h"
#include "diagnostics/tick_count.h"
#include "engine/settings_store.h"
#include "record/submission.h"
#include "record/text_encoding.h"
#include "tests/unit/test_support.h"

namespace {

const char kKey[] = "Software\\Kelmar\\Adapter Test";

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }

    // `wide`: through the wide call, as an editor stores a text (UTF-16 bytes).
    void SetRaw(const char* name, DWORD type, const std::string& bytes, bool wide = false) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
        std::wstring wideName(name, name + strlen(name));
        if (wide) {
            RegSetValueExW(key, wideName.c_str(), 0, type, data, static_cast<DWORD>(bytes.size()));
        } else {
            RegSetValueExA(key, name, 0, type, data, static_cast<DWORD>(bytes.size()));
        }
        RegCloseKey(key);
    }
};

}  // namespace

TEST(ModuleVersionWin32, ReadsThePluginsOwnVersionResource) {
    HMODULE dll = LoadLibraryA("Gen_Kelmar.dll");
    ASSERT_NE(dll, nullptr) << GetLastError();
    CModuleVersionInfo info;
    info.SetModule(dll);
    EXPECT_EQ(info.GetFileVersion(), "1.2.1");
    EXPECT_EQ(info.GetPrivateBuild(), "592");
    EXPECT_EQ(info.GetVersionText(), "1.2.1 ");
    EXPECT_NE(info.GetPath().find("Gen_Kelmar.dll"), std::string::npos);

    // A module without version information keeps what was read before.
    info.SetModule(GetModuleHandleA(nullptr));
    EXPECT_EQ(info.GetFileVersion(), "1.2.1");
    FreeLibrary(dll);
}

TEST_F(RegistryTest, OpensWithoutCreatingAndRoundTripsValues) {
    CSettingsKey key;
    EXPECT_FALSE(key.Open(kKey));
    ASSERT_TRUE(key.Create(kKey));
    EXPECT_TRUE(key.WriteText("name", "Mot\xf6rhead"));
    EXPECT_TRUE(key.WriteNumber("count", -1));
    key.Close();

    ASSERT_TRUE(key.Open(kKey));
    std::string text;
    int32_t number = 0;
    EXPECT_TRUE(key.ReadText("name", &text));
    EXPECT_EQ(text, "Mot\xf6rhead");
    EXPECT_TRUE(key.ReadNumber("count", &number));
    EXPECT_EQ(number, -1);
    EXPECT_FALSE(key.ReadText("missing", &text));
}

TEST_F(RegistryTest, TextLimitsAndWrongTypes) {
    SetRaw("t199", REG_SZ, std::string(199, 'a') + '\0');
    SetRaw("t200", REG_SZ, std::string(200, 'b') + '\0');
    SetRaw("number", REG_DWORD, std::string("\x2a\0\0\0", 4));
    SetRaw("short", REG_BINARY, std::string("\x50\x00", 2));
    SetRaw("text", REG_SZ, std::string("42\0", 3));
    SetRaw("off", REG_SZ, std::string("off\0", 4));  // four bytes, but a text
    SetRaw("binary", REG_BINARY, std::string("\x05\0\0\0", 4));
    // "C:\Радио" (outside the code page) and a terminator, in UTF-16.
    SetRaw("radio", REG_SZ,
           std::string("C\0:\0\\\0\x20\x04\x30\x04\x34\x04\x38\x04\x3e\x04\0\0", 18), true);
    CSettingsKey key;
    ASSERT_TRUE(key.Open(kKey));
    std::string text;
    int32_t number = 7;
    EXPECT_TRUE(key.ReadText("t199", &text));
    EXPECT_EQ(text.size(), 199u);
    EXPECT_FALSE(key.ReadText("t200", &text));
    EXPECT_FALSE(key.ReadText("number", &text));
    EXPECT_TRUE(key.ReadNumber("number", &number));
    EXPECT_EQ(number, 42);
    EXPECT_FALSE(key.ReadNumber("short", &number));
    EXPECT_FALSE(key.ReadNumber("text", &number));
    EXPECT_FALSE(key.ReadNumber("off", &number));
    EXPECT_FALSE(key.ReadNumber("binary", &number));
    EXPECT_EQ(number, 42);
    EXPECT_TRUE(key.ReadWideText("radio", &text, 9));
    EXPECT_EQ(text, "C:\\\xd0\xa0\xd0\xb0\xd0\xb4\xd0\xb8\xd0\xbe");
    EXPECT_FALSE(key.ReadWideText("radio", &text, 8));
}

TEST(AnsiCodePageWin32, EncodesWithTheSystemCodePage) {
    ASSERT_EQ(GetACP(), 1252u);
    EXPECT_EQ(EncodeField("Mot\xf6rhead"), "Mot%c3%b6rhead");
    EXPECT_EQ(EncodeField("Sigur R\xf3s"), "Sigur%20R%c3%b3s");
    EXPECT_EQ(EncodeField("\x80"), "%e2%82%ac");
    EXPECT_EQ(EncodeField("AC/DC"), "AC%2fDC");
    // Every byte of the code page converts; none is lost.
    for (int b = 1; b <= 0xFF; ++b) {
        std::u16string wide;
        char c = static_cast<char>(b);
        ASSERT_TRUE(AnsiToUtf16(&c, 1, &wide)) << b;
        EXPECT_EQ(wide.size(), 1u) << b;
    }

    // Back to the code page only exactly: no best-fit "s" for "\u015d".
    std::string ansi;
    EXPECT_TRUE(Utf16ToAnsi(u"\xe9\u20ac", &ansi));
    EXPECT_EQ(ansi, "\xe9\x80");
    EXPECT_FALSE(Utf16ToAnsi(u"\u015d", &ansi));
    EXPECT_FALSE(Utf16ToAnsi(u"\u65e5", &ansi));

    Submission first, second;
    first.Set("AC/DC", "T.N.T.", "", "-1", "C:\\a.mp3", "");
    second.Set("Mot\xf6rhead", "Ace", "", "169", "C:\\b.mp3", "");
    first.StampTime(1101101971);
    second.StampTime(1101101971);
    std::string body = BuildSubmissionBody("c", "u", {first, second});
    EXPECT_EQ(body,
              "s=c&u=u&a[0]=AC%2fDC&t[0]=T%2eN%2eT%2e&b[0]=&m[0]=&l[0]=%2d1"
              "&i[0]=2004%2d11%2d22%2005%3a39%3a31"
              "&a[1]=Mot%c3%b6rhead&t[1]=Ace&b[1]=&m[1]=&l[1]=169"
              "&i[1]=2004%2d11%2d22%2005%3a39%3a31");
}

TEST(TickCountWin32, IsTheSystemsMillisecondCount) {
    uint32_t before = GetTickCount32();
    Sleep(50);
    uint32_t after = GetTickCount32();
    EXPECT_NE(after, before);
    // The same clock as the system's own 64-bit count, cut to 32 bits.
    EXPECT_LT(static_cast<uint32_t>(GetTickCount64()) - after, 1000u);
}

TEST(LogFileWin32, ViewersCanReadTheLogWhileItIsOpen) {
    TempDir dir;
    std::string path = dir.str() + "\\Kelmar.log.txt";
    CDebug log;
    log.Open(path, true, true, false);
    log.Log(DEBUG_ERROR, "CTest::Viewer", "visible %d", 1);

    HANDLE viewer = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[1024] = {};
    DWORD read = 0;
    ReadFile(viewer, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(viewer);
    EXPECT_NE(std::string(buffer, read).find("CTest::Viewer\t\tERROR - visible 1\r\n"),
              std::string::npos);
    log.Close();
}

TEST(FileOpsWin32, ReplacesAnExistingFileInOneStep) {
    TempDir dir;
    std::string target = dir.str() + "\\kelmar.99.cache";
    std::string temp = target + ".tmp";
    WriteFileBytes(target, "old");
    WriteFileBytes(temp, "new");
    EXPECT_TRUE(ReplaceFileAtomically(temp, target));
    EXPECT_EQ(ReadFileBytes(target), "new");
    EXPECT_FALSE(FileExistsAt(temp));
    uint64_t size = 0;
    EXPECT_TRUE(FileSizeOf(target, &size));
    EXPECT_EQ(size, 3u);
    EXPECT_TRUE(RemoveFilePath(target));
    EXPECT_FALSE(FileExistsAt(target));
    EXPECT_FALSE(FileSizeOf(target, &size));
}
