// The output file: a small owning descriptor, checked absolute writes, the
// guard that keeps a bind from destroying anything that is not its output,
// creation and pre-fill.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bind/context.h"

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

// Writes all `length` bytes at absolute position `position`; false on any
// failure (errno kept).
bool WriteAllAt(int fd, const void* data, size_t length, uint64_t position);

// Prints "Error : Write output bin file(%s) failed!" with the system's reason.
void ReportWriteFailure(const char* outPath);

// Refuses an output path that names an input of this bind, or that is
// something other than a regular file or a symbolic link. 0, or 1 after a
// message.
int CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info);

// Removes any old output, then opens the path read-write with truncation
// (creating it when needed). The descriptor, or -1 after the create message.
int CreateOutputFile(const char* outPath);

// Writes exactly `size` fill bytes (0xFF when finalPad is 1, else 0x00) from
// position 0. true, or false on a write failure.
bool PreFillOutput(int fd, uint32_t size, int32_t finalPad);

}  // namespace morvik
