// The writer's byte-level helpers: PID hex conversion and the checked
// absolute writes every output byte goes through.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

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

struct FileSizeLimit {
    struct rlimit saved{};
    void (*savedHandler)(int) = nullptr;
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        savedHandler = ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit{bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, savedHandler);
    }
};

TEST(WritePid, WritesGoOnAfterAShortWriteAndReportTheFailure) {
    morvik_test::TempDir dir;
    const std::string path = dir / "out.bin";
    const morvik::PidBlock block{};
    morvik::UniqueFd out(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ASSERT_GE(out.fd, 0);
    Bytes data(4096, 0x5A);
    {
        // The first write stops short at the limit; the next one fails.
        FileSizeLimit limit(1000);
        errno = 0;
        EXPECT_FALSE(morvik::WriteAllAt(out.fd, data.data(), data.size(), 0));
        EXPECT_EQ(errno, EFBIG);
    }
    EXPECT_EQ(morvik_test::ReadFile(path), Bytes(1000, 0x5A));

    EXPECT_TRUE(morvik::WriteAllAt(out.fd, data.data(), data.size(), 10));
    EXPECT_TRUE(morvik::putAnotherPID(out.fd, &block, 0));
    // A fill across several chunks lands exactly where it is asked.
    const uint64_t fillLength = (uint64_t{256} << 10) + 3;
    morvik::IoBuffer buffer;
    EXPECT_TRUE(morvik::FillAt(out.fd, 0xFF, fillLength, 5, buffer));
    Bytes bytes = morvik_test::ReadFile(path);
    ASSERT_EQ(bytes.size(), 5 + fillLength);
    EXPECT_EQ(Bytes(bytes.begin() + 5, bytes.end()), Bytes(fillLength, 0xFF));

    morvik::UniqueFd full(::open("/dev/full", O_WRONLY));
    ASSERT_GE(full.fd, 0);
    EXPECT_FALSE(morvik::LocatePID(full.fd, &block, 0));
}

}  // namespace
