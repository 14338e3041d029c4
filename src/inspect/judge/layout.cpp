// The layout map: every region of the file in offset order. What the
// headers, the PID block and the FW PID records account for is known; the
// rest is split into runs of 0x00 / 0xFF (found during the pass) and other
// data.
#include <algorithm>

#include "inspect/judge/stages.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

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
    if (header.record.inFile && header.record.required)
        known->push_back(Known(header.record.at, kFwPidRecordSize, RegionKind::FwPidRecord));
}

std::vector<Region> KnownRegions(uint64_t fileSize, const Inspection& inspection) {
    std::vector<Region> known;
    for (const HeaderCheck& header : inspection.headers) AddHeaderRegions(header, &known);
    for (const PidBlockFind& block : inspection.pidBlocks)
        known.push_back(Known(block.at, std::min<uint64_t>(kPidBlockSize, fileSize - block.at), RegionKind::PidBlock));
    for (const FwPidCheck& record : inspection.looseRecords)
        known.push_back(Known(record.at, kFwPidRecordSize, RegionKind::FwPidRecord));
    std::stable_sort(known.begin(), known.end(), [](const Region& a, const Region& b) {
        return a.start != b.start ? a.start < b.start : a.length > b.length;
    });
    return known;
}

bool AllOneByte(const std::vector<uint8_t>& bytes, uint8_t byte) {
    for (uint8_t b : bytes)
        if (b != byte) return false;
    return true;
}

// Runs of 0x00 or 0xFF inside [begin, end): the pass's runs as far as they
// reach into it, when that is still at least the minimum run. A range
// shorter than the minimum that is one such byte all through counts as a
// run too; such a range is read again (the ranges between known regions do
// not overlap, so that is at most one more read of the file).
std::vector<ByteRun> ConstantRuns(InspectionRun* run, uint64_t begin, uint64_t end) {
    std::vector<ByteRun> runs;
    if (end - begin < run->pass.minRun) {
        std::vector<uint8_t> bytes(static_cast<size_t>(end - begin));
        ReadAt(run->file, begin, bytes.size(), bytes.data());
        if ((bytes[0] == 0x00 || bytes[0] == 0xFF) && AllOneByte(bytes, bytes[0]))
            runs.push_back(ByteRun{begin, end - begin, bytes[0]});
        return runs;
    }
    auto first = std::upper_bound(run->pass.runs.begin(), run->pass.runs.end(), begin,
                                  [](uint64_t at, const ByteRun& run) { return at < run.start + run.length; });
    for (auto r = first; r != run->pass.runs.end() && r->start < end; ++r) {
        uint64_t from = std::max(r->start, begin), to = std::min(r->start + r->length, end);
        if (to - from >= run->pass.minRun) runs.push_back(ByteRun{from, to - from, r->byte});
    }
    return runs;
}

// Splits [begin, end) into runs of a constant byte and the data between.
void AddGap(InspectionRun* run, uint64_t begin, uint64_t end, std::vector<Region>* out) {
    uint64_t at = begin;
    for (const ByteRun& run : ConstantRuns(run, begin, end)) {
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

// CRC-32 of every region that lies inside what the pass's block CRCs cover.
void RegionCrcs(InspectionRun* run, std::vector<Region>* regions) {
    const uint64_t covered = std::min(run->file->size, kCrcCovered);
    std::vector<uint64_t> starts, ends;
    for (const Region& region : *regions) {
        if (region.start + region.length > covered) continue;
        starts.push_back(region.start);
        ends.push_back(region.start + region.length);
    }
    std::vector<uint32_t> crcs = RangeCrcs(&run->pass, starts, ends);
    size_t next = 0;
    for (Region& region : *regions) {
        if (region.start + region.length > covered) continue;
        region.crcKnown = true;
        region.crc = crcs[next++];
    }
}

// True when a header, an entry it lists, its FW PID record or a PID block
// reaches past the end of the file: the image is cut short, and nothing
// follows its end.
bool ReachesPastEnd(const Inspection& inspection) {
    for (const HeaderCheck& header : inspection.headers) {
        if (header.state == HeaderState::Truncated || (header.record.required && !header.record.inFile)) return true;
        for (const EntryCheck& entry : header.entries)
            if (!entry.inFile) return true;
    }
    for (const PidBlockFind& block : inspection.pidBlocks)
        if (block.state == PidBlockState::Truncated) return true;
    return false;
}

}  // namespace

void BuildRegions(InspectionRun* run) {
    Inspection* inspection = run->inspection;
    const uint64_t size = run->file->size;
    std::vector<Region> regions;
    uint64_t covered = 0;  // everything below is accounted for
    for (Region region : KnownRegions(size, *inspection)) {
        if (region.start > covered) AddGap(run, covered, region.start, &regions);
        region.overlaps = region.start < covered;
        regions.push_back(region);
        covered = std::max(covered, region.start + region.length);
    }
    if (size > covered) AddGap(run, covered, size, &regions);
    inspection->endKnown = !inspection->headers.empty();
    inspection->imageEnd = inspection->endKnown && !ReachesPastEnd(*inspection) ? covered : size;

    inspection->fill = FillFromHeaders(*inspection);
    if (inspection->fill < 0) inspection->fill = FillFromRuns(regions, size);
    for (Region& region : regions)
        if (region.kind == RegionKind::ByteRun && region.byte == inspection->fill) region.kind = RegionKind::Fill;
    RegionCrcs(run, &regions);
    inspection->regions = regions;
    if (run->pass.runsCapped)
        inspection->notes.push_back(
            Format("more than %zu runs of 0x00 / 0xFF; the map shows the rest as data", kMaxRuns));
}

}  // namespace morvik
