// One listened track as sent to the service and as stored in the cache file: a
// plain 803-byte record of fixed-width ANSI text fields. A field's text ends at
// its first NUL or at the field's end, so a full field carries no terminator.
#pragma once

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

#pragma pack(push, 1)
struct Submission {
    char artist[128] = {};
    char title[128] = {};
    char album[128] = {};
    char mValue[128] = {};  // always empty; still sent under its key
    char time[20] = {};     // UTC "%Y-%m-%d %H:%M:%S"
    char length[6] = {};    // whole seconds, "%d"
    char path[260] = {};    // not sent
    char fileType[5] = {};  // upper-case extension; not sent

    void Set(const std::string& artistText, const std::string& titleText,
             const std::string& albumText, const std::string& lengthText,
             const std::string& pathText, const std::string& mValueText);
    // Stamps the current time, or the given calendar time, as UTC.
    void StampTime();
    void StampTime(std::time_t now);
    // Artist, title, length and time are present.
    bool IsValid() const;
    // "Artist - Title (Album)", leaving out what is missing.
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
