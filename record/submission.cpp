#include "record/submission.h"

#include "diagnostics/format.h"
#include "diagnostics/local_time.h"
#include "record/md5.h"
#include "record/text_encoding.h"

namespace {

template <size_t N>
void Fill(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
}

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

void Submission::Set(const std::string& artistText, const std::string& titleText,
                     const std::string& albumText, const std::string& lengthText,
                     const std::string& pathText, const std::string& mValueText) {
    Fill(artist, artistText);
    Fill(title, titleText);
    Fill(album, albumText);
    Fill(mValue, mValueText);
    Fill(length, lengthText);
    Fill(path, pathText);

    // The type is whatever follows the last dot after the first character, even
    // when that dot belongs to a directory name; taken from the whole path, as
    // a long one loses its end to the field.
    std::memset(fileType, 0, sizeof(fileType));
    const std::string& p = pathText;
    for (size_t i = p.size(); i-- > 1;) {
        if (p[i] == '.') {
            std::string ext = p.substr(i + 1, sizeof(fileType));
            for (char& c : ext)
                c = AsciiUpper(c);
            Fill(fileType, ext);
            break;
        }
    }
}

void Submission::StampTime() {
    StampTime(std::time(nullptr));
}

void Submission::StampTime(std::time_t now) {
    std::memset(time, 0, sizeof(time));
    std::tm utc{};
    if (!BreakDownUtc(now, &utc)) return;
    if (std::strftime(time, sizeof(time), "%Y-%m-%d %H:%M:%S", &utc) == 0) {
        std::memset(time, 0, sizeof(time));
    }
}

bool Submission::IsValid() const {
    return artist[0] != 0 && title[0] != 0 && length[0] != 0 && time[0] != 0;
}

std::string Submission::GetDisplayText() const {
    std::string text;
    if (artist[0] != 0 && title[0] != 0) text = Artist() + " - " + Title();
    if (album[0] != 0) text += " (" + Album() + ")";
    return text;
}

std::string Submission::BuildQuery(int index) const {
    std::string query;
    query += Format("&a[%d]=", index) + EncodeField(Artist());
    query += Format("&t[%d]=", index) + EncodeField(Title());
    query += Format("&b[%d]=", index) + EncodeField(Album());
    query += Format("&m[%d]=", index) + EncodeField(MValue());
    query += Format("&l[%d]=", index) + EncodeField(Length());
    query += Format("&i[%d]=", index) + EncodeField(Time());
    return query;
}

std::string MakeChallengeResponse(const std::string& passwordDigest, const std::string& challenge) {
    return Md5Hex(passwordDigest + TrimSpace(challenge));
}

std::string BuildSubmissionBody(const std::string& challengeResponse, const std::string& username,
                                const std::vector<Submission>& items) {
    std::string body = "s=" + challengeResponse + "&u=" + username;
    for (size_t i = 0; i < items.size(); ++i)
        body += items[i].BuildQuery(static_cast<int>(i));
    return body;
}
