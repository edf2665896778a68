#include "diagnostics/format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/translate.h"

namespace {

TEST(FormatIntegers, FlagsWidthAndPrecision) {
    EXPECT_EQ(Format("%d %i %u", -42, 7, 4000000000u), "-42 7 4000000000");
    EXPECT_EQ(Format("%x %X", 0xbeefu, 0xbeefu), "beef BEEF");
    EXPECT_EQ(Format("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]");
    EXPECT_EQ(Format("[%.4d][%6.3d][%-6.3d]", -7, 7, 7), "[-0007][   007][007   ]");
    // The log's own patterns.
    EXPECT_EQ(Format("%d.%03d", 12, 5), "12.005");
    EXPECT_EQ(Format("%02d/%02d/%02d %02d:%02d:%02d", 7, 3, 9, 0, 5, 59), "07/03/09 00:05:59");
    EXPECT_EQ(Format("%02x%02x", 0x0au, 0xffu), "0aff");
    EXPECT_EQ(Format("%d %d %u", INT_MIN, INT_MAX, UINT_MAX), "-2147483648 2147483647 4294967295");
    EXPECT_EQ(Format("%x", 0u), "0");
    EXPECT_EQ(Format("%.0d", 0), "0");
}

TEST(FormatIntegers, HexPrefixAndOddFlags) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    EXPECT_EQ(Format("%#x %#X %#x", 255u, 255u, 0u), "0xff 0XFF 0");
    EXPECT_EQ(Format("[%#06x][%#-6x]", 255u, 255u), "[0x00ff][0xff  ]");
    EXPECT_EQ(Format("[%-05d]", 3), "[3    ]");
    EXPECT_EQ(Format("[%#d]", 3), "[3]");
    EXPECT_EQ(Format("[%06.3d]", 7), "[000007]");
#pragma GCC diagnostic pop
}

TEST(FormatStrings, PrecisionWidthAndNull) {
    EXPECT_EQ(Format("[%s][%.3s][%5.2s][%-5s]", "abc", "abcdef", "xyz", "ab"),
              "[abc][abc][   xy][ab   ]");
    EXPECT_EQ(Format("[%.0s][%s]", "abc", ""), "[][]");
    const char* none = nullptr;
    EXPECT_EQ(Format("[%s][%.2s][%8s]", none, none, none), "[(null)][(n][  (null)]");
    // The precision bounds the read: this buffer has no terminator.
    char raw[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format("%.3s", raw), "xyz");
    EXPECT_EQ(Format("[%c][%3c][%-3c]", 'a', 'b', 'c'), "[a][  b][c  ]");
    EXPECT_EQ(Format("[%c]", 0), "[]");
}

TEST(FormatModifiers, LongAndShortExtremes) {
    EXPECT_EQ(Format("%ld", LONG_MIN), std::to_string(LONG_MIN));
    EXPECT_EQ(Format("%li %lu", LONG_MAX, ULONG_MAX),
              std::to_string(LONG_MAX) + " " + std::to_string(ULONG_MAX));
    EXPECT_EQ(Format("%lx", ULONG_MAX), std::string(sizeof(long) * 2, 'f'));
    EXPECT_EQ(Format("%lX %ld", 0xABCDul, -1L), "ABCD -1");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    // Narrowed to 16 bits.
    EXPECT_EQ(Format("%hd %hd %hi", 70000, 32768, -1), "4464 -32768 -1");
    EXPECT_EQ(Format("%hu %hx %hX", -1, 0x12345, 0xabcd), "65535 2345 ABCD");
    EXPECT_EQ(Format("%hs|%hc", "plain", 'q'), "plain|q");
#pragma GCC diagnostic pop
}

TEST(FormatModifiers, WideNarrowedToAscii) {
    const wchar_t* none = nullptr;
    EXPECT_EQ(Format("%ls|%S|%.2ls|%-4ls|", L"Bj\u00f6rk", L"ok", L"abc", L"x"),
              "Bj?rk|ok|ab|x   |");
    EXPECT_EQ(Format("%ls %lc%lc", none, static_cast<wint_t>(L'w'), static_cast<wint_t>(0x263a)),
              "(null) w?");
}

TEST(FormatLimit, CutAndTerminated) {
    char out[kFormatLimit + 2];
    out[kFormatLimit + 1] = '#';
    std::string long_text(3000, 'a');
    EXPECT_EQ(FormatTo(out, "<%s>", long_text.c_str()), kFormatLimit);
    EXPECT_EQ(out[0], '<');
    EXPECT_EQ(out[kFormatLimit - 1], 'a');
    EXPECT_EQ(out[kFormatLimit], '\0');
    EXPECT_EQ(out[kFormatLimit + 1], '#');

    std::string exact(kFormatLimit - 1, 'b');
    EXPECT_EQ(Format("%s!", exact.c_str()), exact + "!");
    EXPECT_EQ(Format("%s!?", exact.c_str()), exact + "!");
}

TEST(FormatLimit, HugeWidthsAndPrecisionsAreClamped) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Format("%99999d", 5), std::string(kFormatLimit, ' '));
    EXPECT_EQ(Format("%-99999d|", 5), "5" + std::string(kFormatLimit - 1, ' '));
    EXPECT_EQ(Format("%.99999u", 5u), std::string(kFormatLimit, '0'));
    EXPECT_EQ(Format("x%99999s", "y"), "x" + std::string(kFormatLimit - 1, ' '));
    const char* overflow = "%99999999999999999999999999d|%-99999999999999999999.99999999999999999s";
    EXPECT_EQ(Format(overflow, 1, "z").size(), kFormatLimit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(FormatUnknown, ConversionPrintedAndNoArgumentRead) {
    // Non-literal, so the compiler's format check lets these through.
    const char* formats[] = {"%f%d", "%5.2e%d", "%g%d", "%p%d", "%n%d", "%*d%d", "%lld%d", "%+d%d"};
    const char* expected[] = {"f42", "e42", "g42", "p42", "n42", "*d42", "ld42", "+d42"};
    for (size_t i = 0; i < sizeof(formats) / sizeof(formats[0]); ++i) {
        EXPECT_EQ(Format(formats[i], 42), expected[i]) << formats[i];
    }
}

// These formats are deliberately odd and deliberately not literals.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
TEST(FormatUnknown, PercentAndTrailingPercent) {
    EXPECT_EQ(Format("100%% %d%%", 5), "100% 5%");
    const char* flagged = "%5%|%-%";
    EXPECT_EQ(Format(flagged), "%|%");
    const char* trailing[] = {"abc%", "abc%-05", "abc%l", "abc%.3h", ""};
    const char* expected[] = {"abc", "abc", "abc", "abc", ""};
    for (size_t i = 0; i < sizeof(trailing) / sizeof(trailing[0]); ++i) {
        EXPECT_EQ(Format(trailing[i]), expected[i]) << trailing[i];
    }
}
#pragma GCC diagnostic pop

// Each language's plural rule picks the form a count takes: the catalogue's
// forms are letters here, so that the form chosen shows.
TEST(Translation, PluralFormsByLanguage) {
    const struct {
        const char* language;
        std::vector<std::pair<long, char>> counts;
    } cases[] = {
        {"de", {{0, 'B'}, {1, 'A'}, {2, 'B'}, {21, 'B'}}},
        {"fr", {{0, 'A'}, {1, 'A'}, {2, 'B'}}},
        {"pt-BR", {{0, 'A'}, {1, 'A'}, {2, 'B'}}},
        {"pl",
         {{1, 'A'}, {2, 'B'}, {4, 'B'}, {5, 'C'}, {12, 'C'}, {21, 'C'}, {22, 'B'}, {112, 'C'}}},
        {"ru",
         {{1, 'A'}, {2, 'B'}, {5, 'C'}, {11, 'C'}, {14, 'C'}, {21, 'A'}, {22, 'B'}, {111, 'C'}}},
        {"ja", {{1, 'A'}, {2, 'A'}, {5, 'A'}}},
    };
    for (const auto& c : cases) {
        Catalogue catalogue;
        std::string error;
        ASSERT_TRUE(
            ParseCatalogue("# forms\nmsgid \"%d play\"\nmsgid_plural \"%d plays\"\n"
                           "msgstr[0] \"A%d\"\nmsgstr[1] \"B%d\"\r\nmsgstr[2] \"C\"\n\"%d\"\n",
                           &catalogue, &error))
            << error;
        catalogue.language = c.language;
        InstallCatalogue(catalogue);
        for (const auto& count : c.counts)
            EXPECT_EQ(
                Format(TrPlural(count.first, "%d play", "%d plays"), static_cast<int>(count.first)),
                count.second + std::to_string(count.first))
                << c.language << " " << count.first;
        EXPECT_STREQ(Tr("not in it"), "not in it");
    }
    InstallCatalogue(Catalogue());
    EXPECT_STREQ(TrPlural(1, "%d play", "%d plays"), "%d play");
    EXPECT_STREQ(TrPlural(0, "%d play", "%d plays"), "%d plays");
}

// A broken catalogue is refused with the line that is wrong.
TEST(Translation, BrokenCataloguesNameTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"msgid \"a\"\nmsgstr \"b", "line 2: a string not quoted as C quotes it"},
        {"msgid \"a\"\nmsgstr \"b\\q\"", "line 2: a string not quoted as C quotes it"},
        {"msgid \"a\"\nmsgstr \"b\"\nmsgid \"a\"\nmsgstr \"c\"", "line 3: the same msgid twice"},
        {"msgid \"a\"\nmsgid_plural \"as\"\nmsgstr[1] \"b\"", "line 3: plural forms out of order"},
        {"msgid \"a\"\n\nmsgid \"b\"\nmsgstr \"c\"", "line 1: no msgstr"},
        {"msgid \"a\"\nmsgstr \"b\"\nmsgctxt \"c\"", "line 3: not a msgid, msgstr or string"},
    };
    for (const auto& c : cases) {
        Catalogue catalogue;
        std::string error;
        EXPECT_FALSE(ParseCatalogue(c.first, &catalogue, &error)) << c.first;
        EXPECT_EQ(error, c.second) << c.first;
    }
}

// The "language" value names one of ours in any case; else Windows' display
// language decides by its primary language, but Portuguese other than
// Brazil's and Chinese other than Simplified are English.
TEST(Translation, LanguageChosenFromTheValueOrWindows) {
    const struct {
        const char* setting;
        uint16_t windows;
        const char* chosen;
    } cases[] = {
        {"", 0x0409, ""},           {"", 0x0407, "de"},        {"", 0x0c07, "de"},
        {"", 0x0c0c, "fr"},         {"", 0x2c0a, "es"},        {"", 0x0410, "it"},
        {"", 0x0416, "pt-BR"},      {"", 0x0816, ""},          {"", 0x0415, "pl"},
        {"", 0x0419, "ru"},         {"", 0x0411, "ja"},        {"", 0x0804, "zh-CN"},
        {"", 0x1004, "zh-CN"},      {"", 0x0404, ""},          {"", 0x0c04, ""},
        {"", 0x041f, ""},           {"en", 0x0407, ""},        {"DE", 0x0409, "de"},
        {"pt-br", 0x0409, "pt-BR"}, {"Deutsch", 0x0419, "ru"}, {"zh", 0x0409, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseLanguage(c.setting, c.windows), c.chosen) << c.setting << " " << c.windows;
}

}  // namespace
