// What the user asks to change in a play before it is cached or sent: the
// album artist in place of the artist, a title without its trailing remaster
// or edition note, and the correction file's rules. Portable: the engine
// reads the file and asks the player; these only work on texts (UTF-8).
#pragma once

#include <string>
#include <unordered_map>

struct TagTexts {
    std::string artist;
    std::string title;
    std::string album;
};

// The rules of the correction file: lines of `field<TAB>from<TAB>to`, field
// being artist, title or album; `from` matches without regard to ASCII letter
// case. A header line "field<TAB>from<TAB>to", lines starting with "#" and
// blank lines are no rules; any other line that is not a rule is skipped and
// logged with its number (the first ten; the rest as a count). Of two rules
// for one text the later wins.
class CCorrections {
  public:
    // Replaces the rules with those of the file's text (a byte order mark
    // allowed).
    void Parse(const std::string& text);
    size_t Size() const { return m_rules.size(); }
    // Puts each rule's `to` in place of a matching field. True when one did.
    bool Apply(TagTexts* texts) const;

  private:
    // Keyed by the field's first letter and the lower-cased `from`.
    std::unordered_map<std::string, std::string> m_rules;
};

// The title without one trailing note of those listed in corrections.cpp, in
// any letter case; any other title as it is.
std::string CleanTitle(const std::string& title);

// Album artist (when not empty), then clean titles (when asked), then the
// correction rules. True when any text changed.
bool ApplyTagRules(TagTexts* texts, const std::string& albumArtist, bool cleanTitles,
                   const CCorrections& corrections);

// "<application data>\Kelmar\kelmar.corrections.tsv"; empty without the folder.
std::string CorrectionsPath();
// Writes the file with its header and a commented example (UTF-8 with a byte
// order mark, CRLF) unless it exists. False when it could not be written.
bool CreateCorrectionsFile(const std::string& path);
