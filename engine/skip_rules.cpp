#include "engine/skip_rules.h"

#include <algorithm>
#include <vector>

#include "record/text_encoding.h"

namespace {

char Folded(char c) {
    return c == '/' ? '\\' : AsciiLower(c);
}

// A list's entries without the spaces and quotes around them ("Copy as path"
// quotes), and without empty ones.
std::vector<std::string> Entries(const std::string& list) {
    std::vector<std::string> entries;
    for (size_t start = 0; start <= list.size();) {
        size_t end = std::min(list.find(';', start), list.size());
        std::string entry = list.substr(start, end - start);
        size_t first = entry.find_first_not_of(" \t\"");
        if (first != std::string::npos)
            entries.push_back(entry.substr(first, entry.find_last_not_of(" \t\"") - first + 1));
        start = end + 1;
    }
    return entries;
}

// `text` begins with `prefix`, folded.
bool StartsWith(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Folded(text[i]) != Folded(prefix[i])) return false;
    }
    return true;
}

}  // namespace

std::string SkipRule(const std::string& path, const std::string& genre, const std::string& folders,
                     const std::string& genres, std::string* matched) {
    for (const std::string& folder : Entries(folders)) {
        // The folder itself, not one whose name only begins the same.
        bool whole = Folded(folder.back()) == '\\' ||
                     (path.size() > folder.size() && Folded(path[folder.size()]) == '\\');
        if (StartsWith(path, folder) && whole) {
            *matched = folder;
            return "folder";
        }
    }
    for (const std::string& entry : Entries(genres)) {
        if (entry.size() == genre.size() && StartsWith(genre, entry)) {
            *matched = entry;
            return "genre";
        }
    }
    return std::string();
}
