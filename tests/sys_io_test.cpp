// The descriptor loops every byte of a bind goes through, and the standard
// streams a run may arrive without.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "sys/io.h"

namespace {

using Bytes = std::vector<uint8_t>;
using morvik::kIoChunk;
using morvik_test::PatternBytes;
using morvik_test::ReadFile;
using morvik_test::TempDir;
using morvik_test::WriteFile;

morvik::UniqueFd Open(const std::string& path, int flags) {
    return morvik::UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
}

off_t PositionOf(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

// The exit status of a forked child, or 128 + the signal that ended it.
int WaitForChild(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ReadFull from the descriptor's position and ReadFullAt from an absolute
// position give the same bytes; only ReadFull moves the position, and
// nothing past the count read is touched.
TEST(SysIo, ReadsFillTheBufferUpToTheEndOfTheFile) {
    // clang-format off
    const struct { const char* what; size_t fileSize; uint64_t position; size_t asked; ssize_t got; } cases[] = {
        {"empty file", 0, 0, 16, 0},
        {"short file", 5, 0, 16, 5},
        {"less than is there", 100, 10, 20, 20},
        {"from inside up to the end", 5, 3, 16, 2},
        {"at the end", 5, 5, 16, 0},
        {"past the end", 5, 100, 16, 0},
        {"nothing asked", 100, 10, 0, 0},
        {"several chunks' worth", 3 * kIoChunk + 5, 1, 3 * kIoChunk + 9, 3 * kIoChunk + 4},
    };
    // clang-format on
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes content = PatternBytes(c.fileSize, 3);
        WriteFile(dir / "in.bin", content);
        morvik::UniqueFd in = Open(dir / "in.bin", O_RDONLY);
        ASSERT_GE(in.fd, 0);
        const size_t from = std::min<size_t>(c.position, c.fileSize);
        Bytes expected(content.begin() + from, content.begin() + from + c.got);
        expected.resize(c.asked + 1, 0xEE);

        Bytes at(c.asked + 1, 0xEE);
        EXPECT_EQ(morvik::ReadFullAt(in.fd, at.data(), c.asked, c.position), c.got);
        EXPECT_EQ(PositionOf(in.fd), 0);
        EXPECT_TRUE(at == expected);

        ASSERT_EQ(::lseek(in.fd, static_cast<off_t>(c.position), SEEK_SET), static_cast<off_t>(c.position));
        Bytes read(c.asked + 1, 0xEE);
        EXPECT_EQ(morvik::ReadFull(in.fd, read.data(), c.asked), c.got);
        EXPECT_EQ(PositionOf(in.fd), static_cast<off_t>(c.position + c.got));
        EXPECT_TRUE(read == expected);
        EXPECT_EQ(morvik::AtEndOfFile(in.fd), c.position + c.got >= c.fileSize);
    }
}

// A pipe holds 64 KiB, so a reader of 1 MiB gets it in many pieces while
// the writer waits for room: ReadFull goes on until it has what it asked
// for, or the writer has closed its end. A writer whose reader has gone
// fails with EPIPE.
TEST(SysIo, ReadFullGathersAPipesPieces) {
    const Bytes sent = PatternBytes(1 << 20, 5);
    // clang-format off
    const struct { const char* what; size_t asked; ssize_t got; int writerStatus; } cases[] = {
        {"all that was sent, then the end", sent.size() + 7, static_cast<ssize_t>(sent.size()), 0},
        {"half of it; the writer then fails", sent.size() / 2, static_cast<ssize_t>(sent.size() / 2), 3},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            ::close(ends[0]);
            ::signal(SIGPIPE, SIG_IGN);
            // Pieces of 1, 4, 13, 40 ... bytes, none a multiple of the pipe's size.
            for (size_t at = 0, piece = 1; at < sent.size(); at += piece, piece = piece * 3 + 1) {
                if (!morvik::WriteAll(ends[1], sent.data() + at, std::min(piece, sent.size() - at)))
                    ::_exit(errno == EPIPE ? 3 : 1);
            }
            ::_exit(0);
        }
        ::close(ends[1]);
        Bytes got(c.asked, 0);
        EXPECT_EQ(morvik::ReadFull(ends[0], got.data(), c.asked), c.got);
        got.resize(static_cast<size_t>(c.got));
        EXPECT_TRUE(got == Bytes(sent.begin(), sent.begin() + c.got));
        if (c.writerStatus == 0) {
            EXPECT_TRUE(morvik::AtEndOfFile(ends[0]));
        }
        ::close(ends[0]);
        EXPECT_EQ(WaitForChild(writer), c.writerStatus);
    }
}

enum class Op { kWriteAt, kWrite, kFill };

// Puts `data` at `position`: WriteAllAt, WriteAll from the descriptor's
// position (set first), or FillAt with data[0] through a buffer of `chunk`
// bytes.
bool Put(Op op, int fd, const Bytes& data, uint64_t position, size_t chunk = kIoChunk) {
    if (op == Op::kWriteAt) return morvik::WriteAllAt(fd, data.data(), data.size(), position);
    if (op == Op::kWrite)
        return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position) &&
               morvik::WriteAll(fd, data.data(), data.size());
    morvik::IoBuffer buffer;
    buffer.size = chunk;
    return morvik::FillAt(fd, data.empty() ? 0 : data[0], data.size(), position, buffer);
}

// The file starts as 16 bytes of 0xEE; bytes skipped past its end read as
// zero, and only WriteAll moves the descriptor's position.
TEST(SysIo, WritesAndFillsLandExactlyWhereAsked) {
    // clang-format off
    const struct { const char* what; Op op; uint64_t position; uint64_t length; size_t chunk; } cases[] = {
        {"write inside", Op::kWriteAt, 3, 4, 0},
        {"write across the end", Op::kWriteAt, 12, 10, 0},
        {"write past the end", Op::kWriteAt, 40, 3, 0},
        {"write of nothing past the end", Op::kWriteAt, 100, 0, 0},
        {"write of several chunks", Op::kWriteAt, 7, 2 * kIoChunk + 3, 0},
        {"write at the descriptor's position", Op::kWrite, 9, 5, 0},
        {"write of a chunk and a byte", Op::kWrite, 20, kIoChunk + 1, 0},
        {"fill of nothing", Op::kFill, 100, 0, 7},
        {"fill of a byte", Op::kFill, 2, 1, 7},
        {"fill one short of a chunk", Op::kFill, 2, 6, 7},
        {"fill of one chunk", Op::kFill, 2, 7, 7},
        {"fill one past a chunk", Op::kFill, 2, 8, 7},
        {"fill of many chunks across the end", Op::kFill, 3, 7 * 7 + 3, 7},
        {"fill of whole chunks and three bytes", Op::kFill, 5, kIoChunk + 3, kIoChunk},
    };
    // clang-format on
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir / "out.bin";
        Bytes expected(16, 0xEE);
        WriteFile(path, expected);
        morvik::UniqueFd out = Open(path, O_RDWR);
        ASSERT_GE(out.fd, 0);
        const Bytes data = c.op == Op::kFill ? Bytes(c.length, 0xA5) : PatternBytes(c.length, 9);
        if (c.length > 0) {
            expected.resize(std::max<size_t>(expected.size(), c.position + c.length), 0x00);
            std::copy(data.begin(), data.end(), expected.begin() + static_cast<ptrdiff_t>(c.position));
        }
        EXPECT_TRUE(Put(c.op, out.fd, data, c.position, c.chunk));
        EXPECT_EQ(PositionOf(out.fd), static_cast<off_t>(c.op == Op::kWrite ? c.position + c.length : 0));
        EXPECT_TRUE(ReadFile(path) == expected);
    }
}

// RLIMIT_FSIZE for as long as it lives, with SIGXFSZ ignored (as a bind
// ignores it), so that a write past the limit fails with EFBIG.
struct FileSizeLimit {
    struct rlimit saved = {};
    void (*savedHandler)(int) = nullptr;
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        savedHandler = ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, savedHandler);
    }
};

// A failing write reports false and leaves the system's errno. One that
// stops short at the file-size limit has written what fits and fails on
// the next try; once the limit is lifted the same descriptor writes again.
TEST(SysIo, FailedWritesReportFalseWithErrno) {
    // clang-format off
    const struct { const char* what; Op op; bool limited; int error; } cases[] = {
        {"write at a position on a full device", Op::kWriteAt, false, ENOSPC},
        {"write on a full device", Op::kWrite, false, ENOSPC},
        {"fill on a full device", Op::kFill, false, ENOSPC},
        {"write at a position past the file-size limit", Op::kWriteAt, true, EFBIG},
        {"write past the file-size limit", Op::kWrite, true, EFBIG},
        {"fill past the file-size limit", Op::kFill, true, EFBIG},
    };
    // clang-format on
    constexpr rlim_t kLimit = 1000;
    const Bytes data(3 * kIoChunk, 0x5A);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir / "out.bin";
        morvik::UniqueFd fd = c.limited ? Open(path, O_RDWR | O_CREAT) : Open("/dev/full", O_WRONLY);
        ASSERT_GE(fd.fd, 0);
        {
            std::optional<FileSizeLimit> limit;
            if (c.limited) limit.emplace(kLimit);
            errno = 0;
            EXPECT_FALSE(Put(c.op, fd.fd, data, 0));
            EXPECT_EQ(errno, c.error);
        }
        if (!c.limited) continue;
        EXPECT_TRUE(ReadFile(path) == Bytes(kLimit, 0x5A));
        EXPECT_TRUE(morvik::WriteAllAt(fd.fd, data.data(), 4096, 10));
        EXPECT_EQ(ReadFile(path).size(), 4106u);
    }
}

// Runs in a forked child whose descriptors 0, 1 and 2 are `stream` (open
// read-write): closes those in `closed` and has them reopened. The exit
// status is the mask of those found closed when every descriptor is as it
// should be (a closed one on /dev/null, for reading as 0 and for writing
// as 1 and 2, the others untouched, nothing else left open), 100 and up
// when not.
int ReopenInChild(const std::string& stream, const std::vector<int>& closed) {
    int file = ::open(stream.c_str(), O_RDWR);
    struct stat null, streamStat;
    if (file < 0 || ::stat("/dev/null", &null) != 0 || ::fstat(file, &streamStat) != 0) return 100;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(file, fd) != fd) return 101;
    }
    ::close(file);
    const int nextFree = ::dup(0);
    ::close(nextFree);
    for (int fd : closed) ::close(fd);
    int mask = 0;
    if (!morvik::OpenClosedStandardStreams("sys-test", &mask)) return 102;
    for (int fd = 0; fd <= 2; ++fd) {
        const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
        const struct stat& want = wasClosed ? null : streamStat;
        struct stat now;
        if (::fstat(fd, &now) != 0 || now.st_dev != want.st_dev || now.st_ino != want.st_ino) return 110 + fd;
        const int access = ::fcntl(fd, F_GETFL) & O_ACCMODE;
        if (access != (!wasClosed ? O_RDWR : fd == 0 ? O_RDONLY : O_WRONLY)) return 120 + fd;
    }
    const int stillFree = ::dup(0);
    return stillFree == nextFree ? mask : 130;
}

TEST(SysIo, ClosedStandardStreamsAreOpenedOnDevNull) {
    // clang-format off
    const struct { std::vector<int> closed; int mask; } cases[] = {
        {{}, 0}, {{0}, 1}, {{1}, 2}, {{2}, 4}, {{1, 2}, 6}, {{0, 2}, 5}, {{0, 1, 2}, 7},
    };
    // clang-format on
    TempDir dir;
    WriteFile(dir / "stream", std::string("stream"));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.closed));
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) ::_exit(ReopenInChild(dir / "stream", c.closed));
        EXPECT_EQ(WaitForChild(child), c.mask);
    }
}

}  // namespace
