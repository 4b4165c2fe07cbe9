#pragma once

#include <cstddef>
#include <cstdint>

// Reads big- and little-endian fields from a sized buffer without ever leaving it. A read that
// would go past the end reads nothing, returns 0 and marks the reader failed; the position stays
// where it was, so a caller can test Ok() once after a run of reads.
class ByteReader {
  public:
    ByteReader() = default;
    ByteReader(const unsigned char* data, size_t length)
        : m_data(data), m_length(data != nullptr ? length : 0) {}

    size_t Remaining() const { return m_length - m_pos; }
    size_t Position() const { return m_pos; }
    bool Ok() const { return m_ok; }
    // True when n more bytes can be read.
    bool Has(size_t n) const { return n <= m_length - m_pos; }
    // The bytes from the current position; null for an empty or absent buffer.
    const unsigned char* Here() const { return m_data != nullptr ? m_data + m_pos : nullptr; }

    uint8_t U8() { return Has(1) ? m_data[m_pos++] : Fail<uint8_t>(); }
    uint16_t Be16() {
        if (!Has(2)) return Fail<uint16_t>();
        const unsigned char* p = m_data + m_pos;
        m_pos += 2;
        return static_cast<uint16_t>((p[0] << 8) | p[1]);
    }
    uint16_t Le16() {
        if (!Has(2)) return Fail<uint16_t>();
        const unsigned char* p = m_data + m_pos;
        m_pos += 2;
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t Be24() {
        if (!Has(3)) return Fail<uint32_t>();
        const unsigned char* p = m_data + m_pos;
        m_pos += 3;
        return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
    }
    uint32_t Be32() {
        if (!Has(4)) return Fail<uint32_t>();
        const unsigned char* p = m_data + m_pos;
        m_pos += 4;
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
               uint32_t{p[3]};
    }
    uint32_t Le32() {
        if (!Has(4)) return Fail<uint32_t>();
        const unsigned char* p = m_data + m_pos;
        m_pos += 4;
        return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) |
               uint32_t{p[0]};
    }
    // Moves on n bytes; false (and nothing moved) when fewer remain.
    bool Skip(size_t n) {
        if (!Has(n)) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }
    // Moves to an absolute offset inside the buffer; false (and nothing moved) beyond its end.
    bool Seek(size_t offset) {
        if (offset > m_length) {
            m_ok = false;
            return false;
        }
        m_pos = offset;
        return true;
    }

    // Reads at a fixed offset without moving; 0 when out of range.
    uint8_t U8At(size_t at) const { return at < m_length ? m_data[at] : 0; }
    uint16_t Be16At(size_t at) const {
        return at + 2 <= m_length && at + 2 > at
                   ? static_cast<uint16_t>((m_data[at] << 8) | m_data[at + 1])
                   : 0;
    }
    uint32_t Be32At(size_t at) const {
        if (at + 4 > m_length || at + 4 < at) return 0;
        const unsigned char* p = m_data + at;
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
               uint32_t{p[3]};
    }

  private:
    template <class T>
    T Fail() {
        m_ok = false;
        return 0;
    }

    const unsigned char* m_data = nullptr;
    size_t m_length = 0;
    size_t m_pos = 0;
    bool m_ok = true;
};
