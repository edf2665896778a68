#include "ui/status_text.h"

#include <cstdint>

#include "diagnostics/format.h"
#include "engine/playtally.h"
#include "record/text_encoding.h"

StatusSnapshot TakeStatusSnapshot(CPlaytally& engine) {
    StatusSnapshot state;
    auto stats = engine.m_cache.GetStats();
    state.cachedCount = stats.first;
    state.cacheBytes = stats.second;
    state.cacheSaved = engine.m_cache.IsSaved();
    state.otherAccountCount = engine.m_otherAccountPlays;
    state.secondsToSend = engine.GetSecondsToSend();
    state.playing = engine.IsPlaying() != 0;
    state.paused = engine.IsPaused() != 0;
    state.secondsToSubmit = engine.GetSecondsToSubmit();
    state.lastResponse = engine.GetServerStatus();
    state.enabled = engine.GetSettings().pluginEnabled != 0;
    state.handshakeComplete = engine.m_handshakeComplete != 0;
    state.interval = engine.m_interval;
    return state;
}

std::string FormatSize(int32_t bytes) {
    if (bytes <= 1023) return Format("%d Bytes", bytes);
    if (bytes > 1048575) return Format("%dMB", bytes / 1048576);
    return Format("%dKB", bytes / 1024);
}

std::string BuildStatusBlock(const StatusSnapshot& state, const std::function<bool()>& connected) {
    int32_t size =
        state.cacheBytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(state.cacheBytes);
    std::string text = Format("Cached Files\t%d (%s)", state.cachedCount, FormatSize(size).c_str());
    if (state.otherAccountCount > 0)
        text += Format(", %d for another account", state.otherAccountCount);
    // Plays at risk: they live only in memory until a save succeeds.
    if (!state.cacheSaved) text += " not saved";
    if (state.cachedCount > 0 && state.secondsToSend > 0) {
        text += Format(" Sending in %ds\r\n", state.secondsToSend);
    } else {
        text += "\r\n";
    }

    if (state.playing) {
        text += "Playback State\tPlaying";
        text +=
            state.secondsToSubmit > 0 ? Format(" (Submitting in %ds)\r\n", state.secondsToSubmit)
            : state.secondsToSubmit == kNeverSubmitted ? std::string(" (Too short to count)\r\n")
                                                       : std::string(" (Submission Sent)\r\n");
    } else if (state.paused) {
        text += "Playback State\tPaused\r\n";
    } else {
        text += "Playback State\tStopped\r\n";
    }

    std::string response, message;
    if (state.lastResponse.empty()) {
        if (!state.enabled) {
            response = "Disabled";
        } else if (!connected()) {
            response = "No Connection Available";
        } else if (!state.handshakeComplete) {
            response = "Waiting For Handshake";
        }
    } else {
        size_t space = state.lastResponse.find(' ');
        // Our own texts stay whole: their first word is no answer of the service.
        if (space == std::string::npos || space == 0 || IsOwnStatus(state.lastResponse)) {
            response = state.lastResponse;
        } else {
            response = state.lastResponse.substr(0, space);
            message = TrimSpace(state.lastResponse.substr(space + 1));
        }
    }
    // The texts may be longer than the formatter's limit: appended, not formatted.
    text += Format("Submit Interval\t%d\r\nLast Response\t", state.interval);
    text += response + "\nLast Message\t" + message;
    return text;
}

std::string BuildLastSubmitted(const std::vector<Submission>& recent) {
    std::string text;
    for (int i = 1; i <= 5; ++i) {
        size_t slot = static_cast<size_t>(i - 1);
        std::string shown = slot < recent.size() ? recent[slot].GetDisplayText() : std::string();
        text += Format("%d. ", i) + shown + "\r\n";
    }
    return text;
}

std::string BuildVersionLine(const std::string& pluginName, const std::string& versionText,
                             const std::string& build) {
    return pluginName + " Version " + versionText + " Build " + build;
}
