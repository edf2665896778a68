#include "cache/cache_manager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <unordered_map>

#include "cache/file_ops.h"
#include "diagnostics/debug.h"

namespace {

constexpr size_t kRecordSize = sizeof(Submission);
// 64 MiB of records, some 83 000 listens: far more than a cache ever gathers
// offline. A larger file is damaged; reading it all would stall the player and,
// in its 32-bit address space, fail to fit anyway.
constexpr int kMaxLoadMiB = 64;
constexpr size_t kMaxLoadRecords = (size_t{kMaxLoadMiB} << 20) / kRecordSize;
// Records per read. Each block is grown into the list and read straight into it
// while those bytes are still in the processor's cache.
constexpr size_t kReadBlockRecords = 256;
// A file held open by an antivirus, backup or sync tool refuses to be replaced
// or deleted for a moment: tried again this often, this far apart, before the
// save counts as failed (and the engine's next tick tries once more).
constexpr int kFileTries = 10;
constexpr unsigned kFileRetryMs = 50;

template <class Step>
bool Retried(Step step) {
    for (int i = 1;; ++i) {
        if (step()) return true;
        if (i == kFileTries) return false;
        PauseBeforeRetry(kFileRetryMs);
    }
}

// Copies a file byte for byte; false if either side fails.
bool CopyFileBytes(const std::string& from, const std::string& to) {
    std::FILE* in = OpenStream(from, "rb");
    if (!in) return false;
    std::FILE* out = OpenStream(to, "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    char buffer[8192];
    bool ok = true;
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
        if (std::fwrite(buffer, 1, n, out) != n) {
            ok = false;
            break;
        }
    }
    ok = ok && !std::ferror(in);
    std::fclose(in);
    ok = FlushToDisk(out) && ok;
    return std::fclose(out) == 0 && ok;
}

// True when both files read back the same bytes; the caller has compared sizes.
bool SameFileBytes(const std::string& a, const std::string& b) {
    FileHandle left(OpenStream(a, "rb"));
    FileHandle right(OpenStream(b, "rb"));
    if (!left || !right) return false;
    char x[8192];
    char y[8192];
    for (;;) {
        size_t n = std::fread(x, 1, sizeof(x), left.get());
        size_t m = std::fread(y, 1, sizeof(y), right.get());
        if (n != m || std::memcmp(x, y, n) != 0) return false;
        if (n < sizeof(x)) return !std::ferror(left.get()) && !std::ferror(right.get());
    }
}

// A cheap key for finding records by their bytes: the time, and the start of
// the artist and the title, which between them tell plays apart.
uint64_t QuickKey(const Submission& record) {
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](const char* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            hash ^= static_cast<unsigned char>(bytes[i]);
            hash *= 1099511628211ull;
        }
    };
    mix(record.time, sizeof(record.time));
    mix(record.artist, 32);
    mix(record.title, 32);
    return hash;
}

}  // namespace

std::string CCacheManager::GetFilePath() const {
    std::lock_guard<std::mutex> guard(m_pathLock);
    return m_path;
}

void CCacheManager::SetPath(std::string path) {
    std::lock_guard<std::mutex> guard(m_pathLock);
    m_path = std::move(path);
}

bool CCacheManager::Load(std::string directory, std::string fileName) {
    // This runs from the plug-in's init: nothing may escape into the player.
    try {
        return LoadFile(directory, fileName);
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Load failed: %s", e.what());
    }
    // What was read stays in the list; the next save rewrites the file with only
    // that, so keep the whole original first.
    try {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!m_path.empty() && FileExistsAt(m_path)) KeepOriginal();
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Failed to keep the cache file: %s",
                    e.what());
    }
    return false;
}

bool CCacheManager::LoadFile(const std::string& directory, const std::string& fileName) {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Load", "Loading from dir %s", directory.c_str());
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!directory.empty()) m_directory = directory;
        if (m_directory.empty() || m_directory.back() != '\\') m_directory += '\\';
        path = m_directory + (fileName.empty() ? std::string(kCacheFileName) : fileName);
        SetPath(path);
    }

    if (!FileExistsAt(path)) {
        g_Debug.Log(DEBUG_TRACE, "CCacheManager::Load", "Cache file %s doesn't exist",
                    path.c_str());
        return true;
    }

    std::lock_guard<std::recursive_mutex> guard(m_lock);
    FileHandle file(OpenStream(path, "rb"));
    if (!file) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::LoadCacheFile", "Failed to open cache file %s",
                    path.c_str());
        return false;
    }

    // The size is a hint only: the file may be longer or shorter by the time it
    // is read, and a damaged one may claim far more than it is worth reserving.
    uint64_t fileSize = 0;
    size_t expected = 0;
    if (FileSizeOf(path, &fileSize)) {
        expected = static_cast<size_t>(std::min<uint64_t>(fileSize / kRecordSize, kMaxLoadRecords));
    }
    m_list.reserve(m_list.size() + expected);

    // Records are read straight into the list, then checked where they lie and
    // the malformed ones squeezed out. Records are fixed-size, so one malformed
    // record does not disturb the alignment of those behind it. Between reads the
    // list holds only checked records, so a throw from growing it loses nothing.
    int malformed = 0;
    size_t readRecords = 0;
    size_t trailing = 0;
    bool full = true;  // the last read filled its block
    while (full && readRecords < kMaxLoadRecords) {
        // Growing past what was reserved moves the whole list: first make sure
        // the file really goes on beyond the size it gave.
        if (readRecords >= expected) {
            int next = std::fgetc(file.get());
            if (next == EOF) break;
            std::ungetc(next, file.get());
        }
        // What the size promised comes in one read (each read is a system
        // call, which costs more than the copy of a block); past that, a block
        // at a time.
        size_t want = readRecords < expected
                          ? expected - readRecords
                          : std::min(kReadBlockRecords, kMaxLoadRecords - readRecords);
        size_t at = m_list.size();
        m_list.resize(at + want);
        size_t got = std::fread(&m_list[at], 1, want * kRecordSize, file.get());
        size_t whole = got / kRecordSize;
        full = got == want * kRecordSize;
        if (!full) trailing = got % kRecordSize;
        size_t kept = at;
        for (size_t i = at; i < at + whole; ++i) {
            if (!m_list[i].IsValid()) {
                ++malformed;
                continue;
            }
            if (kept != i) m_list[kept] = m_list[i];
            ++kept;
        }
        m_list.resize(kept);
        if (!m_taken.empty()) m_taken.resize(kept, 0);
        m_count = static_cast<int>(m_list.size());
        ++m_changes;
        readRecords += whole;
    }
    bool oversized = full && readRecords == kMaxLoadRecords && std::fgetc(file.get()) != EOF;
    bool readError = std::ferror(file.get()) != 0;
    file.reset();

    if (malformed > 0) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Load Failed. Malformed Cache File");
    }
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Load", "Loaded %d entries",
                static_cast<int>(m_list.size()));
    if (readError) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Read error in cache file %s",
                    path.c_str());
    }
    if (malformed > 0) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Skipped %d malformed entries", malformed);
    }
    if (oversized) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load",
                    "Cache file %s is larger than %d MiB; read only its first %d records",
                    path.c_str(), kMaxLoadMiB, static_cast<int>(kMaxLoadRecords));
    }
    // A partial record is what an interrupted write leaves; worth a look when
    // tracing, not on every start.
    if (trailing > 0) {
        g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Load",
                    "Ignored %d bytes at the end of the cache file", static_cast<int>(trailing));
    }
    // The next save rewrites the file with only what was understood; keep the
    // original for whoever wants to look at what was skipped.
    if (malformed > 0 || trailing > 0 || readError || oversized) KeepOriginal();
    return malformed == 0 && !readError && !oversized;
}

void CCacheManager::KeepOriginal() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint64_t size = 0;
    bool sized = FileSizeOf(m_path, &size);
    // A damaged file stays in place until the next save, so each start finds it
    // again: one copy of it is enough. Copies take the first free name, so the
    // search ends there (a gap someone made costs one more copy, nothing else).
    std::string freeName;
    for (int i = 0; i < 100; ++i) {
        std::string copy = m_path + (i == 0 ? std::string(".bad") : Format(".bad%d", i));
        if (!FileExistsAt(copy)) {
            freeName = copy;
            break;
        }
        uint64_t copySize = 0;
        if (sized && FileSizeOf(copy, &copySize) && copySize == size &&
            SameFileBytes(m_path, copy)) {
            g_Debug.Log(DEBUG_INFO, "CCacheManager::Load", "Damaged cache file already kept as %s",
                        copy.c_str());
            return;
        }
    }
    if (freeName.empty()) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Too many kept copies of %s",
                    m_path.c_str());
        return;
    }

    if (sized && size > kMaxLoadRecords * kRecordSize) {
        // Too large to copy on every start: move it aside whole and write back
        // what was read.
        if (ReplaceFileAtomically(m_path, freeName)) {
            g_Debug.Log(DEBUG_WARNING, "CCacheManager::Load", "Oversized cache file moved to %s",
                        freeName.c_str());
            Save();
        } else {
            // Saving over it would lose what lies past the part read; leave it be.
            g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load",
                        "Failed to move %s to %s; the cache is not saved this session",
                        m_path.c_str(), freeName.c_str());
            SetPath("");
        }
        return;
    }
    if (CopyFileBytes(m_path, freeName)) {
        g_Debug.Log(DEBUG_WARNING, "CCacheManager::Load",
                    "Cache file with unreadable parts kept as %s", freeName.c_str());
    } else {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Failed to keep a copy of %s as %s",
                    m_path.c_str(), freeName.c_str());
    }
}

bool CCacheManager::Save() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ++m_changes;
    bool saved = m_list.empty() ? RemoveFile() : WriteList();
    if (saved && m_unsaved) {
        g_Debug.Log(DEBUG_INFO, "CCacheManager::Save", "Cache file %s saved again", m_path.c_str());
    }
    m_unsaved = !saved;
    return saved;
}

int CCacheManager::FailureLevel() {
    // A disk that stays full would fill the log with the same line.
    if (m_failureLogged) return DEBUG_DETAIL;
    m_failureLogged = true;
    return DEBUG_ERROR;
}

bool CCacheManager::WriteList() {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Save", "Saving submissions...");

    // Write beside the file and swap it in, so a crash mid-save leaves the old
    // file whole rather than a truncated one.
    std::string temp = m_path + ".tmp";
    std::FILE* file = m_path.empty() ? nullptr : OpenStream(temp, "wb");
    if (!file) {
        g_Debug.Log(FailureLevel(), "CCacheManager::Save", "Failed to open cache file %s",
                    m_path.c_str());
        return false;
    }
    bool ok = m_list.empty() ||
              std::fwrite(m_list.data(), kRecordSize, m_list.size(), file) == m_list.size();
    ok = FlushToDisk(file) && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        g_Debug.Log(FailureLevel(), "CCacheManager::Save", "Failed to write cache file %s",
                    m_path.c_str());
        RemoveFilePath(temp);
        return false;
    }
    if (!Retried([&] { return ReplaceFileAtomically(temp, m_path); })) {
        g_Debug.Log(FailureLevel(), "CCacheManager::Save", "Failed to replace cache file %s",
                    m_path.c_str());
        RemoveFilePath(temp);
        return false;
    }
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Save", "Saved %d entries",
                static_cast<int>(m_list.size()));
    return true;
}

bool CCacheManager::RemoveFile() {
    // Without its file an emptied cache is one that was never written; when the
    // file cannot go, an empty one in its place means the same, so the plays it
    // held are not sent again at the next start.
    if (m_path.empty()) return true;
    if (!FileExistsAt(m_path) || Retried([&] { return RemoveFilePath(m_path); })) return true;
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Save", "Failed to delete cache file %s - emptying it",
                m_path.c_str());
    return WriteList();
}

bool CCacheManager::AddSubmission(Submission submission) {
    return AddSubmissions({submission});
}

bool CCacheManager::AddSubmissions(const std::vector<Submission>& submissions) {
    if (submissions.empty()) return true;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (const Submission& submission : submissions) {
            g_Debug.Log(DEBUG_DETAIL, "CCacheManager::AddSubmission", "Adding submission %s",
                        submission.GetDisplayText().c_str());
            m_list.push_back(submission);
            if (!m_taken.empty()) m_taken.push_back(0);
        }
        m_count = static_cast<int>(m_list.size());
    }
    Save();
    return true;
}

int CCacheManager::GetCount() const {
    return m_count;
}

std::vector<Submission> CCacheManager::GetAll(std::vector<unsigned char>* taken) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (taken) *taken = m_taken.empty() ? std::vector<unsigned char>(m_list.size(), 0) : m_taken;
    return std::vector<Submission>(m_list.begin(), m_list.end());
}

Submission CCacheManager::GetAt(int index) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (index < 0 || static_cast<size_t>(index) >= m_list.size()) return Submission();
    return m_list[static_cast<size_t>(index)];
}

void CCacheManager::RemoveAt(int index) {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::RemoveAt", "Removing %d", index);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (index < 0 || static_cast<size_t>(index) >= m_list.size()) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::RemoveAt", "No entry %d in a cache of %d", index,
                    static_cast<int>(m_list.size()));
        return;
    }
    Erase(static_cast<size_t>(index));
    SaveAfterRemoval();
}

int CCacheManager::CountOtherAccounts(const AccountTag& account) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return static_cast<int>(std::count_if(m_list.begin(), m_list.end(), [&](const Submission& s) {
        return !s.IsForAccount(account);
    }));
}

bool CCacheManager::RemoveLast(const Submission& submission) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (size_t i = m_list.size(); i-- > 0;) {
        if (std::memcmp(&m_list[i], &submission, kRecordSize) == 0) {
            Erase(i);
            SaveAfterRemoval();
            return true;
        }
    }
    return false;
}

int CCacheManager::Find(const Submission& record) const {
    for (size_t i = 0; i < m_list.size(); ++i) {
        if (std::memcmp(&m_list[i], &record, kRecordSize) == 0) return static_cast<int>(i);
    }
    return -1;
}

std::vector<int> CCacheManager::Match(const std::vector<Submission>& records) const {
    // The asked-for records by a quick key of each; a record of the list is
    // compared whole only with those of its key.
    std::unordered_multimap<uint64_t, size_t> wanted;
    wanted.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        wanted.emplace(QuickKey(records[i]), i);
    std::vector<int> found(records.size(), -1);
    size_t left = records.size();
    for (size_t i = 0; i < m_list.size() && left > 0; ++i) {
        auto range = wanted.equal_range(QuickKey(m_list[i]));
        for (auto at = range.first; at != range.second; ++at) {
            if (std::memcmp(&m_list[i], &records[at->second], kRecordSize) != 0) continue;
            found[at->second] = static_cast<int>(i);
            wanted.erase(at);
            --left;
            break;
        }
    }
    return found;
}

template <class Keep>
void CCacheManager::EraseUnless(Keep keep) {
    size_t kept = 0;
    for (size_t i = 0; i < m_list.size(); ++i) {
        if (!keep(i)) continue;
        if (kept != i) {
            m_list[kept] = m_list[i];
            if (!m_taken.empty()) m_taken[kept] = m_taken[i];
        }
        ++kept;
    }
    m_list.resize(kept);
    if (!m_taken.empty()) m_taken.resize(kept);
}

CCacheManager::Change CCacheManager::RemoveRecords(const std::vector<Submission>& records) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Change change;
    std::vector<unsigned char> gone(m_list.size(), 0);
    for (int at : Match(records)) {
        if (at < 0) continue;
        if (IsTaken(at)) {
            ++change.taken;
            continue;
        }
        gone[static_cast<size_t>(at)] = 1;
        change.records.push_back(m_list[static_cast<size_t>(at)]);
    }
    if (change.records.empty()) return change;
    EraseUnless([&](size_t i) { return gone[i] == 0; });
    SaveAfterRemoval();
    return change;
}

CCacheManager::Change CCacheManager::TagRecords(const std::vector<Submission>& records,
                                                const std::string& username) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Change change;
    for (int at : Match(records)) {
        if (at < 0) continue;
        if (IsTaken(at)) {
            ++change.taken;
            continue;
        }
        m_list[static_cast<size_t>(at)].TagAccount(username);
        change.records.push_back(m_list[static_cast<size_t>(at)]);
    }
    if (!change.records.empty()) Save();
    return change;
}

CCacheManager::Change CCacheManager::ReplaceRecord(const Submission& record,
                                                   const Submission& replacement) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Change change;
    int at = Match({record})[0];
    if (at < 0) return change;
    if (IsTaken(at)) {
        change.taken = 1;
        return change;
    }
    m_list[static_cast<size_t>(at)] = replacement;
    change.records.push_back(replacement);
    Save();
    return change;
}

std::vector<Submission> CCacheManager::TakeForAccount(const AccountTag& account, int limit) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_taken.assign(m_list.size(), 0);
    std::vector<Submission> items;
    for (size_t i = 0; i < m_list.size() && static_cast<int>(items.size()) < limit; ++i) {
        if (!m_list[i].IsForAccount(account)) continue;
        m_taken[i] = 1;
        items.push_back(m_list[i]);
    }
    if (items.empty()) m_taken.clear();
    if (!items.empty()) ++m_changes;
    return items;
}

std::vector<Submission> CCacheManager::RemoveTaken() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<Submission> removed;
    if (m_taken.empty()) return removed;
    for (size_t i = 0; i < m_list.size(); ++i) {
        if (m_taken[i] != 0) removed.push_back(m_list[i]);
    }
    EraseUnless([&](size_t i) { return m_taken[i] == 0; });
    m_taken.clear();
    if (!removed.empty()) SaveAfterRemoval();
    return removed;
}

void CCacheManager::ReleaseTaken() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_taken.empty()) ++m_changes;
    m_taken.clear();
}

bool CCacheManager::IsTaken(int index) const {
    return !m_taken.empty() && m_taken[static_cast<size_t>(index)] != 0;
}

void CCacheManager::Erase(size_t index) {
    m_list.erase(m_list.begin() + static_cast<std::ptrdiff_t>(index));
    if (!m_taken.empty()) m_taken.erase(m_taken.begin() + static_cast<std::ptrdiff_t>(index));
}

void CCacheManager::SaveAfterRemoval() {
    m_count = static_cast<int>(m_list.size());
    Save();
}

std::string CCacheManager::GetSideFilePath() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_path.empty() ? std::string() : m_path + ".refused";
}

bool CCacheManager::SetAside(const Submission& item) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    int index = Find(item);
    if (index < 0) return false;
    std::string side = GetSideFilePath();
    const Submission& record = m_list[static_cast<size_t>(index)];
    std::FILE* file = side.empty() ? nullptr : OpenStream(side, "ab");
    bool ok = file && std::fwrite(&record, kRecordSize, 1, file) == 1;
    if (file) ok = FlushToDisk(file) && ok;
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::SetAside", "Failed to write %s", side.c_str());
        return false;
    }
    Erase(static_cast<size_t>(index));
    SaveAfterRemoval();
    return true;
}

std::pair<int, int64_t> CCacheManager::GetStats() const {
    std::string path = GetFilePath();
    uint64_t size = 0;
    if (path.empty() || !FileSizeOf(path, &size)) size = 0;
    return {GetCount(), static_cast<int64_t>(size)};
}
