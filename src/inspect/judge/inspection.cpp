// Running one inspection: the pass, with each possible marker start judged
// as it comes by, then the stages after it, in order.
#include <algorithm>
#include <cstring>

#include "inspect/judge/stages.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

bool CountStart(InspectionRun* run) {
    MarkerState& m = run->markers;
    if (++m.starts <= m.budget.starts) return true;
    run->inspection->overflows.push_back(
        Format("%llu places that could start a marker", static_cast<ull>(m.budget.starts)));
    return false;
}

// Judges one position that passed MayStartMarker, from the bytes around it;
// false once the budget of such positions is used up.
bool JudgeStart(void* judgement, const ByteView& view, uint64_t at) {
    InspectionRun* run = static_cast<InspectionRun*>(judgement);
    if (!CountStart(run)) return false;
    const uint8_t* bytes = ViewAt(view, at);
    bool room7 = InView(view, at, 7);
    if (std::memcmp(bytes, kFwHeaderMagic, 4) == 0)
        JudgeHeaderMarker(run, view, at);
    else
        NoteNearHeader(run, view, at);
    if (room7 && std::memcmp(bytes, kPidMagic, kPidMagicSize) == 0) JudgePidMagic(run, view, at);
    if (room7 && std::memcmp(bytes + 1, kFwPidTag, kFwPidTagSize) == 0) NoteRecordTag(run, view, at + 1);
    return true;
}

}  // namespace

// A marker costs at most a few hundred bytes of work and a small read, a
// possible marker start a few compares: these bounds keep the total below
// about one more read of the file, while a real image has a handful of
// markers and one possible start in some thousands of bytes.
MarkerBudget BudgetFor(uint64_t fileSize) {
    MarkerBudget budget;
    budget.markers = std::max<uint64_t>(4096, fileSize / 16384);
    budget.starts = std::max<uint64_t>(uint64_t{1} << 16, fileSize / 64);
    budget.nearHeaders = std::max<uint64_t>(uint64_t{1} << 16, fileSize / 1024);
    return budget;
}

bool CountMarker(InspectionRun* run, uint64_t* seen, bool* closed, const char* what) {
    const uint64_t budget = run->markers.budget.markers;
    if (++*seen <= budget) return true;
    run->inspection->overflows.push_back(Format("%llu %s", static_cast<ull>(budget), what));
    *closed = true;
    return false;
}

bool FindsAreFull(InspectionRun* run, size_t finds, const char* what) {
    if (finds < kMaxFinds) return false;
    run->inspection->overflows.push_back(Format("%zu %s", kMaxFinds, what));
    return true;
}

void StartInspection(ImageFile* file, Inspection* inspection, InspectionRun* run) {
    run->file = file;
    run->inspection = inspection;
    inspection->path = file->path;
    inspection->size = file->size;
    run->markers.budget = BudgetFor(file->size);
    StartPass(file, StartJudge{JudgeStart, run}, &run->pass);
}

bool InspectNextChunk(InspectionRun* run) { return ScanNextChunk(&run->pass); }

bool FinishInspection(InspectionRun* run) {
    ImageFile* file = run->file;
    if (!file->error.empty()) return false;
    ReadHeaderFields(run);
    FindLooseRecords(run);
    CheckEntryCrcs(run);
    BuildRegions(run);
    CollectFailures(run->inspection);
    FileStamp now;
    if (file->error.empty() && (!StampOf(file->in.fd, &now) || !(now == file->stamp))) file->error = ChangedText(*file);
    return file->error.empty();
}

bool InspectPath(const char* path, ImageFile* file, Inspection* inspection, std::string* error,
                 const std::vector<ChunkWatch>& watches) {
    InspectionRun run;
    bool ok = OpenImage(path, file);
    if (ok) {
        StartInspection(file, inspection, &run);
        run.pass.watches = watches;
        ok = ScanWholeFile(&run.pass) && FinishInspection(&run);
    }
    if (!ok) *error = file->error;
    return ok;
}

}  // namespace morvik
