// The reference service's SQLite database: accounts and accepted plays.
// Thread-safe: one connection, used under a lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testbed/form_body.h"

struct sqlite3;

struct StoredPlay {
    int64_t id = 0;
    std::string user;
    SubmittedItem item;
    std::string receivedAt;  // UTC "YYYY-MM-DD HH:MM:SS"
};

class CPlayStore {
  public:
    // Opens or creates the database (":memory:" for none on disk); throws
    // std::runtime_error when it cannot.
    explicit CPlayStore(const std::string& path);
    ~CPlayStore();
    CPlayStore(const CPlayStore&) = delete;
    CPlayStore& operator=(const CPlayStore&) = delete;

    // Adds or replaces an account; the digest is the hex MD5 of the password.
    void SetAccount(const std::string& user, const std::string& passwordDigest);
    // Forgets every account (their plays stay).
    void ClearAccounts();
    // False when there is no such account.
    bool FindDigest(const std::string& user, std::string* passwordDigest);

    // Stores the items of one submission, in order, in one transaction. A play
    // the user already has (every field the same, as stored) is stored once:
    // returns how many of the items were such.
    int AddPlays(const std::string& user, const std::vector<SubmittedItem>& items,
                 const std::string& receivedAt);
    // Every stored play, newest first; only the user's when one is named.
    std::vector<StoredPlay> Plays(const std::optional<std::string>& user = std::nullopt);

  private:
    void Execute(const char* sql);

    std::mutex m_lock;
    sqlite3* m_db = nullptr;
};
