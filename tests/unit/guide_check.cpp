// The user's guide and the translations against the code: every status text a
// window shows, every registry value with its default, and every button and
// check box must be in the guide, and its status and settings tables may name
// nothing the code lacks; every text a window shows must be in each language's
// catalogue, with its placeholders and access key, and nothing else. The texts
// come from where the code keeps them, never from a list here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "diagnostics/translate.h"
#include "engine/session_rules.h"
#include "engine/settings.h"
#include "ui/plays_model.h"
#include "ui/status_text.h"

namespace {

std::string ReadSource(const std::string& path) {
    std::ifstream file(std::string(KELMAR_SOURCE_DIR) + "/" + path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::string& Guide() {
    static const std::string guide = ReadSource("docs/user-guide.md");
    return guide;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Without(std::string text, char unwanted) {
    text.erase(std::remove(text.begin(), text.end(), unwanted), text.end());
    return text;
}

// The cells of each table row from the heading to the next heading.
std::vector<std::vector<std::string>> TableRows(const std::string& heading) {
    std::vector<std::vector<std::string>> rows;
    size_t at = Guide().find("\n" + heading + "\n");
    if (at == std::string::npos) return rows;
    std::istringstream lines(Guide().substr(at + heading.size() + 2));
    for (std::string line; std::getline(lines, line) && line.rfind("#", 0) != 0;) {
        if (line.rfind("| ", 0) != 0 || line.rfind("|--", 0) == 0) continue;
        std::vector<std::string> cells;
        std::istringstream row(line.substr(2));
        for (std::string cell; std::getline(row, cell, '|');)
            cells.push_back(Trim(cell));
        rows.push_back(cells);
    }
    return rows;
}

// A status as the guide writes it or the code has it: a placeholder in
// italics, or "%s", is "%s"; a number, "%d" or N, is "N".
std::string Canonical(const std::string& text) {
    std::string canonical;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t close = text[i] == '*' ? text.find('*', i + 1) : std::string::npos;
        if (close != std::string::npos) {
            canonical += "%s";
            i = close;
        } else if (text.compare(i, 2, "%d") == 0) {
            canonical += 'N';
            ++i;
        } else {
            canonical += text[i];
        }
    }
    return canonical;
}

// A word in capitals first: the service's own answer (UPTODATE, FAILED ...),
// shown as it came.
bool ServiceWord(const std::string& text) {
    size_t caps = 0;
    while (caps < text.size() && std::isupper(static_cast<unsigned char>(text[caps])))
        ++caps;
    return caps >= 2 &&
           (caps == text.size() || !std::isalpha(static_cast<unsigned char>(text[caps])));
}

std::string Listed(const std::set<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems)
        text += "\n  " + problem;
    return text;
}

TEST(GuideCheck, StatusTablesNameEveryStatusShownAndNoOther) {
    std::set<std::pair<std::string, std::string>> code, guide;
    std::set<std::string> wheres;
    for (const ShownStatus& shown : EveryShownStatus()) {
        code.insert({shown.where, Canonical(shown.text)});
        wheres.insert(shown.where);
    }
    std::set<std::string> problems;
    for (const auto& cells : TableRows("## Every status and what to do")) {
        if (cells.size() < 2 || !wheres.count(cells[0])) continue;
        std::istringstream seen(cells[1]);
        for (std::string text; std::getline(seen, text, '/');) {
            text = Canonical(Trim(text));
            guide.insert({cells[0], text});
            if (!code.count({cells[0], text}) && !ServiceWord(text))
                problems.insert(cells[0] + " \"" + text + "\" is in the guide, not in the code");
        }
    }
    for (const auto& shown : code) {
        if (!guide.count(shown))
            problems.insert(shown.first + " \"" + shown.second + "\" is not in the guide");
    }
    EXPECT_TRUE(problems.empty()) << Listed(problems);
}

TEST(GuideCheck, SettingsTablesNameEveryRegistryValueWithItsDefault) {
    std::set<std::string> problems;
    for (const auto& table :
         {std::make_pair("## Every registry value", KelmarRegistryValues()),
          std::make_pair("### An extra service's values", ServiceRegistryValues())}) {
        std::map<std::string, std::vector<std::string>> rows;
        for (const auto& cells : TableRows(table.first)) {
            if (cells.size() >= 3 && cells[0].size() > 2 && cells[0][0] == '`')
                rows[cells[0].substr(1, cells[0].size() - 2)] = cells;
        }
        for (const RegistryValue& value : table.second) {
            auto row = rows.find(value.name);
            if (row == rows.end()) {
                problems.insert(std::string(table.first) + ": " + value.name +
                                " is not in the guide");
                continue;
            }
            std::string type = row->second[1];
            std::string byDefault = Without(row->second[2], '`');
            if (type != (value.text ? "String" : "DWORD"))
                problems.insert(value.name + "'s type is " + type + " in the guide");
            if (byDefault != value.byDefault && byDefault.rfind(value.byDefault + " (", 0) != 0)
                problems.insert(value.name + "'s default is " + byDefault + " in the guide, " +
                                value.byDefault + " in the code");
            rows.erase(row);
        }
        for (const auto& stale : rows)
            problems.insert(std::string(table.first) + ": " + stale.first + " is read nowhere");
    }
    EXPECT_TRUE(problems.empty()) << Listed(problems);
}

TEST(GuideCheck, EveryButtonAndCheckBoxIsNamed) {
    std::istringstream rc(ReadSource("ui/gen_kelmar.rc"));
    std::set<std::string> labels, problems;
    for (std::string line; std::getline(rc, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        size_t open = line.find('"'), close = line.find('"', open + 1);
        bool button = kind == "PUSHBUTTON" || kind == "DEFPUSHBUTTON" || kind == "AUTOCHECKBOX" ||
                      kind == "CHECKBOX" ||
                      (kind == "CONTROL" && line.find("\"Button\", BS_AUTOCHECKBOX") != line.npos);
        if (!button || close == std::string::npos) continue;
        std::string label = Trim(Without(line.substr(open + 1, close - open - 1), '&'));
        labels.insert(label);
        if (Guide().find("**" + label + "**") == std::string::npos)
            problems.insert("**" + label + "** is not in the guide");
    }
    EXPECT_GE(labels.size(), 20u) << "the window resources were not read";
    EXPECT_TRUE(problems.empty()) << Listed(problems);
}

// The C string literals that follow `at`, joined as the compiler joins them.
std::string Literals(const std::string& code, size_t* at) {
    std::string text;
    for (;;) {
        size_t open = code.find_first_not_of(" \t\r\n", *at);
        if (open == std::string::npos || code[open] != '"') return text;
        size_t i = open + 1;
        for (; i < code.size() && code[i] != '"'; ++i) {
            if (code[i] != '\\') {
                text += code[i];
                continue;
            }
            char escaped = code[++i];
            text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
        }
        *at = i + 1;
    }
}

// Every English text a window may show: the window templates' captions and
// labels, the code's texts looked up where they are shown (Tr, TrPlural,
// TR_TEXT), and each part of the statuses. A plural's key is its "one" text.
std::map<std::string, std::string> ShownTexts() {
    std::map<std::string, std::string> texts;  // one → many (empty: no plural)
    std::istringstream rc(ReadSource("ui/gen_kelmar.rc"));
    const std::set<std::string> kinds = {"CAPTION", "PUSHBUTTON", "DEFPUSHBUTTON", "CONTROL",
                                         "LTEXT",   "RTEXT",      "CTEXT",         "GROUPBOX"};
    for (std::string line; std::getline(rc, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        size_t open = line.find('"');
        std::string text = kinds.count(kind) ? Literals(line, &open) : std::string();
        if (!text.empty()) texts[text];
    }
    for (const char* folder : {"diagnostics", "engine", "ui", "player"}) {
        for (const auto& file :
             std::filesystem::directory_iterator(std::string(KELMAR_SOURCE_DIR) + "/" + folder)) {
            std::string code =
                ReadSource(std::string(folder) + "/" + file.path().filename().string());
            for (const char* call : {"Tr(", "TR_TEXT(", "TrPlural("}) {
                for (size_t at = 0; (at = code.find(call, at)) != std::string::npos;) {
                    bool word = at > 0 && (std::isalnum(static_cast<unsigned char>(code[at - 1])) ||
                                           code[at - 1] == '_');
                    at += std::strlen(call);
                    if (word) continue;
                    if (call[2] == 'P') at = code.find(',', at) + 1;  // past the count
                    std::string one = Literals(code, &at);
                    if (one.empty()) continue;
                    std::string many;
                    if (call[2] == 'P' && code.find(',', at) == code.find_first_not_of(" \n", at))
                        ++at, many = Literals(code, &at);
                    texts[one] = many;
                }
            }
        }
    }
    for (const ShownStatus& status : EveryShownStatus()) {
        std::string rest = status.text;
        for (size_t colon; (colon = rest.find(": ")) != std::string::npos;
             rest = rest.substr(colon + 2))
            texts[rest.substr(0, colon)];
        if (rest != "%s") texts[rest];
    }
    return texts;
}

// The placeholders in order ("%d", "%02d", "%s"), and the access key's count.
std::string Placeholders(const std::string& text) {
    std::string found;
    for (size_t at = 0; (at = text.find('%', at)) != std::string::npos;) {
        size_t end = text.find_first_of("dsuxc%", at + 1);
        found += text.substr(at, end == std::string::npos ? end : end - at + 1) + " ";
        if (end == std::string::npos) break;
        at = end + 1;
    }
    size_t keys = 0;
    for (size_t at = 0; (at = text.find('&', at)) != std::string::npos; at += 2)
        keys += text.compare(at, 2, "&&") != 0;
    return found + std::to_string(keys) + " access key(s)";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '\n'   ? "\\n"
                  : c == '\t' ? "\\t"
                  : c == '\r' ? "\\r"
                  : c == '"'  ? "\\\""
                  : c == '\\' ? "\\\\"
                              : std::string(1, c);
    return quoted + "\"";
}

// Each language's catalogue holds every shown text, in as many forms as the
// language has plural forms, with the English placeholders and access key;
// and no text the windows no longer show. A missing one is listed as a
// catalogue entry to fill in.
TEST(LanguageCheck, EveryCatalogueHasEveryShownTextAndNothingElse) {
    std::map<std::string, std::string> shown = ShownTexts();
    ASSERT_GT(shown.size(), 150u) << "the texts were not found";
    for (const char* language : kLanguages) {
        Catalogue catalogue;
        std::string error;
        ASSERT_TRUE(ParseCatalogue(ReadSource(std::string("ui/lang/") + language + ".po"),
                                   &catalogue, &error))
            << language << ": " << error;
        int forms = 1 + std::max({PluralForm(language, 1), PluralForm(language, 2),
                                  PluralForm(language, 5)});
        std::set<std::string> problems;
        std::string missing;
        for (const auto& text : shown) {
            auto found = catalogue.texts.find(text.first);
            if (found == catalogue.texts.end()) {
                missing += "\nmsgid " + Quoted(text.first) + "\n";
                if (text.second.empty()) {
                    missing += "msgstr \"\"\n";
                    continue;
                }
                missing += "msgid_plural " + Quoted(text.second) + "\n";
                for (int form = 0; form < forms; ++form)
                    missing += "msgstr[" + std::to_string(form) + "] \"\"\n";
                continue;
            }
            const std::vector<std::string>& got = found->second;
            if (got.size() != static_cast<size_t>(text.second.empty() ? 1 : forms))
                problems.insert(Quoted(text.first) + " has " + std::to_string(got.size()) +
                                " form(s)");
            std::string english = Placeholders(text.second.empty() ? text.first : text.second);
            for (const std::string& form : got) {
                if (form.empty())
                    problems.insert(Quoted(text.first) + " is not translated");
                else if (Placeholders(form) != english)
                    problems.insert(Quoted(form) + " has " + Placeholders(form) + ", not " +
                                    english);
            }
            catalogue.texts.erase(found);
        }
        for (const auto& stale : catalogue.texts)
            problems.insert(Quoted(stale.first) + " is shown nowhere");
        EXPECT_TRUE(problems.empty()) << language << ":\n" << Listed(problems);
        EXPECT_TRUE(missing.empty()) << language << " lacks:\n" << missing;
    }
}

// A status in the user's language: our parts translated, up to the first
// part that is the service's, which stays as it came, however long.
TEST(LanguageCheck, StatusesAreOursTranslatedAndTheServicesAsTheyCame) {
    std::string longReason;
    for (int i = 0; i < 100000; ++i)
        longReason += "a: ";
    Catalogue german;
    std::string error;
    ASSERT_TRUE(ParseCatalogue(ReadSource("ui/lang/de.po"), &german, &error)) << error;
    german.language = "de";
    InstallCatalogue(german);
    const std::pair<std::string, std::string> cases[] = {
        {NotReachedStatus(NetFailureReason(12002)), "Dienst nicht erreichbar: Zeitüberschreitung"},
        {NotReachedStatus(NetFailureReason(12017)),
         "Dienst nicht erreichbar: Netzwerkfehler 12017"},
        {std::string(kAccountNotChecked) + ": " + NotReachedStatus("timed out"),
         "Konto nicht geprüft: Dienst nicht erreichbar: Zeitüberschreitung"},
        {std::string(kAccountNotChecked) + ": FAILED Plugin bust",
         "Konto nicht geprüft: FAILED Plugin bust"},
        {HistoryStatus("skipped", "stream"), "Übersprungen: Stream"},
        {HistoryStatus("set aside", "Empty field: Title"), "Zurückgestellt: Empty field: Title"},
        {HistoryStatus("set aside", longReason), "Zurückgestellt: " + longReason},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrStatus(c.first), c.second) << c.first.substr(0, 80);
    InstallCatalogue(Catalogue());
}

}  // namespace
