#include "netunpack/ByteScan.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace {

inline uint32_t Load32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint32_t Text32(const char* t) {
    return Load32(reinterpret_cast<const unsigned char*>(t));
}

// The scan looks for byte pairs, rare even in text: "P/" ends "HTTP/" and "RTSP/", "co" starts
// "connect". A candidate is the position of the pair's first byte; true when "HTTP/" was found
// and the scan is over.
inline bool Candidate(const unsigned char* begin, const unsigned char* end, const unsigned char* at,
                      PayloadMarkers* m) {
    static const uint32_t kHttp = Text32("HTTP"), kRtsp = Text32("RTSP");
    static const uint32_t kConn = Text32("conn"), kNect = Text32("nect");
    if (*at == 'P') {
        if (at - begin >= 3) {
            const uint32_t word = Load32(at - 3);
            if (word == kHttp) {
                m->http = at - 3;
                return true;
            }
            if (word == kRtsp) m->rtsp = true;
        }
    } else if (!m->connect && end - at >= 7 && Load32(at) == kConn && Load32(at + 3) == kNect) {
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

// Pairs that start in [p, end) with both bytes before end.
bool ScalarTail(const unsigned char* begin, const unsigned char* end, const unsigned char* p,
                PayloadMarkers* m) {
    for (; p + 1 < end; ++p) {
        if (((p[0] == 'P' && p[1] == '/') || (p[0] == 'c' && p[1] == 'o')) &&
            Candidate(begin, end, p, m)) {
            return true;
        }
    }
    return false;
}

void MarkersSse2(const unsigned char* begin, const unsigned char* end, PayloadMarkers* m) {
    const __m128i P = _mm_set1_epi8('P'), slash = _mm_set1_epi8('/');
    const __m128i c = _mm_set1_epi8('c'), o = _mm_set1_epi8('o');
    const unsigned char* p = begin;
    for (; end - p >= 17; p += 16) {
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        __m128i pairs =
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v0, P), _mm_cmpeq_epi8(v1, slash)),
                         _mm_and_si128(_mm_cmpeq_epi8(v0, c), _mm_cmpeq_epi8(v1, o)));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(pairs));
        if (Bits(begin, end, p, mask, m)) return;
    }
    ScalarTail(begin, end, p, m);
}

__attribute__((target("avx2"))) void MarkersAvx2(const unsigned char* begin,
                                                 const unsigned char* end, PayloadMarkers* m) {
    const __m256i P = _mm256_set1_epi8('P'), slash = _mm256_set1_epi8('/');
    const __m256i c = _mm256_set1_epi8('c'), o = _mm256_set1_epi8('o');
    const unsigned char* p = begin;
    for (; end - p >= 33; p += 32) {
        __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        __m256i pairs = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(v0, P), _mm256_cmpeq_epi8(v1, slash)),
            _mm256_and_si256(_mm256_cmpeq_epi8(v0, c), _mm256_cmpeq_epi8(v1, o)));
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(pairs));
        if (Bits(begin, end, p, mask, m)) return;
    }
    ScalarTail(begin, end, p, m);
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
