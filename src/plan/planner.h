#pragma once

#include <cstddef>
#include <cstdint>

#include "model/context.h"

namespace morvik {

// Orders the images, checks every rule, places kernels behind their header
// room, computes FW PID locations, settles targetSize and builds one
// FW_Header per group. Returns 0, -1 (a rule or read failure) or 3 (no
// memory for a header, or a group image that cannot be opened).
int32_t par_extra_info(ParInfo* info);

// Checks that the PID block and the FW PID records lie inside the output.
// Runs after par_extra_info has settled targetSize; false after a message.
bool CheckPidPlacement(const ParInfo* info);

// Index of the last image of `group` in table order (IMAGE_NORMAL images
// skipped, groupId compared as a full 32-bit value), or -1.
int32_t IndexOfLastImgInGroup(const ParInfo* info, uint8_t group);

// The planner's header stage: creates fwHeader[0 .. groupCount-1], each
// filled with the output's fill byte and listing its group's images with
// their CRC-32s. Expects the images sorted, kernels shifted and the FW PID
// locations set. Returns 0, 3 (no memory for a header, an image file that
// cannot be opened) or -1 (no memory for reading, a short read).
int32_t BuildFwHeaders(ParInfo* info);

// Prints every built header (the planner's header dump).
void DumpFwHeaders(const ParInfo* info);

// Size of the pieces in which an image file is read for its CRC-32.
constexpr size_t kCrcReadChunk = size_t{1} << 20;

}  // namespace morvik
