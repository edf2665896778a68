#include "ui/plays_model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

#include "cache/file_ops.h"
#include "diagnostics/format.h"
#include "diagnostics/local_time.h"
#include "diagnostics/translate.h"
#include "diagnostics/utf16.h"
#include "engine/play_history.h"
#include "record/text_encoding.h"

namespace {

// Nine fields, and a tenth naming an extra service on its lines only.
using HistoryFields = std::array<std::string_view, 10>;
// Which of them hold a character that a CSV cell must quote.
using QuotedFields = std::array<bool, 10>;

// What a byte is to the history's reader: a field's end, one a CSV cell
// quotes, or anything else.
constexpr unsigned char kPlainByte = 0, kFieldEnd = 1, kQuotedByte = 2;
constexpr std::array<unsigned char, 256> ByteKinds() {
    std::array<unsigned char, 256> kinds{};
    kinds['\t'] = kFieldEnd;
    kinds[','] = kinds['"'] = kinds['\r'] = kinds['\n'] = kQuotedByte;
    return kinds;
}
constexpr std::array<unsigned char, 256> kByteKinds = ByteKinds();

// Calls each(fields, quoted) for every whole line after the header, newest
// first, in one pass over each line's bytes. A line of fewer than nine fields
// is passed over.
template <typename Each>
void ForEachHistoryLine(std::string_view text, Each each) {
    std::vector<std::pair<size_t, size_t>> lines;
    size_t at = text.find('\n');  // past the header
    for (size_t end;
         at != std::string_view::npos && (end = text.find('\n', at + 1)) != std::string_view::npos;
         at = end)
        lines.emplace_back(at + 1, end > at + 1 && text[end - 1] == '\r' ? end - 1 : end);
    HistoryFields f;
    QuotedFields quoted;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const char* at = text.data() + line->first;
        const char* end = text.data() + line->second;
        size_t n = 0;
        quoted.fill(false);
        for (const char* field = at;; ++at) {
            unsigned char kind =
                at == end ? kFieldEnd : kByteKinds[static_cast<unsigned char>(*at)];
            if (kind == kPlainByte) continue;
            if (kind == kQuotedByte) {
                quoted[n] = true;
                continue;
            }
            f[n++] = std::string_view(field, static_cast<size_t>(at - field));
            if (at == end || n == f.size()) break;
            field = at + 1;
        }
        if (n == 9) f[9] = std::string_view();
        if (n >= 9) each(f, quoted);
    }
}

// A history line's outcome and what the Status column shows of it; one
// ending in a space is followed by the line's detail.
constexpr std::pair<const char*, const char*> kOutcomes[] = {
    {"sent", "Sent"},         {"removed", "Removed"},       {"edited", "Edited"},
    {"skipped", "Skipped: "}, {"set aside", "Set aside: "},
};

void AssignStatus(std::string* status, std::string_view outcome, std::string_view detail) {
    const char* shown = nullptr;
    for (const auto& known : kOutcomes) {
        if (outcome == known.first) shown = known.second;
    }
    status->assign(shown ? std::string_view(shown) : outcome);
    // "rule: folder", "rule: genre"
    if (outcome == "skipped" &&
        detail.substr(0, sizeof(kSkippedRule)) == std::string(kSkippedRule) + ":")
        detail = kSkippedRule;
    if (shown && shown[std::strlen(shown) - 1] == ' ') status->append(detail);
}

// A play waiting in the cache, under the account set now (its tag and the
// name shown).
PlayRow WaitingRow(const Submission& play, int index, const AccountTag& tag,
                   const std::string& account, const ServicePlays& service) {
    bool other = !play.IsForAccount(tag);
    return {play.Time(),
            play.Utf8Text(play.artist),
            play.Utf8Text(play.title),
            play.Utf8Text(play.album),
            other ? std::string() : account,
            other ? kWaitingOtherAccount : kWaiting,
            std::string(),
            index,
            other,
            service.name,
            service.service};
}

std::string_view ServiceOfLine(const HistoryFields& f) {
    return f[9].empty() ? std::string_view("Kelmar") : f[9];
}

}  // namespace

std::vector<std::string> EveryPlayStatus() {
    std::vector<std::string> every = {kWaiting, kWaitingOtherAccount};
    for (const auto& known : kOutcomes) {
        std::string shown = known.second;
        if (shown.back() != ' ') {
            every.push_back(shown);
        } else if (std::strcmp(known.first, "skipped") == 0) {
            for (const char* reason : kSkipReasons)
                every.push_back(shown + reason);
        } else {
            every.push_back(shown + "%s");
        }
    }
    return every;
}

std::string HistoryStatus(const std::string& outcome, const std::string& detail) {
    std::string status;
    AssignStatus(&status, outcome, detail);
    return status;
}

std::vector<PlayRow> ReadHistoryRows(const std::string& text) {
    std::vector<PlayRow> rows;
    ForEachHistoryLine(text, [&](const HistoryFields& f, const QuotedFields&) {
        PlayRow row{std::string(f[0]),
                    std::string(f[1]),
                    std::string(f[2]),
                    std::string(f[3]),
                    std::string(f[5]),
                    std::string(),
                    std::string(f[7]),
                    -1,
                    false,
                    std::string(ServiceOfLine(f))};
        AssignStatus(&row.status, f[6], f[8]);
        rows.push_back(std::move(row));
    });
    return rows;
}

std::string LocalPlayedTime(const std::string& utc) {
    // Read by hand: sscanf would link the C library's whole scanner, with its
    // number parsers, into the DLL for this one fixed form.
    constexpr std::string_view kForm = "0000-00-00 00:00:00";
    int f[6] = {};
    if (utc.size() != kForm.size()) return utc;
    for (size_t i = 0, n = 0; i < kForm.size(); ++i) {
        if (kForm[i] == '0' && std::isdigit(static_cast<unsigned char>(utc[i])))
            f[n] = f[n] * 10 + (utc[i] - '0');
        else if (utc[i] == kForm[i])  // a separator: the next field begins
            ++n;
        else
            return utc;
    }
    std::tm local{};
    if (!BreakDownLocal(static_cast<std::time_t>(MakeDateTime(f[0], f[1], f[2], f[3], f[4], f[5])),
                        &local))
        return utc;
    return Format("%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min);
}

const std::string& ColumnText(const PlayRow& row, int column) {
    const std::string* columns[kPlayColumns + 1] = {&row.playedUtc, &row.artist,  &row.title,
                                                    &row.album,     &row.account, &row.status,
                                                    &row.service};
    return *columns[column >= 0 && column <= kServiceColumn ? column : 0];
}

void SortRows(std::vector<PlayRow>* rows, int column, bool ascending) {
    std::stable_sort(rows->begin(), rows->end(), [&](const PlayRow& a, const PlayRow& b) {
        return ascending ? ColumnText(a, column) < ColumnText(b, column)
                         : ColumnText(b, column) < ColumnText(a, column);
    });
}

namespace {

constexpr char kCsvHeader[] = "Played (UTC),Artist,Title,Album,Account,Status\r\n";
constexpr size_t kWriteChunk = 1 << 20;

// `quoted`: whether the text holds a comma, a quote, CR or LF.
void AppendCsvCell(std::string* csv, std::string_view text, bool quoted) {
    if (quoted) *csv += '"';
    char first = text.empty() ? '\0' : text[0];
    if (first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' ||
        first == '\r')
        *csv += '\'';
    for (size_t quote; quoted && (quote = text.find('"')) != std::string_view::npos;) {
        csv->append(text.substr(0, quote + 1)).append(1, '"');
        text.remove_prefix(quote + 1);
    }
    csv->append(text);
    if (quoted) *csv += '"';
}

void AppendCsvCell(std::string* csv, std::string_view text) {
    AppendCsvCell(csv, text, std::any_of(text.begin(), text.end(), [](char c) {
                      return kByteKinds[static_cast<unsigned char>(c)] == kQuotedByte;
                  }));
}

void AppendCsvRow(std::string* csv, const PlayRow& row, bool withService = false) {
    int columns = withService ? kServiceColumn + 1 : kPlayColumns;
    for (int column = 0; column < columns; ++column) {
        AppendCsvCell(csv, ColumnText(row, column));
        *csv += column + 1 < columns ? ',' : '\r';
    }
    *csv += '\n';
}

std::string CsvHeader(bool withService) {
    std::string header = kCsvHeader;
    if (withService) header.insert(header.size() - 2, ",Service");
    return kUtf8ByteOrderMark + header;
}

}  // namespace

std::string CsvCell(const std::string& text) {
    std::string cell;
    AppendCsvCell(&cell, text);
    return cell;
}

std::string CsvDocument(const std::vector<PlayRow>& rows) {
    std::string csv = std::string(kUtf8ByteOrderMark) + kCsvHeader;
    for (const PlayRow& row : rows)
        AppendCsvRow(&csv, row);
    return csv;
}

PlaysView ReadPlays(std::vector<Submission> waiting, const std::string& account,
                    const std::vector<std::string>& historyTexts) {
    std::vector<ServicePlays> kelmar(1);
    kelmar[0].name = "Kelmar";
    kelmar[0].account = account;
    kelmar[0].plays = std::move(waiting);
    return ReadPlays(std::move(kelmar), account, historyTexts);
}

PlaysView ReadPlays(std::vector<ServicePlays> services, const std::string& account,
                    const std::vector<std::string>& historyTexts) {
    PlaysView view;
    view.account = account;
    for (ServicePlays& service : services) {
        AccountTag tag = MakeAccountTag(service.account);
        std::string shown = AnsiToUtf8(service.account);
        service.taken.resize(service.plays.size());
        for (size_t i = 0; i < service.plays.size(); ++i) {
            int index = static_cast<int>(view.waiting.size());
            view.waiting.push_back(service.plays[i]);
            view.taken.push_back(service.taken[i]);
            view.rows.push_back(WaitingRow(service.plays[i], index, tag, shown, service));
            view.otherAccount += view.rows.back().otherAccount ? 1 : 0;
        }
    }
    for (auto text = historyTexts.rbegin(); text != historyTexts.rend(); ++text) {
        std::vector<PlayRow> lines = ReadHistoryRows(*text);
        for (const PlayRow& line : lines) {
            if (view.lastAcceptedUtc.empty() && line.status == "Sent")
                view.lastAcceptedUtc = line.atUtc;
        }
        view.rows.insert(view.rows.end(), std::make_move_iterator(lines.begin()),
                         std::make_move_iterator(lines.end()));
    }
    return view;
}

std::string BeingSentNote(int count) {
    if (count <= 0) return std::string();
    return " " + Format(TrPlural(count, "%d play is being sent now; try again in a moment.",
                                 "%d plays are being sent now; try again in a moment."),
                        count);
}

std::string PlaysStatusLine(const PlaysView& view, int clockSkewMinutes, int64_t pausedUntil,
                            int pauseKeptOut, const std::string& note) {
    int waiting = static_cast<int>(view.waiting.size());
    std::string line =
        waiting == 0
            ? std::string(Tr("No play waits to be sent"))
            : Format(TrPlural(waiting, "%d play waits to be sent", "%d plays wait to be sent"),
                     waiting);
    if (view.otherAccount > 0)
        line += Format(Tr(", %d of them for another account"), view.otherAccount);
    line += view.lastAcceptedUtc.empty()
                ? Tr(". No play accepted yet.")
                : Format(Tr(". Last accepted %s."), LocalPlayedTime(view.lastAcceptedUtc).c_str());
    if (clockSkewMinutes != 0) {
        int minutes = clockSkewMinutes > 0 ? clockSkewMinutes : -clockSkewMinutes;
        line += " " + Format(clockSkewMinutes > 0
                                 ? TrPlural(minutes,
                                            "The PC clock is %d minute ahead of the service's; "
                                            "plays are stamped with the PC's time.",
                                            "The PC clock is %d minutes ahead of the service's; "
                                            "plays are stamped with the PC's time.")
                                 : TrPlural(minutes,
                                            "The PC clock is %d minute behind the service's; "
                                            "plays are stamped with the PC's time.",
                                            "The PC clock is %d minutes behind the service's; "
                                            "plays are stamped with the PC's time."),
                             minutes);
    }
    std::tm local{};
    if (pausedUntil != 0 && BreakDownLocal(static_cast<std::time_t>(pausedUntil), &local)) {
        line += " " + Format(TrPlural(pauseKeptOut,
                                      "New plays are paused until %02d:%02d; %d track kept out "
                                      "so far.",
                                      "New plays are paused until %02d:%02d; %d tracks kept out "
                                      "so far."),
                             local.tm_hour, local.tm_min, pauseKeptOut);
    } else if (pauseKeptOut > 0) {
        line += " " + Format(TrPlural(pauseKeptOut, "The last pause kept out %d track.",
                                      "The last pause kept out %d tracks."),
                             pauseKeptOut);
    }
    return note.empty() ? line : line + "\r\n" + note;
}

bool IsOneOfPaths(const std::string& path, const std::vector<std::string>& paths) {
    auto fold = [](char c) { return c == '/' ? '\\' : AsciiLower(c); };
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& other) {
        return path.size() == other.size() &&
               std::equal(path.begin(), path.end(), other.begin(),
                          [&](char a, char b) { return fold(a) == fold(b); });
    });
}

bool ExportPlays(const std::string& path, const std::vector<ServicePlays>& services,
                 const std::vector<std::string>& historyTexts, bool withService, int* count) {
    // Written beside the target, which only a whole export replaces.
    std::string temporary = path + ".tmp";
    FileHandle file(OpenStream(temporary, "wb"));
    bool ok = file != nullptr;
    // Straight from the history's text to the file, a megabyte at a time: the
    // history may hold hundreds of thousands of lines.
    std::string csv = CsvHeader(withService);
    auto write = [&](size_t atLeast) {
        if (csv.size() < atLeast) return;
        ok = ok && std::fwrite(csv.data(), 1, csv.size(), file.get()) == csv.size();
        csv.clear();
    };
    *count = 0;
    for (const ServicePlays& service : services) {
        AccountTag tag = MakeAccountTag(service.account);
        std::string shown = AnsiToUtf8(service.account);
        for (const Submission& play : service.plays) {
            AppendCsvRow(&csv, WaitingRow(play, 0, tag, shown, service), withService);
            ++*count;
            write(kWriteChunk);
        }
    }
    std::string status;
    for (auto history = historyTexts.rbegin(); history != historyTexts.rend(); ++history) {
        ForEachHistoryLine(*history, [&](const HistoryFields& f, const QuotedFields& quoted) {
            AssignStatus(&status, f[6], f[8]);
            for (size_t field : {0, 1, 2, 3, 5}) {
                AppendCsvCell(&csv, f[field], quoted[field]);
                csv += ',';
            }
            AppendCsvCell(&csv, status);
            if (withService) {
                csv += ',';
                AppendCsvCell(&csv, ServiceOfLine(f), quoted[9]);
            }
            csv += "\r\n";
            ++*count;
            write(kWriteChunk);
        });
    }
    write(0);
    ok = file && std::fclose(file.release()) == 0 && ok && ReplaceFileAtomically(temporary, path);
    if (!ok) RemoveFilePath(temporary);
    return ok;
}
