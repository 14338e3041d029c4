// Descriptor I/O with the retries and loops written once: an owning
// descriptor, a read that fills its buffer, a write that writes everything
// at an absolute position, and a fill of a byte range.
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
    ~UniqueFd();
    // Closes now; false when the close itself reports an error (a delayed
    // write failure on some file systems).
    bool Close();
};

// Opens `path` read-only; the descriptor is -1 when that fails (errno kept).
// The open never blocks: a FIFO without a writer opens at once, so that the
// caller can look at what it opened and refuse it.
UniqueFd OpenForReading(const char* path);

// True when the descriptor is a FIFO, a socket or a device: a stream whose
// bytes may differ from one read to the next, or never end.
bool IsStream(int fd);

// Reads from the descriptor's position until `length` bytes arrived or the
// file ended. The count read (less than `length` only at the end of the
// file), or -1 on a read error (errno kept).
ssize_t ReadFull(int fd, void* buffer, size_t length);

// True when a read at the descriptor's position finds the end of the file
// (a read error counts as the end too; the caller has read what it wanted).
bool AtEndOfFile(int fd);

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

// Writes `length` copies of `byte` from absolute position `position`,
// through `buffer`.
bool FillAt(int fd, uint8_t byte, uint64_t length, uint64_t position, IoBuffer& buffer);

}  // namespace morvik
