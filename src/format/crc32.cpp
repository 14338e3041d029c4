// CRC-32 of IEEE 802.3 in its reflected form: polynomial 0xEDB88320, register
// preset to all ones, result complemented. Image files run to many MiB, so
// the byte-at-a-time loop is replaced by sixteen tables (16 bytes per step)
// and, where the processor has carry-less multiply, by folding: 128-bit lanes
// (64 bytes per step) or, with the 512-bit form of the multiply, 512-bit
// lanes (256 bytes per step).
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
        reg = TableByte(a, 0, 15) ^ TableByte(a, 1, 14) ^ TableByte(a, 2, 13) ^ TableByte(a, 3, 12) ^
              TableByte(a, 4, 11) ^ TableByte(a, 5, 10) ^ TableByte(a, 6, 9) ^ TableByte(a, 7, 8) ^ TableByte(b, 0, 7) ^
              TableByte(b, 1, 6) ^ TableByte(b, 2, 5) ^ TableByte(b, 3, 4) ^ TableByte(b, 4, 3) ^ TableByte(b, 5, 2) ^
              TableByte(b, 6, 1) ^ TableByte(b, 7, 0);
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

// A 128-bit lane is moved forward by d bits by multiplying its low half by
// x^(d+32) mod P and its high half by x^(d-32) mod P. Distances below are in
// 128-bit lanes: 16 (256 bytes, four 512-bit lanes), 4 (one 512-bit lane),
// 3, 2 and 1.
constexpr uint64_t kFold16Lo = FoldConstant(16 * 128 + 32);
constexpr uint64_t kFold16Hi = FoldConstant(16 * 128 - 32);
constexpr uint64_t kFold4Lo = FoldConstant(4 * 128 + 32);
constexpr uint64_t kFold4Hi = FoldConstant(4 * 128 - 32);
constexpr uint64_t kFold3Lo = FoldConstant(3 * 128 + 32);
constexpr uint64_t kFold3Hi = FoldConstant(3 * 128 - 32);
constexpr uint64_t kFold2Lo = FoldConstant(2 * 128 + 32);
constexpr uint64_t kFold2Hi = FoldConstant(2 * 128 - 32);
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

// Folds what is left in whole 16-byte lanes into x0, which holds everything
// before p; the 128-bit remainder is then an ordinary 16-byte message for the
// table route, which also takes the last length % 16 bytes.
__attribute__((target("pclmul,sse2"))) inline uint32_t FinishFolding(__m128i x0, const uint8_t* p, size_t length) {
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(kFold1Hi), static_cast<long long>(kFold1Lo));
    while (length >= 16) {
        x0 = Fold(x0, k1, Load128(p));
        p += 16;
        length -= 16;
    }
    uint8_t remainder[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(remainder), x0);
    return RawTableCrc(RawTableCrc(0, remainder, sizeof remainder), p, length);
}

// Four 128-bit lanes, 64 bytes per step, folded into one at the end.
__attribute__((target("pclmul,sse2"))) uint32_t RawClmulCrc(uint32_t reg, const uint8_t* p, size_t length) {
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
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(kFold1Hi), static_cast<long long>(kFold1Lo));
    x0 = Fold(x0, k1, x1);
    x0 = Fold(x0, k1, x2);
    x0 = Fold(x0, k1, x3);
    return FinishFolding(x0, p, length);
}

// The same folding on 512-bit vectors: each holds four 128-bit lanes, and one
// multiply instruction moves all four by the same distance.
#define MORVIK_CRC_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul")))

MORVIK_CRC_WIDE_TARGET inline __m512i Fold512(__m512i acc, __m512i k, __m512i data) {
    __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
    __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(lo, hi, data, 0x96);  // lo ^ hi ^ data
}

MORVIK_CRC_WIDE_TARGET inline __m512i Load512(const uint8_t* p) { return _mm512_loadu_si512(p); }

// Four 128-bit lanes of constants, the lowest first, each as (high, low).
MORVIK_CRC_WIDE_TARGET inline __m512i Constants512(uint64_t hi0, uint64_t lo0, uint64_t hi1, uint64_t lo1, uint64_t hi2,
                                                   uint64_t lo2, uint64_t hi3, uint64_t lo3) {
    auto ll = [](uint64_t v) { return static_cast<long long>(v); };
    return _mm512_set_epi64(ll(hi3), ll(lo3), ll(hi2), ll(lo2), ll(hi1), ll(lo1), ll(hi0), ll(lo0));
}

// Four 512-bit vectors, 256 bytes per step; they are folded into one vector,
// its four lanes into one 128-bit lane, and the 128-bit tail finishes.
// Shorter messages gain nothing from the wide vectors and take the 128-bit
// route.
//
// A load that straddles two cache lines costs more than one inside a line, so
// the vectors are read from 64-byte boundaries: the bytes before the first
// boundary fill the top of the first vector, behind zeros. Leading zeros
// leave a CRC whose register starts at zero as it is, so the vector stands
// for the message once the register is XORed into the message's first four
// bytes; when fewer than four bytes precede the boundary, the tables take
// them instead.
MORVIK_CRC_WIDE_TARGET uint32_t RawWideCrc(uint32_t reg, const uint8_t* p, size_t length) {
    if (length < 256 + 3) return RawClmulCrc(reg, p, length);
    size_t head = -reinterpret_cast<uintptr_t>(p) & 63;  // bytes before the first 64-byte boundary
    __m512i x0;
    if (head >= 4) {
        uint8_t first[64] = {};
        std::memcpy(first + 64 - head, p, head);
        for (int i = 0; i < 4; ++i) first[64 - head + i] ^= static_cast<uint8_t>(reg >> (8 * i));
        x0 = Load512(first);
        p += head;
        length -= head;
    } else {
        reg = RawTableCrc(reg, p, head);
        p += head;
        length -= head;
        x0 = _mm512_xor_si512(Load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
        p += 64;
        length -= 64;
    }
    __m512i x1 = Load512(p);
    __m512i x2 = Load512(p + 64);
    __m512i x3 = Load512(p + 128);
    p += 192;
    length -= 192;
    const __m512i k16 =
        Constants512(kFold16Hi, kFold16Lo, kFold16Hi, kFold16Lo, kFold16Hi, kFold16Lo, kFold16Hi, kFold16Lo);
    while (length >= 256) {
        x0 = Fold512(x0, k16, Load512(p));
        x1 = Fold512(x1, k16, Load512(p + 64));
        x2 = Fold512(x2, k16, Load512(p + 128));
        x3 = Fold512(x3, k16, Load512(p + 192));
        p += 256;
        length -= 256;
    }
    const __m512i k4 = Constants512(kFold4Hi, kFold4Lo, kFold4Hi, kFold4Lo, kFold4Hi, kFold4Lo, kFold4Hi, kFold4Lo);
    x0 = Fold512(x0, k4, x1);
    x0 = Fold512(x0, k4, x2);
    x0 = Fold512(x0, k4, x3);
    while (length >= 64) {
        x0 = Fold512(x0, k4, Load512(p));
        p += 64;
        length -= 64;
    }
    // Lane i (the lowest holds the earliest bytes) moves forward by 3 - i
    // lanes onto the last one; the last lane's constants are zero, and it
    // joins the sum unmoved.
    const __m512i kLanes = Constants512(kFold3Hi, kFold3Lo, kFold2Hi, kFold2Lo, kFold1Hi, kFold1Lo, 0, 0);
    __m512i sum =
        _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x0, kLanes, 0x00),
                                  _mm512_clmulepi64_epi128(x0, kLanes, 0x11), _mm512_maskz_mov_epi64(0xC0, x0), 0x96);
    uint8_t lanes[64];
    _mm512_storeu_si512(lanes, sum);
    __m128i lane = _mm_ternarylogic_epi64(Load128(lanes), Load128(lanes + 16), Load128(lanes + 32), 0x96);
    lane = _mm_xor_si128(lane, Load128(lanes + 48));
    // The 512-bit registers are done with. Their upper parts are cleared, or
    // later code built for 128-bit vectors (the other routes among it) runs
    // at half speed; the compiler does not always do this for a function
    // with its own target.
    _mm256_zeroupper();
    return FinishFolding(lane, p, length);
}

#undef MORVIK_CRC_WIDE_TARGET

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

bool Crc32HasWideCarrylessMultiply() {
#ifdef MORVIK_CRC_CLMUL
    // The AVX-512 checks also tell whether the operating system saves the
    // 512-bit registers.
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq") && Crc32HasCarrylessMultiply();
#else
    return false;
#endif
}

uint32_t Crc32UpdateWideCarryless(uint32_t crc, const uint8_t* data, size_t length) {
    if (length == 0) return crc;
#ifdef MORVIK_CRC_CLMUL
    if (Crc32HasWideCarrylessMultiply()) return ~RawWideCrc(~crc, data, length);
#endif
    return Crc32UpdateCarryless(crc, data, length);
}

namespace {

// The route crc32_update takes, on the raw register.
using RawRoute = uint32_t (*)(uint32_t reg, const uint8_t* p, size_t length);

RawRoute FastestRoute() {
#ifdef MORVIK_CRC_CLMUL
    if (Crc32HasWideCarrylessMultiply()) return RawWideCrc;
    if (Crc32HasCarrylessMultiply()) return RawClmulCrc;
#endif
    return RawTableCrc;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    static const RawRoute route = FastestRoute();  // the processor does not change under us
    if (length == 0) return crc;
    return ~route(~crc, data, length);
}

uint32_t crc32_combine(uint32_t crc1, uint32_t crc2, uint64_t length2) {
    return MultModP(ShiftForBytes(length2), crc1) ^ crc2;
}

// Moving a register past n bytes multiplies it by x^(8n), which is linear
// in the register's bits: the move of each byte of it, tabled, XORed.
Crc32Shift MakeCrc32Shift(uint64_t length2) {
    Crc32Shift shift;
    uint32_t factor = ShiftForBytes(length2);
    for (int k = 0; k < 4; ++k)
        for (uint32_t v = 0; v < 256; ++v) shift.byByte[k][v] = MultModP(factor, v << (8 * k));
    return shift;
}

uint32_t crc32_combine_with(const Crc32Shift& shift, uint32_t crc1, uint32_t crc2) {
    return shift.byByte[0][crc1 & 0xFF] ^ shift.byByte[1][(crc1 >> 8) & 0xFF] ^ shift.byByte[2][(crc1 >> 16) & 0xFF] ^
           shift.byByte[3][crc1 >> 24] ^ crc2;
}

uint32_t crc32(const uint8_t* data, int32_t length) {
    if (length <= 0) return 0;
    return crc32_update(0, data, static_cast<size_t>(length));
}

}  // namespace morvik
