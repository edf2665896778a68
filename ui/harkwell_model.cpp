#include "ui/harkwell_model.h"

#include <cctype>
#include <climits>

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
    DialogValues v;
    v.logSize = std::to_string(engine.m_logSize.load());
    v.username = engine.GetUsername();
    std::string password = engine.GetPassword();
    v.enabled = engine.m_pluginEnabled != 0;
    v.showErrors = engine.m_showErrors != 0;
    v.skipStreams = engine.m_ignoreHttp != 0;
    v.proxyHost = engine.GetProxyServer();
    v.proxyPort = std::to_string(engine.m_proxyPort.load());
    v.proxyUser = engine.GetProxyUser();
    v.proxyPass = engine.GetProxyPass();
    v.useProxy = engine.m_useProxy != 0;
    v.useProxyAuth = engine.m_useProxyAuth != 0;
    *storedPassword = password;
    *note = password.empty() ? "Please provide your details." : "Your password is stored";
    return v;
}

std::string SaveRefusal(const DialogValues& v) {
    if (v.useProxy && (v.proxyHost.empty() || ReadDialogNumber(v.proxyPort) <= 0))
        return "You must enter a valid Server and a Port if you are using a Proxy.";
    if (v.useProxyAuth && (v.proxyUser.empty() || v.proxyPass.empty()))
        return "You must enter a Username and a Password if you are using Proxy Authentication.";
    return std::string();
}

void SaveDialogValues(CPlaytally& engine, const DialogValues& v,
                      const std::string& storedPassword) {
    bool typed = !v.password.empty();
    bool newAccount = typed || v.username != engine.GetUsername();
    engine.SetUsername(v.username);
    engine.SetPassword(typed ? Md5Hex(v.password) : storedPassword);
    // Only once the new account is in place: a handshake started in between
    // would use the old one.
    if (newAccount) engine.EndSession();
    engine.m_logSize = ReadDialogNumber(v.logSize);
    engine.m_showErrors = v.showErrors ? 1 : 0;
    engine.m_ignoreHttp = v.skipStreams ? 1 : 0;
    engine.SetProxyServer(v.proxyHost);
    engine.m_proxyPort = ReadDialogNumber(v.proxyPort);
    engine.SetProxyUser(v.proxyUser);
    engine.SetProxyPass(v.proxyPass);
    engine.m_useProxy = v.useProxy ? 1 : 0;
    engine.m_useProxyAuth = v.useProxyAuth ? 1 : 0;
    ApplyEnableSwitch(engine, v.enabled);
    engine.SaveSettings();
}

void ApplyEnableSwitch(CPlaytally& engine, bool enabled) {
    if (enabled == (engine.m_pluginEnabled != 0)) return;
    if (enabled) {
        engine.Enable();
    } else {
        engine.Disable();
    }
}
