// CRC-32 of IEEE 802.3 in its reflected form: polynomial 0xEDB88320, register
// preset to all ones, result complemented. Image files run to many MiB, so
// the byte-at-a-time loop is replaced by sixteen tables (16 bytes per step)
// and, where the processor has carry-less multiply, by 128-bit folding (512-bit
// where it has the wide form of that instruction).
#include <array>
#include <bit>
#include <cstring>

#include "format/crc32_paths.h"
#include "format/image_format.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVIK_CRC_CLMUL 1
#endif

namespace morvik {

namespace {

constexpr uint32_t kReflectedPoly = 0xEDB88320u;
constexpr size_t kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

// tables[k][b]: the register change caused by byte b followed by k zero bytes.
constexpr CrcTables MakeTables() {
    CrcTables tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kReflectedPoly : c >> 1;
        tables[0][b] = c;
    }
    for (size_t k = 1; k < kSlices; ++k)
        for (size_t b = 0; b < 256; ++b) {
            uint32_t prev = tables[k - 1][b];
            tables[k][b] = (prev >> 8) ^ tables[0][prev & 0xFFu];
        }
    return tables;
}

constexpr CrcTables kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du);

// Eight bytes as a little-endian number, whatever the host's byte order.
inline uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline uint32_t TableByte(uint64_t word, int byteIndex, size_t table) {
    return kTables[table][(word >> (8 * byteIndex)) & 0xFFu];
}

// Works on the raw register (no preset, no final complement).
uint32_t RawTableCrc(uint32_t reg, const uint8_t* p, size_t length) {
    while (length >= kSlices) {
        uint64_t a = LoadLe64(p) ^ reg;
        uint64_t b = LoadLe64(p + 8);
        reg = TableByte(a, 0, 15) ^ TableByte(a, 1, 14) ^ TableByte(a, 2, 13) ^
              TableByte(a, 3, 12) ^ TableByte(a, 4, 11) ^ TableByte(a, 5, 10) ^
              TableByte(a, 6, 9) ^ TableByte(a, 7, 8) ^ TableByte(b, 0, 7) ^
              TableByte(b, 1, 6) ^ TableByte(b, 2, 5) ^ TableByte(b, 3, 4) ^
              TableByte(b, 4, 3) ^ TableByte(b, 5, 2) ^ TableByte(b, 6, 1) ^ TableByte(b, 7, 0);
        p += kSlices;
        length -= kSlices;
    }
    while (length-- > 0) reg = (reg >> 8) ^ kTables[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

#ifdef MORVIK_CRC_CLMUL

// Folding constants: x^n mod P, bit-reflected over 32 bits and shifted up by
// one (a reflected carry-less product comes out one bit low). Computed here
// rather than copied, so they cannot drift from the polynomial.
constexpr uint64_t FoldConstant(unsigned n) {
    uint32_t r = 1;  // normal (non-reflected) form, P = 0x104C11DB7
    for (unsigned i = 0; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    uint32_t reflected = 0;
    for (int i = 0; i < 32; ++i)
        if ((r >> i) & 1u) reflected |= 1u << (31 - i);
    return static_cast<uint64_t>(reflected) << 1;
}

// Distance 512 bits (four lanes of 128) and 128 bits (one lane).
constexpr uint64_t kFold4Lo = FoldConstant(4 * 128 + 32);
constexpr uint64_t kFold4Hi = FoldConstant(4 * 128 - 32);
constexpr uint64_t kFold1Lo = FoldConstant(128 + 32);
constexpr uint64_t kFold1Hi = FoldConstant(128 - 32);
static_assert(kFold4Lo == 0x154442BD4ull && kFold1Hi == 0x0CCAA009Eull);

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i acc, __m128i k, __m128i data) {
    __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), data);
}

__attribute__((target("sse2"))) inline __m128i Load128(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("sse2"))) inline __m128i Fold1Constants() {
    return _mm_set_epi64x(static_cast<long long>(kFold1Hi), static_cast<long long>(kFold1Lo));
}

// Folds the whole 16-byte lanes behind the accumulator `x0`; the 128-bit
// remainder is then an ordinary 16-byte message for the table route, which
// also takes the tail.
__attribute__((target("pclmul,sse2"))) uint32_t FinishLanes(__m128i x0, const uint8_t* p, size_t length) {
    const __m128i k1 = Fold1Constants();
    while (length >= 16) {
        x0 = Fold(x0, k1, Load128(p));
        p += 16;
        length -= 16;
    }
    uint8_t remainder[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(remainder), x0);
    return RawTableCrc(RawTableCrc(0, remainder, sizeof remainder), p, length);
}

// Folds whole 16-byte lanes; the 128-bit remainder is then an ordinary
// 16-byte message for the table route, which also takes the tail.
__attribute__((target("pclmul,sse2"))) uint32_t RawClmulCrc(uint32_t reg, const uint8_t* p,
                                                           size_t length) {
    if (length < 64) return RawTableCrc(reg, p, length);
    __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = Load128(p + 16);
    __m128i x2 = Load128(p + 32);
    __m128i x3 = Load128(p + 48);
    p += 64;
    length -= 64;
    const __m128i k4 = _mm_set_epi64x(static_cast<long long>(kFold4Hi), static_cast<long long>(kFold4Lo));
    while (length >= 64) {
        x0 = Fold(x0, k4, Load128(p));
        x1 = Fold(x1, k4, Load128(p + 16));
        x2 = Fold(x2, k4, Load128(p + 32));
        x3 = Fold(x3, k4, Load128(p + 48));
        p += 64;
        length -= 64;
    }
    const __m128i k1 = Fold1Constants();
    x0 = Fold(x0, k1, x1);
    x0 = Fold(x0, k1, x2);
    x0 = Fold(x0, k1, x3);
    return FinishLanes(x0, p, length);
}

// The same folding 256 bytes per step in four 512-bit registers, each
// holding four 16-byte lanes: 2048 bits from one step to the next, 512 bits
// between neighbouring registers.
constexpr uint64_t kFold16Lo = FoldConstant(16 * 128 + 32);
constexpr uint64_t kFold16Hi = FoldConstant(16 * 128 - 32);

#define MORVIK_WIDE_TARGET "avx512f,vpclmulqdq,pclmul,sse2"

__attribute__((target(MORVIK_WIDE_TARGET))) inline __m512i FoldWide(__m512i acc, __m512i k, __m512i data) {
    __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
    __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(lo, hi, data, 0x96);  // lo ^ hi ^ data
}

__attribute__((target(MORVIK_WIDE_TARGET))) inline __m512i Load512(const uint8_t* p) {
    return _mm512_loadu_si512(p);
}

__attribute__((target(MORVIK_WIDE_TARGET))) inline __m512i WideConstants(uint64_t hi, uint64_t lo) {
    auto h = static_cast<long long>(hi), l = static_cast<long long>(lo);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

__attribute__((target(MORVIK_WIDE_TARGET))) uint32_t RawWideCrc(uint32_t reg, const uint8_t* p, size_t length) {
    if (length < 256) return RawClmulCrc(reg, p, length);
    __m512i x0 = _mm512_xor_si512(Load512(p), _mm512_maskz_set1_epi32(1, static_cast<int>(reg)));
    __m512i x1 = Load512(p + 64);
    __m512i x2 = Load512(p + 128);
    __m512i x3 = Load512(p + 192);
    p += 256;
    length -= 256;
    const __m512i k16 = WideConstants(kFold16Hi, kFold16Lo);
    while (length >= 256) {
        x0 = FoldWide(x0, k16, Load512(p));
        x1 = FoldWide(x1, k16, Load512(p + 64));
        x2 = FoldWide(x2, k16, Load512(p + 128));
        x3 = FoldWide(x3, k16, Load512(p + 192));
        p += 256;
        length -= 256;
    }
    const __m512i k4 = WideConstants(kFold4Hi, kFold4Lo);
    x0 = FoldWide(x0, k4, x1);
    x0 = FoldWide(x0, k4, x2);
    x0 = FoldWide(x0, k4, x3);
    // Four lanes of one 64-byte message, the first lane the earliest.
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, x0);
    const __m128i k1 = Fold1Constants();
    __m128i lane = Fold(lanes[0], k1, lanes[1]);
    lane = Fold(lane, k1, lanes[2]);
    lane = Fold(lane, k1, lanes[3]);
    return FinishLanes(lane, p, length);
}

#endif  // MORVIK_CRC_CLMUL

// ---- combining ------------------------------------------------------------

// a * b modulo the polynomial, both reflected (bit 31 is x^0).
constexpr uint32_t MultModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1u) ? (b >> 1) ^ kReflectedPoly : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial for k = 0 to 63.
constexpr std::array<uint32_t, 64> MakePowers() {
    std::array<uint32_t, 64> powers{};
    uint32_t p = 1u << 30;  // x^1
    for (auto& power : powers) {
        power = p;
        p = MultModP(p, p);
    }
    return powers;
}

constexpr std::array<uint32_t, 64> kPowers = MakePowers();

// x^(8n) modulo the polynomial: the register change of n zero bytes.
uint32_t ShiftForBytes(uint64_t n) {
    uint32_t p = 1u << 31;  // x^0
    for (size_t k = 3; n != 0; n >>= 1, ++k)
        if (n & 1u) p = MultModP(kPowers[k & 63], p);
    return p;
}

}  // namespace

uint32_t Crc32UpdateTables(uint32_t crc, const uint8_t* data, size_t length) {
    if (length == 0) return crc;
    return ~RawTableCrc(~crc, data, length);
}

bool Crc32HasCarrylessMultiply() {
#ifdef MORVIK_CRC_CLMUL
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
#else
    return false;
#endif
}

uint32_t Crc32UpdateCarryless(uint32_t crc, const uint8_t* data, size_t length) {
    if (length == 0) return crc;
#ifdef MORVIK_CRC_CLMUL
    if (Crc32HasCarrylessMultiply()) return ~RawClmulCrc(~crc, data, length);
#endif
    return ~RawTableCrc(~crc, data, length);
}

bool Crc32HasWideCarryless() {
#ifdef MORVIK_CRC_CLMUL
    return Crc32HasCarrylessMultiply() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("vpclmulqdq");
#else
    return false;
#endif
}

uint32_t Crc32UpdateWide(uint32_t crc, const uint8_t* data, size_t length) {
    if (length == 0) return crc;
#ifdef MORVIK_CRC_CLMUL
    if (Crc32HasWideCarryless()) return ~RawWideCrc(~crc, data, length);
#endif
    return Crc32UpdateCarryless(crc, data, length);
}

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    static const bool wide = Crc32HasWideCarryless();
    return wide ? Crc32UpdateWide(crc, data, length) : Crc32UpdateCarryless(crc, data, length);
}

uint32_t crc32_combine(uint32_t crc1, uint32_t crc2, uint64_t length2) {
    return MultModP(ShiftForBytes(length2), crc1) ^ crc2;
}

uint32_t crc32(const uint8_t* data, int32_t length) {
    if (length <= 0) return 0;
    return crc32_update(0, data, static_cast<size_t>(length));
}

}  // namespace morvik
