// Two images compared: each file is read once, the two inspections in
// lockstep, their bytes compared chunk by chunk as the passes read them, so
// that "identical" means byte for byte. Then the areas each inspection
// found (firmware headers, their entries, FW PID records, PID blocks, other
// data and fill) are paired up and each is named same, changed, moved,
// added or removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/judge/findings.h"
#include "inspect/pass/image_file.h"

namespace morvik {

// The "schemaVersion" of the --diff JSON document
// (docs/morvik-inspect-diff.schema.json).
constexpr uint64_t kDiffJsonSchemaVersion = 1;

enum class AreaStatus { Same, Changed, Moved, Added, Removed };
constexpr size_t kAreaStatuses = 5;

// One property of an area as one image holds it.
struct AreaField {
    const char* key;    // its JSON name, and its name in the text unless `label` says otherwise
    const char* label;  // its name in the text
    std::string text;   // its value as the text report shows it
    std::string json;   // its value as JSON text
};

// One side of an area: absent, or present with its position and fields.
struct AreaSide {
    bool present = false;
    bool positioned = false;  // the file as a whole has no position
    uint64_t at = 0;
    std::vector<AreaField> fields;
};

struct AreaDiff {
    std::string name;  // "group 0 entry 1", "PID block 0", "fill 0xff"
    const char* kind;  // "file", "header", "entry", "fw-pid-record", "pid-block", "data", "fill", "byte-run"
    AreaStatus status = AreaStatus::Same;
    AreaSide before, after;
    std::vector<std::string> changed;  // keys of the fields that differ
};

// One image of the two: the file, kept open, and what its inspection found.
struct DiffSide {
    ImageFile file;
    Inspection inspection;
};

struct ImageDiff {
    DiffSide before, after;
    bool identical = false;        // same size, same bytes
    uint64_t firstDifference = 0;  // the first offset where they differ, when not identical
    std::vector<AreaDiff> areas;
    size_t counts[kAreaStatuses] = {};
};

// Reads and inspects both files in one pass each, compares their bytes and
// then their areas into `diff`; false with `error` when one cannot be read.
bool DiffImages(const char* before, const char* after, ImageDiff* diff, std::string* error);

// The areas of two inspections, paired up and compared.
std::vector<AreaDiff> CompareAreas(const Inspection& before, const Inspection& after);

const char* StatusName(AreaStatus status);

// One line per area ("changed: group 0 entry 1 at 0x10000: CRC-32 ... -> ..."),
// then the summary line; with `quiet` the areas that are the same are left out.
void PrintDiffText(const ImageDiff& diff, bool quiet);

// The same as one JSON document.
void PrintDiffJson(const ImageDiff& diff, bool quiet);

// "Summary: identical, ..." or "Summary: the images differ from 0x..., ..."
std::string DiffSummaryLine(const ImageDiff& diff);

}  // namespace morvik
