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
    UniqueFd file;
    char tempPath[kTempPathSize];  // the temporary file; "" when writing in place
    int tempError;                 // why no temporary file could be made (errno), 0 when it could
};

// Opens the file the bind writes: a new temporary file beside `outPath`, or,
// where the folder refuses one by permission (or a sticky folder would keep
// it from replacing the output), the existing regular output itself,
// truncated and never through a symbolic link.
// false after the create message. Comes after OpenTempOutputEarly, and
// takes its temporary file, or its reason for making none, as they are: the
// temporary file is tried once.
bool CreateOutputFile(const char* outPath, OutputFile* out);

// Makes the temporary file before the layout is planned, without a word,
// where the output is not to be written in place, so that the planner can
// put the group images there as it reads them. false when none was made;
// CreateOutputFile then says why, or opens the output in place.
bool OpenTempOutputEarly(const char* outPath, OutputFile* out);

// Gives the written image the output path: mode 0664, a checked close, and
// the rename. false after the write message, with the temporary file removed.
bool FinishOutputFile(const char* outPath, OutputFile* out);

// After a failed bind: closes, and removes the temporary file, so that the
// output path holds what it held before. (Written in place, the output
// stays as far as it got.)
void DiscardOutputFile(OutputFile* out);

}  // namespace morvik
