// The services besides Kelmar that the user's plays also go to: each speaks
// Kelmar's protocol at an address of the user's choosing (most often an
// archive of their own), and has its own account, session and cache file.
// A counted play is queued in that file and sent from there by a worker, so
// that nothing one service does (a refusal, a time-out, a certificate) ever
// holds up Kelmar or another service.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cache/cache_manager.h"
#include "diagnostics/lock.h"
#include "engine/submit_address.h"
#include "record/submission.h"

constexpr int kMaxExtraServices = 4;
// A service's plays when no service is named: Kelmar's.
constexpr int kKelmarService = 0;

// One extra service as the settings keep it (the key "Services\<number>").
struct ServiceSettings {
    std::string name;
    std::string handshakeUrl;  // "http://" or "https://", with a port and a path when needed
    std::string username;
    std::string password;  // the MD5 digest, never the password
    int enabled = 1;
    bool IsSet() const { return !name.empty() || !handshakeUrl.empty(); }
};

// The file an extra service's waiting plays are kept in, beside Kelmar's;
// `number` 1 to kMaxExtraServices. Kelmar's own file never holds them.
std::string ServiceCacheFileName(int number);

// What the Services window shows of a service.
struct ServiceState {
    std::string status;  // the last answer's first line, or what went wrong
    int waiting = 0;
};

class CPlaytally;

class CExtraService {
  public:
    CExtraService() = default;
    CExtraService(const CExtraService&) = delete;
    CExtraService& operator=(const CExtraService&) = delete;

    void Attach(CPlaytally* engine, int number);
    // New settings; a session made under another address or account ends.
    void Configure(const ServiceSettings& settings);
    ServiceSettings Settings() const;
    // The file is read first when the timer has not read it yet (it does at
    // the start, and at each tick while the service is set).
    ServiceState State();

    // Timer thread: queues a counted play for this service, as its account's.
    void Queue(Submission play);
    // Timer thread: a handshake when there is no session and one is due, or
    // the next batch of waiting plays once the service's interval allows.
    void Tick();

    // The service's waiting plays, read from their file first when they have
    // not been (the Plays window acts on them through CPlaytally).
    CCacheManager& Cache();

  private:
    void LoadOnce();
    void Handshake(ServiceSettings settings, int epoch);
    void Flush(ServiceSettings settings, int epoch);
    // The plays the flush took, answered: kept or sent.
    void FlushAnswered(const ServiceSettings& settings, const std::string& response, int status,
                       const std::vector<Submission>& items, int requestId);
    void SetStatus(const std::string& status);
    // The next flush waits as the service asked (seconds).
    void WaitBeforeFlush(int seconds);
    // Ends the session: the next tick makes a new one, after the usual spacing.
    void EndSession(const char* why, int requestId);

    CPlaytally* m_engine = nullptr;
    int m_number = 0;
    CCacheManager m_cache;
    CMutex m_loadLock;                  // the first read of the cache file, before m_lock
    std::atomic<bool> m_loaded{false};  // set under m_loadLock once read
    // Under m_lock (taken under no other and holding none): the settings, the
    // session and the status.
    mutable CMutex m_lock;
    ServiceSettings m_settings;
    std::string m_challengeResponse;
    SubmitAddress m_submit;
    std::string m_status;
    std::atomic<bool> m_session{false};
    std::atomic<bool> m_busy{false};  // a request is out
    std::atomic<int> m_epoch{0};      // bumped by Configure; an older answer opens nothing
    std::atomic<int64_t> m_lastHandshake{0};
    std::atomic<int64_t> m_nextFlush{0};
    std::atomic<int> m_refusals{0};  // the first waiting play refused by name, in a row
};
