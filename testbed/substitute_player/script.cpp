// Reading, checking and running the script; the script's own verbs.
#include "testbed/substitute_player/script.h"

#include <cstdlib>

#include "testbed/substitute_player/player.h"

const std::vector<Verb> kScriptVerbs = {
    {"wait", kNumber, "MS", "keeps answering for MS",
     [](const Command& c) { PumpUntil(c.number, [] { return false; }); }},
    {"wait-file", kTextMs, "PATH MS", "until PATH exists (pairs two players)",
     [](const Command& c) {
         if (!PumpUntil(c.ms, [&] { return Exists(c.text); }))
             Fail(c.line, "wait-file timed out: " + c.text);
     }},
    {"note", kText, "TEXT", "copies TEXT into the result",
     [](const Command& c) { Record(c.argument); }},
    {"exit", kNone, "", "ends the run (so does the end of the script)", nullptr},
};

namespace {

const std::vector<Verb>* const kTable[] = {&kPlayerVerbs, &kProcessVerbs, &kTimingVerbs,
                                           &kWindowVerbs, &kScriptVerbs};

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool ParseNumber(const std::string& text, long* value) {
    char* end = nullptr;
    *value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0';
}

// "TEXT MS": the last word is the time, everything before it the text.
bool SplitTimeout(const std::string& argument, std::string* text, long* ms) {
    size_t space = argument.find_last_of(' ');
    if (space == std::string::npos) return false;
    *text = Trim(argument.substr(0, space));
    return !text->empty() && ParseNumber(argument.substr(space + 1), ms) && *ms >= 0;
}

// Takes the argument apart as the verb's shape has it; why it does not fit.
bool ReadArgument(Command* c, std::string* why) {
    const std::string& a = c->argument;
    size_t space = a.find(' ');
    std::string rest = space == std::string::npos ? "" : a.substr(space + 1);
    auto no = [why](const char* text) { return *why = text, false; };
    switch (c->verb->arg) {
        case kNone:
            return a.empty() || no("takes no argument");
        case kNumber:
            return (ParseNumber(a, &c->number) && c->number >= 0) || no("needs a number");
        case kText:
            c->text = a;
            return !a.empty() || no("needs a text");
        case kTextMs:
            return SplitTimeout(a, &c->text, &c->ms) || no("needs TEXT MS");
        case kCaptionMs:
            return SplitTimeout(a, &c->text, &c->ms) || no("needs CAPTION MS");
        case kCountMs:
            if (!SplitTimeout(a, &c->text, &c->ms)) return no("needs TEXT MS");
            return ParseNumber(c->text, &c->number) || no("needs N MS");
        case kId:
            if (!ParseNumber(a.substr(0, space), &c->number)) return no("needs a number");
            return space == std::string::npos || no("takes one number");
        case kIdText:
            c->text = rest;
            return ParseNumber(a.substr(0, space), &c->number) || no("needs a number");
        case kIdTextMs:
            if (!ParseNumber(a.substr(0, space), &c->number)) return no("needs a number");
            return (space != std::string::npos && SplitTimeout(rest, &c->text, &c->ms)) ||
                   no("needs ID TEXT MS");
        case kTrack:
            for (size_t start = 0, bar = 0; bar != std::string::npos; start = bar + 1) {
                bar = a.find('|', start);
                c->fields.push_back(Trim(a.substr(start, bar - start)));
                if (c->fields.size() > 3 && c->fields.back().find('=') == std::string::npos)
                    return no("metadata is NAME=VALUE");
            }
            return c->fields.size() >= 3 || no("needs PATH | TITLE | SECONDS");
    }
    return false;
}

}  // namespace

std::string Usage() {
    std::string usage =
        "usage: substitute_player.exe SCRIPT RESULT\n"
        "       substitute_player.exe --help\n\n"
        "SCRIPT has one command a line (blank lines and lines starting with '#' are\n"
        "skipped); RESULT gets one line per event. Both are UTF-8. Like a Unicode player\n"
        "it keeps its texts as UTF-16 and answers the ANSI queries in the ANSI code page,\n"
        "\"?\" for what that lacks. Times are milliseconds.\n\n";
    for (const auto* part : kTable) {
        for (const Verb& verb : *part) {
            std::string head = std::string(verb.name) + (*verb.args ? " " : "") + verb.args;
            // The help beside it, or under it when the verb leaves no room.
            head +=
                head.size() < 26 ? std::string(26 - head.size(), ' ') : "\n" + std::string(28, ' ');
            usage += "  " + head + verb.help + "\n";
        }
    }
    return usage;
}

// The whole script is checked before anything runs, so that a slip shows at
// once and not after a minute of playing.
std::vector<Command> ReadScript(const char* path) {
    std::string bytes = ReadWholeFile(path);
    if (bytes.empty()) Fail(0, std::string("cannot read the script ") + path);
    std::vector<Command> script;
    int line = 1;
    for (size_t start = 0, end = 0; start < bytes.size(); start = end + 1, ++line) {
        end = std::min(bytes.find('\n', start), bytes.size());
        std::string text = bytes.substr(start, end - start);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        text = Trim(text);
        if (text.empty() || text[0] == '#') continue;
        Command command;
        command.line = line;
        size_t space = text.find(' ');
        std::string name = text.substr(0, space);
        command.argument = space == std::string::npos ? "" : Trim(text.substr(space + 1));
        for (const auto* part : kTable) {
            for (const Verb& verb : *part)
                command.verb = name == verb.name ? &verb : command.verb;
        }
        if (!command.verb) Fail(line, "unknown command '" + name + "'");
        std::string why;
        if (!ReadArgument(&command, &why)) Fail(line, why);
        script.push_back(command);
    }
    return script;
}

void RunScript(const std::vector<Command>& script) {
    for (const Command& command : script) {
        if (!command.verb->run) break;
        command.verb->run(command);
        DrainMessages();
    }
}
