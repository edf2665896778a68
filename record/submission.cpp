#include "record/submission.h"

#include "diagnostics/ansi_codepage.h"
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

// Cut on a whole character of the text's encoding.
template <size_t N>
void FillText(char (&field)[N], const std::string& text, bool utf8) {
    Fill(field, text.substr(0, utf8 ? Utf8CutPoint(text, N) : AnsiCutPoint(text, N)));
}

constexpr char kSignature[] = "KLMR";
constexpr size_t kVersionAt = 5;
constexpr size_t kFlagsAt = 6;
constexpr size_t kTagAt = 8;
constexpr unsigned char kLayoutVersion = 1;

// A text in both of the forms a record may store: the code page's (with any
// character it lacks replaced) and UTF-8.
struct TextForms {
    explicit TextForms(const std::string& text) {
        std::u16string wide = Utf8ToUtf16(Utf8OrAnsi(text));
        exactInCodePage = Utf16ToAnsi(wide, &ansi);
        utf8 = Utf16ToUtf8(wide, true);
    }
    const std::string& Get(bool inUtf8) const { return inUtf8 ? utf8 : ansi; }
    std::string ansi, utf8;
    bool exactInCodePage;
};

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

AccountTag MakeAccountTag(const std::string& username) {
    AccountTag tag{};
    std::string name = TrimSpace(username);
    if (name.empty()) return tag;
    for (char& c : name)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    CMd5 md5;
    md5.Update(name.data(), name.size());
    md5.Final(tag.data());
    return tag;
}

void Submission::Set(const std::string& artistText, const std::string& titleText,
                     const std::string& albumText, const std::string& lengthText,
                     const std::string& pathText, const std::string& mValueText) {
    // Artist, title and album decide the record's encoding: the code page
    // when all three have an exact form in it, so that an older version reads
    // the record as before, else UTF-8. The path is not sent and follows
    // them, with any character the code page lacks replaced.
    TextForms artistForms(artistText), titleForms(titleText), albumForms(albumText);
    TextForms pathForms(pathText);
    bool utf8 =
        !(artistForms.exactInCodePage && titleForms.exactInCodePage && albumForms.exactInCodePage);
    FillText(artist, artistForms.Get(utf8), utf8);
    FillText(title, titleForms.Get(utf8), utf8);
    FillText(album, albumForms.Get(utf8), utf8);
    FillText(path, pathForms.Get(utf8), utf8);
    Fill(length, lengthText);
    Fill(mValue, mValueText);
    if (mValueText.empty()) {
        std::memcpy(mValue + 1, kSignature, 4);
        mValue[kVersionAt] = static_cast<char>(kLayoutVersion);
        mValue[kFlagsAt] = static_cast<char>(utf8 ? kFlagUtf8 : 0);
    }

    // The type is whatever follows the last dot after the first character, even
    // when that dot belongs to a directory name; taken from the whole path, as
    // a long one loses its end to the field.
    std::memset(fileType, 0, sizeof(fileType));
    const std::string& p = pathForms.Get(utf8);
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

void Submission::TagAccount(const std::string& username) {
    if (!HasMarker()) return;
    unsigned char flags = Flags();
    AccountTag tag = MakeAccountTag(username);
    bool tagged = tag != AccountTag{};
    flags = static_cast<unsigned char>(tagged ? flags | kFlagAccount : flags & ~kFlagAccount);
    mValue[kFlagsAt] = static_cast<char>(flags);
    std::memcpy(mValue + kTagAt, tag.data(), tag.size());
}

Submission Submission::WithTexts(const std::string& artistText, const std::string& titleText,
                                 const std::string& albumText) const {
    Submission edited;
    edited.Set(artistText, titleText, albumText, Length(), Utf8Text(path), MValue());
    std::memcpy(edited.time, time, sizeof(time));
    // The type came from the whole path, which the field may have cut.
    std::memcpy(edited.fileType, fileType, sizeof(fileType));
    if (IsTagged() && edited.HasMarker()) {
        edited.mValue[kFlagsAt] = static_cast<char>(edited.Flags() | kFlagAccount);
        std::memcpy(edited.mValue + kTagAt, mValue + kTagAt, sizeof(AccountTag));
    }
    return edited;
}

void Submission::MarkCorrected() {
    if (HasMarker()) mValue[kFlagsAt] = static_cast<char>(Flags() | kFlagCorrected);
}

bool Submission::HasMarker() const {
    return mValue[0] == 0 && std::memcmp(mValue + 1, kSignature, 4) == 0 &&
           static_cast<unsigned char>(mValue[kVersionAt]) >= kLayoutVersion;
}

unsigned char Submission::Flags() const {
    return HasMarker() ? static_cast<unsigned char>(mValue[kFlagsAt]) : 0;
}

bool Submission::IsForAccount(const AccountTag& account) const {
    return !IsTagged() || std::memcmp(mValue + kTagAt, account.data(), account.size()) == 0;
}

std::string Submission::Utf8Field(const std::string& text) const {
    return IsUtf8() ? text : AnsiToUtf8(text);
}

std::string Submission::WireText(const std::string& text) const {
    return IsUtf8() ? UrlEncode(text) : EncodeField(text);
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
    if (artist[0] == 0 || title[0] == 0 || length[0] == 0 || time[0] == 0) return false;
    return !IsUtf8() || (IsValidUtf8(Artist()) && IsValidUtf8(Title()) && IsValidUtf8(Album()) &&
                         IsValidUtf8(Path()));
}

std::string Submission::GetDisplayText() const {
    std::string text;
    if (artist[0] != 0 && title[0] != 0) text = Utf8Text(artist) + " - " + Utf8Text(title);
    if (album[0] != 0) text += " (" + Utf8Text(album) + ")";
    return text;
}

std::string Submission::BuildQuery(int index) const {
    std::string query;
    query += Format("&a[%d]=", index) + WireText(Artist());
    query += Format("&t[%d]=", index) + WireText(Title());
    query += Format("&b[%d]=", index) + WireText(Album());
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
