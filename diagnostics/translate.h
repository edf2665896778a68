// The windows' texts in the user's language. The code writes each text in
// English and looks it up, whole, where it is shown; a language's catalogue
// (the shape of a PO file, kept as a resource of the DLL) holds its
// translations. Without a catalogue, or for a text it lacks, the English
// stands. The log, the registry, the wire and the files keep the English.
//
//   msgid "&Save"                     msgid "%d play waits to be sent"
//   msgstr "&Speichern"               msgid_plural "%d plays wait to be sent"
//                                     msgstr[0] "..."  (one per plural form)
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Marks an English text kept as data (a status, a reason) that is translated
// where a window shows it.
#define TR_TEXT(text) text

// The languages besides English, by the tag the "language" value takes.
constexpr const char* kLanguages[] = {"de", "fr", "es", "it", "pt-BR", "pl", "ru", "ja", "zh-CN"};

struct Catalogue {
    std::string language;
    // English → its forms: one, or one per plural form of the language.
    std::map<std::string, std::vector<std::string>> texts;
};

// Reads a catalogue; false with the line and what is wrong with it.
bool ParseCatalogue(const std::string& text, Catalogue* catalogue, std::string* error);

// Which of a language's plural forms a count takes (0 for English's "one").
int PluralForm(const std::string& language, long count);

// The language to show: the "language" value when it names one of ours
// ("en" for English), else the Windows display language's (its LANGID).
// Empty for English.
std::string ChooseLanguage(const std::string& setting, uint16_t windowsLanguage);

// Sets the catalogue every lookup reads; one without a language is English.
// Called at start; the texts handed out stay valid while the module lives.
void InstallCatalogue(Catalogue catalogue);
const std::string& ShownLanguage();

const char* Tr(const char* english);
std::string Tr(const std::string& english);
// The form for a count: `one` or `many` in English.
const char* TrPlural(long count, const char* one, const char* many);
