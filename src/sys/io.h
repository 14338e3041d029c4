// Descriptor I/O with the retries and loops written once: an owning
// descriptor, reads that fill their buffer, a write that writes everything
// at an absolute position, a fill of a byte range, and a file's stamp.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace morvik {

// Owns one POSIX descriptor and closes it on every path.
struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();
    // Closes now; false when the close itself reports an error (a delayed
    // write failure on some file systems).
    bool Close();
};

// Opens /dev/null on each of the descriptors 0, 1 and 2 that arrived
// closed (as cron and some supervisors start a program), so that no file
// the program opens can take the place of standard output or error and
// receive its messages. Bit n of `*closed` (when given) tells that
// descriptor n arrived closed. false (after a message naming `program`,
// where standard error is open) when /dev/null cannot be opened: the
// program must then stop before it opens anything.
bool OpenClosedStandardStreams(const char* program, int* closed = nullptr);

// Sends standard output to /dev/null until RestoreStandardOutput, for a
// run that prints no trace; standard error stays. Returns the descriptor
// standard output had (to give back), or kNotSilenced when it could not
// be silenced.
constexpr int kNotSilenced = -1;
int SilenceStandardOutput();
void RestoreStandardOutput(int saved);

// Opens `path` read-only; the descriptor is -1 when that fails (errno kept).
// The open never blocks: a FIFO without a writer opens at once, so that the
// caller can look at what it opened and refuse it.
UniqueFd OpenForReading(const char* path);

// True when the descriptor is a FIFO, a socket or a device: a stream whose
// bytes may differ from one read to the next, or never end.
bool IsStream(int fd);

// What identifies a file's contents at one moment: a write, a truncation or
// a replacement changes at least one of these.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSec = 0;
    int64_t modifiedNsec = 0;
    int64_t changedSec = 0;
    int64_t changedNsec = 0;
    bool regular = false;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of an open file; false when fstat fails (errno kept).
bool StampOf(int fd, FileStamp* stamp);

// Reads from the descriptor's position until `length` bytes arrived or the
// file ended. The count read (less than `length` only at the end of the
// file), or -1 on a read error (errno kept).
ssize_t ReadFull(int fd, void* buffer, size_t length);

// True when a read at the descriptor's position finds the end of the file
// (a read error counts as the end too; the caller has read what it wanted).
// Where the file goes on, the byte read is consumed.
bool AtEndOfFile(int fd);

// Reads `length` bytes from absolute position `position`, leaving the
// descriptor's position alone. The count read (less than `length` only at
// the end of the file), or -1 on a read error (errno kept).
ssize_t ReadFullAt(int fd, void* buffer, size_t length, uint64_t position);

// Writes all `length` bytes at absolute position `position`; false on any
// failure (errno kept; a write that makes no progress counts as ENOSPC).
bool WriteAllAt(int fd, const void* data, size_t length, uint64_t position);

// The one buffer a bind reads, copies and fills through, allocated once:
// large enough that a file of many MiB takes few system calls, small enough
// to stay in the cache and to keep the memory a bind needs flat.
constexpr size_t kIoChunk = size_t{256} << 10;
// Its pages are left untouched until used, so a small bind costs little.
struct IoBuffer {
    std::unique_ptr<uint8_t[]> bytes{new uint8_t[kIoChunk]};
    size_t size = kIoChunk;
};

// Writes all `length` bytes at the descriptor's position (a pipe or a
// terminal as well as a file); false on any failure (errno kept).
bool WriteAll(int fd, const void* data, size_t length);

// Writes `length` copies of `byte` from absolute position `position`,
// through `buffer`.
bool FillAt(int fd, uint8_t byte, uint64_t length, uint64_t position, IoBuffer& buffer);

}  // namespace morvik
