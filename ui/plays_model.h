// What the Plays window lists, apart from its window: the waiting plays and
// the history's lines as rows with their statuses, and the CSV that Export
// writes of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/submission.h"

struct PlayRow {
    std::string playedUtc;  // "YYYY-MM-DD HH:MM:SS"
    std::string artist;
    std::string title;
    std::string album;
    std::string account;
    std::string status;
    std::string atUtc;  // a history line's: when its outcome happened
    // A waiting play's place in the copy of the cache the rows were made from;
    // the window acts on that copy's records, found in the cache by their bytes.
    int cacheIndex = -1;
    // A waiting play of another account than the one set (whatever name shows).
    bool otherAccount = false;
    std::string service = "Kelmar";  // whose play it is (a history line's or a waiting play's)
    std::string serviceId = {};      // a waiting play's: whose cache holds it (Kelmar's: empty)
};

// The rows of a history file's bytes, newest first. The header, a byte order
// mark and a last line without its line end (a write cut by a kill) are left
// out; lines end with CRLF or LF.
std::vector<PlayRow> ReadHistoryRows(const std::string& text);
// What a history line's outcome shows: "Sent", "Skipped: file type",
// "Skipped: rule" (for any rule), "Set aside: <message>", "Removed", "Edited".
std::string HistoryStatus(const std::string& outcome, const std::string& detail);
// A waiting play's status.
constexpr char kWaiting[] = "Waiting";
constexpr char kWaitingOtherAccount[] = "Waiting for another account";
// Every status a row may show ("%s": a set-aside play's message).
std::vector<std::string> EveryPlayStatus();

// A play's UTC time as the list shows it: local, "YYYY-MM-DD HH:MM". A text
// that is no such time is shown as it is.
std::string LocalPlayedTime(const std::string& utc);
// The columns, in the list's order: Played, Artist, Title, Album, Account, Status,
// and, while plays go to more services than Kelmar, Service.
constexpr int kPlayColumns = 6;
constexpr int kStatusColumn = 5;
constexpr int kServiceColumn = 6;
const std::string& ColumnText(const PlayRow& row, int column);
// Sorted by a column as a click on its header sorts: stably, so that rows
// with the same text keep their order (waiting first, newest first).
void SortRows(std::vector<PlayRow>* rows, int column, bool ascending);

// A CSV cell (RFC 4180): a text that starts with "=", "+", "-", "@", a tab or
// CR gets an apostrophe in front, so that a spreadsheet never runs it as a
// formula; one that holds a comma, a quote, CR or LF is quoted.
std::string CsvCell(const std::string& text);
// The file Export writes: UTF-8 with a byte order mark, a header row, a row a
// play, CRLF line ends.
std::string CsvDocument(const std::vector<PlayRow>& rows);

// What the window shows, read off the player's thread: a copy of the cache
// (which the waiting rows index) and the rows, waiting plays first, then the
// history newest first, from the current file and then the older one.
// The plays waiting for one service, under its account set now.
struct ServicePlays {
    std::string service;  // empty for Kelmar, else the extra service's id
    std::string name;
    std::string account;
    std::vector<Submission> plays;
    std::vector<unsigned char> taken;
};

struct PlaysView {
    std::vector<Submission> waiting;
    std::vector<unsigned char> taken;  // for each of `waiting`: a flush is sending it
    std::vector<PlayRow> rows;
    std::string account;          // the user name the rows were read under
    int otherAccount = 0;         // waiting plays of another account
    std::string lastAcceptedUtc;  // when the newest "sent" line was written
};
// `historyTexts`: the older file's, then the current one's (CPlayHistory::Texts).
// `services`: each service's waiting plays, Kelmar's first; `account` is
// Kelmar's.
PlaysView ReadPlays(std::vector<ServicePlays> services, const std::string& account,
                    const std::vector<std::string>& historyTexts);
// Kelmar's plays only.
PlaysView ReadPlays(std::vector<Submission> waiting, const std::string& account,
                    const std::vector<std::string>& historyTexts);
// The line above the list: what waits, when the service last accepted a play,
// the clock note while the clock is off (`clockSkewMinutes`, positive:
// ahead), a pause of new plays until `pausedUntil` (seconds since 1970; 0:
// none) and the tracks it kept out (`pauseKeptOut`, also said once it is
// over), and `note` (an action in progress or done).
std::string PlaysStatusLine(const PlaysView& view, int clockSkewMinutes, int64_t pausedUntil,
                            int pauseKeptOut, const std::string& note);
// What follows the note of an action that left alone plays a flush is
// sending: " N plays are being sent now; try again in a moment."; empty for 0.
std::string BeingSentNote(int count);
// Whether `path` names one of `paths`, as Windows compares them: letters in
// either case, either slash (ASCII letters only: the names the plug-in keeps
// its plays under are ASCII, and a folder's name comes as it was made).
bool IsOneOfPaths(const std::string& path, const std::vector<std::string>& paths);
// Writes every play as Export does: CsvDocument's form, the waiting plays
// (under the account set now) in cache order, then the history as the window
// lists it; `count` gets how many. The file is written beside `path` and put
// in its place once whole; false when that failed, with `path` as it was.
// `withService`: a last column names each play's service.
bool ExportPlays(const std::string& path, const std::vector<ServicePlays>& services,
                 const std::vector<std::string>& historyTexts, bool withService, int* count);
