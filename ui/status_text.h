// The texts of the settings window's status labels, as pure functions of a
// snapshot of the engine's state: the window only takes the snapshot (texts
// under the engine lock) and sets the labels.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/translate.h"
#include "record/submission.h"

class CPlaytally;

// What the status block shows as Last Response before any answer, and the
// Playback State's forms (%d: seconds).
constexpr char kResponseDisabled[] = TR_TEXT("Disabled");
constexpr char kResponseOffline[] = TR_TEXT("No Connection Available");
constexpr char kResponseWaiting[] = TR_TEXT("Waiting For Handshake");
constexpr char kPlayingSubmittingIn[] = TR_TEXT("Playing (Submitting in %ds)");
constexpr char kPlayingTooShort[] = TR_TEXT("Playing (Too short to count)");
constexpr char kPlayingSent[] = TR_TEXT("Playing (Submission Sent)");
constexpr char kPlaybackPaused[] = TR_TEXT("Paused");
constexpr char kPlaybackStopped[] = TR_TEXT("Stopped");

// Every status text a window shows, by the line or window that shows it
// ("Last Response", "Playback State", "Plays window", "Services window"): "%s"
// stands for a reason or message, "%d" for a number. The user's guide names
// each one.
struct ShownStatus {
    const char* where;
    std::string text;
};
std::vector<ShownStatus> EveryShownStatus();

struct StatusSnapshot {
    int cachedCount = 0;
    int64_t cacheBytes = 0;
    bool cacheSaved = true;     // false: the last save of the cache file failed
    int otherAccountCount = 0;  // of those, the plays waiting for another account
    int secondsToSend = -1;
    bool playing = false;
    bool paused = false;
    int secondsToSubmit = -1;
    std::string lastResponse;
    bool enabled = true;
    bool handshakeComplete = false;
    int interval = 0;
};

// What the status block shows, read from the engine: texts copied under its
// lock, numbers and flags as single values.
StatusSnapshot TakeStatusSnapshot(CPlaytally& engine);

// "%d Bytes" up to 1023, then whole "%dKB", and whole "%dMB" above 1048575.
std::string FormatSize(int32_t bytes);

// The status block. `connected` is asked only when no response has come yet
// and the plug-in is enabled: it may take as long as the connectivity probe.
std::string BuildStatusBlock(const StatusSnapshot& state, const std::function<bool()>& connected);

// Five numbered lines, newest first; an empty slot leaves its line empty.
std::string BuildLastSubmitted(const std::vector<Submission>& recent);

// A status as a window shows it, in the user's language: a text of ours
// whole, or its parts before ": " in turn as long as they are ours; the
// service's answers, and whatever follows them, as they came.
std::string TrStatus(const std::string& status);

// "%s Version %s Build %s"; the version text carries its trailing space.
std::string BuildVersionLine(const std::string& pluginName, const std::string& versionText,
                             const std::string& build);
