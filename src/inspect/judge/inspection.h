// One inspection of an image file: the pass over it, with every possible
// marker judged from the bytes around it as the pass comes by, then the
// stages that read the entries and records, check the CRC-32s, build the
// map and name the failures. The findings land in an Inspection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/judge/findings.h"
#include "inspect/pass/image_file.h"
#include "inspect/pass/pass.h"

namespace morvik {

// How many markers of each kind, and how many possible marker starts in
// all, are examined: enough for any real image, bounded so that no file
// can make the work grow faster than its size.
struct MarkerBudget {
    uint64_t markers = 0;  // each of header magics, PID magics, record tags
    uint64_t starts = 0;   // positions that pass MayStartMarker
    uint64_t nearHeaders = 0;
};
MarkerBudget BudgetFor(uint64_t fileSize);

// A position whose first bytes are a header magic with one or two bytes
// damaged, and whose shape could make it a header: kept so that a FW PID
// record that no header points to can be traced back to it.
struct NearHeader {
    uint64_t at;
    uint32_t pidOffset;
};

// What the judgement of markers keeps besides the findings themselves.
struct MarkerState {
    MarkerBudget budget;
    uint64_t headerMarkers = 0, pidMarkers = 0, recordTags = 0, starts = 0, nearSeen = 0;
    bool headersClosed = false, pidClosed = false, recordsClosed = false;
    std::vector<uint64_t> usedClosings;  // closing magics of the PID blocks found
    std::vector<uint64_t> records;       // positions of whole FW PID records
    std::vector<NearHeader> nearHeaders;
    bool nearCapped = false;  // more were seen than kept: `nearBound`
    uint64_t nearBound = 0;
};

// One inspection under way. Once started, its pass hands marker starts to
// the run itself: it stays where it was started until it is finished.
struct InspectionRun {
    ImageFile* file = nullptr;
    Inspection* inspection = nullptr;
    PassState pass;
    MarkerState markers;
};

// Prepares the inspection of the open `file` into `inspection`.
void StartInspection(ImageFile* file, Inspection* inspection, InspectionRun* run);

// The pass one chunk at a time; false when it is over, complete or failed
// (`file->error`).
bool InspectNextChunk(InspectionRun* run);

// The stages after a complete pass, and the check that the file did not
// change meanwhile; false when it did (`file->error`).
bool FinishInspection(InspectionRun* run);

// Opens `path` into `file`, runs the pass and every stage: true with the
// findings in `inspection`, or false with the reason in `error` (cannot
// open, not a regular file, cannot read, changed while it was read). The
// file stays open, so that what follows reads the very file checked.
// `watches` see every byte of the file as the pass reads it.
bool InspectPath(const char* path, ImageFile* file, Inspection* inspection, std::string* error,
                 const std::vector<ChunkWatch>& watches = {});

}  // namespace morvik
