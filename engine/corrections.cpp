#include "engine/corrections.h"

#include <cstring>

#include "cache/file_ops.h"
#include "diagnostics/debug.h"
#include "engine/user_folder.h"
#include "record/text_encoding.h"

namespace {

// A file of anything but rules would fill the log and hold up the count: the
// first few bad lines are named, the rest only counted.
constexpr int kNamedBadLines = 10;

// The key of a rule or a field: which field, then the folded text.
std::string RuleKey(char field, const std::string& text) {
    return field + AsciiLower(text);
}

// Trailing notes a title loses with "cleantitles": "#" stands for any digit,
// letters match in any case.
const char* const kTitleNotes[] = {
    " (remastered)",    " (remastered ####)", " - #### remaster", " [remastered]",
    " (#### remaster)", " (deluxe edition)",  " (explicit)",      " [explicit]",
};

bool EndsWithNote(const std::string& title, const char* note) {
    size_t n = std::strlen(note);
    if (title.size() <= n) return false;
    const char* tail = title.data() + title.size() - n;
    for (size_t i = 0; i < n; ++i) {
        if (note[i] == '#' ? !(tail[i] >= '0' && tail[i] <= '9') : AsciiLower(tail[i]) != note[i])
            return false;
    }
    return true;
}

}  // namespace

void CCorrections::Parse(const std::string& text) {
    m_rules.clear();
    int bad = 0;
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (int number = 1; pos < text.size(); ++number) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || AsciiLower(line) == "field\tfrom\tto") continue;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        std::string field = AsciiLower(line.substr(0, tab1));
        bool known = field == "artist" || field == "title" || field == "album";
        if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos || !known ||
            tab2 == tab1 + 1 || (tab2 + 1 == line.size() && field != "album")) {
            if (++bad <= kNamedBadLines)
                g_Debug.Log(DEBUG_ERROR, "CCorrections::Parse",
                            "Correction line %d is not field<TAB>from<TAB>to - skipped", number);
            continue;
        }
        m_rules[RuleKey(field[1], line.substr(tab1 + 1, tab2 - tab1 - 1))] = line.substr(tab2 + 1);
    }
    if (bad > kNamedBadLines)
        g_Debug.Log(DEBUG_ERROR, "CCorrections::Parse",
                    "%d more correction lines are not field<TAB>from<TAB>to - skipped",
                    bad - kNamedBadLines);
}

bool CCorrections::Apply(TagTexts* texts) const {
    if (m_rules.empty()) return false;
    bool changed = false;
    // The second letter tells the three fields apart.
    for (auto field : {std::make_pair('r', &texts->artist), std::make_pair('i', &texts->title),
                       std::make_pair('l', &texts->album)}) {
        auto rule = m_rules.find(RuleKey(field.first, *field.second));
        if (rule != m_rules.end() && rule->second != *field.second) {
            *field.second = rule->second;
            changed = true;
        }
    }
    return changed;
}

std::string CleanTitle(const std::string& title) {
    for (const char* note : kTitleNotes) {
        if (EndsWithNote(title, note)) return title.substr(0, title.size() - std::strlen(note));
    }
    return title;
}

bool ApplyTagRules(TagTexts* texts, const std::string& albumArtist, bool cleanTitles,
                   const CCorrections& corrections) {
    bool changed = false;
    if (!albumArtist.empty() && albumArtist != texts->artist) {
        texts->artist = albumArtist;
        changed = true;
    }
    if (cleanTitles) {
        std::string clean = CleanTitle(texts->title);
        changed = changed || clean != texts->title;
        texts->title = clean;
    }
    return corrections.Apply(texts) || changed;
}

std::string CorrectionsPath() {
    std::string folder = GetUserDataFolder();
    return folder.empty() ? folder : folder + "kelmar.corrections.tsv";
}

bool CreateCorrectionsFile(const std::string& path) {
    if (FileExistsAt(path)) return true;
    static const char kStart[] =
        "\xEF\xBB\xBF"
        "field\tfrom\tto\r\n"
        "# artist\tthe beatles\tThe Beatles\r\n";
    FileHandle file(OpenStream(path, "wb"));
    if (!file) return false;
    bool written = std::fwrite(kStart, 1, sizeof(kStart) - 1, file.get()) == sizeof(kStart) - 1;
    return std::fclose(file.release()) == 0 && written;
}
