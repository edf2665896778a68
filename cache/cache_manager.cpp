#include "cache/cache_manager.h"

#include "cache/file_ops.h"
#include "diagnostics/debug.h"

namespace {

constexpr size_t kRecordSize = sizeof(Submission);

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

}  // namespace

std::string CCacheManager::GetFilePath() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_path;
}

bool CCacheManager::Load(std::string directory, std::string fileName) {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Load", "Loading from dir %s", directory.c_str());
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!directory.empty()) m_directory = directory;
        if (m_directory.empty() || m_directory.back() != '\\') m_directory += '\\';
        m_path = m_directory + (fileName.empty() ? std::string(kCacheFileName) : fileName);
        path = m_path;
    }

    if (!FileExistsAt(path)) {
        g_Debug.Log(DEBUG_TRACE, "CCacheManager::Load", "Cache file %s doesn't exist",
                    path.c_str());
        return true;
    }

    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::FILE* file = OpenStream(path, "rb");
    if (!file) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::LoadCacheFile", "Failed to open cache file %s",
                    path.c_str());
        return false;
    }

    // A larger buffer than the default turns thousands of small reads into a few.
    std::setvbuf(file, nullptr, _IOFBF, 64 * 1024);
    uint64_t fileSize = 0;
    if (FileSizeOf(path, &fileSize)) m_list.reserve(m_list.size() + fileSize / kRecordSize);

    // Records are fixed-size, so one malformed record does not disturb the
    // alignment of those behind it: keep reading and keep every valid one.
    bool result = true;
    int malformed = 0;
    size_t trailing = 0;
    Submission record;
    size_t n;
    while ((n = std::fread(&record, 1, kRecordSize, file)) == kRecordSize) {
        if (record.IsValid()) {
            m_list.push_back(record);
        } else {
            if (malformed == 0) {
                g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load",
                            "Load Failed. Malformed Cache File");
            }
            ++malformed;
            result = false;
        }
    }
    trailing = n;
    bool readError = std::ferror(file) != 0;
    std::fclose(file);
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Load", "Loaded %d entries",
                static_cast<int>(m_list.size()));

    if (readError) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Read error in cache file %s",
                    path.c_str());
        result = false;
    }
    if (malformed > 0) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Skipped %d malformed entries", malformed);
    }
    if (trailing > 0) {
        g_Debug.Log(DEBUG_WARNING, "CCacheManager::Load",
                    "Ignored %d bytes at the end of the cache file", static_cast<int>(trailing));
    }
    // The next save rewrites the file with only what was understood; keep the
    // original for whoever wants to look at what was skipped.
    if (malformed > 0 || trailing > 0 || readError) KeepOriginal();
    return result;
}

void CCacheManager::KeepOriginal() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (int i = 0; i < 100; ++i) {
        std::string copy = m_path + (i == 0 ? std::string(".bad") : Format(".bad%d", i));
        if (FileExistsAt(copy)) continue;
        if (CopyFileBytes(m_path, copy)) {
            g_Debug.Log(DEBUG_WARNING, "CCacheManager::Load",
                        "Cache file with unreadable parts kept as %s", copy.c_str());
        } else {
            g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Failed to keep a copy of %s as %s",
                        m_path.c_str(), copy.c_str());
        }
        return;
    }
    g_Debug.Log(DEBUG_ERROR, "CCacheManager::Load", "Too many kept copies of %s", m_path.c_str());
}

bool CCacheManager::Save() {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Save", "Saving submissions...");
    std::lock_guard<std::recursive_mutex> guard(m_lock);

    // Write beside the file and swap it in, so a crash mid-save leaves the old
    // file whole rather than a truncated one.
    std::string temp = m_path + ".tmp";
    std::FILE* file = m_path.empty() ? nullptr : OpenStream(temp, "wb");
    if (!file) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Save", "Failed to open cache file %s",
                    m_path.c_str());
        return false;
    }
    bool ok = m_list.empty() ||
              std::fwrite(m_list.data(), kRecordSize, m_list.size(), file) == m_list.size();
    ok = FlushToDisk(file) && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Save", "Failed to write cache file %s",
                    m_path.c_str());
        RemoveFilePath(temp);
        return false;
    }
    if (!ReplaceFileAtomically(temp, m_path)) {
        g_Debug.Log(DEBUG_ERROR, "CCacheManager::Save", "Failed to replace cache file %s",
                    m_path.c_str());
        RemoveFilePath(temp);
        return false;
    }
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::Save", "Saved %d entries",
                static_cast<int>(m_list.size()));
    return true;
}

bool CCacheManager::AddSubmission(Submission submission) {
    g_Debug.Log(DEBUG_DETAIL, "CCacheManager::AddSubmission", "Adding submission %s",
                submission.GetDisplayText().c_str());
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_list.push_back(submission);
    }
    Save();
    return true;
}

int CCacheManager::GetCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return static_cast<int>(m_list.size());
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
    m_list.erase(m_list.begin() + index);
    if (!m_list.empty()) {
        Save();
    } else if (!m_path.empty()) {
        RemoveFilePath(m_path);
    }
}

std::pair<int, int64_t> CCacheManager::GetStats() const {
    std::string path = GetFilePath();
    uint64_t size = 0;
    if (path.empty() || !FileSizeOf(path, &size)) size = 0;
    return {GetCount(), static_cast<int64_t>(size)};
}
