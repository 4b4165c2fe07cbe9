#pragma once

#include <cstdint>

// A growable owned byte buffer.
struct CZMemory {
    unsigned char* data = nullptr;
    int length = 0;

    CZMemory() = default;
    ~CZMemory() { Release(); }
    CZMemory(const CZMemory&) = delete;
    CZMemory& operator=(const CZMemory&) = delete;

    // Returns 1 when bytes were appended, 0 when there was nothing to append.
    int AppendData(const void* bytes, int count);
    // Frees the data; the buffer is empty afterwards.
    void Release();
    // Drops the first count bytes, keeping the rest.
    void Consume(int count);
    // Replaces the contents with a copy of the bytes.
    int Assign(const void* bytes, int count);
};

// First match of a NUL-terminated pattern inside a sized buffer, or null. The first byte always
// matches exactly; without the exact flag the rest is compared ignoring ASCII letter case.
const unsigned char* FindBytes(const unsigned char* buffer, int length, const char* pattern,
                               bool exact);
