#include "diagnostics/translate.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// A catalogue once shown stays while the module lives: a request still in
// flight from before a restart may be reading it.
std::mutex g_keptLock;
std::vector<std::unique_ptr<Catalogue>> g_kept;
const Catalogue g_english;
std::atomic<const Catalogue*> g_shown{&g_english};

// A quoted PO string: C escapes for quote, backslash, newline, tab and CR.
bool Unquote(const std::string& line, size_t from, std::string* out) {
    size_t at = line.find('"', from);
    if (at == std::string::npos || line.size() < at + 2 || line.back() != '"') return false;
    for (size_t i = at + 1; i + 1 < line.size(); ++i) {
        char c = line[i];
        if (c == '"') return false;
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i + 1 >= line.size()) return false;
        switch (line[i]) {
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case 'r':
                *out += '\r';
                break;
            case '"':
                *out += '"';
                break;
            case '\\':
                *out += '\\';
                break;
            default:
                return false;
        }
    }
    return true;
}

bool Starts(const std::string& line, const char* word) {
    return line.compare(0, std::strlen(word), word) == 0;
}

}  // namespace

bool ParseCatalogue(const std::string& text, Catalogue* catalogue, std::string* error) {
    std::string id, plural;
    std::vector<std::string> forms;
    std::string* last = nullptr;  // what a continued string adds to
    int number = 0, entryLine = 0;
    auto fail = [&](int at, const char* what) {
        *error = "line " + std::to_string(at) + ": " + what;
        return false;
    };
    auto finish = [&]() {
        if (id.empty() && forms.empty()) return true;
        if (forms.empty()) return fail(entryLine, "no msgstr");
        if (!id.empty() && !catalogue->texts.emplace(id, forms).second)
            return fail(entryLine, "the same msgid twice");
        id.clear(), plural.clear(), forms.clear(), last = nullptr;
        return true;
    };
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        bool ok = true;
        if (Starts(line, "msgid_plural ")) {
            plural.clear();
            ok = Unquote(line, 12, &plural), last = &plural;
        } else if (Starts(line, "msgid ")) {
            if (!finish()) return false;
            entryLine = number;
            ok = Unquote(line, 5, &id), last = &id;
        } else if (Starts(line, "msgstr")) {
            // msgstr "..." or msgstr[N] "...", the forms in order
            size_t index = line[6] == '[' ? static_cast<size_t>(std::atoi(line.c_str() + 7)) : 0;
            if (index != forms.size()) return fail(number, "plural forms out of order");
            forms.emplace_back();
            ok = Unquote(line, 6, &forms.back()), last = &forms.back();
        } else if (line[0] == '"' && last) {
            ok = Unquote(line, 0, last);
        } else {
            return fail(number, "not a msgid, msgstr or string");
        }
        if (!ok) return fail(number, "a string not quoted as C quotes it");
    }
    return finish();
}

int PluralForm(const std::string& language, long count) {
    long n = count < 0 ? -count : count, tens = n % 100, ones = n % 10;
    if (language == "ja" || language == "zh-CN") return 0;
    if (language == "fr" || language == "pt-BR") return n > 1 ? 1 : 0;
    bool few = ones >= 2 && ones <= 4 && (tens < 12 || tens > 14);
    if (language == "pl") return n == 1 ? 0 : few ? 1 : 2;
    if (language == "ru") return ones == 1 && tens != 11 ? 0 : few ? 1 : 2;
    return n == 1 ? 0 : 1;
}

std::string ChooseLanguage(const std::string& setting, uint16_t windowsLanguage) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    auto sameTag = [&](const char* tag) {  // case aside
        return setting.size() == std::strlen(tag) &&
               std::equal(setting.begin(), setting.end(), tag,
                          [&](char a, char b) { return lower(a) == lower(b); });
    };
    if (sameTag("en")) return std::string();
    for (const char* tag : kLanguages) {
        if (sameTag(tag)) return tag;
    }
    // Primary language in the low ten bits, the country above.
    switch (windowsLanguage & 0x3ff) {
        case 0x07:
            return "de";
        case 0x0c:
            return "fr";
        case 0x0a:
            return "es";
        case 0x10:
            return "it";
        case 0x15:
            return "pl";
        case 0x19:
            return "ru";
        case 0x11:
            return "ja";
        case 0x16:
            return windowsLanguage == 0x0416 ? "pt-BR" : "";
        // Simplified: the mainland's and Singapore's
        case 0x04:
            return windowsLanguage == 0x0804 || windowsLanguage == 0x1004 ? "zh-CN" : "";
        default:
            return std::string();
    }
}

void InstallCatalogue(Catalogue catalogue) {
    std::lock_guard<std::mutex> guard(g_keptLock);
    if (catalogue.language.empty()) {
        g_shown = &g_english;
        return;
    }
    g_kept.push_back(std::make_unique<Catalogue>(std::move(catalogue)));
    g_shown = g_kept.back().get();
}

const std::string& ShownLanguage() {
    return g_shown.load()->language;
}

const char* Tr(const char* english) {
    const Catalogue* shown = g_shown;
    auto found = shown->texts.find(english);
    return found == shown->texts.end() || found->second[0].empty() ? english
                                                                   : found->second[0].c_str();
}

std::string Tr(const std::string& english) {
    return Tr(english.c_str());
}

const char* TrPlural(long count, const char* one, const char* many) {
    const Catalogue* shown = g_shown;
    auto found = shown->texts.find(one);
    size_t form = static_cast<size_t>(PluralForm(shown->language, count));
    if (found == shown->texts.end() || form >= found->second.size() || found->second[form].empty())
        return count == 1 ? one : many;
    return found->second[form].c_str();
}
