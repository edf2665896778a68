#include "ui/status_text.h"

#include <cstdint>

#include "diagnostics/format.h"
#include "diagnostics/translate.h"
#include "engine/playtally.h"
#include "record/text_encoding.h"
#include "ui/plays_model.h"
#include "ui/services_model.h"

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
    if (bytes <= 1023) return Format(TrPlural(bytes, "%d Byte", "%d Bytes"), bytes);
    if (bytes > 1048575) return Format(Tr("%dMB"), bytes / 1048576);
    return Format(Tr("%dKB"), bytes / 1024);
}

std::string BuildStatusBlock(const StatusSnapshot& state, const std::function<bool()>& connected) {
    int32_t size =
        state.cacheBytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(state.cacheBytes);
    std::string text = std::string(Tr("Cached Files")) + "\t" +
                       Format("%d (%s)", state.cachedCount, FormatSize(size).c_str());
    if (state.otherAccountCount > 0)
        text += Format(Tr(", %d for another account"), state.otherAccountCount);
    // Plays at risk: they live only in memory until a save succeeds.
    if (!state.cacheSaved) text += std::string(" ") + Tr("not saved");
    if (state.cachedCount > 0 && state.secondsToSend > 0)
        text += " " + Format(Tr("Sending in %ds"), state.secondsToSend);
    text += "\r\n";

    text += std::string(Tr("Playback State")) + "\t";
    if (state.playing) {
        text += state.secondsToSubmit > 0 ? Format(Tr(kPlayingSubmittingIn), state.secondsToSubmit)
                : state.secondsToSubmit == kNeverSubmitted ? Tr(kPlayingTooShort)
                                                           : Tr(kPlayingSent);
    } else {
        text += Tr(state.paused ? kPlaybackPaused : kPlaybackStopped);
    }
    text += "\r\n";

    std::string response, message;
    if (state.lastResponse.empty()) {
        if (!state.enabled) {
            response = Tr(kResponseDisabled);
        } else if (!connected()) {
            response = Tr(kResponseOffline);
        } else if (!state.handshakeComplete) {
            response = Tr(kResponseWaiting);
        }
    } else {
        size_t space = state.lastResponse.find(' ');
        // Our own texts stay whole: their first word is no answer of the service.
        if (IsOwnStatus(state.lastResponse)) {
            response = TrStatus(state.lastResponse);
        } else if (space == std::string::npos || space == 0) {
            response = state.lastResponse;
        } else {
            response = state.lastResponse.substr(0, space);
            message = TrimSpace(state.lastResponse.substr(space + 1));
        }
    }
    // The texts may be longer than the formatter's limit: appended, not formatted.
    text += Format("%s\t%d\r\n", Tr("Submit Interval"), state.interval);
    text += std::string(Tr("Last Response")) + "\t" + response + "\n" + Tr("Last Message") + "\t" +
            message;
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

std::string TrStatus(const std::string& status) {
    std::string shown;
    // Our texts lead, each before ": ", three at most ("Account not checked:
    // Service not reached: timed out"); what follows the first part that is
    // not ours is the service's, shown as it came, however long it is and
    // however many of our words it repeats.
    for (size_t at = 0, part = 0;; ++part) {
        if (part == 3) return shown + status.substr(at);
        std::string rest = status.substr(at);
        const char* whole = Tr(rest.c_str());
        if (whole != rest.c_str()) return shown + whole;
        // "network error 12175": the words ours, the number as it is
        size_t number = rest.find_last_not_of("0123456789");
        if (number != std::string::npos && number + 1 < rest.size() && rest[number] == ' ') {
            std::string words = rest.substr(0, number);
            const char* translated = Tr(words.c_str());
            if (translated != words.c_str()) return shown + translated + rest.substr(number);
        }
        size_t colon = status.find(": ", at);
        if (colon == std::string::npos) return shown + rest;
        std::string head = status.substr(at, colon - at);
        const char* translated = Tr(head.c_str());
        if (translated == head.c_str()) return shown + rest;
        shown += std::string(translated) + ": ";
        at = colon + 2;
    }
}

std::string BuildVersionLine(const std::string& pluginName, const std::string& versionText,
                             const std::string& build) {
    return Tr(pluginName) + " " +
           Format(Tr("Version %s Build %s"), versionText.c_str(), build.c_str());
}

std::vector<ShownStatus> EveryShownStatus() {
    std::vector<ShownStatus> shown;
    for (const char* text : {kResponseDisabled, kResponseOffline, kResponseWaiting})
        shown.push_back({"Last Response", text});
    for (const OwnStatus& own : kOwnStatuses) {
        std::string text = std::string(own.text) + (own.withReason ? ": %s" : "");
        if (own.kelmar) shown.push_back({"Last Response", text});
        if (own.extra) shown.push_back({"Services window", text});
    }
    shown.push_back({"Services window", kServiceSwitchedOff});
    for (const char* text :
         {kPlayingSubmittingIn, kPlayingTooShort, kPlayingSent, kPlaybackPaused, kPlaybackStopped})
        shown.push_back({"Playback State", text});
    for (const std::string& text : EveryPlayStatus())
        shown.push_back({"Plays window", text});
    return shown;
}
