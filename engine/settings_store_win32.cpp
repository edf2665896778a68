#include <windows.h>

#include "engine/settings_store.h"

namespace {
HKEY AsKey(void* key) {
    return static_cast<HKEY>(key);
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
    if (!m_key) return false;
    char buffer[kSettingsTextBuffer];
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (RegQueryValueExA(AsKey(m_key), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
        return false;
    }
    return TextFromValue(type, buffer, size, value);
}

bool CSettingsKey::ReadNumber(const char* name, int32_t* value) const {
    if (!m_key) return false;
    char buffer[4];
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (RegQueryValueExA(AsKey(m_key), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
        return false;
    }
    return NumberFromValue(buffer, size, value);
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
