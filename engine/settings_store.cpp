#include "engine/settings_store.h"

#include <cstring>

#include "diagnostics/utf16.h"

bool TextFromValue(uint32_t type, const char* data, size_t size, std::string* value,
                   size_t buffer) {
    if (type != SETTINGS_REG_SZ && type != SETTINGS_REG_EXPAND_SZ) return false;
    if (size > buffer) return false;
    // A value stored without its terminator that fills the buffer is not a
    // complete text.
    const void* nul = std::memchr(data, 0, size);
    if (!nul && size == buffer) return false;
    value->assign(data, nul ? static_cast<const char*>(nul) - data : size);
    return true;
}

bool WideTextFromValue(uint32_t type, const char* data, size_t size, std::string* value,
                       size_t buffer) {
    if (type != SETTINGS_REG_SZ && type != SETTINGS_REG_EXPAND_SZ) return false;
    if (size > 2 * buffer) return false;
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(&units[0], data, 2 * units.size());
    size_t nul = units.find(u'\0');
    if (nul == std::u16string::npos && units.size() == buffer) return false;
    if (nul != std::u16string::npos) units.resize(nul);
    *value = Utf16ToUtf8(units, true);
    return true;
}

bool NumberFromValue(uint32_t type, const char* data, size_t size, int32_t* value) {
    if (type != SETTINGS_REG_DWORD || size != 4) return false;
    std::memcpy(value, data, 4);
    return true;
}
