// An in-memory current-user hive. Key and value names compare without regard to
// case, as in the registry; values keep their type and raw bytes.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "diagnostics/ansi_codepage.h"
#include "diagnostics/utf16.h"
#include "engine/settings_store.h"
#include "tests/fakes/fakes.h"

namespace {

struct Value {
    std::string name;
    uint32_t type;
    std::string bytes;
    bool wide;  // a text stored as UTF-16
};

std::mutex g_lock;
std::map<std::string, std::vector<Value>> g_keys;

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Normalize(const std::string& key) {
    std::string k = Lower(key);
    while (!k.empty() && k.back() == '\\')
        k.pop_back();
    return k;
}

Value* Find(const std::string& key, const std::string& name) {
    auto it = g_keys.find(Normalize(key));
    if (it == g_keys.end()) return nullptr;
    for (Value& v : it->second) {
        if (Lower(v.name) == Lower(name)) return &v;
    }
    return nullptr;
}

void Set(const std::string& key, const std::string& name, uint32_t type, const std::string& bytes,
         bool wide = false) {
    std::vector<Value>& values = g_keys[Normalize(key)];
    for (Value& v : values) {
        if (Lower(v.name) == Lower(name)) {
            v = Value{v.name, type, bytes, wide};
            return;
        }
    }
    values.push_back(Value{name, type, bytes, wide});
}

// Reads through a caller's buffer as the registry does: too small a buffer
// fails. A text stored through the other call is converted, as the registry
// converts it, between UTF-16 and the code page.
bool Query(const std::string& key, const char* name, size_t bufferSize, uint32_t* type,
           std::string* bytes, bool wide = false) {
    std::lock_guard<std::mutex> guard(g_lock);
    Value* v = Find(key, name);
    if (!v) return false;
    *bytes = v->bytes;
    bool text = v->type == SETTINGS_REG_SZ || v->type == SETTINGS_REG_EXPAND_SZ;
    if (text && wide && !v->wide) {
        std::u16string units;
        AnsiToUtf16(bytes->data(), bytes->size(), &units);
        bytes->assign(reinterpret_cast<const char*>(units.data()), 2 * units.size());
    } else if (text && !wide && v->wide) {
        std::u16string units(bytes->size() / 2, u'\0');
        if (!units.empty()) std::memcpy(&units[0], bytes->data(), 2 * units.size());
        Utf16ToAnsi(units, bytes);
    }
    *type = v->type;
    return bytes->size() <= bufferSize;
}

const std::string& KeyName(void* key) {
    return *static_cast<std::string*>(key);
}

}  // namespace

bool CSettingsKey::Open(const std::string& subkey) {
    Close();
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_keys.count(Normalize(subkey))) return false;
    m_key = new std::string(subkey);
    return true;
}

bool CSettingsKey::Create(const std::string& subkey) {
    Close();
    std::lock_guard<std::mutex> guard(g_lock);
    g_keys[Normalize(subkey)];
    m_key = new std::string(subkey);
    return true;
}

void CSettingsKey::Close() {
    delete static_cast<std::string*>(m_key);
    m_key = nullptr;
}

bool CSettingsKey::ReadText(const char* name, std::string* value, size_t buffer) const {
    uint32_t type = 0;
    std::string bytes;
    if (!m_key || !Query(KeyName(m_key), name, buffer, &type, &bytes)) return false;
    return TextFromValue(type, bytes.data(), bytes.size(), value, buffer);
}

bool CSettingsKey::ReadWideText(const char* name, std::string* value, size_t buffer) const {
    uint32_t type = 0;
    std::string bytes;
    if (!m_key || !Query(KeyName(m_key), name, 2 * buffer, &type, &bytes, true)) return false;
    return WideTextFromValue(type, bytes.data(), bytes.size(), value, buffer);
}

bool CSettingsKey::HasValue(const char* name) const {
    if (!m_key) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    return Find(KeyName(m_key), name) != nullptr;
}

bool CSettingsKey::ReadNumber(const char* name, int32_t* value) const {
    uint32_t type = 0;
    std::string bytes;
    if (!m_key || !Query(KeyName(m_key), name, 4, &type, &bytes)) return false;
    return NumberFromValue(type, bytes.data(), bytes.size(), value);
}

bool CSettingsKey::WriteText(const char* name, const std::string& value) {
    if (!m_key) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    Set(KeyName(m_key), name, SETTINGS_REG_SZ, std::string(value.c_str(), value.size() + 1));
    return true;
}

bool CSettingsKey::WriteNumber(const char* name, int32_t value) {
    if (!m_key) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    Set(KeyName(m_key), name, SETTINGS_REG_DWORD,
        std::string(reinterpret_cast<const char*>(&value), 4));
    return true;
}

void FakeRegistryReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_keys.clear();
}

void FakeRegistryCreateKey(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_keys[Normalize(key)];
}

bool FakeRegistryKeyExists(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_keys.count(Normalize(key)) != 0;
}

void FakeRegistrySetRaw(const std::string& key, const std::string& name, uint32_t type,
                        const std::string& bytes) {
    std::lock_guard<std::mutex> guard(g_lock);
    Set(key, name, type, bytes);
}

void FakeRegistrySetText(const std::string& key, const std::string& name, const std::string& text) {
    FakeRegistrySetRaw(key, name, SETTINGS_REG_SZ, std::string(text.c_str(), text.size() + 1));
}

void FakeRegistrySetWideText(const std::string& key, const std::string& name,
                             const std::u16string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    Set(key, name, SETTINGS_REG_SZ,
        std::string(reinterpret_cast<const char*>(text.c_str()), 2 * (text.size() + 1)), true);
}

void FakeRegistrySetNumber(const std::string& key, const std::string& name, int32_t value) {
    FakeRegistrySetRaw(key, name, SETTINGS_REG_DWORD,
                       std::string(reinterpret_cast<const char*>(&value), 4));
}

bool FakeRegistryGetRaw(const std::string& key, const std::string& name, uint32_t* type,
                        std::string* bytes) {
    std::lock_guard<std::mutex> guard(g_lock);
    Value* v = Find(key, name);
    if (!v) return false;
    *type = v->type;
    *bytes = v->bytes;
    return true;
}

std::vector<std::string> FakeRegistryValueNames(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> names;
    auto it = g_keys.find(Normalize(key));
    if (it != g_keys.end()) {
        for (const Value& v : it->second)
            names.push_back(v.name);
    }
    return names;
}

bool CSettingsKey::WriteWideText(const char* name, const std::string& value) {
    if (!m_key) return false;
    std::u16string units = Utf8ToUtf16(value);
    units.push_back(u'\0');
    std::lock_guard<std::mutex> guard(g_lock);
    Set(KeyName(m_key), name, SETTINGS_REG_SZ,
        std::string(reinterpret_cast<const char*>(units.data()), 2 * units.size()), true);
    return true;
}

bool CSettingsKey::DeleteKey(const std::string& subkey) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_keys.erase(Normalize(subkey));
    return true;
}
