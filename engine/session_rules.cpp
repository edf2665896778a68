#include "engine/session_rules.h"

#include <cctype>
#include <cstring>

#include "cache/cache_manager.h"
#include "engine/clock.h"
#include "record/text_encoding.h"

bool IsOwnStatus(const std::string& status) {
    for (const OwnStatus& own : kOwnStatuses) {
        size_t size = std::strlen(own.text);
        if (status.compare(0, size, own.text) != 0) continue;
        if (status.size() == size || (own.withReason && status.compare(size, 2, ": ") == 0))
            return true;
    }
    return false;
}

std::string NotReachedStatus(const std::string& why) {
    if (why == kCertificateNotTrusted || why == kSecureConnectionFailed) return why;
    return std::string(kServiceNotReached) + (why.empty() ? "" : ": " + why);
}

std::string NetFailureReason(uint32_t error) {
    switch (error) {
        case 12002:
            return TR_TEXT("timed out");
        case 12007:
            return TR_TEXT("name not found");
        case 12029:
            return TR_TEXT("could not connect");
        case 12030:
        case 12031:
        case 12152:
            return TR_TEXT("connection ended");
        case 12111:
        case 12163:
            return TR_TEXT("no network");
        case 0:
            return TR_TEXT("no answer");
        default:
            return std::string(TR_TEXT("network error")) + " " + std::to_string(error);
    }
}

bool HandshakeDue(int64_t now, int64_t lastAttempt) {
    // Exactly the spacing is still too soon.
    return IsDue(now, lastAttempt + kHandshakeSpacing + 1, kHandshakeSpacing + 1);
}

bool SendDue(int64_t now, int64_t lastSend, int64_t interval) {
    return IsDue(now, lastSend + interval, interval);
}

bool ReadIntervalSeconds(const std::string& text, int* seconds) {
    // Too many digits for a number of seconds is as bad as a letter.
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *seconds = std::stoi(text);
    return true;
}

HandshakeAnswer ReadHandshakeAnswer(const std::vector<std::string>& lines) {
    HandshakeAnswer answer;
    if (lines.size() != 3 && lines.size() != 4) {
        if (!lines.empty()) answer.status = lines[0];
        return answer;
    }
    answer.shaped = true;
    size_t next = 0;
    answer.status = lines[next++];
    // The word starts the line: a refusal whose reason holds it is none.
    std::string status = TrimSpace(answer.status);
    if (status.compare(0, 8, "UPTODATE") == 0) {
        answer.upToDate = true;
    } else if (status.compare(0, 6, "UPDATE") == 0 &&
               (status.size() == 6 || std::isspace(static_cast<unsigned char>(status[6])))) {
        answer.update = true;
        answer.updateUrl = TrimSpace(status.substr(6));
    }
    answer.fourLines = lines.size() == 4;
    if (answer.fourLines) answer.challenge = TrimSpace(lines[next++]);
    answer.submitUrl = TrimSpace(lines[next++]);
    const std::string& interval = lines[next];
    answer.hasInterval = interval.compare(0, 8, "INTERVAL") == 0;
    if (answer.hasInterval) answer.interval = interval.substr(8);
    return answer;
}

int CRefusalRun::Refused(const Submission& play) {
    std::string key(reinterpret_cast<const char*>(&play), sizeof(play));
    std::lock_guard<std::mutex> guard(m_lock);
    if (key != m_play) {
        m_play = key;
        m_count = 0;
    }
    return ++m_count;
}

void CRefusalRun::End() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_play.clear();
    m_count = 0;
}

FlushOutcome ReadFlushAnswer(int httpStatus, bool readable, const std::vector<std::string>& lines,
                             size_t carried) {
    FlushOutcome outcome;
    outcome.answered = httpStatus == 200 && readable && !lines.empty();
    if (!outcome.answered) {
        // The plays wait; the next flush follows a new greeting.
        outcome.sessionEnds = true;
        return outcome;
    }
    outcome.answer = ReadSubmissionAnswer(lines);
    outcome.sent = outcome.answer.accepted;
    outcome.sessionEnds = outcome.answer.reauth;
    const SubmissionAnswer& a = outcome.answer;
    if (!outcome.sent && a.error && a.refusedItem >= 0 &&
        static_cast<size_t>(a.refusedItem) < carried)
        outcome.refusedItem = a.refusedItem;
    return outcome;
}

FlushSettled SettleFlush(const FlushOutcome& outcome, const std::vector<Submission>& carried,
                         CCacheManager& cache, CRefusalRun& run) {
    FlushSettled settled;
    // Whatever the user did with the rows meanwhile, sent plays leave in one
    // rewrite of the file.
    if (outcome.sent) settled.sent = cache.RemoveTaken();
    if (outcome.refusedItem < 0) {
        // A flush that got no answer says nothing of the play.
        if (outcome.answered) run.End();
    } else {
        const Submission& item = carried[static_cast<size_t>(outcome.refusedItem)];
        settled.refusals = run.Refused(item);
        if (settled.refusals >= kRefusalsBeforeSetAside && cache.SetAside(item)) {
            settled.setAside = item;
            run.End();
        }
    }
    cache.ReleaseTaken();
    return settled;
}
