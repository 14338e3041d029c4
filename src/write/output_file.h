// The output file: the guard that keeps a bind from destroying anything that
// is not its output, creation, pre-fill, and the final step that gives the
// complete image the output path.
//
// A bind writes a new temporary file beside the output and renames it over
// the output path only once the image is complete, so that until then the
// path keeps what it held (the old image, or nothing). Only where the folder
// takes no new file, or will not let this user replace the one there, is an
// existing output written in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/context.h"
#include "sys/io.h"
#include "sys/temp_file.h"

namespace morvik {

// Prints "Error : Write output bin file(%s) failed!" with the system's reason.
void ReportWriteFailure(const char* outPath);

// Refuses an output path that names an input of this bind, or that does not
// lead to a regular file or to nothing (see ExamineOutputPath). Looks only:
// nothing is made before it has passed. false after a message.
bool CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info);

// The file a bind writes.
struct OutputFile {
    const char* path = nullptr;  // the output path, as given
    UniqueFd file;
    char tempPath[kTempPathSize] = "";  // the temporary file; "" when writing in place
    int tempError = 0;                  // why no temporary file could be made (errno), 0 when none was tried
};

// Makes the temporary file beside the output, without a word, where the
// output is not to be written in place. false when none was made;
// CreateOutputFile then says why, or opens the output in place. A bind
// tries it once.
bool OpenTempOutput(OutputFile* out);

// Opens the file the bind writes, where OpenTempOutput has not (or has not
// been asked yet): a new temporary file beside the output, or, where the
// folder refuses one by permission (or a sticky folder would keep it from
// replacing the output), the existing regular output itself, truncated and
// never through a symbolic link. false after the create message.
bool CreateOutputFile(OutputFile* out);

// Gives the written image the output path: mode 0664, a checked close, and
// the rename. false after the write message, with the temporary file removed.
bool FinishOutputFile(OutputFile* out);

// After a failed bind: closes, and removes the temporary file, so that the
// output path holds what it held before. (Written in place, the output
// stays as far as it got.)
void DiscardOutputFile(OutputFile* out);

}  // namespace morvik
