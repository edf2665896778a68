// The services besides Kelmar that the user's plays also go to: each speaks
// Kelmar's protocol at an address of the user's choosing (most often an
// archive of their own), and has its own account, session and cache file.
// A counted play is queued in that file and sent from there by a worker, so
// that nothing one service does (a refusal, a time-out, a certificate) ever
// holds up Kelmar or another service.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache_manager.h"
#include "diagnostics/lock.h"
#include "engine/session_rules.h"
#include "engine/submit_address.h"
#include "record/submission.h"

constexpr int kMaxExtraServices = 4;
// A service's plays when no service is named: Kelmar's.
constexpr char kKelmarService[] = "";

// One extra service as the settings keep it (the key "Services\<number>").
struct ServiceSettings {
    std::string name;
    std::string handshakeUrl;  // "http://" or "https://", with a port and a path when needed
    std::string username;
    std::string password;  // the MD5 digest, never the password
    int enabled = 1;
    // Who the service is, whatever its number or name: its plays are kept
    // under it and go to it alone. Services set before it was kept have
    // their number.
    std::string id = {};
    bool IsSet() const { return !name.empty() || !handshakeUrl.empty(); }
};

// A new service's identity, made from its address and account: the same
// service added again finds the plays kept for it, another never does.
std::string MakeServiceId(const ServiceSettings& settings);

// The file a service's waiting plays are kept in, beside Kelmar's (which
// never holds them).
std::string ServiceCacheFileName(const std::string& id);

// What the Services window shows of a service.
struct ServiceState {
    std::string status;  // the last answer's first line, or what went wrong
    int waiting = -1;    // -1 until the timer has read its file
};

class CPlaytally;

class CExtraService : public std::enable_shared_from_this<CExtraService> {
  public:
    CExtraService(CPlaytally* engine, const ServiceSettings& settings);
    CExtraService(const CExtraService&) = delete;
    CExtraService& operator=(const CExtraService&) = delete;

    const std::string& Id() const { return m_id; }
    // New settings for the same service; a session made under another
    // address or account ends.
    void Configure(const ServiceSettings& settings);
    ServiceSettings Settings() const;
    // Never reads the file: the timer does.
    ServiceState State() const;

    // Timer thread: queues a counted play for this service, as its account's.
    void Queue(Submission play);
    // Timer thread: the file read once, then a handshake when there is no
    // session and one is due, or the next batch of waiting plays once the
    // service's interval allows.
    void Tick();
    // The service is removed: nothing more is sent, no answer opens a
    // session, and with `discard` its waiting plays go (those a flush is
    // sending once its answer has come, unless they were sent).
    void Retire(bool discard);
    // Set again before its last request ended: it carries on as it was, with
    // these settings (the plays a discard has not reached yet stay).
    void Revive(const ServiceSettings& settings);

    // The service's waiting plays, read from their file first when they have
    // not been (the Plays window acts on them through CPlaytally).
    CCacheManager& Cache();
    // Goes up with every change of its waiting plays.
    unsigned Changes() const { return m_cache.Changes(); }

  private:
    bool Retired() const;
    void LoadOnce();
    void Handshake(ServiceSettings settings, int epoch);
    void Flush(ServiceSettings settings, int epoch);
    // The plays the flush took, answered: kept or sent.
    void FlushAnswered(const ServiceSettings& settings, const std::string& response, int status,
                       const std::vector<Submission>& items, int requestId);
    // The retired service's plays, discarded; and those a flush held back,
    // once it has ended, when the service was removed with its plays.
    void DiscardPlays();
    void DiscardIfRemoved(const ServiceSettings& settings);
    void SetStatus(const std::string& status);
    // Ends the session: the next tick makes a new one, after the usual spacing.
    void EndSession(const char* why, int requestId);

    CPlaytally* m_engine = nullptr;
    const std::string m_id;
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
    bool m_retired = false;
    bool m_discard = false;
    std::atomic<bool> m_session{false};
    std::atomic<bool> m_busy{false};  // a request is out
    std::atomic<int> m_epoch{0};      // bumped by Configure; an older answer opens nothing
    // Local wall-clock seconds, as Kelmar's: the last greeting, the last send
    // and the interval the service asked for.
    std::atomic<int64_t> m_lastHandshake{0};
    std::atomic<int64_t> m_lastSend{0};
    std::atomic<int> m_interval{0};
    CRefusalRun m_refusals;
};
