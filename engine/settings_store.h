// The settings key in the current user's registry hive. The Win32 adapter uses
// the real registry; native tests use an in-memory double.
#pragma once

#include <cstdint>
#include <string>

// Registry value types, as the system numbers them.
enum SettingsValueType : uint32_t {
    SETTINGS_REG_SZ = 1,
    SETTINGS_REG_EXPAND_SZ = 2,
    SETTINGS_REG_BINARY = 3,
    SETTINGS_REG_DWORD = 4,
    SETTINGS_REG_MULTI_SZ = 7,
};

// Texts are read through a buffer of this many bytes, terminator included.
constexpr size_t kSettingsTextBuffer = 200;

class CSettingsKey {
  public:
    CSettingsKey() = default;
    ~CSettingsKey() { Close(); }
    CSettingsKey(const CSettingsKey&) = delete;
    CSettingsKey& operator=(const CSettingsKey&) = delete;

    // Opens the key for full access; never creates it.
    bool Open(const std::string& subkey);
    // Opens the key, creating it when missing.
    bool Create(const std::string& subkey);
    void Close();
    bool IsOpen() const { return m_key != nullptr; }

    // A string value of at most 199 characters.
    // `buffer`: the most bytes it may take, terminator included.
    bool ReadText(const char* name, std::string* value, size_t buffer = kSettingsTextBuffer) const;
    // A string value read through the wide call, as UTF-8, so that no
    // character outside the code page is lost. `buffer`: the most UTF-16
    // units it may take, terminator included.
    bool ReadWideText(const char* name, std::string* value, size_t buffer) const;
    // Whether the value exists at all, readable or not.
    bool HasValue(const char* name) const;
    // A REG_DWORD value, and only that: "off" typed as a text is no number.
    bool ReadNumber(const char* name, int32_t* value) const;
    bool WriteText(const char* name, const std::string& value);
    // A UTF-8 text, written through the wide call so that it keeps every character.
    bool WriteWideText(const char* name, const std::string& value);
    // Deletes a key that holds values only; true when it is gone.
    static bool DeleteKey(const std::string& subkey);
    bool WriteNumber(const char* name, int32_t value);

  private:
    void* m_key = nullptr;
};

// What a value read through the fixed buffer means; shared by both stores so
// they judge wrong types and sizes alike. `size` is what the read returned.
bool TextFromValue(uint32_t type, const char* data, size_t size, std::string* value,
                   size_t buffer = kSettingsTextBuffer);
// The same for a value read through the wide call: `data` holds UTF-16.
bool WideTextFromValue(uint32_t type, const char* data, size_t size, std::string* value,
                       size_t buffer);
bool NumberFromValue(uint32_t type, const char* data, size_t size, int32_t* value);
