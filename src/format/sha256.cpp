// SHA-256 of FIPS 180-4. The compression function runs over whole 64-byte
// blocks on one of two routes: plain C++, or the SHA extensions of x86
// processors, chosen once from CPUID. Both routes share the block
// bookkeeping and the padding, so that they can differ only in the rounds.
#include "format/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define MORVIK_SHA_NI 1
#endif

namespace morvik {

namespace {

// ---- constants ------------------------------------------------------------

// The round constants are the first 32 bits of the fractional parts of the
// cube roots of the first 64 primes, the initial state those of the square
// roots of the first 8. They are computed here rather than copied, so that
// a mistyped digit cannot hide in them.
constexpr bool IsPrime(uint32_t n) {
    for (uint32_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return n >= 2;
}

constexpr uint32_t NthPrime(size_t index) {
    uint32_t n = 1;
    for (size_t found = 0; found <= index;)
        if (IsPrime(++n)) ++found;
    return n;
}

// The largest x with x^power <= value.
constexpr uint64_t IntegerRoot(unsigned __int128 value, int power) {
    uint64_t low = 0, high = uint64_t{1} << 40;  // every root taken here is below 2^36
    while (low < high) {
        uint64_t middle = low + (high - low + 1) / 2;
        unsigned __int128 raised = 1;
        for (int i = 0; i < power; ++i) raised *= middle;
        if (raised <= value)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

// floor(root(p) * 2^32), of which the low 32 bits are the fraction's first 32.
constexpr uint32_t FractionBits(uint32_t prime, int power) {
    return static_cast<uint32_t>(IntegerRoot(static_cast<unsigned __int128>(prime) << (32 * power), power));
}

template <size_t N>
constexpr std::array<uint32_t, N> RootFractions(int power) {
    std::array<uint32_t, N> words{};
    for (size_t i = 0; i < N; ++i) words[i] = FractionBits(NthPrime(i), power);
    return words;
}

alignas(16) constexpr std::array<uint32_t, 64> kRoundConstants = RootFractions<64>(3);
constexpr std::array<uint32_t, 8> kInitialState = RootFractions<8>(2);
static_assert(kRoundConstants[0] == 0x428a2f98u && kRoundConstants[63] == 0xc67178f2u);
static_assert(kInitialState[0] == 0x6a09e667u && kInitialState[7] == 0x5be0cd19u);

// ---- portable route -------------------------------------------------------

inline uint32_t LoadBe32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline uint32_t SmallSigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
inline uint32_t BigSigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
inline uint32_t BigSigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }

void PortableBlocks(uint32_t state[8], const uint8_t* p, size_t blocks) {
    for (; blocks > 0; --blocks, p += kSha256BlockSize) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = LoadBe32(p + 4 * i);
        for (int i = 16; i < 64; ++i) w[i] = SmallSigma1(w[i - 2]) + w[i - 7] + SmallSigma0(w[i - 15]) + w[i - 16];
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        // Unrolled, the eight working variables rename instead of moving.
#pragma GCC unroll 64
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + BigSigma1(e) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
            uint32_t t2 = BigSigma0(a) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

// ---- SHA extensions route -------------------------------------------------

#ifdef MORVIK_SHA_NI

#define MORVIK_SHA_TARGET __attribute__((target("sha,sse4.1")))

// The instructions keep the state as two vectors, ABEF and CDGH (A in the
// top lane), and take the message words big-endian in ascending lanes.
MORVIK_SHA_TARGET void ShaNiBlocks(uint32_t state[8], const uint8_t* p, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, p += kSha256BlockSize) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), byteSwap);
            // Four rounds per step on the oldest four message words; the next
            // four of the schedule come from the sixteen before them.
#pragma GCC unroll 16
        for (int step = 0; step < 16; ++step) {
            __m128i words =
                _mm_add_epi32(w[0], _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * step])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));
            __m128i next = w[0];
            if (step < 12)
                next = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(w[0], w[1]), _mm_alignr_epi8(w[3], w[2], 4)), w[3]);
            w[0] = w[1];
            w[1] = w[2];
            w[2] = w[3];
            w[3] = next;
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef MORVIK_SHA_TARGET

// CPUID leaf 7 EBX bit 29: SHA; leaf 1 ECX bit 19: SSE4.1 (the shuffles and
// blends around the SHA instructions need it, and SSSE3 under it).
bool CpuHasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 19)) == 0) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & (1u << 29)) != 0;
}

#endif  // MORVIK_SHA_NI

void RunBlocks(Sha256* hash, const uint8_t* blocks, size_t count) {
#ifdef MORVIK_SHA_NI
    if (hash->route == Sha256Route::kShaExtensions) return ShaNiBlocks(hash->state, blocks, count);
#endif
    PortableBlocks(hash->state, blocks, count);
}

}  // namespace

bool Sha256RouteRuns(Sha256Route route) {
    if (route == Sha256Route::kPortable) return true;
#ifdef MORVIK_SHA_NI
    static const bool hasSha = CpuHasShaExtensions();  // the processor does not change under us
    return hasSha;
#else
    return false;
#endif
}

Sha256Route Sha256FastestRoute() {
    return Sha256RouteRuns(Sha256Route::kShaExtensions) ? Sha256Route::kShaExtensions : Sha256Route::kPortable;
}

void Sha256InitRoute(Sha256* hash, Sha256Route route) {
    std::copy(kInitialState.begin(), kInitialState.end(), hash->state);
    std::memset(hash->pending, 0, sizeof hash->pending);
    hash->pendingBytes = 0;
    hash->totalBytes = 0;
    hash->route = Sha256RouteRuns(route) ? route : Sha256Route::kPortable;
}

void Sha256Init(Sha256* hash) { Sha256InitRoute(hash, Sha256FastestRoute()); }

void Sha256Update(Sha256* hash, const uint8_t* data, size_t length) {
    if (length == 0) return;
    hash->totalBytes += length;
    if (hash->pendingBytes > 0) {
        size_t take = std::min(kSha256BlockSize - hash->pendingBytes, length);
        std::memcpy(hash->pending + hash->pendingBytes, data, take);
        hash->pendingBytes += take;
        data += take;
        length -= take;
        if (hash->pendingBytes < kSha256BlockSize) return;
        RunBlocks(hash, hash->pending, 1);
        hash->pendingBytes = 0;
    }
    size_t whole = length / kSha256BlockSize;
    if (whole > 0) RunBlocks(hash, data, whole);
    hash->pendingBytes = length % kSha256BlockSize;
    std::memcpy(hash->pending, data + whole * kSha256BlockSize, hash->pendingBytes);
}

// The message, a 1 bit, zeros, and the message's length in bits as a
// 64-bit big-endian number, ending on a block boundary.
Sha256Digest Sha256Final(Sha256* hash) {
    uint8_t tail[2 * kSha256BlockSize] = {};
    std::memcpy(tail, hash->pending, hash->pendingBytes);
    tail[hash->pendingBytes] = 0x80;
    size_t tailBytes = hash->pendingBytes + 1 + 8 <= kSha256BlockSize ? kSha256BlockSize : 2 * kSha256BlockSize;
    uint64_t bits = hash->totalBytes * 8;
    for (int i = 0; i < 8; ++i) tail[tailBytes - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    RunBlocks(hash, tail, tailBytes / kSha256BlockSize);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int b = 0; b < 4; ++b) digest[4 * i + b] = static_cast<uint8_t>(hash->state[i] >> (24 - 8 * b));
    hash->pendingBytes = 0;
    return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

}  // namespace morvik
