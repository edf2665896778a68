// MD5 message digest (RFC 1321), as lower-case hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CMd5 {
  public:
    CMd5();
    void Update(const void* data, size_t length);
    // The 16-byte digest; the object must not be updated afterwards.
    void Final(uint8_t digest[16]);

  private:
    void Transform(const uint8_t block[64]);

    uint32_t m_state[4];
    uint64_t m_bits = 0;
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
};

// The 32 lower-case hex digits of the digest of the text's bytes.
std::string Md5Hex(const std::string& text);
