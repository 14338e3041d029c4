// The output file: the guard that keeps a bind from destroying anything that
// is not its output, creation and pre-fill.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/context.h"

namespace morvik {

// Prints "Error : Write output bin file(%s) failed!" with the system's reason.
void ReportWriteFailure(const char* outPath);

// Refuses an output path that names an input of this bind, or that is
// something other than a regular file or a symbolic link. false after a
// message.
bool CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info);

// Removes any old output, then opens the path read-write with truncation
// (creating it when needed). The descriptor, or -1 after the create message.
int CreateOutputFile(const char* outPath);

// Writes exactly `size` copies of the fill byte from position 0. false on a
// write failure.
bool PreFillOutput(int fd, uint32_t size, uint8_t fill);

}  // namespace morvik
