// The engine's start, settings and log against Wine's registry and files, with
// the plug-in's real version resource.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "diagnostics/debug.h"
#include "tests/unit/test_support.h"

namespace {

const char kKey[] = "Software\\Kelmar\\Engine Test\\";
const std::string kBanner = "\xEF\xBB\xBF" + LogBanner();  // a new log starts with the mark

class EngineWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        engine.registryKey = kKey;
        dll = LoadLibraryA("Gen_Kelmar.dll");
        ASSERT_NE(dll, nullptr);
    }
    void TearDown() override {
        g_Debug.Close();
        RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        if (dll) FreeLibrary(dll);
    }

    std::vector<std::string> ValueNames() {
        std::vector<std::string> names;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof(name);
            if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            names.push_back(name);
        }
        RegCloseKey(key);
        return names;
    }

    void SetNumber(const char* name, DWORD value) {
        HKEY key;
        RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
        RegCloseKey(key);
    }

    TempDir dir;
    TestPlaytally engine;
    HMODULE dll = nullptr;
};

}  // namespace

TEST_F(EngineWin32Test, FirstRunStartsWithDefaultsAndTheApplicationLines) {
    EXPECT_EQ(engine.StartPlaytallying(dir.str(), dll), 0);
    EXPECT_EQ(engine.GetSettings().proxyPort, 8080);
    EXPECT_EQ(engine.GetSettings().maxCacheSubs, 10);
    EXPECT_TRUE(ValueNames().empty());

    std::string log = ReadFileBytes(dir.file("Kelmar.log.txt"));
    ASSERT_EQ(log.rfind(kBanner, 0), 0u);
    std::vector<std::string> lines;
    for (size_t start = kBanner.size(); start < log.size();) {
        size_t end = log.find("\r\n", start);
        lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\tApplication Information\t\tKelmar for Winamp v1.2.1  (Build 592)"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\tApplication Information\t\tWinamp Version 5.0"), std::string::npos);
    EXPECT_NE(lines[2].find("\tApplication Information\t\t"), std::string::npos);
    EXPECT_NE(lines[2].find(" v"), std::string::npos) << "the system description";
}

TEST_F(EngineWin32Test, SavingWritesTheFourteenValuesAndKeepsHandSetOnes) {
    SetNumber("maxcachesubs", 25);
    SetNumber("proxyport", 3128);
    EXPECT_EQ(engine.StartPlaytallying(dir.str(), dll), 1);
    EXPECT_EQ(engine.GetSettings().maxCacheSubs, 25);
    EXPECT_EQ(engine.GetSettings().proxyPort, 3128);
    engine.Set(&Settings::username, "listener");
    engine.SaveSettings();
    engine.StopPlaytallying();

    std::vector<std::string> names = ValueNames();
    std::vector<std::string> expected = {
        "maxcachesubs", "proxyport",  "username",   "password",  "pluginenabled",
        "logsize",      "showerrors", "ignorehttp", "useproxy",  "proxyserver",
        "useproxyauth", "proxyuser",  "proxypass",  "listenrule", "streamsongs"};
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);

    TestPlaytally again;
    again.registryKey = kKey;
    g_Debug.Close();
    EXPECT_EQ(again.StartPlaytallying(dir.str(), dll), 1);
    EXPECT_EQ(again.GetSettings().username, "listener");
    EXPECT_EQ(again.GetSettings().maxCacheSubs, 25);
}

TEST_F(EngineWin32Test, SubmitAddressesAreTakenApartByTheSystem) {
    engine.SetSubmitURL("  http://post.kelmar.example:8080/submit?x=1 \r\n");
    EXPECT_EQ(engine.GetServer(), "post.kelmar.example");
    EXPECT_EQ(engine.GetSubmitPath(), "/submit");
    engine.SetSubmitURL("http://other.example/a%20b/");
    EXPECT_EQ(engine.GetServer(), "other.example");
    EXPECT_EQ(engine.GetSubmitPath(), "/a b/");
    engine.SetSubmitURL("not a url");
    engine.SetSubmitURL("http://" + std::string(1100, 'h') + "/p");
    EXPECT_EQ(engine.GetServer(), "other.example");
    EXPECT_EQ(engine.GetSubmitPath(), "/a b/");
}
