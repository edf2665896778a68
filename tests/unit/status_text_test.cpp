// The status labels' texts, rule by rule.
#include "ui/status_text.h"

#include <gtest/gtest.h>

namespace {

std::string Block(const StatusSnapshot& state, bool connected = true, int* asked = nullptr) {
    return BuildStatusBlock(state, [&] {
        if (asked) ++*asked;
        return connected;
    });
}

}  // namespace

TEST(StatusText, SizesAtTheirBoundaries) {
    const struct {
        int32_t bytes;
        const char* text;
    } sizes[] = {{-5, "-5 Bytes"},    {0, "0 Bytes"},   {1023, "1023 Bytes"}, {1024, "1KB"},
                 {1048575, "1023KB"}, {1048576, "1MB"}, {5000000, "4MB"}};
    for (const auto& s : sizes)
        EXPECT_EQ(FormatSize(s.bytes), s.text) << s.bytes;
}

TEST(StatusText, CacheAndPlaybackLines) {
    StatusSnapshot state;
    state.lastResponse = "OK";
    const struct {
        int cached, toSend;
        bool playing, paused;
        int toSubmit;
        const char* start;
        bool saved = true;
        int others = 0;
    } rows[] = {
        {0, 30, false, false, -1, "Cached Files\t0 (0 Bytes)\r\nPlayback State\tStopped\r\n"},
        {3, 30, false, true, -1,
         "Cached Files\t3 (2KB) Sending in 30s\r\nPlayback State\tPaused\r\n"},
        {3, -1, true, false, 5,
         "Cached Files\t3 (2KB)\r\nPlayback State\tPlaying (Submitting in 5s)\r\n"},
        {1, 0, true, false, -1,
         "Cached Files\t1 (2KB)\r\nPlayback State\tPlaying (Submission Sent)\r\n"},
        {3, 30, false, false, -1,
         "Cached Files\t3 (2KB) not saved Sending in 30s\r\nPlayback State\tStopped\r\n", false},
        {3, 30, false, false, -1, "Cached Files\t3 (2KB), 2 for another account Sending in 30s\r\n",
         true, 2},
    };
    for (const auto& r : rows) {
        state.cachedCount = r.cached;
        state.cacheBytes = r.cached ? 2409 : 0;
        state.secondsToSend = r.toSend;
        state.playing = r.playing;
        state.paused = r.paused;
        state.secondsToSubmit = r.toSubmit;
        state.cacheSaved = r.saved;
        state.otherAccountCount = r.others;
        EXPECT_EQ(Block(state).rfind(r.start, 0), 0u) << Block(state);
    }
}

TEST(StatusText, ResponseAndMessage) {
    StatusSnapshot state;
    state.interval = 60;
    const struct {
        std::string last;
        bool enabled, connected, handshake;
        const char* tail;
        int probes;
    } rows[] = {
        {"", false, false, false, "Last Response\tDisabled\nLast Message\t", 0},
        {"", true, false, false, "Last Response\tNo Connection Available\nLast Message\t", 1},
        {"", true, true, false, "Last Response\tWaiting For Handshake\nLast Message\t", 1},
        {"", true, true, true, "Last Response\t\nLast Message\t", 1},
        {"UPTODATE", true, true, true, "Last Response\tUPTODATE\nLast Message\t", 0},
        {"FAILED  Plugin banned \r", true, true, true,
         "Last Response\tFAILED\nLast Message\tPlugin banned", 0},
        {" leading", true, true, true, "Last Response\t leading\nLast Message\t", 0},
        {"Proxy authentication required", true, true, false,
         "Last Response\tProxy authentication required\nLast Message\t", 0},
    };
    for (const auto& r : rows) {
        state.lastResponse = r.last;
        state.enabled = r.enabled;
        state.handshakeComplete = r.handshake;
        int probes = 0;
        std::string text = Block(state, r.connected, &probes);
        std::string expected = std::string("Submit Interval\t60\r\n") + r.tail;
        EXPECT_EQ(text.substr(text.size() - expected.size()), expected) << r.last;
        EXPECT_EQ(probes, r.probes) << "the probe runs only without a response";
    }
}

TEST(StatusText, LastSubmittedAndVersion) {
    EXPECT_EQ(BuildLastSubmitted({}), "1. \r\n2. \r\n3. \r\n4. \r\n5. \r\n");
    Submission a, b;
    a.Set("Artist", "Title", "Album", "200", "C:\\a.mp3", "");
    b.Set("Other", "Song", "", "100", "C:\\b.mp3", "");
    EXPECT_EQ(BuildLastSubmitted({a, b, Submission(), Submission(), Submission()}),
              "1. Artist - Title (Album)\r\n2. Other - Song\r\n3. \r\n4. \r\n5. \r\n");
    EXPECT_EQ(BuildVersionLine("Kelmar for Winamp", "1.2.1 ", "592"),
              "Kelmar for Winamp Version 1.2.1  Build 592");
}
