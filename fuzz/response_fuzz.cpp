// Service answers as the engine reads them: the line split, the reading of a
// submission's answer on its own, then the handshake or the submission branch
// with whatever the lines say; and the same bytes as the answer's Date header.
// The first byte picks the kind of request and the HTTP status; the rest is
// the answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/local_time.h"
#include "engine/http_date.h"
#include "engine/submission_answer.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const RequestType kTypes[] = {REQUEST_HANDSHAKE, REQUEST_SUBMIT, REQUEST_CACHE,
                                         REQUEST_CHECK};
    static const int kStatuses[] = {200, 200, 200, 0, 404, 500};
    RequestType type = kTypes[data[0] % 4];
    int status = kStatuses[(data[0] / 3) % 6];
    std::string response(reinterpret_cast<const char*>(data + 1), size - 1);

    FakePromptReset(data[0] & 0x80 ? 6 : 7);
    TestPlaytally engine;
    engine.Set(&Settings::password, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    std::vector<std::string> lines;
    if (engine.ParseReponse(response, lines)) {
        SubmissionAnswer answer = ReadSubmissionAnswer(lines);
        // An answer that accepts refuses nothing.
        if (answer.accepted && (answer.refusedItem >= 0 || answer.reauth)) __builtin_trap();
    }

    int64_t date = 0;
    if (ReadHttpDate(response, &date)) {
        // Four-digit years only.
        if (date < MakeDateTime(1, 1, 1, 0, 0, 0) || date > MakeDateTime(10000, 1, 1, 0, 0, 0))
            __builtin_trap();
        engine.CheckClock(date);
    }

    Submission track;
    track.Set("Artist", "Title", "Album", "215", "C:\\track.mp3", "");
    track.StampTime(1101101971);
    engine.m_cache.AddSubmission(track);
    engine.TakeFlushBatch("");
    engine.ThreadCallback(type, response, type == REQUEST_SUBMIT ? track : Submission(), 1, status);
    return 0;
}
