// The offline cache: submissions that could not be sent, oldest first, mirrored
// in a file of 803-byte records ("kelmar.99.cache" in the plug-in's folder).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/submission.h"

class CCacheManager {
  public:
    CCacheManager() = default;
    virtual ~CCacheManager() = default;
    CCacheManager(const CCacheManager&) = delete;
    CCacheManager& operator=(const CCacheManager&) = delete;

    // Sets the folder and file and appends the file's records to the list. False
    // when the file cannot be read or holds malformed records (the valid ones are
    // still loaded and the original file is kept beside it).
    bool Load(std::string directory, std::string fileName);
    // Writes the whole list to the file, replacing it in one step.
    bool Save();
    // Appends the record and saves. Always true: a failed save keeps the record
    // in memory for the next one.
    bool AddSubmission(Submission submission);
    int GetCount() const;
    // A copy of the record at the index, or an empty record outside the list.
    Submission GetAt(int index) const;
    // Removes the record and rewrites the file, or deletes it with the last one.
    void RemoveAt(int index);
    // The number of records and the size of the file in bytes (0 without one).
    std::pair<int, int64_t> GetStats() const;

    std::string GetFilePath() const;

  private:
    void KeepOriginal();

    std::vector<Submission> m_list;
    std::string m_directory;
    std::string m_path;
    mutable std::recursive_mutex m_lock;
};

constexpr char kCacheFileName[] = "kelmar.99.cache";
