#include <windows.h>

#include <vector>

#include "diagnostics/registry_key_win32.h"
#include "diagnostics/utf16.h"
#include "engine/settings_store.h"

namespace {
CRegistryKey* AsKey(void* key) {
    return static_cast<CRegistryKey*>(key);
}

void* OpenedKey(const std::string& subkey, bool create) {
    CRegistryKey* key = new CRegistryKey;
    bool opened = create ? key->Create(HKEY_CURRENT_USER, subkey.c_str(), KEY_ALL_ACCESS)
                         : key->Open(HKEY_CURRENT_USER, subkey.c_str(), KEY_ALL_ACCESS);
    if (opened) return key;
    delete key;
    return nullptr;
}
}  // namespace

bool CSettingsKey::Open(const std::string& subkey) {
    Close();
    m_key = OpenedKey(subkey, false);
    return m_key != nullptr;
}

bool CSettingsKey::Create(const std::string& subkey) {
    Close();
    m_key = OpenedKey(subkey, true);
    return m_key != nullptr;
}

void CSettingsKey::Close() {
    delete AsKey(m_key);
    m_key = nullptr;
}

bool CSettingsKey::ReadText(const char* name, std::string* value, size_t buffer) const {
    DWORD type = 0;
    std::vector<char> data;
    return m_key && AsKey(m_key)->Read(name, buffer, &type, &data) &&
           TextFromValue(type, data.data(), data.size(), value, buffer);
}

bool CSettingsKey::ReadWideText(const char* name, std::string* value, size_t buffer) const {
    DWORD type = 0;
    std::vector<char> data;
    return m_key && AsKey(m_key)->Read(name, static_cast<DWORD>(2 * buffer), &type, &data, true) &&
           WideTextFromValue(type, data.data(), data.size(), value, buffer);
}

bool CSettingsKey::HasValue(const char* name) const {
    return m_key && AsKey(m_key)->Has(name);
}

bool CSettingsKey::ReadNumber(const char* name, int32_t* value) const {
    DWORD type = 0;
    std::vector<char> data;
    return m_key && AsKey(m_key)->Read(name, 4, &type, &data) &&
           NumberFromValue(type, data.data(), data.size(), value);
}

bool CSettingsKey::WriteText(const char* name, const std::string& value) {
    return m_key &&
           AsKey(m_key)->Write(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

bool CSettingsKey::WriteNumber(const char* name, int32_t value) {
    DWORD data = static_cast<DWORD>(value);
    return m_key && AsKey(m_key)->Write(name, REG_DWORD, &data, sizeof(data));
}

bool CSettingsKey::WriteWideText(const char* name, const std::string& value) {
    return m_key && AsKey(m_key)->WriteWideText(name, Utf8ToUtf16(value));
}

bool CSettingsKey::DeleteKey(const std::string& subkey) {
    LONG status = RegDeleteKeyA(HKEY_CURRENT_USER, subkey.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
