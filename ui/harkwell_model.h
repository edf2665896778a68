// What the settings dialog holds and how it opens and saves, apart from its
// window: the window only moves these values in and out of its controls.
#pragma once

#include <string>

class CPlaytally;

struct DialogValues {
    std::string username;
    std::string password;  // as typed; the stored digest is kept aside
    std::string logSize;   // numeric edits, as typed
    std::string proxyPort;
    std::string proxyHost;
    std::string proxyUser;
    std::string proxyPass;
    bool enabled = false;
    bool showErrors = true;
    bool skipStreams = false;
    bool listenRule = false;
    bool streamSongs = false;
    bool useProxy = false;
    bool useProxyAuth = false;
};

// A number as typed: leading white space and a sign, then the digits up to the
// first other character; 0 when it does not start with a number.
int ReadDialogNumber(const std::string& text);

// The engine's settings as the dialog opens with them. A stored password is
// set aside in `storedPassword` and the password edit stays empty; `note` is
// the login note.
DialogValues LoadDialogValues(CPlaytally& engine, std::string* storedPassword, std::string* note);

// Why Save refuses, in the order the checks run; empty when it may save.
// `savedUsername`: the account in force, whose digest is no use to another.
std::string SaveRefusal(const DialogValues& values, const std::string& savedUsername);

// Save: a typed password is stored as its digest and ends the session; the
// rest is copied, the switch applied, and the settings written.
void SaveDialogValues(CPlaytally& engine, const DialogValues& values,
                      const std::string& storedPassword);

// "Enable Plugin" clicked: applied to the engine at once.
void ApplyEnableSwitch(CPlaytally& engine, bool enabled);
