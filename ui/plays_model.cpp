#include "ui/plays_model.h"

#include <algorithm>
#include <cstdio>

#include "diagnostics/format.h"
#include "diagnostics/local_time.h"
#include "diagnostics/utf16.h"

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
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
        rows.push_back({f[0], f[1], f[2], f[3], f[5], HistoryStatus(f[6], f[8])});
    }
    return std::vector<PlayRow>(rows.rbegin(), rows.rend());
}

PlayRow WaitingRow(const Submission& play, int index, const std::string& account) {
    bool other = !play.IsForAccount(MakeAccountTag(account));
    PlayRow row{play.Time(),
                play.Utf8Text(play.artist),
                play.Utf8Text(play.title),
                play.Utf8Text(play.album),
                other ? std::string() : account,
                other ? "Waiting for another account" : "Waiting"};
    row.cacheIndex = index;
    return row;
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

std::string CsvCell(const std::string& text) {
    std::string cell = text;
    if (!cell.empty() && std::string("=+-@\t\r").find(cell[0]) != std::string::npos)
        cell.insert(0, 1, '\'');
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (char c : cell)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvDocument(const std::vector<PlayRow>& rows) {
    std::string csv =
        std::string(kUtf8ByteOrderMark) + "Played (UTC),Artist,Title,Album,Account,Status\r\n";
    for (const PlayRow& r : rows) {
        for (int column = 0; column < kPlayColumns; ++column)
            csv += CsvCell(ColumnText(r, column)) + (column + 1 < kPlayColumns ? "," : "\r\n");
    }
    return csv;
}
