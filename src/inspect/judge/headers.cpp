// Finding the firmware headers. A header is accepted only when its checksum
// verifies; everything else that starts with "Tav" and NUL is judged by its
// shape, so that image data which happens to hold those four bytes is not
// taken for a damaged header. Markers are judged during the pass, from the
// bytes around them; entries and records are read once the pass is over.
#include <algorithm>
#include <cstring>

#include "format/placement.h"
#include "inspect/judge/stages.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

// A candidate whose shape scores at least this many of the six points below
// is reported as a damaged header. One damaged byte costs a real header at
// most two points; "Tav" and NUL followed by fill scores two.
constexpr int kDamagedHeaderScore = 4;
// Of a header cut off by the end of the file only the first bytes can be
// judged; three points are available there.
constexpr int kTruncatedHeaderScore = 2;

bool SlotIsAll(const uint8_t* raw, size_t slot, uint8_t fill) {
    const uint8_t* entry = EntryAt(raw, slot);
    for (size_t i = 0; i < kFwEntrySize; ++i)
        if (entry[i] != fill) return false;
    return true;
}

// The fill byte of a header that does not verify: the majority of 0x00 and
// 0xFF over bytes 14 and 15 and the reserved bytes of entry 0, which are the
// fill byte in every header (one damaged byte cannot swing it).
uint8_t GuessFill(const uint8_t* raw) {
    int ones = 0, zeros = 0;
    auto count = [&](uint8_t b) {
        ones += b == 0xFF;
        zeros += b == 0x00;
    };
    count(raw[kHdrReserved]);
    count(raw[kHdrReserved + 1]);
    for (size_t i = kEntReserved; i < kFwEntrySize; ++i) count(EntryAt(raw, 0)[i]);
    return ones > zeros ? 0xFF : 0x00;
}

// Entries in use: imageNumber when it is possible, else the slots in front
// of the first slot that is all fill.
uint32_t UsedSlots(const uint8_t* raw, uint8_t fill) {
    if (raw[kHdrImageNumber] <= kFwMaxEntries) return raw[kHdrImageNumber];
    uint32_t used = 0;
    while (used < kFwMaxEntries && !SlotIsAll(raw, used, fill)) ++used;
    return used;
}

bool EntriesInsideFile(const uint8_t* raw, uint32_t used, uint64_t fileSize) {
    if (used == 0) return false;
    for (uint32_t n = 0; n < used; ++n) {
        const uint8_t* entry = EntryAt(raw, n);
        uint64_t end = uint64_t{GetLe32(entry + kEntOffset)} + GetLe32(entry + kEntLength);
        if (end > fileSize) return false;
    }
    return true;
}

bool UnusedBytesAreFill(const uint8_t* raw, uint32_t used, uint8_t fill) {
    for (uint32_t n = 0; n < kFwMaxEntries; ++n) {
        const uint8_t* entry = EntryAt(raw, n);
        size_t from = n < used ? kEntReserved : 0;
        for (size_t i = from; i < kFwEntrySize; ++i)
            if (entry[i] != fill) return false;
    }
    return true;
}

bool SomeEntryFollowsHeader(const uint8_t* raw, uint64_t at, size_t slots) {
    for (size_t n = 0; n < slots; ++n)
        if (GetLe32(EntryAt(raw, n) + kEntOffset) == KernelDataStart(at)) return true;
    return false;
}

bool RecordTagAt(ImageFile* file, uint32_t pidOffset) {
    if (!InFile(file->size, pidOffset, kFwPidRecordSize)) return false;
    uint8_t record[kFwPidRecordSize];
    ReadAt(file, pidOffset, sizeof record, record);
    return std::memcmp(record + kFwPidTagAt, kFwPidTag, kFwPidTagSize) == 0 ||
           std::memcmp(record + kFwPidConstAt, kFwPidConst, 2) == 0;
}

// How much a complete 256-byte candidate looks like a header, 0 to 5
// without its FW PID record: fill bytes 14/15, a possible imageNumber, an
// entry right behind the header (the kernel's), entries inside the file,
// and fill wherever nothing is stored. The three cheap points come first;
// without any of them the candidate cannot reach a header's score.
int ShapeScoreWithoutRecord(const uint8_t* raw, uint64_t at, uint64_t fileSize) {
    uint8_t fill = GuessFill(raw);
    int score = 0;
    score += raw[kHdrReserved] == fill && raw[kHdrReserved + 1] == fill;
    score += raw[kHdrImageNumber] >= 1 && raw[kHdrImageNumber] <= kFwMaxEntries;
    score += SomeEntryFollowsHeader(raw, at, kFwMaxEntries);
    if (score == 0) return 0;
    uint32_t used = UsedSlots(raw, fill);
    score += EntriesInsideFile(raw, used, fileSize);
    score += UnusedBytesAreFill(raw, used, fill);
    return score;
}

// The same with a sixth point for a FW PID record where pidOffset points;
// the record is read only when it can decide.
int HeaderShapeScore(ImageFile* file, const uint8_t* raw, uint64_t at) {
    int score = ShapeScoreWithoutRecord(raw, at, file->size);
    if (score + 1 < kDamagedHeaderScore) return score;
    return score + RecordTagAt(file, GetLe32(raw + kHdrPidOffset));
}

// The same for a candidate that the end of the file cuts off: only the
// first 16 bytes and entry 0 can be judged.
int TruncatedShapeScore(const uint8_t* raw, uint64_t available, uint64_t at) {
    if (available < kHdrEntries) return 0;
    int score = 0;
    score += raw[kHdrReserved] == raw[kHdrReserved + 1] && (raw[kHdrReserved] == 0x00 || raw[kHdrReserved] == 0xFF);
    score += raw[kHdrImageNumber] >= 1 && raw[kHdrImageNumber] <= kFwMaxEntries;
    if (available >= kHdrEntries + kEntLength) score += SomeEntryFollowsHeader(raw, at, 1);
    return score;
}

// An entry as the header states it; its CRC-32 is checked later, with all
// the others at once.
EntryCheck ReadEntry(const uint8_t* raw, uint32_t n, uint64_t fileSize) {
    const uint8_t* entry = EntryAt(raw, n);
    EntryCheck check;
    check.index = n;
    check.offset = GetLe32(entry + kEntOffset);
    check.length = GetLe32(entry + kEntLength);
    check.stored = GetLe32(entry + kEntChecksum);
    std::memcpy(check.version, entry + kEntVersion, kFwVersionSize);
    check.hasFlagBit = n < 8;
    check.flagged = check.hasFlagBit && (raw[kHdrChecksumBitmap] >> n & 1) != 0;
    check.inFile = InFile(fileSize, check.offset, check.length);
    return check;
}

// Fills in the fields, entries and record of a header whose 256 bytes are
// in `check.raw`.
void ReadFieldsOf(ImageFile* file, const PidBlockFind* pid, HeaderCheck* check) {
    const uint8_t* raw = check->raw;
    check->magicOk = std::memcmp(raw + kHdrMagic, kFwHeaderMagic, 4) == 0;
    check->pidOffset = GetLe32(raw + kHdrPidOffset);
    check->stored = GetLe32(raw + kHdrChecksum);
    check->imageNumber = raw[kHdrImageNumber];
    check->bitmap = raw[kHdrChecksumBitmap];
    if (check->state == HeaderState::Truncated) return;
    check->expected = HeaderChecksumFor(raw, check->fill);
    uint32_t used = UsedSlots(raw, check->fill);
    check->entries.clear();
    for (uint32_t n = 0; n < used; ++n) check->entries.push_back(ReadEntry(raw, n, file->size));
    check->record = CheckFwPidRecord(file, check->pidOffset, pid);
    check->record.referenced = true;
    // A group without images gets no FW PID record from the bind; its
    // pidOffset then points at whatever lies there.
    if (used == 0 && !check->record.tagOk) check->record.required = false;
}

HeaderCheck CandidateAt(const ByteView& view, uint64_t at) {
    HeaderCheck check;
    check.at = at;
    check.available = std::min<uint64_t>(kFwHeaderSize, view.end - at);
    std::memcpy(check.raw, ViewAt(view, at), check.available);
    return check;
}

bool VerifiesAsSealed(const HeaderCheck& check) {
    if (check.available < kFwHeaderSize) return false;
    if (std::memcmp(check.raw + kHdrMagic, kFwHeaderMagic, 4) != 0) return false;
    uint8_t fill = check.raw[kHdrReserved];
    if (check.raw[kHdrReserved + 1] != fill) return false;
    return HeaderChecksumFor(check.raw, fill) == GetLe32(check.raw + kHdrChecksum);
}

void TakeGuessedFill(HeaderCheck* check) {
    check->fill = GuessFill(check->raw);
    check->fillBytesOk = check->raw[kHdrReserved] == check->fill && check->raw[kHdrReserved + 1] == check->fill;
}

// Judges one "Tav" and NUL position; true when it is kept as a header.
bool JudgeCandidate(ImageFile* file, HeaderCheck* check) {
    if (VerifiesAsSealed(*check)) {
        check->state = HeaderState::Sealed;
        check->fill = check->raw[kHdrReserved];
        check->fillBytesOk = true;
        return true;
    }
    if (check->available < kFwHeaderSize) {
        check->state = HeaderState::Truncated;
        check->plausibility = TruncatedShapeScore(check->raw, check->available, check->at);
        return check->plausibility >= kTruncatedHeaderScore;
    }
    check->state = HeaderState::Damaged;
    check->plausibility = HeaderShapeScore(file, check->raw, check->at);
    if (check->plausibility < kDamagedHeaderScore) return false;
    TakeGuessedFill(check);
    return true;
}

bool InsideSealedHeader(const std::vector<HeaderCheck>& headers, uint64_t at) {
    for (auto h = headers.rbegin(); h != headers.rend() && h->at + kFwHeaderSize > at; ++h)
        if (h->state == HeaderState::Sealed && at > h->at) return true;
    return false;
}

bool IsKnownHeader(const std::vector<HeaderCheck>& headers, uint64_t at) {
    for (const HeaderCheck& h : headers)
        if (h.at == at) return true;
    return false;
}

int MagicBytesMatching(const uint8_t* at) {
    int same = 0;
    for (size_t i = 0; i < 4; ++i) same += at[i] == static_cast<uint8_t>(kFwHeaderMagic[i]);
    return same;
}

// A header whose magic was damaged is not found by its magic; it is found
// by the pidOffset field that points at a FW PID record.
bool FindHeaderByRecord(InspectionRun* run, uint64_t record) {
    Inspection* in = run->inspection;
    for (const NearHeader& near : run->markers.nearHeaders) {
        if (near.pidOffset != record || IsKnownHeader(in->headers, near.at)) continue;
        HeaderCheck check;
        check.at = near.at;
        ReadAt(run->file, near.at, kFwHeaderSize, check.raw);
        check.state = HeaderState::Damaged;
        check.plausibility = HeaderShapeScore(run->file, check.raw, near.at);
        if (check.plausibility < kDamagedHeaderScore) continue;
        TakeGuessedFill(&check);
        ReadFieldsOf(run->file, ReferencePidBlock(*in), &check);
        in->headers.push_back(check);
        return true;
    }
    std::string capped = Format("%llu possible damaged headers", static_cast<ull>(run->markers.nearBound));
    if (run->markers.nearCapped && std::find(in->overflows.begin(), in->overflows.end(), capped) == in->overflows.end())
        in->overflows.push_back(capped);
    return false;
}

bool ReferencedByHeader(const std::vector<HeaderCheck>& headers, uint64_t at) {
    for (const HeaderCheck& h : headers)
        if (h.state != HeaderState::Truncated && h.pidOffset == at) return true;
    return false;
}

}  // namespace

void JudgeHeaderMarker(InspectionRun* run, const ByteView& view, uint64_t at) {
    Inspection* in = run->inspection;
    if (run->markers.headersClosed || InsideSealedHeader(in->headers, at)) return;
    if (!CountMarker(run, &run->markers.headerMarkers, &run->markers.headersClosed, "\"Tav\"+NUL markers")) return;
    HeaderCheck check = CandidateAt(view, at);
    if (!JudgeCandidate(run->file, &check)) {
        ++in->ignoredHeaderCandidates;
        return;
    }
    if (FindsAreFull(run, in->headers.size(), "firmware headers")) {
        run->markers.headersClosed = true;
        return;
    }
    in->headers.push_back(check);
}

void NoteNearHeader(InspectionRun* run, const ByteView& view, uint64_t at) {
    if (run->markers.nearCapped || !InFile(run->file->size, at, kFwHeaderSize)) return;
    const uint8_t* raw = ViewAt(view, at);
    int same = MagicBytesMatching(raw);
    if (same < 2 || same == 4) return;
    if (++run->markers.nearSeen > run->markers.budget.nearHeaders) {
        run->markers.nearCapped = true;
        run->markers.nearBound = run->markers.budget.nearHeaders;
        return;
    }
    if (ShapeScoreWithoutRecord(raw, at, run->file->size) + 1 < kDamagedHeaderScore) return;
    if (run->markers.nearHeaders.size() == kMaxNearHeaders) {
        run->markers.nearCapped = true;
        run->markers.nearBound = kMaxNearHeaders;
        return;
    }
    run->markers.nearHeaders.push_back(NearHeader{at, GetLe32(raw + kHdrPidOffset)});
}

void ReadHeaderFields(InspectionRun* run) {
    const PidBlockFind* pid = ReferencePidBlock(*run->inspection);
    for (HeaderCheck& h : run->inspection->headers) ReadFieldsOf(run->file, pid, &h);
}

void FindLooseRecords(InspectionRun* run) {
    Inspection* in = run->inspection;
    const PidBlockFind* pid = ReferencePidBlock(*in);
    bool foundHeader = false;
    size_t traces = 0;
    for (uint64_t at : run->markers.records) {
        if (ReferencedByHeader(in->headers, at)) continue;
        if (traces < kMaxRecordTraces && in->headers.size() < kMaxFinds) {
            ++traces;
            if (FindHeaderByRecord(run, at)) {
                foundHeader = true;
                continue;
            }
        }
        if (FindsAreFull(run, in->looseRecords.size(), "FW PID records")) break;
        in->looseRecords.push_back(CheckFwPidRecord(run->file, at, pid));
    }
    if (foundHeader)
        std::sort(in->headers.begin(), in->headers.end(),
                  [](const HeaderCheck& a, const HeaderCheck& b) { return a.at < b.at; });
}

void NoteRecordTag(InspectionRun* run, const ByteView& view, uint64_t tag) {
    if (run->markers.recordsClosed ||
        !CountMarker(run, &run->markers.recordTags, &run->markers.recordsClosed, "\"aVrIcK\" tags"))
        return;
    if (tag < kFwPidTagAt || !InFile(run->file->size, tag - kFwPidTagAt, kFwPidRecordSize)) return;
    const uint8_t* r = ViewAt(view, tag - kFwPidTagAt);
    bool wholeShape = std::memcmp(r + kFwPidConstAt, kFwPidConst, 2) == 0 && r[14] == 0x00 && r[15] == 0x00;
    // Enough records to fill the list of unreferenced ones past its bound
    // whatever the headers point to.
    if (wholeShape && run->markers.records.size() < 3 * kMaxFinds) run->markers.records.push_back(tag - kFwPidTagAt);
}

void CheckEntryCrcs(InspectionRun* run) {
    std::vector<uint64_t> starts, ends;
    for (const HeaderCheck& h : run->inspection->headers)
        for (const EntryCheck& e : h.entries)
            if (e.inFile) {
                starts.push_back(e.offset);
                ends.push_back(uint64_t{e.offset} + e.length);
            }
    std::vector<uint32_t> crcs = RangeCrcs(&run->pass, starts, ends);
    size_t k = 0;
    for (HeaderCheck& h : run->inspection->headers)
        for (EntryCheck& e : h.entries)
            if (e.inFile) {
                e.actual = crcs[k++];
                e.crcOk = e.actual == e.stored;
            }
}

}  // namespace morvik
