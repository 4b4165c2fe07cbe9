#include "netunpack/ByteScan.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace {

// Looks at a candidate byte ('/' or 'c'); true when "HTTP/" was found and the scan is over.
inline bool Candidate(const unsigned char* begin, const unsigned char* end, const unsigned char* at,
                      PayloadMarkers* m) {
    if (*at == '/') {
        if (at - begin >= 4) {
            if (std::memcmp(at - 4, "HTTP", 4) == 0) {
                m->http = at - 4;
                return true;
            }
            if (std::memcmp(at - 4, "RTSP", 4) == 0) m->rtsp = true;
        }
    } else if (!m->connect && end - at >= 7 && std::memcmp(at + 1, "onnect", 6) == 0) {
        m->connect = true;
    }
    return false;
}

inline bool Bits(const unsigned char* begin, const unsigned char* end, const unsigned char* base,
                 uint64_t mask, PayloadMarkers* m) {
    while (mask != 0) {
        if (Candidate(begin, end, base + __builtin_ctzll(mask), m)) return true;
        mask &= mask - 1;
    }
    return false;
}

void MarkersSse2(const unsigned char* begin, const unsigned char* end, PayloadMarkers* m) {
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i c = _mm_set1_epi8('c');
    const unsigned char* p = begin;
    for (; end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, slash), _mm_cmpeq_epi8(v, c))));
        if (Bits(begin, end, p, mask, m)) return;
    }
    for (; p < end; ++p) {
        if ((*p == '/' || *p == 'c') && Candidate(begin, end, p, m)) return;
    }
}

__attribute__((target("avx2"))) void MarkersAvx2(const unsigned char* begin,
                                                 const unsigned char* end, PayloadMarkers* m) {
    const __m256i slash = _mm256_set1_epi8('/');
    const __m256i c = _mm256_set1_epi8('c');
    const unsigned char* p = begin;
    for (; end - p >= 64; p += 64) {
        __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        __m256i m0 = _mm256_or_si256(_mm256_cmpeq_epi8(v0, slash), _mm256_cmpeq_epi8(v0, c));
        __m256i m1 = _mm256_or_si256(_mm256_cmpeq_epi8(v1, slash), _mm256_cmpeq_epi8(v1, c));
        uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(m0)) |
            (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(m1))) << 32);
        if (Bits(begin, end, p, mask, m)) return;
    }
    if (end - p >= 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, slash), _mm256_cmpeq_epi8(v, c))));
        if (Bits(begin, end, p, mask, m)) return;
        p += 32;
    }
    for (; p < end; ++p) {
        if ((*p == '/' || *p == 'c') && Candidate(begin, end, p, m)) return;
    }
}

using MarkerFunction = void (*)(const unsigned char*, const unsigned char*, PayloadMarkers*);

MarkerFunction Choose() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &MarkersAvx2 : &MarkersSse2;
}

const MarkerFunction g_markers = Choose();

}  // namespace

PayloadMarkers ScanPayloadMarkers(const unsigned char* p, int n) {
    PayloadMarkers m;
    if (p != nullptr && n > 0) g_markers(p, p + n, &m);
    return m;
}

PayloadMarkers ScanPayloadMarkersPortable(const unsigned char* p, int n) {
    PayloadMarkers m;
    if (p != nullptr && n > 0) MarkersSse2(p, p + n, &m);
    return m;
}
