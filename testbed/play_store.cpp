#include "testbed/play_store.h"

#include <sqlite3.h>

#include <stdexcept>

namespace {

const char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    user TEXT PRIMARY KEY,
    digest TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS plays (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user TEXT NOT NULL,
    artist TEXT NOT NULL,
    title TEXT NOT NULL,
    album TEXT NOT NULL,
    length TEXT NOT NULL,
    time TEXT NOT NULL,
    received_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS plays_by_time ON plays (user, time);
)sql";

// A prepared statement, finalized when it goes out of scope.
class CStatement {
  public:
    CStatement(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) Fail();
    }
    ~CStatement() { sqlite3_finalize(m_statement); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    CStatement& Bind(int column, const std::string& text) {
        if (sqlite3_bind_text(m_statement, column, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK)
            Fail();
        return *this;
    }
    // True while there is a row; false when done.
    bool Step() {
        int rc = sqlite3_step(m_statement);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail();
        return rc == SQLITE_ROW;
    }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(m_statement, column);
        int size = sqlite3_column_bytes(m_statement, column);
        return text ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
    }
    int64_t Integer(int column) { return sqlite3_column_int64(m_statement, column); }

  private:
    [[noreturn]] void Fail() { throw std::runtime_error(sqlite3_errmsg(m_db)); }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

}  // namespace

CPlayStore::CPlayStore(const std::string& path) {
    if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK) {
        std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("cannot open " + path + ": " + message);
    }
    try {
        Execute(kSchema);
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

CPlayStore::~CPlayStore() {
    sqlite3_close(m_db);
}

void CPlayStore::Execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(message);
    }
}

void CPlayStore::SetAccount(const std::string& user, const std::string& passwordDigest) {
    std::lock_guard<std::mutex> guard(m_lock);
    CStatement(m_db, "INSERT OR REPLACE INTO accounts (user, digest) VALUES (?, ?)")
        .Bind(1, user)
        .Bind(2, passwordDigest)
        .Step();
}

void CPlayStore::ClearAccounts() {
    std::lock_guard<std::mutex> guard(m_lock);
    CStatement(m_db, "DELETE FROM accounts").Step();
}

bool CPlayStore::FindDigest(const std::string& user, std::string* passwordDigest) {
    std::lock_guard<std::mutex> guard(m_lock);
    CStatement query(m_db, "SELECT digest FROM accounts WHERE user = ?");
    if (!query.Bind(1, user).Step()) return false;
    *passwordDigest = query.Text(0);
    return true;
}

int CPlayStore::AddPlays(const std::string& user, const std::vector<SubmittedItem>& items,
                         const std::string& receivedAt) {
    std::lock_guard<std::mutex> guard(m_lock);
    int held = 0;
    Execute("BEGIN");
    try {
        for (const SubmittedItem& item : items) {
            CStatement known(m_db,
                             "SELECT 1 FROM plays WHERE user = ? AND artist = ? AND title = ?"
                             " AND album = ? AND length = ? AND time = ?");
            known.Bind(1, user)
                .Bind(2, item.artist)
                .Bind(3, item.title)
                .Bind(4, item.album)
                .Bind(5, item.length)
                .Bind(6, item.time);
            if (known.Step()) {
                ++held;
                continue;
            }
            CStatement(m_db,
                       "INSERT INTO plays (user, artist, title, album, length, time, received_at)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?)")
                .Bind(1, user)
                .Bind(2, item.artist)
                .Bind(3, item.title)
                .Bind(4, item.album)
                .Bind(5, item.length)
                .Bind(6, item.time)
                .Bind(7, receivedAt)
                .Step();
        }
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return held;
}

std::vector<StoredPlay> CPlayStore::Plays(const std::optional<std::string>& user) {
    std::lock_guard<std::mutex> guard(m_lock);
    CStatement query(m_db, user ? "SELECT id, user, artist, title, album, length, time, received_at"
                                  " FROM plays WHERE user = ? ORDER BY id DESC"
                                : "SELECT id, user, artist, title, album, length, time, received_at"
                                  " FROM plays ORDER BY id DESC");
    if (user) query.Bind(1, *user);
    std::vector<StoredPlay> plays;
    while (query.Step()) {
        StoredPlay play;
        play.id = query.Integer(0);
        play.user = query.Text(1);
        play.item.artist = query.Text(2);
        play.item.title = query.Text(3);
        play.item.album = query.Text(4);
        play.item.length = query.Text(5);
        play.item.time = query.Text(6);
        play.receivedAt = query.Text(7);
        plays.push_back(play);
    }
    return plays;
}
