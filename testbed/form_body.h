// The text of the protocol's queries and form bodies: key=value pairs joined by
// '&', values percent-encoded UTF-8.
#pragma once

#include <string>
#include <utility>
#include <vector>

using FormPairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of "k=v&k=v" as they are, undecoded, in order. Empty parts are
// skipped; a part without '=' is a key with an empty value.
FormPairs SplitForm(const std::string& text);

// "%xx" (either case) to its byte; '+' stays a plus, since the client never
// writes it for a space. False on a '%' that starts no escape.
bool PercentDecode(const std::string& text, std::string* bytes);
// The same, but a '%' that starts no escape stays as it is: for the user name,
// which the client sends unencoded.
std::string PercentDecodeLenient(const std::string& text);
bool IsValidUtf8(const std::string& text);

// The leniently decoded value of the first pair with this key; empty if none.
std::string FormValue(const FormPairs& pairs, const std::string& key);

struct SubmittedItem {
    std::string artist;
    std::string title;
    std::string album;
    std::string mValue;
    std::string length;  // an integer, as sent
    std::string time;    // UTC "YYYY-MM-DD HH:MM:SS"
};

struct SubmissionForm {
    std::string challengeResponse;  // s
    std::string user;               // u
    std::vector<SubmittedItem> items;
};

// A submission body: s, u, then a[n] t[n] b[n] m[n] l[n] i[n] for items
// numbered from 0; none at all when the client only proves its password.
// False with the reason when the body is malformed.
bool ParseSubmissionForm(const std::string& body, SubmissionForm* form, std::string* reason);
