// What the service's answer to a submission or a flush says, read without
// acting on it: the engine logs, caches, ends the session and tells the user
// from this.
#pragma once

#include <string>
#include <vector>

#include "diagnostics/translate.h"

// What a message box says after BADAUTH, before the service's own message.
constexpr char kBadAuthMessage[] =
    TR_TEXT("Your username/password are invalid. Please check them in the config dialog.");

struct SubmissionAnswer {
    bool accepted = false;       // the first line is "OK" and nothing else
    bool reauth = false;         // "REAUTH": the session must be made again
    std::string failed;          // the reason after "FAILED", when it has one
    bool error = false;          // "ERROR" with a reason after it
    int errorItem = 0;           // the number the reason starts with (0 without one)
    int refusedItem = -1;        // the item "ERROR" names by number, -1 when none
    std::string reason;          // what "ERROR" says after the number
    int statusLines = 0;         // "REAUTH" and "BADAUTH" with a reason: the line is logged
    std::string message;         // what the user is told; empty for nothing
    bool hasInterval = false;    // a second line
    bool intervalValid = false;  // it starts with "INTERVAL"
    std::string interval;        // what follows "INTERVAL"
};

// Reads the answer's lines (at least one, as ParseReponse gives them).
SubmissionAnswer ReadSubmissionAnswer(const std::vector<std::string>& lines);
