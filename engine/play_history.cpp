#include "engine/play_history.h"

#include "cache/file_ops.h"
#include "diagnostics/debug.h"
#include "diagnostics/local_time.h"
#include "engine/user_folder.h"
#include "record/text_encoding.h"

namespace {

std::string Field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

// A file that is there, not empty, and does not end a line: a write was cut.
bool EndsTorn(const std::string& path, uint64_t size) {
    if (size == 0) return false;
    FileHandle file(OpenStream(path, "rb"));
    char end[2] = {};
    if (!file || std::fseek(file.get(), size >= 2 ? -2 : -1, SEEK_END) != 0) return false;
    size_t n = std::fread(end, 1, 2, file.get());
    return !(n >= 1 && end[n - 1] == '\n');
}

}  // namespace

std::string HistoryHeader() {
    return "played_utc\tartist\ttitle\talbum\tlength\taccount\toutcome\tat_utc\tdetail\tservice";
}

std::string HistoryLine(const HistoryEntry& e, std::time_t at) {
    Submission stamp;
    stamp.StampTime(at);
    const Submission& p = e.play;
    // The user name is stored in the code page; the service's words may be in either.
    const std::string fields[] = {p.Time(),
                                  p.Utf8Text(p.artist),
                                  p.Utf8Text(p.title),
                                  p.Utf8Text(p.album),
                                  p.Length(),
                                  AnsiToUtf8(e.account),
                                  e.outcome,
                                  stamp.Time(),
                                  Utf8OrAnsi(e.detail)};
    std::string line = Field(fields[0]);
    for (size_t i = 1; i < sizeof(fields) / sizeof(fields[0]); ++i)
        line += "\t" + Field(fields[i]);
    // Kelmar's lines end where they always did.
    if (!e.service.empty()) line += "\t" + Field(e.service);
    return line;
}

void CPlayHistory::SetFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_folder = folder;
}

std::vector<std::string> CPlayHistory::Paths() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_folder.empty()) m_folder = GetUserDataFolder();
    if (m_folder.empty()) return {};
    return {m_folder + kOldHistoryFileName, m_folder + kHistoryFileName};
}

std::vector<std::string> CPlayHistory::Texts() {
    std::vector<std::string> paths = Paths();
    std::vector<std::string> texts(paths.size());
    while (!paths.empty()) {
        unsigned before = m_rotations;
        if (before % 2 != 0) {
            PauseBeforeRetry(1);
            continue;
        }
        texts[1] = ReadFileText(paths[1]);
        texts[0] = ReadFileText(paths[0]);
        if (m_rotations == before) break;
    }
    return texts;
}

bool CPlayHistory::Append(const std::vector<HistoryEntry>& entries, std::time_t at) {
    if (entries.empty()) return true;
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_appends;
    if (m_folder.empty()) m_folder = GetUserDataFolder();
    std::string path = m_folder + kHistoryFileName;
    uint64_t size = 0;
    bool exists = !m_folder.empty() && FileSizeOf(path, &size);
    if (exists && size >= m_rotateBytes) {
        ++m_rotations;
        if (ReplaceFileAtomically(path, m_folder + kOldHistoryFileName)) size = 0;
        ++m_rotations;
    }
    std::string text = size == 0              ? kUtf8ByteOrderMark + HistoryHeader() + "\r\n"
                       : EndsTorn(path, size) ? "\r\n"
                                              : "";
    for (const HistoryEntry& entry : entries)
        m_held.push_back(HistoryLine(entry, at) + "\r\n");
    if (m_held.size() > kHistoryHeldLines) {
        g_Debug.Log(DEBUG_ERROR, "CPlayHistory::Append", "Dropped %u play history lines",
                    static_cast<unsigned>(m_held.size() - kHistoryHeldLines));
        m_held.erase(m_held.begin(), m_held.end() - kHistoryHeldLines);
    }
    for (const std::string& line : m_held)
        text += line;
    std::FILE* file = m_folder.empty() ? nullptr : OpenStream(path, "ab");
    bool ok = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        g_Debug.Log(m_failureLogged ? DEBUG_DETAIL : DEBUG_ERROR, "CPlayHistory::Append",
                    "Failed to write the play history %s", path.c_str());
        m_failureLogged = true;
    } else if (m_held.size() > entries.size()) {
        g_Debug.Log(DEBUG_INFO, "CPlayHistory::Append", "Wrote %u held play history lines",
                    static_cast<unsigned>(m_held.size() - entries.size()));
    }
    if (ok) m_held.clear();
    return ok;
}
