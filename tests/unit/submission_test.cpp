#include "record/submission.h"

#include <gtest/gtest.h>

#include "record/md5.h"
#include "record/text_encoding.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"

namespace {

Submission Make(const std::string& artist, const std::string& title, const std::string& album,
                const std::string& length = "215", const std::string& path = "C:\\a.mp3") {
    Submission s;
    s.Set(artist, title, album, length, path, "");
    return s;
}

}  // namespace

TEST(EncodeField, WireExamples) {
    EXPECT_EQ(EncodeField("AC/DC"), "AC%2fDC");
    EXPECT_EQ(EncodeField("a b"), "a%20b");
    EXPECT_EQ(EncodeField("Mot\xf6rhead"), "Mot%c3%b6rhead");
    EXPECT_EQ(EncodeField("Sigur R\xf3s"), "Sigur%20R%c3%b3s");
    EXPECT_EQ(EncodeField("2004-11-22 05:39:31"), "2004%2d11%2d22%2005%3a39%3a31");
    EXPECT_EQ(EncodeField("-1"), "%2d1");
    EXPECT_EQ(EncodeField("1.2.1"), "1%2e2%2e1");
    EXPECT_EQ(EncodeField("_~+"), "%5f%7e%2b");
    EXPECT_EQ(EncodeField(""), "");
    // Windows-1252 bytes that map beyond Latin-1 become three-byte UTF-8.
    EXPECT_EQ(EncodeField("\x80"), "%e2%82%ac");
}

TEST(EncodeField, EveryHighByteEncodesAsValidUtf8) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        std::string utf8 = AnsiToUtf8(std::string(1, static_cast<char>(b)));
        ASSERT_GE(utf8.size(), 2u) << b;
        EXPECT_EQ(static_cast<unsigned char>(utf8[0]) & 0xC0, 0xC0) << b;
        EXPECT_EQ(UrlEncode(utf8).size(), utf8.size() * 3) << b;
    }
}

TEST(Utf16ToUtf8, CombinesSurrogatePairsAndKeepsLoneHalves) {
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F3B5"), "\xF0\x9F\x8E\xB5");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD83C))), "\xED\xA0\xBC");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD83C)}, true), "a\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDF75), char16_t(0xD83C)}),
              "\xED\xBD\xB5\xED\xA0\xBC");
    EXPECT_EQ(Utf16ToUtf8(u"A\u00e9\u20ac"), "A\xC3\xA9\xE2\x82\xAC");
}

TEST(Submission, FieldsAreCutAtTheirWidthAndReadWithoutTerminator) {
    std::string artist(200, 'A');
    Submission s = Make(artist, "Title", "", "1234567");
    EXPECT_EQ(s.Artist(), std::string(128, 'A'));
    EXPECT_EQ(s.Title(), "Title");
    EXPECT_EQ(s.Length(), "123456");
    EXPECT_EQ(s.GetDisplayText(), std::string(128, 'A') + " - Title");
    EXPECT_EQ(s.BuildQuery(0).find("&a[0]=" + std::string(128, 'A') + "&t[0]=Title"), 0u);
}

TEST(Submission, TextsOutsideTheCodePageAreKeptAsUtf8BehindTheMarker) {
    std::string kJapanese;
    for (int i = 0; i < 43; ++i)
        kJapanese += "\xe6\x97\xa5";  // 日
    const struct {
        std::string artist;
        bool utf8;
        std::string stored;  // the artist field's bytes
        std::string wire;    // the a pair
    } rows[] = {
        {"Abba", false, "Abba", "Abba"},
        {"Mot\xc3\xb6rhead", false, "Mot\xf6rhead", "Mot%c3%b6rhead"},
        {"\xce\x9b\xce\xb1", true, "\xce\x9b\xce\xb1", "%ce%9b%ce%b1"},  // Λα
        {kJapanese + "\xf0\x9f\x8e\xb5", true, kJapanese.substr(0, 126),
         UrlEncode(kJapanese.substr(0, 126))},                   // a whole character only
        {"a\xef\xbf\xbd", true, "a\xef\xbf\xbd", "a%ef%bf%bd"},  // a lone half, replaced
    };
    for (const auto& r : rows) {
        Submission s = Make(r.artist, "T", "", "215", "C:\\" + r.artist + ".mp3");
        s.StampTime(0);
        EXPECT_EQ(s.IsUtf8(), r.utf8) << r.artist;
        EXPECT_EQ(s.Artist(), r.stored) << r.artist;
        EXPECT_EQ(s.BuildQuery(0).rfind("&a[0]=" + r.wire + "&t[0]=T&", 0), 0u) << r.artist;
        EXPECT_EQ(s.GetDisplayText(), Utf8OrAnsi(r.stored) + " - T");
        EXPECT_EQ(s.FileType(), "MP3") << "from the whole path";
        EXPECT_TRUE(s.IsValid());
        EXPECT_EQ(std::string(s.mValue, 9),
                  std::string("\0KLMR\x01", 6) + char(r.utf8) + '\0' + '\0');
        // Outside the marker's bytes, the field as every version wrote it.
        EXPECT_EQ(std::string(s.artist, 128), r.stored + std::string(128 - r.stored.size(), '\0'));
    }
    // Only the sent texts decide: a path outside the code page is stored in it.
    Submission path = Make("a", "t", "", "1", "C:\\\xe6\x97\xa5.mp3");
    EXPECT_FALSE(path.IsUtf8());
    EXPECT_EQ(path.Path(), "C:\\?.mp3");

    // The account: trimmed, ASCII case folded; no name, no tag.
    Submission tagged = Make("a", "t", "");
    tagged.TagAccount(" Alice\t");
    EXPECT_TRUE(tagged.IsTagged());
    uint8_t alice[16];
    CMd5 md5;
    md5.Update("alice", 5);
    md5.Final(alice);
    EXPECT_EQ(std::memcmp(tagged.mValue + 8, alice, 16), 0);
    tagged.TagAccount("");
    EXPECT_FALSE(tagged.IsTagged());
    EXPECT_TRUE(tagged.IsForAccount(MakeAccountTag("bob")));
}

TEST(Submission, OtherCodePagesCutOnWholeCharacters) {
    // Japanese: a lead byte and its trail go together; a trail may look like a lead.
    SetFakeAnsiCodePage(932);
    EXPECT_EQ(AnsiCutPoint("ab\x93\xfa", 3), 2u);
    EXPECT_EQ(AnsiCutPoint("\x93\x81x", 2), 2u);
    EXPECT_EQ(AnsiCutPoint("a\x93", 5), 1u) << "a lead byte cut off its trail";
    // UTF-8 as the code page: every text fits it; no record needs the flag.
    SetFakeAnsiCodePage(65001);
    Submission s = Make("\xe6\x97\xa5" + std::string(127, 'x'), "T", "");
    EXPECT_FALSE(s.IsUtf8());
    EXPECT_EQ(s.Artist(), "\xe6\x97\xa5" + std::string(125, 'x'));
    EXPECT_EQ(EncodeField(s.Artist()).substr(0, 9), "%e6%97%a5");
    SetFakeAnsiCodePage(1252);
}

TEST(Submission, FileTypeIsTheTextAfterTheLastDot) {
    struct Case {
        const char* path;
        const char* type;
    } cases[] = {
        {"C:\\music\\song.mp3", "MP3"},
        {"song.flac2", "FLAC2"},
        {"a.abcdefgh", "ABCDE"},
        {".mp3", ""},
        {"noextension", ""},
        {"", ""},
        {"C:\\music.dir\\track", "DIR\\T"},
        {"http://x/y.Ogg", "OGG"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Make("a", "t", "", "1", c.path).FileType(), c.type) << c.path;
}

TEST(Submission, ValidityAndDisplayText) {
    Submission empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.GetDisplayText(), "");

    Submission s = Make("Artist", "Title", "Album");
    EXPECT_FALSE(s.IsValid()) << "no time yet";
    s.StampTime();
    EXPECT_TRUE(s.IsValid());
    EXPECT_EQ(s.GetDisplayText(), "Artist - Title (Album)");
    EXPECT_EQ(Make("Artist", "Title", "").GetDisplayText(), "Artist - Title");
    EXPECT_EQ(Make("", "Title", "Album").GetDisplayText(), " (Album)");

    Submission noLength = Make("Artist", "Title", "", "");
    noLength.StampTime();
    EXPECT_FALSE(noLength.IsValid());
}

TEST(Submission, StampTimeWritesUtc) {
    Submission s = Make("a", "t", "");
    s.StampTime(1101101971);  // 2004-11-22 05:39:31 UTC
    EXPECT_EQ(s.Time(), "2004-11-22 05:39:31");
    EXPECT_EQ(s.time[19], '\0');
}

TEST(Submission, QueryPairsInWireOrder) {
    Submission s = Make("AC/DC", "T.N.T.", "", "-1");
    s.StampTime(1101101971);
    EXPECT_EQ(s.BuildQuery(0),
              "&a[0]=AC%2fDC&t[0]=T%2eN%2eT%2e&b[0]=&m[0]=&l[0]=%2d1"
              "&i[0]=2004%2d11%2d22%2005%3a39%3a31");
    EXPECT_EQ(s.BuildQuery(12).substr(0, 8), "&a[12]=A");
}

TEST(Submission, StreamsAreBuiltWithStreamAlbum) {
    TestPlaytally engine;
    SongInfo song;
    SetSongField(song.artist, "DJ");
    SetSongField(song.title, "Live");
    SetSongField(song.album, "Reported Album");
    engine.trackLength = 300;
    for (const char* path : {"http://radio/stream", "HtTp://radio/stream"}) {
        engine.currentFile = path;
        Submission s = engine.BuildSubmission(song);
        EXPECT_EQ(s.Album(), "STREAM") << path;
        EXPECT_EQ(s.Length(), "300");
        EXPECT_EQ(s.Path(), path);
        EXPECT_EQ(s.Time(), "");
    }
    engine.currentFile = "https://radio/stream";
    EXPECT_EQ(engine.BuildSubmission(song).Album(), "STREAM");
    engine.currentFile = "C:\\http\\a.mp3";
    EXPECT_EQ(engine.BuildSubmission(song).Album(), "Reported Album");

    SetSongField(song.title, "");
    Submission none = engine.BuildSubmission(song);
    EXPECT_EQ(none.GetDisplayText(), "");
    EXPECT_EQ(none.Path(), "");
}

TEST(SubmissionBody, ItemsAreNumberedAndCredentialsGoInAsTheyAre) {
    Submission first = Make("A", "B", "C", "10");
    Submission second = Make("D", "E", "", "20");
    first.StampTime(0);
    second.StampTime(60);
    std::string body =
        BuildSubmissionBody("0123456789abcdef0123456789abcdef", "j&o \xe9", {first, second});
    EXPECT_EQ(
        body.rfind("s=0123456789abcdef0123456789abcdef&u=j&o \xe9&a[0]=A&t[0]=B&b[0]=C&m[0]=", 0),
        0u);
    size_t item1 = body.find("&a[1]=D");
    ASSERT_NE(item1, std::string::npos);
    EXPECT_LT(body.find("&i[0]=1970"), item1);
    EXPECT_TRUE(Contains(body, "&b[1]=&m[1]=&l[1]=20&i[1]=1970%2d01%2d01%2000%3a01%3a00"));
}
