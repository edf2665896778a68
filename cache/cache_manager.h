// The offline cache: submissions that could not be sent, oldest first, mirrored
// in a file of 803-byte records ("kelmar.99.cache" in the plug-in's folder).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "diagnostics/lock.h"
#include "record/submission.h"

// An allocator whose containers grow without writing the new elements: the cache
// reads its file straight over them, and zeroing the records first doubled the
// cost of a load. Only for plain records that any bytes make a valid object of.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "only plain records may be left unwritten");
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

class CCacheManager {
  public:
    CCacheManager() = default;
    virtual ~CCacheManager() = default;
    CCacheManager(const CCacheManager&) = delete;
    CCacheManager& operator=(const CCacheManager&) = delete;

    // Sets the folder and file and appends the file's records to the list. False
    // when the file cannot be read, holds malformed records or is too large to be
    // a cache (the valid ones are still loaded and the original file is kept
    // beside it). Never throws.
    bool Load(std::string directory, std::string fileName);
    // Writes the whole list to the file, replacing it in one step; an empty list
    // deletes the file. A file another program holds is tried again for a short
    // while; after that the save has failed and IsSaved is false until the next
    // one succeeds.
    bool Save();
    // Appends the record and saves. Always true: a failed save keeps the record
    // in memory for the next one.
    bool AddSubmission(Submission submission);
    // Appends the records in order with a single save, as quit does.
    bool AddSubmissions(const std::vector<Submission>& submissions);
    // Read without waiting for a save in progress.
    int GetCount() const;
    // A copy of every record, in order; `taken`, when given, gets a flag for
    // each, set for those a flush has taken.
    std::vector<Submission> GetAll(std::vector<unsigned char>* taken = nullptr) const;
    // Goes up with every change of the list (each is saved), and when a flush
    // takes records or lets them go, so that a reader can tell cheaply
    // whether to look again.
    unsigned Changes() const { return m_changes; }
    // A copy of the record at the index, or an empty record outside the list.
    Submission GetAt(int index) const;
    // Removes the record and rewrites the file, or deletes it with the last one.
    void RemoveAt(int index);
    // The records tagged with another account.
    int CountOtherAccounts(const AccountTag& account) const;
    // Removes the newest record identical to this one; false when there is none.
    bool RemoveLast(const Submission& submission);

    // A flush: up to `limit` records of this account, in order, taken for
    // sending. They stay in the list and the file until the answer comes;
    // meanwhile RemoveRecords and TagRecords leave them alone. Taking again
    // releases what was taken before.
    std::vector<Submission> TakeForAccount(const AccountTag& account, int limit);
    // The taken records leave the list with a single rewrite of the file (the
    // flush was accepted); the records.
    std::vector<Submission> RemoveTaken();
    // The flush ended otherwise: its records are free again.
    void ReleaseTaken();

    // What RemoveRecords and TagRecords did: the records acted on, and how
    // many of those asked for a flush had taken.
    struct Change {
        std::vector<Submission> records;
        int taken = 0;
    };
    // Removes, or tags with the account, the first record identical to each of
    // these, in one pass and with a single rewrite of the file. Records are
    // found by their bytes, not their places, which others may change
    // meanwhile; one a flush has taken is left as it is.
    Change RemoveRecords(const std::vector<Submission>& records);
    Change TagRecords(const std::vector<Submission>& records, const std::string& username);
    // Puts `replacement` in the place of the first record identical to
    // `record` and rewrites the file; found and left alone as those do.
    Change ReplaceRecord(const Submission& record, const Submission& replacement);
    // Moves the first record identical to this one to the end of the side file
    // (the cache file's name with ".refused" after it) and out of the list.
    // Nothing changes when it is not there or the side file cannot be written.
    bool SetAside(const Submission& record);
    std::string GetSideFilePath() const;
    // The number of records and the size of the file in bytes (0 without one).
    std::pair<int, int64_t> GetStats() const;
    // False while the last save failed: the list holds plays the file lacks.
    bool IsSaved() const { return !m_unsaved; }

    std::string GetFilePath() const;

  private:
    // The first record identical to this one; -1 when there is none. Under m_lock.
    int Find(const Submission& record) const;
    // For each of `records`, the index of the first identical record in the
    // list not matched to an earlier one, or -1; one pass over the list.
    std::vector<int> Match(const std::vector<Submission>& records) const;
    // Keeps the records for which keep(index) is true, in order. Under m_lock.
    template <class Keep>
    void EraseUnless(Keep keep);
    void Erase(size_t index);
    bool IsTaken(int index) const;
    // Mirrors a shortened list in the file.
    void SaveAfterRemoval();
    bool WriteList();
    // Deletes the file of an emptied list, or empties it when it cannot go.
    bool RemoveFile();
    void SetPath(std::string path);
    // The level of a failed save's line: an error the first time in a run.
    int FailureLevel();
    bool LoadFile(const std::string& directory, const std::string& fileName);
    // Keeps the file as the first free .bad, .bad1 ... unless an identical copy
    // is already there.
    void KeepOriginal();

    // resize() leaves new records unwritten: only Load calls it, and it reads the
    // file over them before keeping any.
    std::vector<Submission, UninitializedAllocator<Submission>> m_list;
    std::string m_directory;
    // Changed under both locks; read under either.
    std::string m_path;
    // Taken in the order written at CPlaytally's engine lock: m_lock, then
    // m_pathLock, then the log's.
    mutable CRecursiveMutex m_lock;
    // Only for the path: the settings window reads it while a save may be
    // waiting on a file held by another program.
    mutable CMutex m_pathLock;
    // While a flush is out: a flag for each record of the list, set for those
    // it took. Empty when none is.
    std::vector<unsigned char> m_taken;
    std::atomic<int> m_count{0};
    std::atomic<unsigned> m_changes{0};
    std::atomic<bool> m_unsaved{false};
    bool m_failureLogged = false;
};

constexpr char kCacheFileName[] = "kelmar.99.cache";
