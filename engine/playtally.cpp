#include "engine/playtally.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "cache/file_ops.h"
#include "diagnostics/debug.h"
#include "diagnostics/local_time.h"
#include "diagnostics/os_version.h"
#include "diagnostics/translate.h"
#include "diagnostics/utf16.h"
#include "engine/config_window.h"
#include "engine/connectivity_api.h"
#include "engine/data_folder.h"
#include "engine/http_api.h"
#include "engine/settings_store.h"
#include "engine/user_prompt.h"

// A build setting (KELMAR_HANDSHAKE_HOST); always a host name, so that a proxy
// setting can reach it.
const char kDefaultHandshakeHost[] = KELMAR_HANDSHAKE_HOST;

namespace {

const char* const kExcludedExtensions[] = {"NSV", "AVI", "M2V", "ASF", "WMV", "MPG", "MPEG"};

// What the settings window edits, in the order saving writes it: a text where
// `text` is set, else a number.
struct EditedValue {
    const char* name;
    std::string Settings::*text;
    int Settings::*number;
};
const EditedValue kEditedValues[] = {
    {"username", &Settings::username, nullptr},
    {"password", &Settings::password, nullptr},
    {"pluginenabled", nullptr, &Settings::pluginEnabled},
    {"logsize", nullptr, &Settings::logSize},
    {"showerrors", nullptr, &Settings::showErrors},
    {"ignorehttp", nullptr, &Settings::ignoreHttp},
    {"useproxy", nullptr, &Settings::useProxy},
    {"proxyserver", &Settings::proxyServer, nullptr},
    {"proxyport", nullptr, &Settings::proxyPort},
    {"useproxyauth", nullptr, &Settings::useProxyAuth},
    {"proxyuser", &Settings::proxyUser, nullptr},
    {"proxypass", &Settings::proxyPass, nullptr},
    {"listenrule", nullptr, &Settings::listenRule},
    {"streamsongs", nullptr, &Settings::streamSongs},
};
// Set only by hand: read, never written.
const std::pair<const char*, int Settings::*> kHandSetValues[] = {
    {"forcecache", &Settings::forceCache},
    {"forceconnection", &Settings::forceConnection},
    {"allowcache", &Settings::allowCache},
    {"maxcachesubs", &Settings::maxCacheSubs},
    {"securehandshake", &Settings::secureHandshake},
    {"cleantitles", &Settings::cleanTitles},
};

const std::pair<const char*, std::string Settings::*> kHandSetTexts[] = {
    {"skipfolders", &Settings::skipFolders},
    {"skipgenres", &Settings::skipGenres},
    {"artistfield", &Settings::artistField},
    {"language", &Settings::language},
};
constexpr size_t kSkipListBuffer = 4096;  // UTF-16 units
// Read at start when set, never written; without them the log's level and the
// threshold stay as they are.
constexpr char kDebugOverrideValue[] = "debugoverride";
constexpr char kSubmitPercentValue[] = "submitpc";

// An extra service's values, under Services\N.
constexpr char kServiceIdValue[] = "id";
constexpr char kServiceNameValue[] = "name";
constexpr char kServiceUrlValue[] = "handshakeurl";
constexpr char kServiceUserValue[] = "username";
constexpr char kServicePasswordValue[] = "password";
constexpr char kServiceEnabledValue[] = "enabled";

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool IsStream(const std::string& path) {
    return Upper(path.substr(0, 7)) == "HTTP://" || Upper(path.substr(0, 8)) == "HTTPS://";
}

void SetSongField(char (&field)[1024], const std::string& text) {
    size_t n = Utf8CutPoint(text, sizeof(field) - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, sizeof(field) - n);
}

CPlaytally::CPlaytally()
    : m_lastHandshakeAttempt(MakeDateTime(1970, 1, 1, 0, 0, 0)),
      m_lastSubmitTime(MakeDateTime(1970, 1, 1, 0, 0, 0)),
      m_server(kDefaultHandshakeHost) {}

CPlaytally::~CPlaytally() {
    // No wait for workers here: in the plug-in each worker holds the module, so
    // the engine goes only after them, or at process exit, when they are gone
    // without having said so.
    StopTimer();
}

void CPlaytally::StopTimer() {
    {
        std::lock_guard<std::mutex> guard(m_timerLock);
        m_stop = 1;
    }
    // Woken now rather than at its next tick, and waited for.
    m_timerWake.notify_all();
    if (m_timer) {
        JoinThread(m_timer);
        m_timer = nullptr;
    }
    // A session start asked for but never run is no longer waited for.
    bool wanted;
    {
        std::lock_guard<std::mutex> guard(m_timerLock);
        wanted = m_sessionStartWanted;
        m_sessionStartWanted = false;
    }
    if (wanted) WorkerEnded();
}

void CPlaytally::RequestSessionStart() {
    {
        std::lock_guard<std::mutex> guard(m_timerLock);
        if (m_stop != 0 || !m_timer || m_sessionStartWanted) return;
        m_sessionStartWanted = true;
    }
    WorkerStarted();
    m_timerWake.notify_all();
}

void CPlaytally::LoadCacheOnce() {
    // The timer, the Plays window and an export may ask at once: each goes on
    // with the whole cache read. (No std::call_once: on the MinGW threads
    // runtime it leaves a handle behind with every unload of the plug-in.)
    std::lock_guard<std::mutex> guard(m_cacheLoadLock);
    if (m_cacheLoaded) return;
    m_cacheLoaded = true;
    m_cache.Load(m_dataDir, "");
}

void CPlaytally::Shutdown() {
    StopTimer();
    // Workers call back into the engine and the player-specific class.
    WaitForWorkers(-1);
}

int CPlaytally::IsSupportedFile(const std::string& path) {
    if (path.size() <= 3) return 0;
    if (IsStream(path) && GetSettings().ignoreHttp != 0) return 0;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0) return 0;
    std::string extension = Upper(path.substr(dot + 1));
    for (const char* excluded : kExcludedExtensions) {
        if (extension == excluded) return 0;
    }
    return 1;
}

int CPlaytally::StartPlaytallying(std::string workingDir, InstanceHandle instance) {
    g_Debug.Log(DEBUG_DETAIL, "KCPlaytally::StartPlaytallying",
                "Working dir %s, Timeout is %d, Threshold is %d%%", workingDir.c_str(),
                kTimerPeriodMs, static_cast<int>(m_threshold.load() * 100));
    int result = 0;
    if (!workingDir.empty()) {
        m_workingDir = workingDir;
        m_instance = instance;
        m_versionInfo.SetModule(m_instance);
        if (m_workingDir.back() != '\\') m_workingDir += '\\';
        DataFolder data = ChooseDataFolder(m_workingDir);
        m_dataDir = data.path;
        LoadLastCounted();
        if (LoadSettings()) result = 1;
        LoadWindowLanguage(m_instance, GetSettings().language);
        if (!data.own) {
            g_Debug.Log(DEBUG_WARNING, "CPlaytally::StartPlaytallying",
                        "Cannot write in %s - the log and the cache are kept in %s",
                        m_workingDir.c_str(), m_dataDir.c_str());
        }
    }

    bool enabled = GetSettings().pluginEnabled != 0;
    if (!enabled) g_Debug.Log(DEBUG_NOTICE, "CPlaytally::StartPlaytallying", "Plugin is disabled");

    {
        // An engine may start again after a stop (the module outlived a quit).
        std::lock_guard<std::mutex> guard(m_timerLock);
        m_stop = 0;
    }
    m_timer = BeginThread(&CPlaytally::TimeUpdaterThread, this);
    if (!m_timer) {
        LogRequestError("CPlaytally::StartPlaytallying", "beginthreadex", -27);
        result = 0;
        if (enabled) LoadCacheOnce();
    }
    // The cache is read and the first handshake started at once, from the
    // timer thread: a large cache would hold up the player's start.
    if (enabled) RequestSessionStart();

    g_Debug.Log(DEBUG_NOTICE, "CPlaytally::StartPlaytallying", "Startup Complete.");
    return result;
}

int CPlaytally::StopPlaytallying() {
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::StopPlaytallying", "Stopping...");
    StopTimer();
    // An engine that never read its settings (no player window, or an empty
    // folder) would overwrite the stored ones with its defaults.
    if (m_settingsRead) SaveSettings();
    return 1;
}

int CPlaytally::LoadSettings() {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::LoadSettings", "Loading settings from registry...");
    m_settingsRead = true;
    CSettingsKey key;
    bool opened = key.Open(GetRegistryKey());
    int debugOverride = -1;
    int submitPercent = -1;
    int result = 0;
    std::vector<const char*> notNumbers;

    if (opened) {
        m_unreadTexts.clear();
        Settings settings = GetSettings();
        auto text = [&](const char* name, std::string& field) {
            std::string value;
            if (key.ReadText(name, &value)) {
                field = value;
            } else if (key.HasValue(name)) {
                m_unreadTexts.push_back(name);
            }
        };
        auto number = [&](const char* name, int& field) {
            int32_t value = 0;
            if (key.ReadNumber(name, &value)) {
                field = value;
            } else if (key.HasValue(name)) {
                notNumbers.push_back(name);
            }
        };
        for (const EditedValue& value : kEditedValues) {
            if (value.text) {
                text(value.name, settings.*value.text);
            } else {
                number(value.name, settings.*value.number);
            }
        }
        for (const auto& value : kHandSetValues)
            number(value.first, settings.*value.second);
        // Lists of folders may be long, and name folders outside the code page.
        for (const auto& value : kHandSetTexts) {
            if (!key.ReadWideText(value.first, &(settings.*value.second), kSkipListBuffer) &&
                key.HasValue(value.first))
                m_unreadTexts.push_back(value.first);
        }
        LoadServices();
        number(kDebugOverrideValue, debugOverride);
        number(kSubmitPercentValue, submitPercent);
        ApplySettings(settings);

        result = 1;
        if (submitPercent >= 1 && submitPercent <= 99) {
            m_threshold = static_cast<float>(submitPercent) / 100.0f;
            g_Debug.Log(DEBUG_DETAIL, "CPlaytally::LoadSettings", "New submit percentage of %d",
                        submitPercent);
        }
    } else {
        g_Debug.Log(DEBUG_WARNING, "CPlaytally::LoadSettings",
                    "Load Failed - Must be new install - Showing settings.");
    }

    StartDebugLog();
    if (debugOverride >= 1 && debugOverride <= 8) g_Debug.SetLevel(debugOverride);
    for (const std::string& name : m_unreadTexts) {
        g_Debug.Log(DEBUG_WARNING, "CPlaytally::LoadSettings",
                    "Setting %s is too long or not a text - left as it is", name.c_str());
    }
    for (const char* name : notNumbers) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::LoadSettings",
                    "Setting %s is not a number (REG_DWORD) - ignored, the default holds", name);
    }
    return result;
}

void CPlaytally::SaveSettings() {
    g_Debug.Log(DEBUG_INFO, "CPlaytally::SaveSettings", "Saving settings...");
    CSettingsKey key;
    if (!key.Open(GetRegistryKey()) && !key.Create(GetRegistryKey())) return;
    // A text that could not be read stays as it is until a value is set.
    auto text = [&](const char* name, const std::string& value) {
        bool unread = false;
        for (const std::string& n : m_unreadTexts)
            unread = unread || n == name;
        if (!(unread && value.empty())) key.WriteText(name, value);
    };
    // Only what the dialog edits is written; the hand-set values stay untouched.
    Settings settings = GetSettings();
    for (const EditedValue& value : kEditedValues) {
        if (value.text) {
            text(value.name, settings.*value.text);
        } else {
            key.WriteNumber(value.name, settings.*value.number);
        }
    }
}

// A text value's default as the guide writes it.
static std::string TextDefault(const std::string& value) {
    return value.empty() ? "empty" : value;
}

std::vector<RegistryValue> KelmarRegistryValues() {
    const Settings defaults;
    auto text = TextDefault;
    std::vector<RegistryValue> values;
    for (const EditedValue& value : kEditedValues) {
        values.push_back(
            {value.name, value.text != nullptr,
             value.text ? text(defaults.*value.text) : std::to_string(defaults.*value.number)});
    }
    for (const auto& value : kHandSetValues)
        values.push_back({value.first, false, std::to_string(defaults.*value.second)});
    for (const auto& value : kHandSetTexts)
        values.push_back({value.first, true, text(defaults.*value.second)});
    values.push_back({kDebugOverrideValue, false, "not set"});
    values.push_back({kSubmitPercentValue, false, "not set"});
    return values;
}

std::vector<RegistryValue> ServiceRegistryValues() {
    const ServiceSettings defaults;
    auto text = TextDefault;
    return {{kServiceIdValue, true, "made by the plug-in"},
            {kServiceNameValue, true, text(defaults.name)},
            {kServiceUrlValue, true, text(defaults.handshakeUrl)},
            {kServiceUserValue, true, text(defaults.username)},
            {kServicePasswordValue, true, text(defaults.password)},
            {kServiceEnabledValue, false, std::to_string(defaults.enabled)}};
}

std::string CPlaytally::ServiceKey(int number) {
    std::string key = GetRegistryKey();
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    return key + "\\Services\\" + std::to_string(number);
}

void CPlaytally::LoadServices() {
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        CSettingsKey key;
        ServiceSettings service;
        if (key.Open(ServiceKey(number))) {
            // The name may be in any script; the account is kept as Kelmar's is.
            bool numbered = !key.ReadText(kServiceIdValue, &service.id) || service.id.empty();
            key.ReadWideText(kServiceNameValue, &service.name, kSettingsTextBuffer);
            key.ReadWideText(kServiceUrlValue, &service.handshakeUrl, kSettingsTextBuffer);
            key.ReadText(kServiceUserValue, &service.username);
            key.ReadText(kServicePasswordValue, &service.password);
            int32_t enabled = 1;
            if (key.ReadNumber(kServiceEnabledValue, &enabled)) service.enabled = enabled != 0;
            if (numbered && service.IsSet()) {
                service.id = IdOfNumberedService(number, service);
                key.WriteText(kServiceIdValue, service.id);
            }
            if (service.IsSet())
                g_Debug.Log(DEBUG_INFO, "CPlaytally::LoadSettings", "Service %d: %s at %s%s",
                            number, service.name.c_str(), service.handshakeUrl.c_str(),
                            service.enabled ? "" : " (switched off)");
        }
        if (service.IsSet()) {
            SetExtra(number, service);
        } else {
            std::lock_guard<std::mutex> guard(m_lock);
            m_extra[number - 1].reset();
        }
    }
}

void CPlaytally::SaveService(int number, const ServiceSettings& service) {
    CSettingsKey key;
    if (!key.Create(ServiceKey(number)) || !key.WriteText(kServiceIdValue, service.id) ||
        !key.WriteWideText(kServiceNameValue, service.name) ||
        !key.WriteWideText(kServiceUrlValue, service.handshakeUrl) ||
        !key.WriteText(kServiceUserValue, service.username) ||
        !key.WriteText(kServicePasswordValue, service.password) ||
        !key.WriteNumber(kServiceEnabledValue, service.enabled)) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SaveSettings", "Service %d could not be saved",
                    number);
    }
}

std::shared_ptr<CExtraService> CPlaytally::Extra(int number) const {
    if (number < 1 || number > kMaxExtraServices) return nullptr;
    std::lock_guard<std::mutex> guard(m_lock);
    return m_extra[number - 1];
}

std::vector<std::shared_ptr<CExtraService>> CPlaytally::Extras() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::shared_ptr<CExtraService>> extras;
    for (const std::shared_ptr<CExtraService>& extra : m_extra) {
        if (extra) extras.push_back(extra);
    }
    return extras;
}

std::shared_ptr<CExtraService> CPlaytally::ExtraById(const std::string& id) const {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const std::shared_ptr<CExtraService>& extra : m_extra) {
        if (extra && extra->Id() == id) return extra;
    }
    return nullptr;
}

ServiceSettings CPlaytally::GetService(int number) const {
    std::shared_ptr<CExtraService> extra = Extra(number);
    return extra ? extra->Settings() : ServiceSettings();
}

std::string CPlaytally::IdOfNumberedService(int number, const ServiceSettings& service) {
    // Set before services had ids, it takes the one a new service of its
    // address and account gets, with its file, so that the plays kept when it
    // is removed come back when it is added again. Where that cannot be, its
    // number stays its id.
    std::string numbered = std::to_string(number), id = MakeServiceId(service);
    std::string from = m_dataDir + ServiceCacheFileName(numbered),
                to = m_dataDir + ServiceCacheFileName(id);
    if (m_dataDir.empty() || ExtraById(id)) return numbered;
    if (FileExistsAt(from) &&
        (FileExistsAt(to) || FileExistsAt(to + ".refused") || !ReplaceFileAtomically(from, to)))
        return numbered;
    // Plays set aside stay where they are rather than replace others.
    if (FileExistsAt(from + ".refused") &&
        (FileExistsAt(to + ".refused") ||
         !ReplaceFileAtomically(from + ".refused", to + ".refused")))
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::LoadSettings", "%s.refused kept as it is",
                    from.c_str());
    g_Debug.Log(DEBUG_INFO, "CPlaytally::LoadSettings", "Service %d is %s from now on", number,
                id.c_str());
    return id;
}

ServiceSettings CPlaytally::SetExtra(int number, ServiceSettings service) {
    std::shared_ptr<CExtraService> was = Extra(number);
    if (was && (service.id.empty() || service.id == was->Id())) {
        // The same service, edited (its new name shows in the Plays window).
        service.id = was->Id();
        was->Configure(service);
        ++m_servicesChanges;
        return service;
    }
    if (service.id.empty()) {
        // Two services of one address and account keep their plays apart.
        std::string id = MakeServiceId(service), base = id;
        for (int n = 2; ExtraById(id); ++n)
            id = base + "-" + std::to_string(n);
        service.id = id;
    }
    if (was) was->Retire(false);
    // The same service removed a moment ago may still be answering a flush:
    // it comes back, rather than a second reader of its file.
    std::shared_ptr<CExtraService> extra;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const std::weak_ptr<CExtraService>& gone : m_retiredExtras) {
            std::shared_ptr<CExtraService> alive = gone.lock();
            if (alive && alive->Id() == service.id) extra = alive;
        }
    }
    if (extra) {
        extra->Revive(service);
    } else {
        extra = std::make_shared<CExtraService>(this, service);
    }
    ++m_servicesChanges;
    std::lock_guard<std::mutex> guard(m_lock);
    m_extra[number - 1] = extra;
    return service;
}

void CPlaytally::SetService(int number, const ServiceSettings& settings) {
    if (number < 1 || number > kMaxExtraServices) return;
    ServiceSettings service = SetExtra(number, settings);
    SaveService(number, service);
    g_Debug.Log(DEBUG_INFO, "CPlaytally::SetService", "Service %d set: %s at %s%s", number,
                service.name.c_str(), service.handshakeUrl.c_str(),
                service.enabled ? "" : " (switched off)");
}

void CPlaytally::RemoveService(int number, bool discardPlays) {
    std::shared_ptr<CExtraService> extra = Extra(number);
    if (!extra) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_extra[number - 1].reset();
        // Kept only while its requests keep it alive.
        m_retiredExtras.erase(
            std::remove_if(m_retiredExtras.begin(), m_retiredExtras.end(),
                           [](const std::weak_ptr<CExtraService>& gone) { return gone.expired(); }),
            m_retiredExtras.end());
        m_retiredExtras.push_back(extra);
    }
    ++m_servicesChanges;
    extra->Retire(discardPlays);
    if (!CSettingsKey::DeleteKey(ServiceKey(number)))
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::RemoveService", "Service %d could not be deleted",
                    number);
    g_Debug.Log(DEBUG_INFO, "CPlaytally::RemoveService", "Service %d (%s) removed%s", number,
                extra->Settings().name.c_str(), discardPlays ? " with its waiting plays" : "");
}

ServiceState CPlaytally::GetServiceState(int number) {
    std::shared_ptr<CExtraService> extra = Extra(number);
    return extra ? extra->State() : ServiceState();
}

unsigned CPlaytally::PlaysChanges() const {
    unsigned changes = m_cache.Changes() + m_history.Appends() + m_servicesChanges;
    for (const std::shared_ptr<CExtraService>& extra : Extras())
        changes += extra->Changes();
    return changes;
}

std::vector<std::string> CPlaytally::PlaysFiles() const {
    std::vector<std::string> files{m_cache.GetFilePath(), m_cache.GetSideFilePath()};
    // Those of services set before ids were kept, and of every one set now.
    std::vector<std::string> ids;
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        ids.push_back(std::to_string(number));
        if (std::shared_ptr<CExtraService> extra = Extra(number)) ids.push_back(extra->Id());
    }
    for (const std::string& id : ids) {
        files.push_back(GetDataDir() + ServiceCacheFileName(id));
        files.push_back(files.back() + ".refused");
    }
    return files;
}

Settings CPlaytally::GetSettings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settings;
}

void CPlaytally::ApplySettings(const Settings& settings) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_settings = settings;
}

Session CPlaytally::GetSession() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return Session{m_sessionUser, m_challengeResponse, m_server, m_submitPath};
}

void CPlaytally::Enable() {
    g_Debug.Log(DEBUG_DETAIL, "KCPlaytally::Enable", "KPlaytally is now Enabled");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_settings.pluginEnabled = 1;
    }
    // A run that started switched off has not read its cache yet: without it,
    // the plays cached from now on would have no file. The timer reads it.
    RequestSessionStart();
}

void CPlaytally::Disable() {
    g_Debug.Log(DEBUG_DETAIL, "KCPlaytally::Disable", "KPlaytally is now Disabled");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_settings.pluginEnabled = 0;
    }
    ++m_sessionEpoch;
    m_checkWanted = false;
    m_interval = 0;
    Put(m_updateUrl, "");
    m_handshakeComplete = 0;
    Put(m_serverStatus, "");
    Put(m_lastMessage, "");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_submitPath.clear();
        m_server = kDefaultHandshakeHost;
        m_submitSecure = false;
        m_submitPort = NET_DEFAULT_HTTP_PORT;
    }
    m_lastHandshakeAttempt = MakeDateTime(2003, 1, 1, 0, 0, 0);
}

void CPlaytally::EndSession() {
    ++m_sessionEpoch;
    m_handshakeComplete = 0;
    GreetAtOnce();
}

void CPlaytally::GreetAtOnce() {
    // Saved by the user, not a failure: the account need not wait out the
    // spacing after the last greeting, nor the next tick.
    m_lastHandshakeAttempt = MakeDateTime(2003, 1, 1, 0, 0, 0);
    if (GetSettings().pluginEnabled != 0) RequestSessionStart();
}

void CPlaytally::StartDebugLog() {
    int logSize = GetSettings().logSize;
    // A positive limit keeps the log across runs until it outgrows the limit; 0
    // still creates the file but writes no lines; no limit starts afresh.
    g_Debug.Open(m_dataDir + "Kelmar.log.txt", logSize < 0, logSize != 0, m_xmlLog != 0);
    g_Debug.SetMaxSize(logSize);
    g_Debug.SetLevel(DEBUG_INFO);

    COSVersion os;
    g_Debug.Log(DEBUG_NOTICE, "Application Information", "%s v%s (Build %s)",
                GetPluginName().c_str(), m_versionInfo.GetVersionText().c_str(),
                m_versionInfo.GetPrivateBuild().c_str());
    g_Debug.Log(DEBUG_NOTICE, "Application Information", "%s", GetPlayerVersion().c_str());
    g_Debug.Log(DEBUG_NOTICE, "Application Information", "%s", os.GetOSDescription().c_str());
    g_Debug.Log(DEBUG_NOTICE, "Application Information", "Log and cache in %s", m_dataDir.c_str());
}

Submission CPlaytally::BuildSubmission(const SongInfo& song, std::string* wholePath) {
    Submission submission;
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::BuildSubmission", "Building Submission...");
    std::string artist = FixedFieldText(song.artist);
    std::string title = FixedFieldText(song.title);
    if (artist.empty() || title.empty()) return submission;

    std::string path = GetCurrentFile();
    if (wholePath) *wholePath = path;
    std::string length = Format("%d", GetTrackLength());
    std::string album = IsStream(path) ? std::string("STREAM") : FixedFieldText(song.album);
    submission.Set(artist, title, album, length, path, "");
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::BuildSubmission",
                "Submission data gathering complete for %s", submission.GetDisplayText().c_str());
    return submission;
}

bool CPlaytally::InternetConnected() {
    ++m_probes;
    if (GetSettings().forceConnection != 0) {
        g_Debug.Log(DEBUG_TRACE, "CPlaytally::InternetConnected", "Force Connection Enabled");
        m_lastConnected = 1;
        return true;
    }
    std::lock_guard<std::mutex> guard(m_watchLock);
    bool connected = false;
    if (m_watch.ConnectionsAvailable()) {
        connected = m_watch.IsConnected();
        g_Debug.Log(DEBUG_TRACE, "CPlaytally::InternetConnected",
                    "Modem is installed - Connection is %s", connected ? "On" : "Off");
    }
    if (!connected) {
        uint32_t flags = 0;
        connected = InternetGetConnectedStateCall(&flags);
        g_Debug.Log(DEBUG_TRACE, "CPlaytally::InternetConnected", "dwType is %d",
                    static_cast<int>(flags));
        static const struct {
            uint32_t flag;
            const char* line;
        } kFlagLines[] = {
            {NET_CONNECTION_MODEM, "Connection via Modem"},
            {NET_CONNECTION_LAN, "Connection via LAN"},
            {NET_CONNECTION_PROXY, "Connection via Proxy Server"},
            {NET_CONNECTION_OFFLINE, "Connection is offline"},
            {NET_CONNECTION_CONFIGURED, "Connection is configured"},
        };
        for (const auto& f : kFlagLines) {
            if (flags & f.flag)
                g_Debug.Log(DEBUG_TRACE, "CPlaytally::InternetConnected", "%s", f.line);
        }
        if (!connected) {
            g_Debug.Log(DEBUG_TRACE, "CPlaytally::InternetConnected",
                        "No Internet Connection Available");
        }
    }
    m_lastConnected = connected ? 1 : 0;
    return connected;
}

void CPlaytally::Config() {
    // Without settings read (no player window, no folder) the window would show
    // defaults, and saving them would overwrite the stored account.
    if (!m_settingsRead) {
        g_Debug.Log(DEBUG_WARNING, "CPlaytally::Config",
                    "Settings were never read - the settings window stays closed");
        return;
    }
    if (ShowOpenConfigWindow()) return;
    if (OpenConfigWindow(this, GetPlayerWindow())) return;
    ShowOwnedPrompt(GetPlayerWindow(), Tr("ERROR - Failed to construct the config dialog!"),
                    GetPluginName(), PROMPT_ICONWARNING);
    g_Debug.Log(DEBUG_ERROR, "CPlaytally::Config", "Failed to construct config dialog");
}
