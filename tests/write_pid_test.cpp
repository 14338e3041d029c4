// The writer's PID helpers: the hex conversion of the PID file's text, and
// the PID block and FW PID record as they land in the output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/run_tool.h"
#include "sys/io.h"
#include "write/writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A bind converts only text whose characters are all hex digits (the PID
// file's 112, checked first): every digit in either case gives its value,
// and exactly length / 2 bytes are written.
TEST(WritePid, HexTextConvertsTwoCharactersPerByte) {
    std::string pidText;
    Bytes pidBytes;
    for (int i = 0; i < 56; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, i % 2 ? "%02X" : "%02x", i * 37 % 256);
        pidText += pair;
        pidBytes.push_back(static_cast<uint8_t>(i * 37 % 256));
    }
    // clang-format off
    const struct {
        const char* what;
        std::string text;
        Bytes bytes;
    } cases[] = {
        {"mixed case", "0aF5", {0x0A, 0xF5}},
        {"upper case", "Ab", {0xAB}},
        {"lower case", "aB", {0xAB}},
        {"every digit in both cases",
         "0123456789abcdefABCDEF",
         {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
        {"a PID file's 112 digits", pidText, pidBytes},
        {"nothing", "", {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        Bytes out(60, 0xEE);
        morvik::HexStr2Chrs(out.data(), c.text.c_str(), static_cast<uint16_t>(c.text.size()));
        Bytes expected = c.bytes;
        expected.resize(60, 0xEE);  // nothing written past the converted bytes
        EXPECT_EQ(out, expected) << c.what;
    }
}

// The 70-byte block goes from one past the given position; the 16-byte FW
// PID record carries PID block bytes 45-46, 49-50 and 57-58, then 0x90 0xF7,
// "aVrIcK" and two zero bytes, and is printed as it is written. A write that
// fails is reported as false.
TEST(WritePid, BlockAndRecordLandWhereAskedAndTheRecordIsPrinted) {
    morvik_test::TempDir dir;
    const std::string path = dir / "out.bin";
    morvik_test::WriteFile(path, Bytes(0x100, 0x33));
    morvik::PidBlock block;
    for (size_t i = 0; i < sizeof block.raw; ++i) block.raw[i] = static_cast<uint8_t>(0xC0 + i);
    morvik::UniqueFd out(::open(path.c_str(), O_RDWR));
    ASSERT_GE(out.fd, 0);

    EXPECT_TRUE(morvik::LocatePID(out.fd, &block, 0x10));
    bool written = false;
    morvik_test::Captured printed =
        morvik_test::CaptureOutput([&] { written = morvik::putAnotherPID(out.fd, &block, 0xA0); });
    EXPECT_TRUE(written);

    const Bytes record = {0xED, 0xEE, 0xF1, 0xF2, 0xF9, 0xFA, 0x90, 0xF7, 'a', 'V', 'r', 'I', 'c', 'K', 0x00, 0x00};
    Bytes expected(0x100, 0x33);
    std::copy(block.raw, block.raw + 70, expected.begin() + 0x11);
    std::copy(record.begin(), record.end(), expected.begin() + 0xA0);
    EXPECT_EQ(morvik_test::ReadFile(path), expected);
    EXPECT_EQ(printed.out, "ed ee f1 f2 f9 fa 90 f7 61 56 72 49 63 4b 0 0 \n");
    EXPECT_EQ(printed.err, "");

    morvik::UniqueFd full(::open("/dev/full", O_WRONLY));
    ASSERT_GE(full.fd, 0);
    EXPECT_FALSE(morvik::LocatePID(full.fd, &block, 0));
    morvik_test::CaptureOutput([&] { written = morvik::putAnotherPID(full.fd, &block, 0); });
    EXPECT_FALSE(written);
}

}  // namespace
