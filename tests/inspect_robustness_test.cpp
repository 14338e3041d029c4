// Morvik-inspect on files that are not what they should be: damaged,
// unbound, hostile, changing while they are read, or not regular files; and
// the pieces its single pass rests on (combining CRC-32s, the byte scans).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "format/image_format.h"
#include "inspect_fixture.h"

namespace inspect_test {
namespace {

using morvik_test::PatternBytes;

// crc32_combine against zlib's, including lengths far past what a buffer
// in a test can hold.
TEST(InspectRobustness, CrcCombineMatchesZlib) {
    Bytes data = PatternBytes(70000, 3);
    const uint32_t crcA = Crc(data.data(), 1000), crcB = Crc(data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(morvik::crc32_combine(crcA, crcB, data.size() - 1000), Crc(data.data(), data.size()));
    for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{15}, uint64_t{4096}, uint64_t{65537},
                            uint64_t{1} << 31, (uint64_t{1} << 32) + 7, (uint64_t{1} << 33) - 2,
                            uint64_t{0x123456789ab}}) {
        for (uint32_t seed : {0u, 0xdeadbeefu}) {
            uint32_t crc1 = Crc(data.data(), seed % 97), crc2 = seed ^ 0x5a5a5a5au;
            EXPECT_EQ(morvik::crc32_combine(crc1, crc2, length),
                      static_cast<uint32_t>(::crc32_combine64(crc1, crc2, static_cast<z_off64_t>(length))))
                << length;
        }
    }
}

}  // namespace
}  // namespace inspect_test
