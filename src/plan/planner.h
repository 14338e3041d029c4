#pragma once

#include <cstddef>
#include <cstdint>

#include "model/context.h"
#include "sys/io.h"

namespace morvik {

// Where the header stage may also put the group images it reads for their
// CRC-32s: the output-to-be (a private temporary file) at each image's
// offset, so that the writer need not read them a second time. The reads go
// through `buffer`. `copied` says afterwards whether every group image went
// to `fd`; a failed write only ends the copying (the writer then copies the
// images itself and reports the failure where a write failure belongs).
struct ImageSink {
    int fd = -1;
    IoBuffer* buffer = nullptr;
    bool copied = false;
};

// Orders the images, checks every rule, places kernels behind their header
// room, computes FW PID locations, settles targetSize and builds one
// FW_Header per group. Returns 0, -1 (a rule or read failure) or 3 (no
// memory for a header, or a group image that cannot be opened).
int32_t par_extra_info(ParInfo* info);
int32_t par_extra_info(ParInfo* info, ImageSink* sink);

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
int32_t BuildFwHeaders(ParInfo* info, ImageSink* sink);

// Prints every built header (the planner's header dump).
void DumpFwHeaders(const ParInfo* info);

}  // namespace morvik
