// The two passes in lockstep: chunk k of the old image is held while chunk
// k of the new one is read and compared with it, so that each file is read
// once and the memory is that of two inspections and one chunk.
#include "inspect/diff/diff.h"

#include <algorithm>
#include <cstring>

#include "inspect/judge/inspection.h"

namespace morvik {

namespace {

// The old image's latest chunk, and what the comparison found so far.
struct ByteCompare {
    std::vector<uint8_t> held;
    uint64_t heldAt = 0;
    bool differ = false;
    uint64_t firstDifference = 0;
};

void NoteDifference(ByteCompare* compare, uint64_t at) {
    if (compare->differ && compare->firstDifference <= at) return;
    compare->differ = true;
    compare->firstDifference = at;
}

void HoldChunk(void* watcher, const uint8_t* bytes, size_t length, uint64_t at) {
    ByteCompare* compare = static_cast<ByteCompare*>(watcher);
    compare->held.assign(bytes, bytes + length);
    compare->heldAt = at;
}

// Both passes cut their files at the same offsets, so that the new image's
// chunk k meets the old image's chunk k; a file that ended earlier holds
// nothing there.
void CompareChunk(void* watcher, const uint8_t* bytes, size_t length, uint64_t at) {
    ByteCompare* compare = static_cast<ByteCompare*>(watcher);
    if (compare->heldAt != at) compare->held.clear();
    size_t common = std::min(length, compare->held.size());
    const uint8_t* held = compare->held.data();
    if (common > 0 && std::memcmp(held, bytes, common) != 0) {
        size_t k = 0;
        while (held[k] == bytes[k]) ++k;
        NoteDifference(compare, at + k);
    }
    if (length != compare->held.size()) NoteDifference(compare, at + common);
}

// One inspection under way, and whether its pass goes on.
struct Lockstep {
    InspectionRun run;
    bool more = true;
};

bool OpenSide(const char* path, DiffSide* side, Lockstep* step, ChunkWatch watch, std::string* error) {
    if (!OpenImage(path, &side->file)) {
        *error = side->file.error;
        return false;
    }
    StartInspection(&side->file, &side->inspection, &step->run);
    step->run.pass.watches.push_back(watch);
    return true;
}

bool RunLockstep(Lockstep* before, Lockstep* after) {
    while (before->more || after->more) {
        if (before->more) before->more = InspectNextChunk(&before->run);
        if (after->more) after->more = InspectNextChunk(&after->run);
        if (!before->run.file->error.empty() || !after->run.file->error.empty()) return false;
    }
    return FinishInspection(&before->run) && FinishInspection(&after->run);
}

const std::string& SideError(const DiffSide& before, const DiffSide& after) {
    return before.file.error.empty() ? after.file.error : before.file.error;
}

}  // namespace

bool DiffImages(const char* before, const char* after, ImageDiff* diff, std::string* error) {
    ByteCompare compare;
    Lockstep oldStep, newStep;
    if (!OpenSide(before, &diff->before, &oldStep, ChunkWatch{HoldChunk, &compare}, error)) return false;
    if (!OpenSide(after, &diff->after, &newStep, ChunkWatch{CompareChunk, &compare}, error)) return false;
    if (!RunLockstep(&oldStep, &newStep)) {
        *error = SideError(diff->before, diff->after);
        return false;
    }
    if (diff->before.inspection.size != diff->after.inspection.size)
        NoteDifference(&compare, std::min(diff->before.inspection.size, diff->after.inspection.size));
    diff->identical = !compare.differ;
    diff->firstDifference = compare.firstDifference;
    diff->areas = CompareAreas(diff->before.inspection, diff->after.inspection);
    for (const AreaDiff& area : diff->areas) ++diff->counts[static_cast<size_t>(area.status)];
    return true;
}

}  // namespace morvik
