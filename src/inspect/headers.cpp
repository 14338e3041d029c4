// Finding the firmware headers. A header is accepted only when its checksum
// verifies; everything else that starts with "Tav" and NUL is judged by its
// shape, so that image data which happens to hold those four bytes is not
// taken for a damaged header.
#include <algorithm>
#include <cstring>

#include "inspect/inspect.h"

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
        if (GetLe32(EntryAt(raw, n) + kEntOffset) == at + kFwHeaderSize) return true;
    return false;
}

bool RecordTagAt(const ImageBytes& image, uint32_t pidOffset) {
    if (!InFile(image, pidOffset, kFwPidRecordSize)) return false;
    const uint8_t* record = image.data + pidOffset;
    return std::memcmp(record + kFwPidTagAt, kFwPidTag, kFwPidTagSize) == 0 ||
           std::memcmp(record + kFwPidConstAt, kFwPidConst, 2) == 0;
}

// How much a complete 256-byte candidate looks like a header, 0 to 6:
// fill bytes 14/15, a possible imageNumber, an entry right behind the
// header (the kernel's), entries inside the file, fill wherever nothing is
// stored, and a FW PID record where pidOffset points.
int HeaderShapeScore(const ImageBytes& image, const uint8_t* raw, uint64_t at) {
    uint8_t fill = GuessFill(raw);
    uint32_t used = UsedSlots(raw, fill);
    int score = 0;
    score += raw[kHdrReserved] == fill && raw[kHdrReserved + 1] == fill;
    score += raw[kHdrImageNumber] >= 1 && raw[kHdrImageNumber] <= kFwMaxEntries;
    score += SomeEntryFollowsHeader(raw, at, kFwMaxEntries);
    score += EntriesInsideFile(raw, used, image.size);
    score += UnusedBytesAreFill(raw, used, fill);
    score += RecordTagAt(image, GetLe32(raw + kHdrPidOffset));
    return score;
}

// The same for a candidate that the end of the file cuts off: only the
// first 16 bytes and entry 0 can be judged.
int TruncatedShapeScore(const uint8_t* raw, uint64_t available, uint64_t at) {
    if (available < kHdrEntries) return 0;
    int score = 0;
    score += raw[kHdrReserved] == raw[kHdrReserved + 1] &&
             (raw[kHdrReserved] == 0x00 || raw[kHdrReserved] == 0xFF);
    score += raw[kHdrImageNumber] >= 1 && raw[kHdrImageNumber] <= kFwMaxEntries;
    if (available >= kHdrEntries + kEntLength) score += SomeEntryFollowsHeader(raw, at, 1);
    return score;
}

EntryCheck CheckEntry(const ImageBytes& image, const uint8_t* raw, uint32_t n) {
    const uint8_t* entry = EntryAt(raw, n);
    EntryCheck check;
    check.index = n;
    check.offset = GetLe32(entry + kEntOffset);
    check.length = GetLe32(entry + kEntLength);
    check.stored = GetLe32(entry + kEntChecksum);
    std::memcpy(check.version, entry + kEntVersion, kFwVersionSize);
    check.hasFlagBit = n < 8;
    check.flagged = check.hasFlagBit && (raw[kHdrChecksumBitmap] >> n & 1) != 0;
    check.inFile = InFile(image, check.offset, check.length);
    if (check.inFile) {
        check.actual = CrcOfRange(image, check.offset, check.length);
        check.crcOk = check.actual == check.stored;
    }
    return check;
}

// Fills in the fields, entries and record of a header whose 256 bytes are
// in `check.raw`.
void ReadHeaderFields(const ImageBytes& image, const PidBlockFind* pid, HeaderCheck* check) {
    const uint8_t* raw = check->raw;
    check->magicOk = std::memcmp(raw + kHdrMagic, kFwHeaderMagic, 4) == 0;
    check->pidOffset = GetLe32(raw + kHdrPidOffset);
    check->stored = GetLe32(raw + kHdrChecksum);
    check->imageNumber = raw[kHdrImageNumber];
    check->bitmap = raw[kHdrChecksumBitmap];
    if (check->state == HeaderState::Truncated) return;
    check->expected = HeaderChecksumFor(raw, check->fill);
    uint32_t used = UsedSlots(raw, check->fill);
    for (uint32_t n = 0; n < used; ++n) check->entries.push_back(CheckEntry(image, raw, n));
    check->record = CheckFwPidRecord(image, check->pidOffset, pid);
    check->record.referenced = true;
    // A group without images gets no FW PID record from the bind; its
    // pidOffset then points at whatever lies there.
    if (used == 0 && !check->record.tagOk) check->record.required = false;
}

HeaderCheck CandidateAt(const ImageBytes& image, uint64_t at) {
    HeaderCheck check;
    check.at = at;
    check.available = std::min<uint64_t>(kFwHeaderSize, image.size - at);
    std::memcpy(check.raw, image.data + at, check.available);
    return check;
}

bool VerifiesAsSealed(const HeaderCheck& check) {
    if (check.available < kFwHeaderSize) return false;
    if (std::memcmp(check.raw + kHdrMagic, kFwHeaderMagic, 4) != 0) return false;
    uint8_t fill = check.raw[kHdrReserved];
    if (check.raw[kHdrReserved + 1] != fill) return false;
    return HeaderChecksumFor(check.raw, fill) == GetLe32(check.raw + kHdrChecksum);
}

// Judges one "Tav" and NUL position; true when it is kept as a header.
bool JudgeCandidate(const ImageBytes& image, const PidBlockFind* pid, HeaderCheck* check) {
    if (VerifiesAsSealed(*check)) {
        check->state = HeaderState::Sealed;
        check->fill = check->raw[kHdrReserved];
        check->fillBytesOk = true;
        ReadHeaderFields(image, pid, check);
        return true;
    }
    if (check->available < kFwHeaderSize) {
        check->state = HeaderState::Truncated;
        check->plausibility = TruncatedShapeScore(check->raw, check->available, check->at);
        if (check->plausibility < kTruncatedHeaderScore) return false;
        ReadHeaderFields(image, pid, check);
        return true;
    }
    check->state = HeaderState::Damaged;
    check->plausibility = HeaderShapeScore(image, check->raw, check->at);
    if (check->plausibility < kDamagedHeaderScore) return false;
    check->fill = GuessFill(check->raw);
    check->fillBytesOk = check->raw[kHdrReserved] == check->fill && check->raw[kHdrReserved + 1] == check->fill;
    ReadHeaderFields(image, pid, check);
    return true;
}

bool InsideSealedHeader(const std::vector<HeaderCheck>& headers, uint64_t at) {
    for (const HeaderCheck& h : headers)
        if (h.state == HeaderState::Sealed && at > h.at && at < h.at + kFwHeaderSize) return true;
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
bool FindHeaderByRecord(const ImageBytes& image, uint64_t record, Inspection* inspection) {
    if (record > UINT32_MAX) return false;
    uint8_t pattern[4];
    PutLe32(pattern, static_cast<uint32_t>(record));
    for (uint64_t q : FindAll(image, pattern, sizeof pattern)) {
        if (q < kHdrPidOffset) continue;
        uint64_t at = q - kHdrPidOffset;
        if (!InFile(image, at, kFwHeaderSize) || IsKnownHeader(inspection->headers, at)) continue;
        int same = MagicBytesMatching(image.data + at);
        if (same < 2 || same == 4) continue;
        HeaderCheck check = CandidateAt(image, at);
        check.state = HeaderState::Damaged;
        check.plausibility = HeaderShapeScore(image, check.raw, at);
        if (check.plausibility < kDamagedHeaderScore) continue;
        check.fill = GuessFill(check.raw);
        check.fillBytesOk = check.raw[kHdrReserved] == check.fill && check.raw[kHdrReserved + 1] == check.fill;
        ReadHeaderFields(image, ReferencePidBlock(*inspection), &check);
        inspection->headers.push_back(check);
        return true;
    }
    return false;
}

bool ReferencedByHeader(const std::vector<HeaderCheck>& headers, uint64_t at) {
    for (const HeaderCheck& h : headers)
        if (h.state != HeaderState::Truncated && h.pidOffset == at) return true;
    return false;
}

bool IsWholeRecordShape(const ImageBytes& image, uint64_t at) {
    const uint8_t* r = image.data + at;
    return std::memcmp(r + kFwPidConstAt, kFwPidConst, 2) == 0 && r[14] == 0x00 && r[15] == 0x00;
}

}  // namespace

void FindHeaders(const ImageBytes& image, const std::vector<uint64_t>& magics, Inspection* inspection) {
    const PidBlockFind* pid = ReferencePidBlock(*inspection);
    for (uint64_t at : magics) {
        if (InsideSealedHeader(inspection->headers, at)) continue;
        HeaderCheck check = CandidateAt(image, at);
        if (!JudgeCandidate(image, pid, &check)) {
            ++inspection->ignoredHeaderCandidates;
            continue;
        }
        if (inspection->headers.size() == kMaxFinds) {
            inspection->overflows.push_back(Format("%zu firmware headers", kMaxFinds));
            return;
        }
        inspection->headers.push_back(check);
    }
}

void FindLooseRecords(const ImageBytes& image, const std::vector<uint64_t>& tags, Inspection* inspection) {
    const PidBlockFind* pid = ReferencePidBlock(*inspection);
    bool foundHeader = false;
    size_t traces = 0;
    for (uint64_t tag : tags) {
        if (tag < kFwPidTagAt || !InFile(image, tag - kFwPidTagAt, kFwPidRecordSize)) continue;
        uint64_t at = tag - kFwPidTagAt;
        if (!IsWholeRecordShape(image, at) || ReferencedByHeader(inspection->headers, at)) continue;
        if (traces < kMaxRecordTraces && inspection->headers.size() < kMaxFinds) {
            ++traces;
            if (FindHeaderByRecord(image, at, inspection)) {
                foundHeader = true;
                continue;
            }
        }
        if (inspection->looseRecords.size() == kMaxFinds) {
            inspection->overflows.push_back(Format("%zu FW PID records", kMaxFinds));
            break;
        }
        inspection->looseRecords.push_back(CheckFwPidRecord(image, at, pid));
    }
    if (foundHeader)
        std::sort(inspection->headers.begin(), inspection->headers.end(),
                  [](const HeaderCheck& a, const HeaderCheck& b) { return a.at < b.at; });
}

}  // namespace morvik
