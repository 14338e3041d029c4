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
#include <string>

#include "model/context.h"
#include "sys/io.h"
#include "sys/temp_file.h"

namespace morvik {

// Prints "Error : Write output bin file(%s) failed!" with the system's reason.
void ReportWriteFailure(const char* outPath);

// What a file the bind writes is called in its messages: "Output" and
// "image" for the image ("Error : Output file ..."), and so on.
struct WrittenFileName {
    const char* trace;  // in the trace line: "Output", "Map", "Dependency"
    const char* file;   // in the diagnostic: "image", "map", "dependency file"
};
constexpr WrittenFileName kImageFile = {"Output", "image"};
constexpr WrittenFileName kMapFile = {"Map", "map"};
constexpr WrittenFileName kDepFile = {"Dependency", "dependency file"};

// Refuses a path for a file the bind writes that names an input of this
// bind, or that does not lead to a regular file or to nothing (see
// ExamineOutputPath). Looks only: nothing is made before it has passed.
// false after a message.
bool CheckWrittenPath(const char* path, const WrittenFileName& name, const char* parPath, const ParInfo* info);
inline bool CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info) {
    return CheckWrittenPath(outPath, kImageFile, parPath, info);
}

// Refuses a path for a file beside the image (the map, the dependency file)
// that is the place of the image or of the other file beside it (`others`,
// with their names, nullptr paths skipped), then as CheckWrittenPath does.
struct PlacedFile {
    const char* path;
    WrittenFileName name;
};
bool CheckSideFilePath(const PlacedFile& file, const PlacedFile* others, size_t otherCount, const char* parPath,
                       const ParInfo* info);

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

// Once the image is written: mode 0664 and a checked close. false after
// the write message, with the temporary file removed.
bool CloseOutputFile(OutputFile* out);

// Gives the closed image the output path (where it is not written in
// place). false after the write message, with the temporary file removed.
bool PutOutputInPlace(OutputFile* out);

// After a failed bind: closes, and removes the temporary file, so that the
// output path holds what it held before. (Written in place, the output
// stays as far as it got.)
void DiscardOutputFile(OutputFile* out);

// A file the bind writes beside the image, whole: the map, the dependency
// file. It is written into a temporary file beside its path once the image
// is complete, and takes its path just before the image takes its own, so
// that a bind that fails before then leaves the old files as they were.
struct SideFile {
    const char* path = nullptr;  // nullptr: not asked for
    WrittenFileName name = kMapFile;
    std::string text;
    char tempPath[kTempPathSize] = "";
};

// Writes `text` into a new temporary file beside the path, mode 0644, and
// closes it. true at once when the file is not asked for; false after the
// create or write message, with the temporary file removed.
bool WriteSideFileAside(SideFile* file);

// Renames the temporary file over the path. false after the write message,
// with the temporary file removed.
bool PutSideFileInPlace(SideFile* file);

// After a failed bind: removes the temporary file, if there is one.
void DiscardSideFile(SideFile* file);

}  // namespace morvik
