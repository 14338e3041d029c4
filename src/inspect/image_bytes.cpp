// Bringing the image into memory once, and the byte-level scans over it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "inspect/inspect.h"
#include "sys/io.h"

namespace morvik {

namespace {

// Fallback for files that cannot be mapped: one read loop into memory.
bool ReadWhole(int fd, uint64_t size, ImageBytes* image) {
    try {
        image->copy.resize(size);
    } catch (...) {
        return false;
    }
    if (ReadFull(fd, image->copy.data(), size) != static_cast<ssize_t>(size)) return false;
    image->data = image->copy.data();
    return true;
}

bool MapWhole(int fd, uint64_t size, ImageBytes* image) {
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (at == MAP_FAILED) return false;
    ::madvise(at, size, MADV_SEQUENTIAL);
    image->mapping = at;
    image->data = static_cast<const uint8_t*>(at);
    return true;
}

}  // namespace

int LoadImage(const char* path, ImageBytes* image) {
    UniqueFd in = OpenForReading(path);
    if (in.fd < 0) {
        std::printf("Error : cannot open image %s: %s\n", path, std::strerror(errno));
        return kInspectUsage;
    }
    struct stat st;
    if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Error : %s is not a regular file\n", path);
        return kInspectUsage;
    }
    image->size = static_cast<uint64_t>(st.st_size);
    bool loaded = image->size == 0 || MapWhole(in.fd, image->size, image) ||
                  ReadWhole(in.fd, image->size, image);
    if (!loaded) {
        std::printf("Error : cannot read image %s\n", path);
        return kInspectUsage;
    }
    return 0;
}

void ReleaseImage(ImageBytes* image) {
    if (image->mapping != nullptr) ::munmap(image->mapping, image->size);
    image->mapping = nullptr;
    image->data = nullptr;
    image->copy.clear();
    image->size = 0;
}

namespace {

// Candidates are positions where two anchor bytes of a needle match; on
// image data only about one position in 65536 passes that test, so the full
// comparison is rare. The anchors are bytes other than 0x00 and 0xFF where
// the needle has them, so that fill runs do not pass the test everywhere.
// All needles are tested on the same bytes while they are in the cache: one
// pass over memory for all.
#if defined(__SSE2__)
constexpr size_t kMaxNeedles = 4;
constexpr uint64_t kStride = 64;  // bytes tested per branch

struct Anchors {
    size_t count = 0;
    size_t longest = 0;
    size_t lo[kMaxNeedles];  // positions inside the needle
    size_t hi[kMaxNeedles];
    uint8_t loByte[kMaxNeedles];
    uint8_t hiByte[kMaxNeedles];
};

bool Distinctive(uint8_t b) { return b != 0x00 && b != 0xFF; }

Anchors ChooseAnchors(const std::vector<Needle>& needles) {
    Anchors a;
    a.count = needles.size();
    for (size_t k = 0; k < a.count; ++k) {
        const uint8_t* want = static_cast<const uint8_t*>(needles[k].bytes);
        size_t n = needles[k].length;
        size_t lo = 0, hi = n - 1;
        while (lo < n - 1 && !Distinctive(want[lo])) ++lo;
        if (lo == n - 1) lo = 0;
        while (hi > lo + 1 && !Distinctive(want[hi])) --hi;
        if (hi == lo) hi = n - 1;
        a.lo[k] = lo;
        a.hi[k] = hi;
        a.loByte[k] = want[lo];
        a.hiByte[k] = want[hi];
        a.longest = std::max(a.longest, n);
    }
    return a;
}

// Non-zero bytes where some needle's anchors match, for the 16 positions
// from `at`.
inline __m128i BlockHits(const uint8_t* at, const Anchors& a) {
    __m128i hits = _mm_setzero_si128();
    for (size_t k = 0; k < a.count; ++k) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + a.lo[k]));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + a.hi[k]));
        hits = _mm_or_si128(hits, _mm_and_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(a.loByte[k]))),
                                                _mm_cmpeq_epi8(y, _mm_set1_epi8(static_cast<char>(a.hiByte[k])))));
    }
    return hits;
}

// The rare stretch that holds a candidate: every position, every needle.
void CheckStretch(const uint8_t* base, uint64_t from, uint64_t to, const std::vector<Needle>& needles,
                  const Anchors& a, std::vector<std::vector<uint64_t>>* found) {
    for (uint64_t at = from; at < to; ++at)
        for (size_t k = 0; k < needles.size(); ++k)
            if (base[at + a.lo[k]] == a.loByte[k] && base[at + a.hi[k]] == a.hiByte[k] &&
                std::memcmp(base + at, needles[k].bytes, needles[k].length) == 0 && (*found)[k].size() < kMaxPositions)
                (*found)[k].push_back(at);
}

// The same test 32 positions at a time, on processors that have AVX2.
__attribute__((target("avx2"))) uint64_t FindCandidatesAvx2(const ImageBytes& image, const std::vector<Needle>& needles,
                                                            const Anchors& a,
                                                            std::vector<std::vector<uint64_t>>* found) {
    __m256i lo[kMaxNeedles], hi[kMaxNeedles];
    for (size_t k = 0; k < a.count; ++k) {
        lo[k] = _mm256_set1_epi8(static_cast<char>(a.loByte[k]));
        hi[k] = _mm256_set1_epi8(static_cast<char>(a.hiByte[k]));
    }
    const uint64_t lastStretch = image.size - a.longest - kStride;  // every load stays in the file
    const uint8_t* base = image.data;
    uint64_t i = 0;
    for (; i <= lastStretch; i += kStride) {
        __m256i hits = _mm256_setzero_si256();
        for (uint64_t half = i; half < i + kStride; half += 32)
            for (size_t k = 0; k < a.count; ++k) {
                __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + half + a.lo[k]));
                __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + half + a.hi[k]));
                hits = _mm256_or_si256(hits, _mm256_and_si256(_mm256_cmpeq_epi8(x, lo[k]), _mm256_cmpeq_epi8(y, hi[k])));
            }
        if (_mm256_movemask_epi8(hits) != 0) CheckStretch(base, i, i + kStride, needles, a, found);
    }
    return i;
}

// Returns where the vector loop stopped; the caller checks the rest.
uint64_t FindCandidates(const ImageBytes& image, const std::vector<Needle>& needles,
                        std::vector<std::vector<uint64_t>>* found) {
    if (needles.size() > kMaxNeedles) return 0;
    Anchors a = ChooseAnchors(needles);
    if (image.size < a.longest + kStride) return 0;
    if (__builtin_cpu_supports("avx2")) return FindCandidatesAvx2(image, needles, a, found);
    const uint64_t lastStretch = image.size - a.longest - kStride;
    const uint8_t* base = image.data;
    uint64_t i = 0;
    for (; i <= lastStretch; i += kStride) {
        __m128i hits = _mm_or_si128(_mm_or_si128(BlockHits(base + i, a), BlockHits(base + i + 16, a)),
                                    _mm_or_si128(BlockHits(base + i + 32, a), BlockHits(base + i + 48, a)));
        if (_mm_movemask_epi8(hits) != 0) CheckStretch(base, i, i + kStride, needles, a, found);
    }
    return i;
}
#else
uint64_t FindCandidates(const ImageBytes&, const std::vector<Needle>&, std::vector<std::vector<uint64_t>>*) {
    return 0;
}
#endif

}  // namespace

std::vector<std::vector<uint64_t>> FindAllOf(const ImageBytes& image, const std::vector<Needle>& needles) {
    std::vector<std::vector<uint64_t>> found(needles.size());
    for (const Needle& n : needles)
        if (n.length == 0) return found;
    uint64_t from = FindCandidates(image, needles, &found);
    for (size_t k = 0; k < needles.size(); ++k) {  // the tail the block loop leaves
        const uint8_t* want = static_cast<const uint8_t*>(needles[k].bytes);
        size_t length = needles[k].length;
        for (uint64_t i = from; image.size >= length && i <= image.size - length; ++i)
            if (image.data[i] == want[0] && std::memcmp(image.data + i, want, length) == 0 &&
                found[k].size() < kMaxPositions)
                found[k].push_back(i);
    }
    return found;
}

std::vector<uint64_t> FindAll(const ImageBytes& image, const void* needle, size_t length) {
    return FindAllOf(image, {Needle{needle, length}}).front();
}

uint32_t CrcOfRange(const ImageBytes& image, uint64_t start, uint64_t length) {
    if (!InFile(image, start, length) || length == 0) return 0;
    return crc32_update(0, image.data + start, static_cast<size_t>(length));
}

namespace {

// 0x00 or 0xFF when the 8 bytes at `at` are all that byte, else -1.
inline int UniformWord(const uint8_t* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if (word == 0) return 0x00;
    if (word == ~uint64_t{0}) return 0xFF;
    return -1;
}

// The run of `byte` around [from, to), stretched byte by byte within
// [begin, end).
ByteRun StretchRun(const uint8_t* data, uint64_t begin, uint64_t end, uint64_t from, uint64_t to,
                   uint8_t byte) {
    while (from > begin && data[from - 1] == byte) --from;
    while (to < end && data[to] == byte) ++to;
    return ByteRun{from, to - from, byte};
}

bool AllOneByte(const uint8_t* data, uint64_t begin, uint64_t end, uint8_t byte) {
    for (uint64_t i = begin; i < end; ++i)
        if (data[i] != byte) return false;
    return true;
}

}  // namespace

std::vector<ByteRun> FindConstantRuns(const ImageBytes& image, uint64_t begin, uint64_t end,
                                      uint64_t minRun) {
    std::vector<ByteRun> runs;
    if (end > image.size) end = image.size;
    if (begin >= end) return runs;
    const uint8_t* data = image.data;
    if (end - begin < minRun) {
        uint8_t first = data[begin];
        if ((first == 0x00 || first == 0xFF) && AllOneByte(data, begin, end, first))
            runs.push_back(ByteRun{begin, end - begin, first});
        return runs;
    }
    // A run of minRun bytes holds at least this many whole words, wherever
    // it starts; shorter streaks of uniform words need no closer look.
    const uint64_t streakNeeded = minRun >= 23 ? (minRun - 14) / 8 : 1;
    uint64_t i = begin;
    while (end - i >= 8) {
        int kind = UniformWord(data + i);
        if (kind < 0) {
            i += 8;
            continue;
        }
        uint64_t streakStart = i;
        while (end - i >= 8 && UniformWord(data + i) == kind) i += 8;
        if ((i - streakStart) / 8 < streakNeeded) continue;
        ByteRun run = StretchRun(data, begin, end, streakStart, i, static_cast<uint8_t>(kind));
        if (!runs.empty() && run.start < runs.back().start + runs.back().length) continue;
        if (run.length >= minRun) runs.push_back(run);
        i = run.start + run.length;
    }
    return runs;
}

}  // namespace morvik
