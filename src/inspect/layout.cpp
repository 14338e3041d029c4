// The layout map: every region of the file in offset order. What the
// headers, the PID block and the FW PID records account for is known; the
// rest is split into runs of 0x00 / 0xFF and other data.
#include <algorithm>

#include "inspect/inspect.h"

namespace morvik {

namespace {

// Runs of a constant byte shorter than this stay part of the data around
// them, so that the zeros inside a binary do not break it into pieces. It
// grows with the file to keep the map readable (1/1024 of the size, between
// 64 bytes and 64 KiB). A gap that is one byte all through is a run whatever
// its length.
uint64_t MinimumRun(uint64_t fileSize) {
    uint64_t run = fileSize / 1024;
    return std::clamp<uint64_t>(run, 64, 64 * 1024);
}

Region Known(uint64_t start, uint64_t length, RegionKind kind) {
    Region region;
    region.start = start;
    region.length = length;
    region.kind = kind;
    return region;
}

void AddHeaderRegions(const HeaderCheck& header, std::vector<Region>* known) {
    RegionKind kind = header.state == HeaderState::Sealed ? RegionKind::Header : RegionKind::DamagedHeader;
    known->push_back(Known(header.at, header.available, kind));
    for (const EntryCheck& entry : header.entries) {
        if (!entry.inFile || entry.length == 0) continue;
        Region region = Known(entry.offset, entry.length, RegionKind::GroupImage);
        region.owner = header.at;
        region.entry = entry.index;
        known->push_back(region);
    }
    if (header.record.inFile && header.record.required) known->push_back(Known(header.record.at, kFwPidRecordSize, RegionKind::FwPidRecord));
}

std::vector<Region> KnownRegions(const ImageBytes& image, const Inspection& inspection) {
    std::vector<Region> known;
    for (const HeaderCheck& header : inspection.headers) AddHeaderRegions(header, &known);
    for (const PidBlockFind& block : inspection.pidBlocks)
        known.push_back(Known(block.at, std::min<uint64_t>(kPidBlockSize, image.size - block.at), RegionKind::PidBlock));
    for (const FwPidCheck& record : inspection.looseRecords)
        known.push_back(Known(record.at, kFwPidRecordSize, RegionKind::FwPidRecord));
    std::stable_sort(known.begin(), known.end(), [](const Region& a, const Region& b) {
        return a.start != b.start ? a.start < b.start : a.length > b.length;
    });
    return known;
}

// Splits [begin, end) into runs of a constant byte and the data between.
void AddGap(const ImageBytes& image, uint64_t begin, uint64_t end, std::vector<Region>* out) {
    uint64_t at = begin;
    for (const ByteRun& run : FindConstantRuns(image, begin, end, MinimumRun(image.size))) {
        if (run.start > at) out->push_back(Known(at, run.start - at, RegionKind::Data));
        Region region = Known(run.start, run.length, RegionKind::ByteRun);
        region.byte = run.byte;
        out->push_back(region);
        at = run.start + run.length;
    }
    if (end > at) out->push_back(Known(at, end - at, RegionKind::Data));
}

// Which of 0x00 and 0xFF is the fill byte when no header says it. Without
// image groups the output keeps the size of its size line, so it normally
// ends in pre-fill: a run that reaches the end of the file decides. Else the
// byte that covers more of the file in runs (a reserved range's pad byte
// makes one run per range, the fill one between any two things).
int FillFromRuns(const std::vector<Region>& regions, uint64_t fileSize) {
    uint64_t zeros = 0, ones = 0;
    for (const Region& region : regions) {
        if (region.kind != RegionKind::ByteRun) continue;
        if (region.start + region.length == fileSize) return region.byte;
        (region.byte == 0x00 ? zeros : ones) += region.length;
    }
    if (zeros == 0 && ones == 0) return -1;
    return ones > zeros ? 0xFF : 0x00;
}

int FillFromHeaders(const Inspection& inspection) {
    for (const HeaderCheck& header : inspection.headers)
        if (header.state == HeaderState::Sealed) return header.fill;
    return -1;
}

}  // namespace

void BuildRegions(const ImageBytes& image, Inspection* inspection) {
    std::vector<Region> regions;
    uint64_t covered = 0;  // everything below is accounted for
    for (Region region : KnownRegions(image, *inspection)) {
        if (region.start > covered) AddGap(image, covered, region.start, &regions);
        region.overlaps = region.start < covered;
        regions.push_back(region);
        covered = std::max(covered, region.start + region.length);
    }
    if (image.size > covered) AddGap(image, covered, image.size, &regions);

    inspection->fill = FillFromHeaders(*inspection);
    if (inspection->fill < 0) inspection->fill = FillFromRuns(regions, image.size);
    for (Region& region : regions)
        if (region.kind == RegionKind::ByteRun && region.byte == inspection->fill) region.kind = RegionKind::Fill;
    inspection->regions = regions;
}

}  // namespace morvik
