// Controls for the doubles that stand in for the system in unit tests.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/os_version.h"

// The ANSI code page: 1252 (the default), 932 (its lead bytes only: no
// conversion beyond ASCII) or 65001 (UTF-8).
void SetFakeAnsiCodePage(int codePage);

// OS version query: the record GetOSVersion returns; nullptr makes it fail.
// The default is a Windows XP Professional SP2 record.
void SetFakeOSVersion(const OSVersionRecord* record);

// Tick count: a fixed value; ResetFakeTickCount returns to a steady clock.
void SetFakeTickCount(uint32_t milliseconds);
void ResetFakeTickCount();

// Module version resource: what CModuleVersionInfo::SetModule finds.
void SetFakeModuleVersion(const std::string& fileVersion, const std::string& privateBuild);

// Settings store: an in-memory HKCU. Values keep their type and raw bytes, so
// wrong types and sizes can be planted as they can in a real registry.
void FakeRegistryReset();
void FakeRegistryCreateKey(const std::string& key);
bool FakeRegistryKeyExists(const std::string& key);
void FakeRegistrySetRaw(const std::string& key, const std::string& name, uint32_t type,
                        const std::string& bytes);
void FakeRegistrySetText(const std::string& key, const std::string& name, const std::string& text);
// A text stored through the wide call: the ANSI call reads it in the code page.
void FakeRegistrySetWideText(const std::string& key, const std::string& name,
                             const std::u16string& text);
void FakeRegistrySetNumber(const std::string& key, const std::string& name, int32_t value);
bool FakeRegistryGetRaw(const std::string& key, const std::string& name, uint32_t* type,
                        std::string* bytes);
std::vector<std::string> FakeRegistryValueNames(const std::string& key);  // in write order

// HTTP library: every request the engine makes is answered by a responder,
// which sees the request as the engine built it. A step can be made to fail.
enum FakeNetStep {
    FAKE_NET_NONE = 0,
    FAKE_NET_OPEN,
    FAKE_NET_CONNECT,
    FAKE_NET_OPEN_REQUEST,
    FAKE_NET_SEND,
    FAKE_NET_QUERY_STATUS,
    FAKE_NET_OPTION_USER,
    FAKE_NET_OPTION_PASSWORD,
};
struct FakeNetRequest {
    std::string agent;
    uint32_t accessType = 0;
    std::string proxy;
    std::vector<std::pair<uint32_t, std::string>> options;
    uint32_t timeoutMs = 0;
    std::string server;
    uint16_t port = 0;
    std::string verb;
    std::string object;
    uint32_t flags = 0;
    std::string headers;
    std::string data;
    std::vector<uint32_t> readSizes;  // what each read asked for
};
struct FakeNetAnswer {
    uint32_t status = 200;
    std::string body;
    FakeNetStep failAt = FAKE_NET_NONE;
    uint32_t error = 12029;  // reported for a failed step
    std::string date{};      // the Date header's text; empty: none
};
void FakeNetReset();
// Called for each request as it is sent, whole; default: 200 "OK\n".
void FakeNetSetResponder(std::function<FakeNetAnswer(const FakeNetRequest&)> responder);
// Answers taken in order before the responder is asked.
void FakeNetQueue(const FakeNetAnswer& answer);
std::vector<FakeNetRequest> FakeNetRequests();
int FakeNetOpenHandles();

// Connectivity: dial-up connections (their states, in order), the system's
// connected state and flags, and the host lookup.
struct FakeNetwork {
    FakeNetwork() : addresses(1) { addresses[0] = {192, 168, 7, 20}; }
    std::vector<uint32_t> dialUpStates;
    uint32_t neededBytesOverride = 0;  // a size the enumeration claims to need
    bool connected = true;
    uint32_t flags = 0x12;
    int hostNameResult = 0;
    bool lookupOk = true;
    std::vector<std::array<uint8_t, 4>> addresses;
    std::function<void()> onCheck;  // runs inside each connected-state check
};
void SetFakeNetwork(const FakeNetwork& network);
int FakeNetworkEnumCalls();

// Message boxes and the shell: what would have been shown, and the answer.
struct FakePromptRecord {
    std::string text;
    std::string caption;
    uint32_t style = 0;
    void* owner = nullptr;
};
void FakePromptReset(int answer = 1);
std::vector<FakePromptRecord> FakePrompts();
std::vector<std::string> FakeShellOpens();
// While held, every prompt waits (a worker stays inside it) until released.
void FakePromptHold(bool hold);

// The settings window: whether it can be created, and what was asked of it.
struct FakeConfigWindowState {
    bool canCreate = true;
    bool open = false;
    int creates = 0;
    int shows = 0;  // an open window brought to view
    void* engine = nullptr;
    void* owner = nullptr;
};
void FakeConfigWindowReset(bool canCreate = true);
FakeConfigWindowState FakeConfigWindow();

// The user's own data folder (with its backslash); empty: there is none.
void SetFakeUserDataFolder(const std::string& folder);

// Threads: the next starts fail while set.
void SetFakeThreadStartFailure(bool fail);

// The engine's wall clock: fixed at a date-time (see ToDateTime) until reset to
// the system's.
void SetFakeClockNow(int64_t dateTime);
void ResetFakeClock();

// A URL taken apart as the system's cracker does it for the transport: host,
// object path and extra part (query), %XX decoded, each under 1024 characters.
// Shared by the native HTTP doubles.
bool PortableCrackUrl(const std::string& url, std::string* host, std::string* path,
                      std::string* extra);

// Every double back to its first state (linked with the HTTP double).
void ResetAllFakes();

// The player's windows: which classes exist, the program's path, and the main
// window's answers to (message, wParam, lParam); the default answers 0.
void FakePlayerReset();
void FakePlayerSetWindows(const std::vector<std::string>& classes);
void FakePlayerSetProgramPath(const std::string& path);
void FakePlayerSetResponder(std::function<intptr_t(uint32_t, uintptr_t, intptr_t)> responder);
int FakePlayerProgramPathCalls();
