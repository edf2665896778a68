#include "record/md5.h"

#include <gtest/gtest.h>

#include "record/submission.h"

TEST(Md5, RfcTestSuite) {
    struct Case {
        const char* text;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Md5Hex(c.text), c.hex) << '"' << c.text << '"';
    std::string eighty;
    for (int i = 0; i < 8; ++i)
        eighty += "1234567890";
    EXPECT_EQ(Md5Hex(eighty), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, BlockBoundariesAndHighBytes) {
    // 55, 56 and 64 bytes straddle the padding rules; the bytes are unsigned.
    EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Md5Hex("\xff\xfe"), "f3b25701fe362ec84616a93a45ce9998");
    // Incremental updates give the same digest as one.
    CMd5 md5;
    md5.Update("message ", 8);
    md5.Update("digest", 6);
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(digest[0], 0xf9);
    EXPECT_EQ(digest[15], 0xd0);
}

TEST(ChallengeResponse, IsDigestOfPasswordDigestAndTrimmedChallenge) {
    std::string password = Md5Hex("secret");
    std::string expected = Md5Hex(password + "0123456789abcdef");
    EXPECT_EQ(MakeChallengeResponse(password, "0123456789abcdef"), expected);
    EXPECT_EQ(MakeChallengeResponse(password, "  0123456789abcdef\r\n"), expected);
    EXPECT_EQ(MakeChallengeResponse(password, "\t\r\n"), Md5Hex(password));
}
