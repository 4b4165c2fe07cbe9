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

__attribute__((target("avx512f,avx512bw"))) void MarkersAvx512(const unsigned char* begin,
                                                               const unsigned char* end,
                                                               PayloadMarkers* m) {
    const __m512i P = _mm512_set1_epi8('P'), slash = _mm512_set1_epi8('/');
    const __m512i c = _mm512_set1_epi8('c'), o = _mm512_set1_epi8('o');
    const unsigned char* p = begin;
    for (; end - p >= 65; p += 64) {
        const __m512i v0 = _mm512_loadu_si512(p);
        const __m512i v1 = _mm512_loadu_si512(p + 1);
        const uint64_t pairs = (_mm512_cmpeq_epi8_mask(v0, P) & _mm512_cmpeq_epi8_mask(v1, slash)) |
                               (_mm512_cmpeq_epi8_mask(v0, c) & _mm512_cmpeq_epi8_mask(v1, o));
        if (pairs != 0 && Bits(begin, end, p, pairs, m)) return;
    }
    // The last pairs: masked loads read only the bytes that are there.
    const size_t left = static_cast<size_t>(end - p);  // at most 64
    if (left < 2) return;
    const uint64_t there = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
    const __m512i v0 = _mm512_maskz_loadu_epi8(there, p);
    const __m512i v1 = _mm512_maskz_loadu_epi8(there >> 1, p + 1);
    const uint64_t pairs = ((_mm512_cmpeq_epi8_mask(v0, P) & _mm512_cmpeq_epi8_mask(v1, slash)) |
                            (_mm512_cmpeq_epi8_mask(v0, c) & _mm512_cmpeq_epi8_mask(v1, o))) &
                           (there >> 1);
    Bits(begin, end, p, pairs, m);
}

// Whether the n-byte pattern starts at `at`; its first and last bytes already matched.
inline bool Middle(const unsigned char* at, const unsigned char* p, size_t n) {
    for (size_t i = 1; i + 1 < n; ++i) {
        if (at[i] != p[i]) return false;
    }
    return true;
}

// Positions [from, positions) one by one.
const unsigned char* PatternTail(const unsigned char* b, size_t from, size_t positions,
                                 const unsigned char* p, size_t n) {
    for (size_t i = from; i < positions; ++i) {
        if (b[i] == p[0] && b[i + n - 1] == p[n - 1] && Middle(b + i, p, n)) return b + i;
    }
    return nullptr;
}

// The first of the candidate positions (bits of the mask, from base) where the whole pattern is.
inline const unsigned char* FirstWhole(const unsigned char* base, uint64_t mask,
                                       const unsigned char* p, size_t n) {
    for (; mask != 0; mask &= mask - 1) {
        const unsigned char* at = base + __builtin_ctzll(mask);
        if (Middle(at, p, n)) return at;
    }
    return nullptr;
}

// Candidates among the 16 positions from `at`: first and last byte match. Both loads stay
// inside the buffer while at + n - 1 + 16 <= end.
inline unsigned CandidatesSse2(const unsigned char* at, size_t n, __m128i first, __m128i last) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + n - 1));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(z, last))));
}

const unsigned char* PatternSse2(const unsigned char* b, size_t length, const unsigned char* p,
                                 size_t n) {
    const size_t positions = length - n + 1;  // callers ensure n <= length
    const __m128i first = _mm_set1_epi8(static_cast<char>(p[0]));
    const __m128i last = _mm_set1_epi8(static_cast<char>(p[n - 1]));
    size_t i = 0;
    for (; i + 16 <= positions; i += 16) {
        if (const unsigned char* hit =
                FirstWhole(b + i, CandidatesSse2(b + i, n, first, last), p, n))
            return hit;
    }
    if (i == positions || positions < 16) return PatternTail(b, i, positions, p, n);
    // The last positions: one more vector ending at the last one, without those already seen.
    const size_t j = positions - 16;
    return FirstWhole(b + j, CandidatesSse2(b + j, n, first, last) & (~0u << (i - j)), p, n);
}

// The candidates among the 32 positions from `at`, as a byte mask.
__attribute__((target("avx2"))) inline __m256i CandidatesAvx2(const unsigned char* at, size_t n,
                                                              __m256i first, __m256i last) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + n - 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(z, last));
}

__attribute__((target("avx2"))) inline uint64_t MaskOf(__m256i candidates) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(candidates));
}

__attribute__((target("avx2"))) const unsigned char* PatternAvx2(const unsigned char* b,
                                                                 size_t length,
                                                                 const unsigned char* p, size_t n) {
    const size_t positions = length - n + 1;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(p[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(p[n - 1]));
    size_t i = 0;
    // Two vectors a round, tested together: most rounds find no candidate at all.
    for (; i + 64 <= positions; i += 64) {
        const __m256i m0 = CandidatesAvx2(b + i, n, first, last);
        const __m256i m1 = CandidatesAvx2(b + i + 32, n, first, last);
        const __m256i any = _mm256_or_si256(m0, m1);
        if (_mm256_testz_si256(any, any)) continue;
        if (const unsigned char* hit = FirstWhole(b + i, MaskOf(m0) | MaskOf(m1) << 32, p, n))
            return hit;
    }
    for (; i + 32 <= positions; i += 32) {
        if (const unsigned char* hit =
                FirstWhole(b + i, MaskOf(CandidatesAvx2(b + i, n, first, last)), p, n))
            return hit;
    }
    if (i == positions || positions < 32) return PatternTail(b, i, positions, p, n);
    const size_t j = positions - 32;
    return FirstWhole(b + j, MaskOf(CandidatesAvx2(b + j, n, first, last)) & (~0u << (i - j)), p,
                      n);
}

__attribute__((target("avx512f,avx512bw"))) const unsigned char* PatternAvx512(
    const unsigned char* b, size_t length, const unsigned char* p, size_t n) {
    const size_t positions = length - n + 1;
    const __m512i first = _mm512_set1_epi8(static_cast<char>(p[0]));
    const __m512i last = _mm512_set1_epi8(static_cast<char>(p[n - 1]));
    size_t i = 0;
    // Both loads end inside the buffer while 64 positions are left.
    for (; i + 64 <= positions; i += 64) {
        const uint64_t candidates = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(b + i), first) &
                                    _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(b + i + n - 1), last);
        if (candidates != 0) {
            if (const unsigned char* hit = FirstWhole(b + i, candidates, p, n)) return hit;
        }
    }
    // The last positions: masked loads read only the bytes that are there.
    const size_t left = positions - i;
    if (left == 0) return nullptr;
    const uint64_t there = (uint64_t{1} << left) - 1;  // left < 64
    const uint64_t candidates =
        _mm512_cmpeq_epi8_mask(_mm512_maskz_loadu_epi8(there, b + i), first) &
        _mm512_cmpeq_epi8_mask(_mm512_maskz_loadu_epi8(there, b + i + n - 1), last) & there;
    return FirstWhole(b + i, candidates, p, n);
}

using MarkerFunction = void (*)(const unsigned char*, const unsigned char*, PayloadMarkers*);
using PatternFunction = const unsigned char* (*)(const unsigned char*, size_t, const unsigned char*,
                                                 size_t);

bool HasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool HasAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

const bool g_avx2 = HasAvx2();
const bool g_avx512 = HasAvx512();
// The markers' scan runs over every byte of every payload the reading thread sees: 64 bytes a
// step where the processor has them.
const MarkerFunction g_markers = g_avx512 ? &MarkersAvx512 : g_avx2 ? &MarkersAvx2 : &MarkersSse2;
const PatternFunction g_pattern = g_avx512 ? &PatternAvx512 : g_avx2 ? &PatternAvx2 : &PatternSse2;

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

const unsigned char* FindPattern(const unsigned char* b, size_t length, const unsigned char* p,
                                 size_t n) {
    if (b == nullptr || p == nullptr || n < 2 || n > length) return nullptr;
    return g_pattern(b, length, p, n);
}

const unsigned char* FindPatternPortable(const unsigned char* b, size_t length,
                                         const unsigned char* p, size_t n) {
    if (b == nullptr || p == nullptr || n < 2 || n > length) return nullptr;
    return PatternSse2(b, length, p, n);
}
