#include "diagnostics/registry_key_win32.h"

#include <cstring>

bool CRegistryKey::Open(HKEY hive, const char* subkey, REGSAM access) {
    Close();
    HKEY key = nullptr;
    if (RegOpenKeyExA(hive, subkey, 0, access, &key) != ERROR_SUCCESS) return false;
    m_key = key;
    return true;
}

bool CRegistryKey::Create(HKEY hive, const char* subkey, REGSAM access) {
    Close();
    HKEY key = nullptr;
    if (RegCreateKeyExA(hive, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    m_key = key;
    return true;
}

void CRegistryKey::Close() {
    if (m_key) RegCloseKey(m_key);
    m_key = nullptr;
}

bool CRegistryKey::Read(const char* name, DWORD limit, DWORD* type, std::vector<char>* data,
                        bool wide) const {
    if (!m_key) return false;
    data->assign(limit, '\0');
    DWORD size = limit;
    BYTE* bytes = reinterpret_cast<BYTE*>(data->data());
    LONG status;
    if (wide) {
        std::wstring wideName(name, name + std::strlen(name));
        status = RegQueryValueExW(m_key, wideName.c_str(), nullptr, type, bytes, &size);
    } else {
        status = RegQueryValueExA(m_key, name, nullptr, type, bytes, &size);
    }
    if (status != ERROR_SUCCESS || size > limit) return false;
    data->resize(size);
    return true;
}

bool CRegistryKey::Has(const char* name) const {
    return m_key &&
           RegQueryValueExA(m_key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool CRegistryKey::Write(const char* name, DWORD type, const void* data, DWORD size) {
    return m_key && RegSetValueExA(m_key, name, 0, type, static_cast<const BYTE*>(data), size) ==
                        ERROR_SUCCESS;
}

bool CRegistryKey::WriteWideText(const char* name, const std::u16string& text) {
    std::wstring wideName(name, name + std::strlen(name));
    return m_key && RegSetValueExW(m_key, wideName.c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(2 * (text.size() + 1))) == ERROR_SUCCESS;
}
