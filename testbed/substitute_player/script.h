// The script: one command a line. Each verb is one row of the command table
// (its name, argument shape, help line and handler); the table is kept in
// parts, each beside the code its verbs drive, and script.cpp joins them. The
// usage text and the check of every line before anything runs are made from
// it.
#pragma once

#include <string>
#include <vector>

// What a verb's argument looks like, checked and taken apart the same way for
// every verb of a shape: none; N (not negative); TEXT (the rest of the line);
// TEXT MS and CAPTION MS (the last word is the time, everything before it the
// text); N MS; ID (one number); ID [TEXT]; ID TEXT MS; and the track line,
// PATH | TITLE | SECONDS [| NAME=VALUE]...
enum Arg { kNone, kNumber, kText, kTextMs, kCaptionMs, kCountMs, kId, kIdText, kIdTextMs, kTrack };

struct Command;
using Handler = void(const Command& c);

struct Verb {
    const char* name;
    Arg arg;
    const char* args;  // the argument as the usage names it
    const char* help;
    Handler* run;  // nullptr for exit: the run ends there
};

// A checked script line and the parts its verb's shape names.
struct Command {
    int line = 0;
    const Verb* verb = nullptr;
    std::string argument;             // the rest of the line
    long number = 0;                  // N or ID
    std::string text;                 // TEXT, CAPTION; after an ID the rest as written
    long ms = 0;                      // MS
    std::vector<std::string> fields;  // a track's, trimmed
};

// The parts of the table, in the order --help lists them: the player's
// (player.cpp), the process's (process_info.cpp), the timing verbs
// (timing.cpp), those on the plug-in's windows (window_driver.cpp) and the
// script's own (script.cpp).
extern const std::vector<Verb> kPlayerVerbs, kProcessVerbs, kTimingVerbs, kWindowVerbs,
    kScriptVerbs;

std::string Usage();
// Fails the run at the first line that does not fit its verb.
std::vector<Command> ReadScript(const char* path);
void RunScript(const std::vector<Command>& script);

// The result file (main.cpp), written from the main and the watcher thread.
void Record(const std::string& event);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Records "error line N: WHY" and ends the process with status 1 at once: a
// plug-in in a bad state must not hold it in its unload code.
[[noreturn]] void Fail(int line, const std::string& why);
