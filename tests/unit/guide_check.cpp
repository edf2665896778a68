// The user's guide against the code: every status text a window shows, every
// registry value with its default, and every button and check box must be in
// it, and its status and settings tables may name nothing the code lacks.
// The texts come from where the code keeps them, never from a list here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/settings.h"
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

}  // namespace
