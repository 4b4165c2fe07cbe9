#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One running MD5 digest (RFC 1321).
class CMD5Checksum {
  public:
    // The digest of the text's bytes as 32 upper-case hexadecimal digits.
    static std::string GetMD5(std::string text);

    CMD5Checksum();
    virtual ~CMD5Checksum();

    void Update(const unsigned char* input, size_t length);
    // Completes the message and writes the 16 digest bytes; the object starts afresh afterwards.
    void Final(unsigned char digest[16]);

  protected:
    void Reset();
    void Transform(const unsigned char block[64]);

    unsigned char m_block[64];  // bytes not yet transformed
    uint32_t m_count[2];        // message length in bits, low word first
    uint32_t m_state[4];        // chaining words A, B, C, D
};
