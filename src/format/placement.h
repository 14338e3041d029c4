// Where a bind puts things relative to each other: a kernel's data behind
// its header, a group's FW PID record behind the group's last image, and
// how far an image's area reaches. The binder lays an image down by these
// rules and the inspector reads them back by the same ones. Positions are
// 64-bit so that sums past 4 GiB are seen as such.
#pragma once

#include <cstdint>

#include "format/image_format.h"

namespace morvik {

// A kernel's data starts right behind its 256-byte FW header.
constexpr uint64_t KernelDataStart(uint64_t headerAt) { return headerAt + kFwHeaderSize; }

// The FW header in front of a kernel whose data starts at `kernelDataStart`.
constexpr uint64_t HeaderStartOf(uint64_t kernelDataStart) { return kernelDataStart - kFwHeaderSize; }

// The first byte of the area an image claims: its header for a kernel, else
// its data. This is also the offset its PAR line gives.
constexpr uint64_t AreaStart(uint64_t dataStart, bool kernel) { return kernel ? HeaderStartOf(dataStart) : dataStart; }

// A group's FW PID record starts at the even position at or behind the end
// of the group's last image (`dataEnd`, the first byte past its data).
constexpr uint64_t FwPidRecordAt(uint64_t dataEnd) { return (dataEnd + 1) & ~uint64_t{1}; }

// The first byte past that record.
constexpr uint64_t FwPidRecordEnd(uint64_t dataEnd) { return FwPidRecordAt(dataEnd) + kFwPidRecordSize; }

// The least reserved range (-l) a bind keeps for an image at [dataStart,
// dataEnd): its bytes, and for the last image of a group its FW PID record
// too. A smaller range is ignored.
constexpr uint64_t LeastRange(uint64_t dataStart, uint64_t dataEnd, bool lastOfGroup) {
    return (lastOfGroup ? FwPidRecordEnd(dataEnd) : dataEnd) - dataStart;
}

// True when a reserved range of `limit` bytes (0: none) is kept (see
// LeastRange).
constexpr bool RangeIsKept(uint64_t dataStart, uint64_t dataEnd, uint64_t limit, bool lastOfGroup) {
    return limit != 0 && limit >= LeastRange(dataStart, dataEnd, lastOfGroup);
}

// The first byte past everything an image claims: its reserved range of
// `limit` bytes (0 for none), else its data and, for the last image of a
// group, the FW PID record behind it. The next image's area may start here.
constexpr uint64_t AreaEnd(uint64_t dataStart, uint64_t dataEnd, uint64_t limit, bool lastOfGroup) {
    if (limit != 0) return dataStart + limit;
    return lastOfGroup ? FwPidRecordEnd(dataEnd) : dataEnd;
}

}  // namespace morvik
