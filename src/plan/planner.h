#pragma once

#include <cstdint>

#include "bind/context.h"

namespace morvik {

// Orders the images, checks every rule, places kernels behind their header
// room, computes FW PID locations, settles targetSize and builds one
// FW_Header per group. Returns 0, -1 (a rule or read failure) or 3 (no
// memory for a header, or a group image that cannot be opened).
int32_t par_extra_info(ParInfo* info);

// Index of the last image of `group` in table order (IMAGE_NORMAL images
// skipped, groupId compared as a full 32-bit value), or -1.
int32_t IndexOfLastImgInGroup(const ParInfo* info, uint8_t group);

}  // namespace morvik
