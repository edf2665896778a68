// The play history: a line for every play whose fate is final (sent, skipped,
// set aside, removed), in a file of the Windows user's own, since a listening
// history is personal even where the plug-in's folder is shared. The file is
// UTF-8 with a byte order mark and a header line, tab-separated, with CRLF
// line ends (a file saved by an editor with LF ones reads as well); lines are
// only ever appended, each append in a single write.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "diagnostics/lock.h"
#include "record/submission.h"

constexpr char kHistoryFileName[] = "kelmar.history.tsv";
constexpr char kOldHistoryFileName[] = "kelmar.history.1.tsv";
// At this size the file becomes the old one (replacing it) and starts afresh.
constexpr uint64_t kHistoryRotateBytes = uint64_t{16} << 20;
// Lines kept in memory while the file cannot be written (a spreadsheet has it
// open); past them the oldest go.
constexpr size_t kHistoryHeldLines = 10000;

// Why a play was skipped, as its history line's detail says: a video, a
// stream with streams skipped, a stream's title that is no song, a track
// announced again while its last play may still be playing (also the name of
// that skip rule), and a rule of the user's (the line adds ": " and the rule).
constexpr char kSkippedFileType[] = "file type";
constexpr char kSkippedStream[] = "stream";
constexpr char kSkippedStreamTitle[] = "stream title";
constexpr char kAlreadyCounted[] = "already counted";
constexpr char kSkippedRule[] = "rule";
constexpr const char* kSkipReasons[] = {kSkippedFileType, kSkippedStream, kSkippedStreamTitle,
                                        kAlreadyCounted, kSkippedRule};

struct HistoryEntry {
    Submission play;
    std::string account;  // the user name it went, or would have gone, under
    std::string outcome;  // "sent", "skipped", "set aside", "removed", "edited"
    std::string detail;
    std::string service;  // an extra service's name; empty for Kelmar
};

// The header line and a play's line, without their CRLF. Tabs, CR and LF in
// a field become spaces; `at` is when the outcome happened.
std::string HistoryHeader();
std::string HistoryLine(const HistoryEntry& entry, std::time_t at);

class CPlayHistory {
  public:
    // Where the file goes; an empty folder (the default) is the user's own
    // data folder, asked for at the first write.
    void SetFolder(const std::string& folder);
    // Appends the entries' lines in one write, after any that earlier appends
    // could not write. A failed write is logged, as an error the first time in
    // a run, and its lines are held for the next append.
    bool Append(const std::vector<HistoryEntry>& entries, std::time_t at = std::time(nullptr));
    void SetRotateBytes(uint64_t bytes) { m_rotateBytes = bytes; }
    // The older file and the current one, in that order; empty when there is
    // no folder to keep them in.
    std::vector<std::string> Paths();
    // The texts of the older file and the current one, in that order, as one
    // whole: read again when the current one became the older meanwhile.
    std::vector<std::string> Texts();
    // Goes up with every write, so that a reader can tell cheaply whether to
    // look again.
    unsigned Appends() const { return m_appends; }

  private:
    CMutex m_lock;  // after every engine lock but the log's
    std::string m_folder;
    uint64_t m_rotateBytes = kHistoryRotateBytes;
    bool m_failureLogged = false;
    std::vector<std::string> m_held;  // lines not written yet, with their CRLF
    std::atomic<unsigned> m_appends{0};
    std::atomic<unsigned> m_rotations{0};  // twice a rotation: odd while one is under way
};
