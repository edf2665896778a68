#include "engine/submission_answer.h"

#include "record/text_encoding.h"

namespace {

// Removes the first k characters (all of them when there are fewer).
void Drop(std::string& text, size_t k) {
    text.erase(0, k < text.size() ? k : text.size());
}

bool Has(const std::string& text, const char* keyword) {
    return text.find(keyword) != std::string::npos;
}

}  // namespace

SubmissionAnswer ReadSubmissionAnswer(const std::vector<std::string>& lines) {
    SubmissionAnswer answer;
    if (lines.empty()) return answer;
    const std::string& status = lines[0];
    std::string text = status;
    if (Has(text, "FAILED")) {
        Drop(text, 6);
        if (text.size() > 1) {
            answer.failed = text;
            answer.message = text;
        }
    }
    if (Has(text, "ERROR")) {
        Drop(text, 6);
        text = TrimSpace(text);
        if (text.size() > 1) {
            size_t digits = 0;
            for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
                if (answer.errorItem < 100000000)
                    answer.errorItem = answer.errorItem * 10 + (text[digits] - '0');
            }
            // Only an answer that names an item refuses that item.
            if (digits > 0) answer.refusedItem = answer.errorItem;
            answer.reason = TrimSpace(text.substr(digits));
            answer.error = true;
            answer.message += "\r\n" + text;
        }
    }
    if (Has(text, "REAUTH")) {
        answer.reauth = true;
        Drop(text, 7);
        if (text.size() > 1) {
            ++answer.statusLines;
            answer.message += "\r\n" + text;
        }
    }
    if (Has(text, "BADAUTH")) {
        answer.message = kBadAuthMessage;
        Drop(text, 7);
        if (text.size() > 1) {
            ++answer.statusLines;
            answer.message += "\r\n" + text;
        }
    }
    // Only an answer whose first line is "OK" accepts: a refusal whose reason
    // happens to contain the letters (FAILED BROKEN) must not lose the plays.
    answer.accepted = TrimSpace(status) == "OK";
    if (lines.size() > 1) {
        answer.hasInterval = true;
        answer.intervalValid = lines[1].compare(0, 8, "INTERVAL") == 0;
        if (answer.intervalValid) answer.interval = lines[1].substr(8);
    }
    return answer;
}
