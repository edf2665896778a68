#include "ui/plays_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cache/file_ops.h"
#include "diagnostics/format.h"
#include "diagnostics/local_time.h"
#include "diagnostics/utf16.h"
#include "record/text_encoding.h"

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

std::string ReadFileText(const std::string& path) {
    FileHandle file(OpenStream(path, "rb"));
    std::string text;
    char chunk[65536];
    for (size_t n; file && (n = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0;)
        text.append(chunk, n);
    return text;
}

}  // namespace

std::string HistoryStatus(const std::string& outcome, const std::string& detail) {
    if (outcome == "sent") return "Sent";
    if (outcome == "removed") return "Removed";
    if (outcome == "skipped") return "Skipped: " + detail;
    if (outcome == "set aside") return "Set aside: " + detail;
    return outcome;
}

std::vector<PlayRow> ReadHistoryRows(const std::string& text) {
    std::vector<PlayRow> rows;
    size_t start = text.find("\r\n");  // past the header
    for (size_t end;
         start != std::string::npos && (end = text.find("\r\n", start + 2)) != std::string::npos;
         start = end) {
        std::vector<std::string> f = SplitTabs(text.substr(start + 2, end - start - 2));
        if (f.size() < 9) continue;
        rows.push_back({f[0], f[1], f[2], f[3], f[5], HistoryStatus(f[6], f[8]), f[7]});
    }
    std::reverse(rows.begin(), rows.end());
    return rows;
}

PlayRow WaitingRow(const Submission& play, int index, const std::string& account) {
    bool other = !play.IsForAccount(MakeAccountTag(account));
    return {play.Time(),
            play.Utf8Text(play.artist),
            play.Utf8Text(play.title),
            play.Utf8Text(play.album),
            other ? std::string() : AnsiToUtf8(account),
            other ? "Waiting for another account" : "Waiting",
            std::string(),
            index};
}

std::string LocalPlayedTime(const std::string& utc) {
    int y, mo, d, h, mi, s;
    char end;
    if (std::sscanf(utc.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &end) != 6)
        return utc;
    std::tm local{};
    if (!BreakDownLocal(static_cast<std::time_t>(MakeDateTime(y, mo, d, h, mi, s)), &local))
        return utc;
    return Format("%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min);
}

const std::string& ColumnText(const PlayRow& row, int column) {
    const std::string* columns[kPlayColumns] = {&row.playedUtc, &row.artist,  &row.title,
                                                &row.album,     &row.account, &row.status};
    return *columns[column >= 0 && column < kPlayColumns ? column : 0];
}

void SortRows(std::vector<PlayRow>* rows, int column, bool ascending) {
    std::stable_sort(rows->begin(), rows->end(), [&](const PlayRow& a, const PlayRow& b) {
        return ascending ? ColumnText(a, column) < ColumnText(b, column)
                         : ColumnText(b, column) < ColumnText(a, column);
    });
}

namespace {

void AppendCsvCell(std::string* csv, const std::string& text) {
    bool quoted = text.find_first_of(",\"\r\n") != std::string::npos;
    if (quoted) *csv += '"';
    if (!text.empty() && text[0] != '\0' && std::strchr("=+-@\t\r", text[0])) *csv += '\'';
    if (!quoted) {
        *csv += text;
        return;
    }
    for (char c : text) {
        if (c == '"') *csv += '"';
        *csv += c;
    }
    *csv += '"';
}

}  // namespace

std::string CsvCell(const std::string& text) {
    std::string cell;
    AppendCsvCell(&cell, text);
    return cell;
}

std::string CsvDocument(const std::vector<PlayRow>& rows) {
    std::string csv =
        std::string(kUtf8ByteOrderMark) + "Played (UTC),Artist,Title,Album,Account,Status\r\n";
    csv.reserve(rows.size() * 96);
    for (const PlayRow& r : rows) {
        for (int column = 0; column < kPlayColumns; ++column) {
            AppendCsvCell(&csv, ColumnText(r, column));
            csv += column + 1 < kPlayColumns ? "," : "\r\n";
        }
    }
    return csv;
}

PlaysView ReadPlays(std::vector<Submission> waiting, const std::string& account,
                    const std::vector<std::string>& historyPaths) {
    PlaysView view;
    view.waiting = std::move(waiting);
    for (size_t i = 0; i < view.waiting.size(); ++i) {
        view.rows.push_back(WaitingRow(view.waiting[i], static_cast<int>(i), account));
        view.otherAccount += view.rows.back().account.empty() ? 1 : 0;
    }
    for (auto path = historyPaths.rbegin(); path != historyPaths.rend(); ++path) {
        std::vector<PlayRow> lines = ReadHistoryRows(ReadFileText(*path));
        for (const PlayRow& line : lines) {
            if (view.lastAcceptedUtc.empty() && line.status == "Sent")
                view.lastAcceptedUtc = line.atUtc;
        }
        view.rows.insert(view.rows.end(), std::make_move_iterator(lines.begin()),
                         std::make_move_iterator(lines.end()));
    }
    return view;
}

std::string PlaysStatusLine(const PlaysView& view, int clockSkewMinutes, const std::string& note) {
    int waiting = static_cast<int>(view.waiting.size());
    std::string line = waiting == 0   ? std::string("No play waits to be sent")
                       : waiting == 1 ? std::string("1 play waits to be sent")
                                      : Format("%d plays wait to be sent", waiting);
    if (view.otherAccount > 0) line += Format(", %d of them for another account", view.otherAccount);
    line += view.lastAcceptedUtc.empty()
                ? ". No play accepted yet."
                : ". Last accepted " + LocalPlayedTime(view.lastAcceptedUtc) + ".";
    if (clockSkewMinutes != 0) {
        line += Format(" The PC clock is %d minutes %s the service's; plays are stamped with the "
                       "PC's time.",
                       clockSkewMinutes > 0 ? clockSkewMinutes : -clockSkewMinutes,
                       clockSkewMinutes > 0 ? "ahead of" : "behind");
    }
    return note.empty() ? line : line + "\r\n" + note;
}

bool WriteCsvFile(const std::string& path, const std::vector<PlayRow>& rows) {
    std::string csv = CsvDocument(rows);
    std::FILE* file = OpenStream(path, "wb");
    bool ok = file && std::fwrite(csv.data(), 1, csv.size(), file) == csv.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    return ok;
}
