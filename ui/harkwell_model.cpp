#include "ui/harkwell_model.h"

#include <cctype>
#include <climits>

#include "diagnostics/translate.h"
#include "engine/playtally.h"
#include "record/md5.h"

int ReadDialogNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

DialogValues LoadDialogValues(CPlaytally& engine, std::string* storedPassword, std::string* note) {
    Settings s = engine.GetSettings();
    DialogValues v;
    v.logSize = std::to_string(s.logSize);
    v.username = s.username;
    v.enabled = s.pluginEnabled != 0;
    v.showErrors = s.showErrors != 0;
    v.skipStreams = s.ignoreHttp != 0;
    v.listenRule = s.listenRule != 0;
    v.streamSongs = s.streamSongs != 0;
    v.proxyHost = s.proxyServer;
    v.proxyPort = std::to_string(s.proxyPort);
    v.proxyUser = s.proxyUser;
    v.proxyPass = s.proxyPass;
    v.useProxy = s.useProxy != 0;
    v.useProxyAuth = s.useProxyAuth != 0;
    *storedPassword = s.password;
    *note = s.password.empty() ? TR_TEXT("Please provide your details.")
                               : TR_TEXT("Your password is stored");
    return v;
}

std::string SaveRefusal(const DialogValues& v, const std::string& savedUsername) {
    // The stored digest is the old account's password: another account would
    // be refused with it.
    if (!v.username.empty() && v.username != savedUsername && v.password.empty())
        return TR_TEXT("You must enter the Password again if you change the Username.");
    if (v.useProxy && (v.proxyHost.empty() || ReadDialogNumber(v.proxyPort) <= 0))
        return TR_TEXT("You must enter a valid Server and a Port if you are using a Proxy.");
    if (v.useProxyAuth && (v.proxyUser.empty() || v.proxyPass.empty()))
        return TR_TEXT(
            "You must enter a Username and a Password if you are using Proxy Authentication.");
    return std::string();
}

void SaveDialogValues(CPlaytally& engine, const DialogValues& v,
                      const std::string& storedPassword) {
    bool typed = !v.password.empty();
    // Settings change only on the player's thread: this copy is current.
    Settings s = engine.GetSettings();
    bool newAccount = typed || v.username != s.username;
    s.username = v.username;
    s.password = typed ? Md5Hex(v.password) : storedPassword;
    s.logSize = ReadDialogNumber(v.logSize);
    s.showErrors = v.showErrors ? 1 : 0;
    s.ignoreHttp = v.skipStreams ? 1 : 0;
    s.listenRule = v.listenRule ? 1 : 0;
    s.streamSongs = v.streamSongs ? 1 : 0;
    s.proxyServer = v.proxyHost;
    s.proxyPort = ReadDialogNumber(v.proxyPort);
    s.proxyUser = v.proxyUser;
    s.proxyPass = v.proxyPass;
    s.useProxy = v.useProxy ? 1 : 0;
    s.useProxyAuth = v.useProxyAuth ? 1 : 0;
    engine.ApplySettings(s);
    // Only once the new account is in place: a handshake started in between
    // would use the old one.
    if (newAccount) engine.EndSession();
    ApplyEnableSwitch(engine, v.enabled);
    engine.SaveSettings();
    engine.CheckAccountOnce();
}

void ApplyEnableSwitch(CPlaytally& engine, bool enabled) {
    if (enabled == (engine.GetSettings().pluginEnabled != 0)) return;
    if (enabled) {
        engine.Enable();
    } else {
        engine.Disable();
    }
}
