// One listened track as sent to the service and as stored in the cache file: a
// plain 803-byte record of fixed-width text fields. A field's text ends at its
// first NUL or at the field's end, so a full field carries no terminator.
//
// The texts are in the system's ANSI code page, as every version has written
// them, unless the record's marker says UTF-8. The marker lives in the spare
// bytes of the m value, which this system always leaves empty: its first byte
// stays NUL, so every reader, older versions included, sends an empty m value.
//   mValue[0]      0
//   mValue[1..4]   "KLMR"
//   mValue[5]      layout version (1)
//   mValue[6]      flags: kFlagUtf8, kFlagAccount, kFlagCorrected
//   mValue[7]      0
//   mValue[8..23]  the account tag (see MakeAccountTag)
//   the rest       0
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

// The text of a fixed-width field: up to its first NUL, or all of it.
template <size_t N>
std::string FixedFieldText(const char (&field)[N]) {
    const void* nul = std::memchr(field, 0, N);
    return std::string(field, nul ? static_cast<const char*>(nul) - field : N);
}

constexpr unsigned char kFlagUtf8 = 0x01;       // artist, title, album and path are UTF-8
constexpr unsigned char kFlagAccount = 0x02;    // the account tag is set
constexpr unsigned char kFlagCorrected = 0x04;  // the user's rules changed its texts

// The account a play belongs to: the MD5 digest of the user name, trimmed and
// with ASCII letters in lower case; all zeros for no name.
using AccountTag = std::array<unsigned char, 16>;
AccountTag MakeAccountTag(const std::string& username);

#pragma pack(push, 1)
struct Submission {
    char artist[128] = {};
    char title[128] = {};
    char album[128] = {};
    char mValue[128] = {};  // always empty, but for the marker; still sent under its key
    char time[20] = {};     // UTC "%Y-%m-%d %H:%M:%S"
    char length[6] = {};    // whole seconds, "%d"
    char path[260] = {};    // not sent
    char fileType[5] = {};  // upper-case extension; not sent

    // The texts are UTF-8 (one that is not is read as ANSI). They are stored
    // in the code page when artist, title and album all have an exact form
    // there, else all four as UTF-8; each is cut to its field on a whole
    // character. An empty m value gets the marker.
    void Set(const std::string& artistText, const std::string& titleText,
             const std::string& albumText, const std::string& lengthText,
             const std::string& pathText, const std::string& mValueText);
    // Tags a marked record with the account (an empty name clears the tag).
    void TagAccount(const std::string& username);
    // A copy with other texts (UTF-8), stored as Set stores them, that keeps
    // this record's time, length, path, file type and account tag.
    Submission WithTexts(const std::string& artistText, const std::string& titleText,
                         const std::string& albumText) const;
    // Stamps the current time, or the given calendar time, as UTC.
    void StampTime();
    void StampTime(std::time_t now);
    // Artist, title, length and time are present, and a UTF-8 record's texts
    // are well-formed.
    bool IsValid() const;
    // The marker's flags; 0 for a record without one (every record written
    // before it, or with an m value).
    unsigned char Flags() const;
    bool IsUtf8() const { return (Flags() & kFlagUtf8) != 0; }
    bool IsTagged() const { return (Flags() & kFlagAccount) != 0; }
    bool IsCorrected() const { return (Flags() & kFlagCorrected) != 0; }
    // Marks a marked record as changed by the user's rules.
    void MarkCorrected();
    // Untagged, or tagged with this account.
    bool IsForAccount(const AccountTag& account) const;
    // "Artist - Title (Album)" in UTF-8, leaving out what is missing.
    std::string GetDisplayText() const;
    // The six encoded pairs of this record as item `index` of a body.
    std::string BuildQuery(int index) const;

    std::string Artist() const { return Text(artist); }
    std::string Title() const { return Text(title); }
    std::string Album() const { return Text(album); }
    std::string MValue() const { return Text(mValue); }
    std::string Time() const { return Text(time); }
    std::string Length() const { return Text(length); }
    std::string Path() const { return Text(path); }
    std::string FileType() const { return Text(fileType); }

    template <size_t N>
    static std::string Text(const char (&field)[N]) {
        return FixedFieldText(field);
    }
    // A text field as UTF-8, whatever the record holds.
    template <size_t N>
    std::string Utf8Text(const char (&field)[N]) const {
        return Utf8Field(FixedFieldText(field));
    }

  private:
    bool HasMarker() const;
    std::string Utf8Field(const std::string& text) const;
    // The wire form of artist, title or album.
    std::string WireText(const std::string& text) const;
};
#pragma pack(pop)

static_assert(sizeof(Submission) == 803, "the cache file stores records of 803 bytes");
static_assert(std::is_trivially_copyable<Submission>::value, "records are copied byte for byte");
static_assert(offsetof(Submission, title) == 128 && offsetof(Submission, album) == 256 &&
                  offsetof(Submission, mValue) == 384 && offsetof(Submission, time) == 512 &&
                  offsetof(Submission, length) == 532 && offsetof(Submission, path) == 538 &&
                  offsetof(Submission, fileType) == 798,
              "field offsets are part of the cache file format");

// The response to a handshake challenge: Md5Hex of the stored password digest
// followed by the challenge with surrounding white space removed.
std::string MakeChallengeResponse(const std::string& passwordDigest, const std::string& challenge);

// "s=<response>&u=<user>" followed by each item's pairs, numbered from 0. The
// response and the user name go in as they are.
std::string BuildSubmissionBody(const std::string& challengeResponse, const std::string& username,
                                const std::vector<Submission>& items);
