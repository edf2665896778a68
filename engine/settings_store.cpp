#include "engine/settings_store.h"

#include <cstring>

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

bool NumberFromValue(const char* data, size_t size, int32_t* value) {
    if (size != 4) return false;
    std::memcpy(value, data, 4);
    return true;
}
