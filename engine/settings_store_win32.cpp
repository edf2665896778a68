#include <windows.h>

#include "engine/settings_store.h"

namespace {
HKEY AsKey(void* key) {
    return static_cast<HKEY>(key);
}

// Reads a value through a fixed buffer; a value larger than the buffer fails.
bool Query(void* key, const char* name, char* buffer, DWORD capacity, DWORD* type, DWORD* size) {
    *size = capacity;
    return key && RegQueryValueExA(AsKey(key), name, nullptr, type, reinterpret_cast<BYTE*>(buffer),
                                   size) == ERROR_SUCCESS;
}
}  // namespace

bool CSettingsKey::Open(const std::string& subkey) {
    Close();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    m_key = key;
    return true;
}

bool CSettingsKey::Create(const std::string& subkey) {
    Close();
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    m_key = key;
    return true;
}

void CSettingsKey::Close() {
    if (m_key) RegCloseKey(AsKey(m_key));
    m_key = nullptr;
}

bool CSettingsKey::ReadText(const char* name, std::string* value) const {
    char buffer[kSettingsTextBuffer];
    DWORD type = 0;
    DWORD size = 0;
    return Query(m_key, name, buffer, sizeof(buffer), &type, &size) &&
           TextFromValue(type, buffer, size, value);
}

bool CSettingsKey::HasValue(const char* name) const {
    return m_key && RegQueryValueExA(AsKey(m_key), name, nullptr, nullptr, nullptr, nullptr) ==
                        ERROR_SUCCESS;
}

bool CSettingsKey::ReadNumber(const char* name, int32_t* value) const {
    char buffer[4];
    DWORD type = 0;
    DWORD size = 0;
    return Query(m_key, name, buffer, sizeof(buffer), &type, &size) &&
           NumberFromValue(buffer, size, value);
}

bool CSettingsKey::WriteText(const char* name, const std::string& value) {
    if (!m_key) return false;
    return RegSetValueExA(AsKey(m_key), name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool CSettingsKey::WriteNumber(const char* name, int32_t value) {
    if (!m_key) return false;
    DWORD data = static_cast<DWORD>(value);
    return RegSetValueExA(AsKey(m_key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof(data)) == ERROR_SUCCESS;
}
