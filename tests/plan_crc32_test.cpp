// CRC-32 held against zlib's crc32, an implementation written elsewhere.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "format/crc32_paths.h"
#include "format/image_format.h"
#include "support/run_tool.h"

namespace {

using morvik_test::PatternBytes;

uint32_t Zlib(const uint8_t* p, size_t n) {
    return static_cast<uint32_t>(::crc32_z(0, p, n));
}

using Route = uint32_t (*)(uint32_t, const uint8_t*, size_t);

struct NamedRoute {
    const char* name;
    Route route;
};

const NamedRoute kRoutes[] = {
    {"crc32_update", morvik::crc32_update},
    {"tables", morvik::Crc32UpdateTables},
    {"carryless", morvik::Crc32UpdateCarryless},
    {"wide carryless", morvik::Crc32UpdateWide},
};

TEST(Crc32, KnownValuesAndNonPositiveLengths) {
    struct Case {
        const char* text;
        int32_t length;  // -1: the text's own length
        uint32_t crc;
    } cases[] = {
        {"", -1, 0x00000000u}, {"a", -1, 0xE8B7BE43u}, {"123456789", -1, 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", -1, 0x414FA339u},
        {"x", 0, 0u}, {"x", -5, 0u}, {"x", INT32_MIN, 0u},
    };
    for (const Case& c : cases) {
        auto* p = reinterpret_cast<const uint8_t*>(c.text);
        int32_t length = c.length == -1 ? static_cast<int32_t>(std::strlen(c.text)) : c.length;
        EXPECT_EQ(morvik::crc32(p, length), c.crc) << c.text << " " << c.length;
    }
}

// Every length up to a few folding blocks, at every alignment in a 16-byte
// lane, plus lengths that straddle the 16- and 64-byte steps at size.
TEST(Crc32, MatchesZlibAtManyLengthsAndAlignments) {
    std::vector<uint8_t> data = PatternBytes((1 << 20) + 64, 7);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1023u, 1024u, 4095u, 65536u + 15u, 65536u + 63u, (1u << 20) + 1u}) lengths.push_back(n);
    for (const NamedRoute& r : kRoutes)
        for (size_t length : lengths)
            for (size_t align = 0; align < 16; ++align) {
                const uint8_t* p = data.data() + align;
                ASSERT_EQ(r.route(0, p, length), Zlib(p, length)) << r.name << " length " << length
                                                                << " align " << align;
            }
    EXPECT_EQ(morvik::crc32(data.data(), 1 << 20), Zlib(data.data(), 1 << 20));
}

TEST(Crc32, UpdateInPiecesEqualsWhole) {
    std::vector<uint8_t> data = PatternBytes(100000, 11);
    const uint32_t whole = Zlib(data.data(), data.size());
    const std::vector<std::vector<size_t>> splits = {
        {0}, {1}, {15, 16}, {63, 64, 65}, {1, 2, 3, 4, 5, 6, 7, 8}, {4096, 50000, 99999}, {100000},
    };
    for (const NamedRoute& r : kRoutes)
        for (const auto& cuts : splits) {
            uint32_t crc = 0;
            size_t at = 0;
            for (size_t cut : cuts) {
                crc = r.route(crc, data.data() + at, cut - at);
                at = cut;
            }
            crc = r.route(crc, data.data() + at, data.size() - at);
            EXPECT_EQ(crc, whole) << r.name << " cut at " << cuts.front();
        }
}

TEST(Crc32, HeaderChecksumReplacesMagicAndChecksumByFill) {
    for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
        morvik::FW_Header header;
        std::vector<uint8_t> bytes = PatternBytes(morvik::kFwHeaderSize, fill + 3u);
        std::memcpy(header.raw, bytes.data(), bytes.size());
        std::memset(bytes.data(), fill, 4);
        std::memset(bytes.data() + 8, fill, 4);
        EXPECT_EQ(morvik::HeaderChecksumFor(header.raw, fill), Zlib(bytes.data(), bytes.size()));
    }
}

}  // namespace
