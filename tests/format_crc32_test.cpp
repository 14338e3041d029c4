// CRC-32 held against zlib's crc32, an implementation written elsewhere.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/crc32_paths.h"
#include "format/image_format.h"
#include "support/run_tool.h"

namespace {

using morvik_test::PatternBytes;

uint32_t Zlib(const uint8_t* p, size_t n) { return static_cast<uint32_t>(::crc32_z(0, p, n)); }

using Route = uint32_t (*)(uint32_t, const uint8_t*, size_t);

bool Everywhere() { return true; }

struct NamedRoute {
    const char* name;
    Route route;
    bool (*runsHere)();  // false: the processor lacks what the route needs, and its tests are skipped
};

// clang-format off
const NamedRoute kRoutes[] = {
    {"crc32_update", morvik::crc32_update, Everywhere},
    {"tables", morvik::Crc32UpdateTables, Everywhere},
    {"carryless", morvik::Crc32UpdateCarryless, morvik::Crc32HasCarrylessMultiply},
    {"wide_carryless", morvik::Crc32UpdateWideCarryless, morvik::Crc32HasWideCarrylessMultiply},
};
// clang-format on

class Crc32Route : public testing::TestWithParam<NamedRoute> {
protected:
    void SetUp() override {
        if (!GetParam().runsHere()) GTEST_SKIP() << "this processor cannot run the " << GetParam().name << " route";
    }
};

INSTANTIATE_TEST_SUITE_P(Routes, Crc32Route, testing::ValuesIn(kRoutes),
                         [](const testing::TestParamInfo<NamedRoute>& info) { return std::string(info.param.name); });

TEST(Crc32, KnownValuesAndNonPositiveLengths) {
    // clang-format off
    struct Case {
        const char* text;
        int32_t length;  // -1: the text's own length
        uint32_t crc;
    } cases[] = {
        {"", -1, 0x00000000u}, {"a", -1, 0xE8B7BE43u}, {"123456789", -1, 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", -1, 0x414FA339u},
        {"x", 0, 0u}, {"x", -5, 0u}, {"x", INT32_MIN, 0u},
    };
    // clang-format on
    for (const Case& c : cases) {
        auto* p = reinterpret_cast<const uint8_t*>(c.text);
        int32_t length = c.length == -1 ? static_cast<int32_t>(std::strlen(c.text)) : c.length;
        EXPECT_EQ(morvik::crc32(p, length), c.crc) << c.text << " " << c.length;
    }
}

// Every length up to sixteen of the widest folding steps, at every alignment
// in a 64-byte line, plus lengths that straddle the 16-, 64- and 256-byte
// steps at size. zlib's answer for each length continues the one before it
// by a byte, so the reference costs next to nothing.
TEST_P(Crc32Route, MatchesZlibAtManyLengthsAndAlignments) {
    const NamedRoute& r = GetParam();
    std::vector<uint8_t> data = PatternBytes((1 << 20) + 128, 7);
    const uint8_t* line = data.data() + (-reinterpret_cast<uintptr_t>(data.data()) & 63);  // starts a 64-byte line
    const size_t longLengths[] = {4097, 65536 + 15, 65536 + 63, 65536 + 255, 65536 + 256 + 64 + 16 + 3, (1 << 20) + 1};
    for (size_t align = 0; align < 64; ++align) {
        const uint8_t* p = line + align;
        uint32_t expected = 0;
        for (size_t length = 0; length <= 4096; ++length) {
            if (length > 0) expected = static_cast<uint32_t>(::crc32_z(expected, p + length - 1, 1));
            ASSERT_EQ(r.route(0, p, length), expected) << r.name << " length " << length << " align " << align;
        }
        for (size_t length : longLengths)
            ASSERT_EQ(r.route(0, p, length), Zlib(p, length)) << r.name << " length " << length << " align " << align;
    }
    EXPECT_EQ(morvik::crc32(data.data(), 1 << 20), Zlib(data.data(), 1 << 20));
}

TEST_P(Crc32Route, UpdateInPiecesEqualsWhole) {
    const NamedRoute& r = GetParam();
    std::vector<uint8_t> data = PatternBytes(100000, 11);
    const uint32_t whole = Zlib(data.data(), data.size());
    std::vector<std::vector<size_t>> splits = {
        {0},
        {1},
        {15, 16},
        {63, 64, 65},
        {1, 2, 3, 4, 5, 6, 7, 8},
        {4096, 50000, 99999},
        {100000},
        {255, 256, 257},
        {3, 259, 4000},
        {71, 1000, 1769},
        {99000, 99743},
    };
    for (size_t cut = 2; cut <= 600; ++cut) splits.push_back({cut});  // the rest starts at every alignment
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
