#pragma once

#include <cstddef>
#include <cstdint>

#include "model/context.h"
#include "model/image_reader.h"

namespace morvik {

// Results of par_extra_info and its header stage.
constexpr int32_t kPlanOk = 0;
constexpr int32_t kPlanRejected = -1;       // a rule, range or overlap, or a group image that changed
constexpr int32_t kPlanNoHeaderOrFile = 3;  // no memory for a header, or a group image that cannot be opened

// Orders the images, checks every rule, places kernels behind their header
// room, computes FW PID locations, settles targetSize and builds one
// FW_Header per group, reading each group image through `reader` for its
// CRC-32. Returns one of the results above. The planner itself writes
// nothing.
int32_t par_extra_info(ParInfo* info, const ImageReader& reader);

// Checks that the PID block and the FW PID records lie inside the output.
// Runs after par_extra_info has settled targetSize; false after a message.
bool CheckPidPlacement(const ParInfo* info);

// Index of the last image of `group` in table order (IMAGE_NORMAL images
// skipped, groupId compared as a full 32-bit value), or -1.
int32_t IndexOfLastImgInGroup(const ParInfo* info, uint8_t group);

// The planner's header stage: creates fwHeader[0 .. groupCount-1], each
// filled with the output's fill byte and listing its group's images with
// their CRC-32s. Expects the images sorted, kernels shifted and the FW PID
// locations set. Returns kPlanOk, kPlanNoHeaderOrFile or kPlanRejected (a
// short or long read, a failed copy).
int32_t BuildFwHeaders(ParInfo* info, const ImageReader& reader);

// Prints every built header (the planner's header dump).
void DumpFwHeaders(const ParInfo* info);

}  // namespace morvik
