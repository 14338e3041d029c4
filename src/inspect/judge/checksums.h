// The SHA-256 checksums that release manifests take from an inspection
// (--checksums): the whole file's rides on the inspection's one pass,
// seeing each chunk as the pass reads it. The areas of the map are known
// only once the pass is over, and one hash cannot be split into the hashes
// of its pieces, so each area is read a second time through the file the
// pass read, a buffer at a time: the memory stays flat whatever the size.
#pragma once

#include "format/sha256.h"
#include "inspect/judge/findings.h"
#include "inspect/pass/image_file.h"
#include "inspect/pass/pass.h"

namespace morvik {

// The areas' hashes read at most this many times the file's size; areas
// beyond that (only where they overlap) are left without one, and a note
// says how many.
constexpr uint64_t kAreaHashFactor = 2;

// Starts `whole` and has it see every chunk of the pass it is given to.
ChunkWatch WatchWholeFile(Sha256* whole);

// After a complete inspection of `file` with `whole` watching its pass:
// the whole file's digest into `inspection->sha256` and, with `areas`,
// each region's into its `sha256`. false when a read fails or the file
// changed since it was opened (`file->error`).
bool AddChecksums(ImageFile* file, Sha256* whole, bool areas, Inspection* inspection);

}  // namespace morvik
