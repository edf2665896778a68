// The rules of a session with a service, Kelmar's or an extra one's, written
// once: when a greeting may go and what its answer opens, when plays may be
// sent, what a flush's answer does to the plays it carried, how a play
// refused again and again is set aside, and the status texts of our own.
// Kelmar applies them through its own fields and log lines; every extra
// service through its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/translate.h"
#include "engine/submission_answer.h"
#include "record/submission.h"

class CCacheManager;

// Seconds between greetings of a service; and how often in a row one waiting
// play may be refused by name before it is set aside, so that the others can go.
constexpr int kHandshakeSpacing = 60;
constexpr int kRefusalsBeforeSetAside = 3;

// Status texts of our own (the service's answer lines are shown as they came).
constexpr char kProxyAuthRequired[] = TR_TEXT("Proxy authentication required");
constexpr char kCertificateNotTrusted[] = TR_TEXT("Certificate not trusted");
constexpr char kSecureConnectionFailed[] = TR_TEXT("Secure connection failed");
// The handshake names a submit address that is not used (another scheme, a
// bad port, plain text after a handshake over HTTPS).
constexpr char kSubmitAddressRefused[] = TR_TEXT("Submit address refused");
// An extra service's own handshake address cannot be used.
constexpr char kAddressRefused[] = TR_TEXT("Address refused");
constexpr char kUnreadable[] = TR_TEXT("UNREADABLE");
// A request that got no answer at all; the reason follows after ": ".
constexpr char kServiceNotReached[] = TR_TEXT("Service not reached");
// What the submission without plays sent after a save said of the account;
// when it could not tell, the reason follows after ": ".
constexpr char kAccountWorks[] = TR_TEXT("Account works");
constexpr char kWrongPassword[] = TR_TEXT("Wrong password");
constexpr char kAccountNotChecked[] = TR_TEXT("Account not checked");

// Every status text of our own, and where it is shown: Kelmar's Last Response,
// an extra service's Status in the Services window, or both.
struct OwnStatus {
    const char* text;
    bool withReason;  // followed by ": " and a reason
    bool kelmar;
    bool extra;
};
constexpr OwnStatus kOwnStatuses[] = {
    {kProxyAuthRequired, false, true, false},     {kCertificateNotTrusted, false, true, true},
    {kSecureConnectionFailed, false, true, true}, {kSubmitAddressRefused, false, true, true},
    {kAddressRefused, false, false, true},        {kUnreadable, false, true, true},
    {kServiceNotReached, true, true, true},       {kAccountWorks, false, true, false},
    {kWrongPassword, false, true, false},         {kAccountNotChecked, true, true, false},
};

// Whether a text is one of ours, shown whole, rather than a service's answer
// line whose first word is the status.
bool IsOwnStatus(const std::string& status);
// The status after a request that got no answer: the failure of TLS as it
// is, anything else as "Service not reached: <why>".
std::string NotReachedStatus(const std::string& why);
// A short reason for a request that failed with this error of the library.
std::string NetFailureReason(uint32_t error);

// Whether a greeting may start: more than the spacing after the last attempt.
// A clock set back leaves the last attempt in the future: no reason to wait.
bool HandshakeDue(int64_t now, int64_t lastAttempt);
// Whether plays may be sent: the interval since the last send is over, or the
// clock was set back past it.
bool SendDue(int64_t now, int64_t lastSend, int64_t interval);

// The seconds an "INTERVAL" line gives (its text after the word): digits only,
// at most nine; false for anything else.
bool ReadIntervalSeconds(const std::string& text, int* seconds);

// A handshake's answer, read without acting on it. Three lines (status,
// submit address, interval) or four (status, challenge, submit address,
// interval); anything else is no greeting.
struct HandshakeAnswer {
    bool shaped = false;       // three or four lines
    std::string status;        // the first line, as it came
    bool upToDate = false;     // it starts with "UPTODATE"
    bool update = false;       // or with "UPDATE" and an address
    std::string updateUrl;     // that address, trimmed
    bool fourLines = false;    // a challenge line came
    std::string challenge;     // trimmed
    std::string submitUrl;     // trimmed
    bool hasInterval = false;  // the last line starts with "INTERVAL"
    std::string interval;      // what follows the word
    // A session opens only on a status the protocol knows.
    bool KnownStatus() const { return upToDate || update; }
};
HandshakeAnswer ReadHandshakeAnswer(const std::vector<std::string>& lines);

// The run of refusals by name of one waiting play. Its own lock, taken under
// no other and holding none.
class CRefusalRun {
  public:
    // The play was refused by name again: the refusals in a row of this very
    // play, this one included.
    int Refused(const Submission& play);
    // Any other answer to a flush ends the run (no answer at all does not).
    void End();

  private:
    std::mutex m_lock;
    std::string m_play;
    int m_count = 0;
};

// What a flush's answer does to the plays it carried.
struct FlushOutcome {
    bool answered = false;     // status 200 and lines that can be read
    bool sent = false;         // "OK": every carried play leaves the cache
    bool sessionEnds = false;  // no usable answer, or "REAUTH"
    int refusedItem = -1;      // the carried play refused by name, -1 none
    SubmissionAnswer answer;   // when answered
};
FlushOutcome ReadFlushAnswer(int httpStatus, bool readable, const std::vector<std::string>& lines,
                             size_t carried);

// The outcome applied to the cache that held the plays: sent ones leave it,
// the others are the user's again, and a play refused three times in a row
// goes to the side file.
struct FlushSettled {
    std::vector<Submission> sent;
    Submission setAside;  // valid when one was set aside
    int refusals = 0;     // the refused play's run, counting this one
};
FlushSettled SettleFlush(const FlushOutcome& outcome, const std::vector<Submission>& carried,
                         CCacheManager& cache, CRefusalRun& run);
