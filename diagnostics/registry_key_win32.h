// One open registry key, for every part that reads or writes the registry:
// the plug-in's settings under the current user, and the system's version
// keys under the local machine. Values are read through a buffer of a fixed
// size, so that a value larger than the caller expects is refused rather than
// read in part.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CRegistryKey {
  public:
    CRegistryKey() = default;
    // Opens the key for reading, as the version reports do.
    CRegistryKey(HKEY hive, const char* subkey) { Open(hive, subkey, KEY_READ); }
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Never creates the key.
    bool Open(HKEY hive, const char* subkey, REGSAM access);
    // Opens the key, creating it when missing.
    bool Create(HKEY hive, const char* subkey, REGSAM access);
    void Close();
    bool IsOpen() const { return m_key != nullptr; }

    // The value's type and bytes when it exists and holds at most `limit`
    // bytes; `wide`: texts as UTF-16, through the wide call (names are ASCII).
    bool Read(const char* name, DWORD limit, DWORD* type, std::vector<char>* data,
              bool wide = false) const;
    // Whether the value exists at all, whatever its size and type.
    bool Has(const char* name) const;
    bool Write(const char* name, DWORD type, const void* data, DWORD size);
    // A REG_SZ value written through the wide call.
    bool WriteWideText(const char* name, const std::u16string& text);

  private:
    HKEY m_key = nullptr;
};
