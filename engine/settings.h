// The engine's settings and its session with the service, each read and
// replaced as one value under the engine lock (CPlaytally::GetSettings,
// ApplySettings, GetSession), so that no reader pairs a new value with an old
// one.
#pragma once

#include <string>
#include <vector>

// Cached submissions sent in one flush unless "maxcachesubs" says otherwise.
constexpr int kDefaultMaxCacheSubs = 10;

// Every value under the plug-in's registry key, named after it. The first
// thirteen are what the settings window edits and saving writes; the rest are
// only ever set by hand and read at start.
struct Settings {
    std::string username;  // "username"
    std::string password;  // "password": the MD5 digest, never the password
    int pluginEnabled = 1;
    int logSize = -1;  // kilobytes; 0 no log, -1 no limit
    int showErrors = 1;
    int ignoreHttp = 0;
    int useProxy = 0;
    std::string proxyServer;
    int proxyPort = 8080;
    int useProxyAuth = 0;
    std::string proxyUser;
    std::string proxyPass;
    int listenRule = 0;   // a track counts once heard for half its length or 4 minutes
    int streamSongs = 0;  // each song on a stream is a track of its own
    int forceCache = 0;
    int forceConnection = 0;
    int allowCache = 1;
    int maxCacheSubs = kDefaultMaxCacheSubs;
    int secureHandshake = 0;  // the handshake over HTTPS, on port 443
    // Never submitted: tracks under these folders, or of these genres (each
    // list separated by ";"), in UTF-8.
    std::string skipFolders;
    std::string skipGenres;
    // Before a play is cached or sent: its title loses a trailing remaster or
    // edition note ("cleantitles"), and with "artistfield" "albumartist" the
    // album artist, when the track has one, is its artist.
    int cleanTitles = 0;
    std::string artistField = "artist";
    // The windows' language ("de", "pt-BR"...; "en"): empty follows Windows.
    // Read at start.
    std::string language;
};

// A value under the plug-in's registry key, or under an extra service's
// (Services\N): its name, whether it is a text (else a DWORD), and its
// default as the user's guide writes it ("empty", "not set" or the value).
struct RegistryValue {
    std::string name;
    bool text;
    std::string byDefault;
};
std::vector<RegistryValue> KelmarRegistryValues();
std::vector<RegistryValue> ServiceRegistryValues();

// What submissions are sent with: the challenge response of the last
// handshake together with the account it was made for, and where to post.
struct Session {
    std::string username;
    std::string challengeResponse;
    std::string server;
    std::string submitPath;
};
