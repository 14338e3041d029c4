// The vector forms test 16 or 32 positions at once: four loads at offsets
// 0 to 3, one compare each, and a byte-wise sum of the four results (each
// match counts -1), so that "at least two" is one signed compare. Only the
// rare step with a hit leaves the vector loop.
#include "inspect/pass/scan_routes.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVIK_SCAN_X86 1
#endif

namespace morvik {

namespace {

// Appends the positions of the set bits of `mask`, counted from `base`.
inline size_t StoreHits(uint64_t mask, size_t base, uint32_t* hits, size_t count) {
    while (mask != 0) {
        hits[count++] = static_cast<uint32_t>(base + static_cast<size_t>(__builtin_ctzll(mask)));
        mask &= mask - 1;
    }
    return count;
}

// The plain route from `i` on, for the tail that a vector loop leaves.
size_t FinishPlain(const uint8_t* data, size_t i, size_t to, uint32_t* hits, size_t capacity, size_t count,
                   size_t* next) {
    for (; i < to && count < capacity; ++i)
        if (MayStartMarker(data + i)) hits[count++] = static_cast<uint32_t>(i);
    *next = i;
    return count;
}

inline uint64_t LoadWord(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

bool BlockIsAll(const uint8_t* p, uint64_t word) {
    return LoadWord(p) == word && LoadWord(p + 8) == word && LoadWord(p + 16) == word && LoadWord(p + 24) == word;
}

size_t RoundDown(size_t to) { return to - to % kUniformBlock; }

}  // namespace

size_t FindMarkerStartsPlain(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                             size_t* next) {
    return FinishPlain(data, from, to, hits, capacity, 0, next);
}

size_t NextUniformBlockPlain(const uint8_t* data, size_t from, size_t to, size_t step) {
    size_t end = RoundDown(to);
    for (size_t i = from; i + kUniformBlock <= end; i += step)
        if (BlockIsAll(data + i, 0) || BlockIsAll(data + i, ~uint64_t{0})) return i;
    return end;
}

size_t EndOfUniformBlocksPlain(const uint8_t* data, size_t from, size_t to, uint8_t byte) {
    size_t end = RoundDown(to);
    uint64_t word = byte == 0 ? 0 : ~uint64_t{0};
    for (size_t i = from; i < end; i += kUniformBlock)
        if (!BlockIsAll(data + i, word)) return i;
    return end;
}

#ifdef MORVIK_SCAN_X86

namespace {

inline __m128i Hits16(const uint8_t* p) {
    const __m128i caseBit = _mm_set1_epi8(0x20);
    __m128i e0 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('T'));
    __m128i e1 = _mm_cmpeq_epi8(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), caseBit),
                                _mm_set1_epi8('a'));
    __m128i e2 = _mm_cmpeq_epi8(_mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)), caseBit),
                                _mm_set1_epi8('v'));
    __m128i e3 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3)), _mm_setzero_si128());
    __m128i sum = _mm_add_epi8(_mm_add_epi8(e0, e1), _mm_add_epi8(e2, e3));
    return _mm_cmpgt_epi8(_mm_set1_epi8(-1), sum);
}

__attribute__((target("avx2"))) inline __m256i Hits32(const uint8_t* p) {
    const __m256i caseBit = _mm256_set1_epi8(0x20);
    __m256i e0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_set1_epi8('T'));
    __m256i e1 = _mm256_cmpeq_epi8(
        _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1)), caseBit), _mm256_set1_epi8('a'));
    __m256i e2 = _mm256_cmpeq_epi8(
        _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2)), caseBit), _mm256_set1_epi8('v'));
    __m256i e3 = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3)), _mm256_setzero_si256());
    __m256i sum = _mm256_add_epi8(_mm256_add_epi8(e0, e1), _mm256_add_epi8(e2, e3));
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(-1), sum);
}

__attribute__((target("avx2"))) inline __m256i Load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

#define MORVIK_SCAN_WIDE __attribute__((target("avx512f,avx512bw")))

// The 64 positions from p that pass, as bits. Each byte's distance from
// what it should read is its XOR with it (the case bit set first where case
// does not matter); the positions with at most two of four bytes off pass.
MORVIK_SCAN_WIDE inline __mmask64 Hits64(const uint8_t* p) {
    const __m512i one = _mm512_set1_epi8(1);
    const __m512i caseBit = _mm512_set1_epi8(0x20);
    constexpr int kOrThenXor = 0x56;  // (a | b) ^ c
    __m512i d0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_set1_epi8('T'));
    __m512i d1 = _mm512_ternarylogic_epi32(_mm512_loadu_si512(p + 1), caseBit, _mm512_set1_epi8('a'), kOrThenXor);
    __m512i d2 = _mm512_ternarylogic_epi32(_mm512_loadu_si512(p + 2), caseBit, _mm512_set1_epi8('v'), kOrThenXor);
    __m512i d3 = _mm512_loadu_si512(p + 3);
    __m512i off = _mm512_add_epi8(_mm512_add_epi8(_mm512_min_epu8(d0, one), _mm512_min_epu8(d1, one)),
                                  _mm512_add_epi8(_mm512_min_epu8(d2, one), _mm512_min_epu8(d3, one)));
    return _mm512_cmple_epu8_mask(off, _mm512_set1_epi8(2));
}

}  // namespace

bool ScanHasAvx2() { return __builtin_cpu_supports("avx2"); }

bool ScanHasAvx512() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"); }

size_t FindMarkerStartsSse2(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                            size_t* next) {
    size_t count = 0, i = from;
    for (; i + kMarkerStep <= to && capacity - count >= kMarkerStep; i += kMarkerStep) {
        const uint8_t* p = data + i;
        __m128i any =
            _mm_or_si128(_mm_or_si128(Hits16(p), Hits16(p + 16)), _mm_or_si128(Hits16(p + 32), Hits16(p + 48)));
        if (_mm_movemask_epi8(any) == 0) continue;
        uint64_t mask = 0;
        for (int k = 0; k < 4; ++k)
            mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(Hits16(p + 16 * k)))) << (16 * k);
        count = StoreHits(mask, i, hits, count);
    }
    if (capacity - count < kMarkerStep && i + kMarkerStep <= to) {
        *next = i;
        return count;
    }
    return FinishPlain(data, i, to, hits, capacity, count, next);
}

__attribute__((target("avx2"))) size_t FindMarkerStartsAvx2(const uint8_t* data, size_t from, size_t to, uint32_t* hits,
                                                            size_t capacity, size_t* next) {
    size_t count = 0, i = from;
    for (; i + kMarkerStep <= to && capacity - count >= kMarkerStep; i += kMarkerStep) {
        const uint8_t* p = data + i;
        __m256i low = Hits32(p), high = Hits32(p + 32);
        if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_or_si256(low, high))) continue;
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
        count = StoreHits(mask, i, hits, count);
    }
    if (capacity - count < kMarkerStep && i + kMarkerStep <= to) {
        *next = i;
        return count;
    }
    return FinishPlain(data, i, to, hits, capacity, count, next);
}

MORVIK_SCAN_WIDE size_t FindMarkerStartsAvx512(const uint8_t* data, size_t from, size_t to, uint32_t* hits,
                                               size_t capacity, size_t* next) {
    size_t count = 0, i = from;
    for (; i + kMarkerStep <= to && capacity - count >= kMarkerStep; i += kMarkerStep) {
        uint64_t mask = Hits64(data + i);
        if (mask != 0) count = StoreHits(mask, i, hits, count);
    }
    // The 512-bit registers are done with: cleared, they cost the code
    // built for narrower vectors nothing.
    _mm256_zeroupper();
    if (capacity - count < kMarkerStep && i + kMarkerStep <= to) {
        *next = i;
        return count;
    }
    return FinishPlain(data, i, to, hits, capacity, count, next);
}

__attribute__((target("avx2"))) size_t NextUniformBlockAvx2(const uint8_t* data, size_t from, size_t to, size_t step) {
    const size_t end = RoundDown(to);
    const __m256i ones = _mm256_set1_epi8(-1);
    size_t i = from;
    // testnzc: neither all zero bits nor all one bits
    if (step == kUniformBlock)
        for (; i + 2 * kUniformBlock <= end; i += 2 * kUniformBlock)
            if (!_mm256_testnzc_si256(Load32(data + i), ones) || !_mm256_testnzc_si256(Load32(data + i + 32), ones))
                break;
    for (; i + kUniformBlock <= end; i += step)
        if (!_mm256_testnzc_si256(Load32(data + i), ones)) return i;
    return end;
}

__attribute__((target("avx2"))) size_t EndOfUniformBlocksAvx2(const uint8_t* data, size_t from, size_t to,
                                                              uint8_t byte) {
    const size_t end = RoundDown(to);
    const __m256i ones = _mm256_set1_epi8(-1);
    size_t i = from;
    if (byte == 0) {
        for (; i + 2 * kUniformBlock <= end; i += 2 * kUniformBlock) {
            __m256i both = _mm256_or_si256(Load32(data + i), Load32(data + i + 32));
            if (!_mm256_testz_si256(both, both)) break;
        }
        for (; i < end; i += kUniformBlock)
            if (!_mm256_testz_si256(Load32(data + i), Load32(data + i))) return i;
    } else {
        for (; i + 2 * kUniformBlock <= end; i += 2 * kUniformBlock)
            if (!_mm256_testc_si256(_mm256_and_si256(Load32(data + i), Load32(data + i + 32)), ones)) break;
        for (; i < end; i += kUniformBlock)
            if (!_mm256_testc_si256(Load32(data + i), ones)) return i;
    }
    return end;
}

#else  // no x86 vectors: every route is the plain one

bool ScanHasAvx2() { return false; }

bool ScanHasAvx512() { return false; }

size_t FindMarkerStartsSse2(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                            size_t* next) {
    return FindMarkerStartsPlain(data, from, to, hits, capacity, next);
}

size_t FindMarkerStartsAvx2(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                            size_t* next) {
    return FindMarkerStartsPlain(data, from, to, hits, capacity, next);
}

size_t FindMarkerStartsAvx512(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                              size_t* next) {
    return FindMarkerStartsPlain(data, from, to, hits, capacity, next);
}

size_t NextUniformBlockAvx2(const uint8_t* data, size_t from, size_t to, size_t step) {
    return NextUniformBlockPlain(data, from, to, step);
}

size_t EndOfUniformBlocksAvx2(const uint8_t* data, size_t from, size_t to, uint8_t byte) {
    return EndOfUniformBlocksPlain(data, from, to, byte);
}

#endif

size_t FindMarkerStarts(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity, size_t* next) {
    static const auto route = ScanHasAvx512() ? FindMarkerStartsAvx512
                              : ScanHasAvx2() ? FindMarkerStartsAvx2
                                              : FindMarkerStartsSse2;
    return route(data, from, to, hits, capacity, next);
}

size_t NextUniformBlock(const uint8_t* data, size_t from, size_t to, size_t step) {
    static const bool avx2 = ScanHasAvx2();
    return avx2 ? NextUniformBlockAvx2(data, from, to, step) : NextUniformBlockPlain(data, from, to, step);
}

size_t EndOfUniformBlocks(const uint8_t* data, size_t from, size_t to, uint8_t byte) {
    static const bool avx2 = ScanHasAvx2();
    return avx2 ? EndOfUniformBlocksAvx2(data, from, to, byte) : EndOfUniformBlocksPlain(data, from, to, byte);
}

}  // namespace morvik
