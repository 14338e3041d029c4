// The writer's PID helpers: the hex conversion of the PID file's text and
// the PID writes. (The absolute writes under them are tested in sys_io_test.cpp.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "support/run_tool.h"
#include "sys/io.h"
#include "write/writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(WritePid, HexTextConvertsTwoCharactersPerByte) {
    const struct {
        const char* text;
        uint16_t length;
        Bytes bytes;
    } cases[] = {
        {"0aF5", 4, {0x0A, 0xF5}},
        {"Ab", 2, {0xAB}},
        {"aB", 2, {0xAB}},
        // Not hex: converted by the same rule, cut to 8 bits.
        {"G0zz", 4, {0x00, 0x73}},
        // An odd length pairs the last digit with the NUL that ends the text.
        {"ABC", 3, {0xAB, 0xC9}},
        {"", 0, {}},
    };
    for (const auto& c : cases) {
        Bytes out(4, 0xEE);
        morvik::HexStr2Chrs(out.data(), c.text, c.length);
        Bytes expected = c.bytes;
        expected.resize(4, 0xEE);  // nothing written past the converted bytes
        EXPECT_EQ(out, expected) << c.text;
    }
}

TEST(WritePid, PidWritesReportTheirFailure) {
    morvik_test::TempDir dir;
    const std::string path = dir / "out.bin";
    const morvik::PidBlock block{};
    morvik::UniqueFd out(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ASSERT_GE(out.fd, 0);
    EXPECT_TRUE(morvik::putAnotherPID(out.fd, &block, 0));

    morvik::UniqueFd full(::open("/dev/full", O_WRONLY));
    ASSERT_GE(full.fd, 0);
    EXPECT_FALSE(morvik::LocatePID(full.fd, &block, 0));
}

}  // namespace
