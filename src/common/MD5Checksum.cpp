#include "common/MD5Checksum.h"

#include <cstdio>
#include <cstring>

namespace {

// floor(abs(sin(i + 1)) * 2^32)
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Shift amounts, four per round.
const unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t RotateLeft(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLittle(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLittle(uint32_t v, unsigned char* p) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

CMD5Checksum::CMD5Checksum() {
    Reset();
}

CMD5Checksum::~CMD5Checksum() = default;

void CMD5Checksum::Reset() {
    std::memset(m_block, 0, sizeof(m_block));
    m_count[0] = m_count[1] = 0;
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
}

void CMD5Checksum::Transform(const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittle(block + 4 * i);

    // One loop per round, unrolled, so the message index and the shift are constants (a digest
    // is taken for every sighting).
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    auto step = [&](uint32_t f, unsigned i, unsigned k, unsigned shift) {
        const uint32_t rotated = RotateLeft(a + f + x[k] + kSine[i], shift);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    };
#pragma GCC unroll 16
    for (unsigned i = 0; i < 16; ++i) step((b & c) | (~b & d), i, i, kShift[0][i % 4]);
#pragma GCC unroll 16
    for (unsigned i = 16; i < 32; ++i)
        step((b & d) | (c & ~d), i, (1 + 5 * i) % 16, kShift[1][i % 4]);
#pragma GCC unroll 16
    for (unsigned i = 32; i < 48; ++i) step(b ^ c ^ d, i, (5 + 3 * i) % 16, kShift[2][i % 4]);
#pragma GCC unroll 16
    for (unsigned i = 48; i < 64; ++i) step(c ^ (b | ~d), i, (7 * i) % 16, kShift[3][i % 4]);
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void CMD5Checksum::Update(const unsigned char* input, size_t length) {
    if (input == nullptr || length == 0) return;
    size_t index = (m_count[0] >> 3) & 0x3f;

    // The bit count is kept modulo 2^64, as the padding writes it.
    const uint64_t bits = (static_cast<uint64_t>(m_count[1]) << 32 | m_count[0]) +
                          (static_cast<uint64_t>(length) << 3);
    m_count[0] = static_cast<uint32_t>(bits);
    m_count[1] = static_cast<uint32_t>(bits >> 32);

    size_t done = 0;
    const size_t room = 64 - index;
    if (length >= room) {
        std::memcpy(m_block + index, input, room);
        Transform(m_block);
        done = room;
        for (; done + 64 <= length; done += 64) Transform(input + done);
        index = 0;
    }
    std::memcpy(m_block + index, input + done, length - done);
}

void CMD5Checksum::Final(unsigned char digest[16]) {
    unsigned char length[8];
    StoreLittle(m_count[0], length);
    StoreLittle(m_count[1], length + 4);

    static const unsigned char kPadding[64] = {0x80};
    const size_t index = (m_count[0] >> 3) & 0x3f;
    const size_t padding = index < 56 ? 56 - index : 120 - index;
    Update(kPadding, padding);
    Update(length, sizeof(length));

    for (int i = 0; i < 4; ++i) StoreLittle(m_state[i], digest + 4 * i);
    Reset();
}

std::string CMD5Checksum::GetMD5(std::string text) {
    CMD5Checksum md5;
    md5.Update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    unsigned char digest[16];
    md5.Final(digest);

    // Two upper-case digits a byte, the high nibble first (a digest is taken for every sighting,
    // so no formatter is called here).
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return hex;
}
