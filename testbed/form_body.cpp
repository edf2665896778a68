#include "testbed/form_body.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes; a '%' that starts no escape is kept when lenient, else fails.
bool Decode(const std::string& text, bool lenient, std::string* bytes) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes->push_back(text[i]);
            continue;
        }
        int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            if (!lenient) return false;
            bytes->push_back('%');
            continue;
        }
        bytes->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "-"? digits: a track length, which the player gives as -1 when unknown.
bool IsInteger(const std::string& text) {
    size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() - start > 9) return false;
    for (size_t i = start; i < text.size(); ++i) {
        if (!IsDigit(text[i])) return false;
    }
    return true;
}

// "YYYY-MM-DD HH:MM:SS"
bool IsTime(const std::string& text) {
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof(kPattern) - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kPattern[i] == 'd' ? !IsDigit(text[i]) : text[i] != kPattern[i]) return false;
    }
    return true;
}

const char kItemKeys[] = "atbmli";  // artist, title, album, m, length, time
constexpr size_t kMaxItems = 10000;

// "a[12]" to its key letter's position in kItemKeys and the index 12.
bool ParseItemKey(const std::string& key, size_t* field, size_t* index) {
    if (key.size() < 4 || key[1] != '[' || key.back() != ']') return false;
    const char* letter = std::char_traits<char>::find(kItemKeys, 6, key[0]);
    if (letter == nullptr) return false;
    std::string digits = key.substr(2, key.size() - 3);
    if (digits.empty() || digits.size() > 5 || (digits.size() > 1 && digits[0] == '0'))
        return false;
    for (char c : digits) {
        if (!IsDigit(c)) return false;
    }
    *field = static_cast<size_t>(letter - kItemKeys);
    *index = std::stoul(digits);
    return *index < kMaxItems;
}

}  // namespace

FormPairs SplitForm(const std::string& text) {
    FormPairs pairs;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        if (!part.empty()) {
            size_t eq = part.find('=');
            if (eq == std::string::npos) {
                pairs.emplace_back(part, "");
            } else {
                pairs.emplace_back(part.substr(0, eq), part.substr(eq + 1));
            }
        }
        start = end + 1;
    }
    return pairs;
}

bool PercentDecode(const std::string& text, std::string* bytes) {
    return Decode(text, false, bytes);
}

std::string PercentDecodeLenient(const std::string& text) {
    std::string bytes;
    Decode(text, true, &bytes);
    return bytes;
}

bool IsValidUtf8(const std::string& text) {
    static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};  // no overlong forms
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (lead >= 0x80) {
            if ((lead & 0xe0) == 0xc0) {
                extra = 1;
            } else if ((lead & 0xf0) == 0xe0) {
                extra = 2;
            } else if ((lead & 0xf8) == 0xf0) {
                extra = 3;
            } else {
                return false;
            }
        }
        if (text.size() - i <= extra) return false;
        uint32_t code = extra == 0 ? lead : lead & (0x3fu >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        if (code < kSmallest[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string FormValue(const FormPairs& pairs, const std::string& key) {
    for (const auto& pair : pairs) {
        if (PercentDecodeLenient(pair.first) == key) return PercentDecodeLenient(pair.second);
    }
    return "";
}

bool ParseSubmissionForm(const std::string& body, SubmissionForm* form, std::string* reason) {
    std::optional<std::string> s;
    std::optional<std::string> u;
    std::map<size_t, std::array<std::optional<std::string>, 6>> items;
    *form = SubmissionForm();

    for (const auto& [rawKey, rawValue] : SplitForm(body)) {
        std::string key = PercentDecodeLenient(rawKey);
        size_t field = 0;
        size_t index = 0;
        std::optional<std::string>* slot = nullptr;
        if (key == "s") {
            slot = &s;
        } else if (key == "u") {
            slot = &u;
        } else if (ParseItemKey(key, &field, &index)) {
            slot = &items[index][field];
        } else {
            *reason = "unexpected key " + key;
            return false;
        }
        if (slot->has_value()) {
            *reason = "repeated key " + key;
            return false;
        }
        if (slot == &s || slot == &u) {
            *slot = PercentDecodeLenient(rawValue);
            continue;
        }
        std::string value;
        if (!PercentDecode(rawValue, &value)) {
            *reason = "bad escape in " + key;
            return false;
        }
        if (!IsValidUtf8(value)) {
            *reason = "not UTF-8 in " + key;
            return false;
        }
        *slot = value;
    }

    if (!s) {
        *reason = "missing s";
        return false;
    }
    if (!u) {
        *reason = "missing u";
        return false;
    }
    if (!items.empty() && items.rbegin()->first != items.size() - 1) {
        *reason = "items not numbered 0 to n-1";
        return false;
    }
    for (const auto& [index, fields] : items) {
        for (size_t f = 0; f < fields.size(); ++f) {
            if (!fields[f]) {
                *reason =
                    std::string("missing ") + kItemKeys[f] + "[" + std::to_string(index) + "]";
                return false;
            }
        }
        SubmittedItem item{*fields[0], *fields[1], *fields[2], *fields[3], *fields[4], *fields[5]};
        if (!IsInteger(item.length)) {
            *reason = "bad length in l[" + std::to_string(index) + "]";
            return false;
        }
        if (!IsTime(item.time)) {
            *reason = "bad time in i[" + std::to_string(index) + "]";
            return false;
        }
        form->items.push_back(item);
    }
    form->challengeResponse = *s;
    form->user = *u;
    return true;
}
