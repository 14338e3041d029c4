// The PID block ("tAvRiCk", the PID, "tAvRiCk", 70 bytes ending at the boot
// PID location) and the 16-byte FW PID records built from it. PID blocks
// are judged during the pass, from the bytes around each magic.
#include <algorithm>
#include <cstring>

#include "inspect/judge/stages.h"

namespace morvik {

namespace {

// Where the closing magic of a full block starts.
constexpr uint64_t kClosingAt = kPidMagicSize + kPidBytes;  // 63
// A 7-byte stretch with at least this many bytes of the magic is taken for
// a damaged magic next to an intact one.
constexpr int kNearMagicBytes = 5;

bool MagicAt(const ByteView& view, uint64_t at) {
    return InView(view, at, kPidMagicSize) && std::memcmp(ViewAt(view, at), kPidMagic, kPidMagicSize) == 0;
}

bool NearMagicAt(const ByteView& view, uint64_t at) {
    if (!InView(view, at, kPidMagicSize)) return false;
    const uint8_t* bytes = ViewAt(view, at);
    int same = 0;
    for (size_t i = 0; i < kPidMagicSize; ++i) same += bytes[i] == static_cast<uint8_t>(kPidMagic[i]);
    return same >= kNearMagicBytes;
}

PidBlockFind BlockAt(const ByteView& view, uint64_t at, PidBlockState state) {
    PidBlockFind find;
    find.at = at;
    find.state = state;
    uint64_t available = std::min<uint64_t>(view.end - at, kPidBlockSize);
    std::memcpy(find.block, ViewAt(view, at), available);
    find.openingOk = MagicAt(view, at);
    find.closingOk = MagicAt(view, at + kClosingAt);
    find.pidBytes = kPidBytes;
    return find;
}

bool ZerosBetween(const ByteView& view, uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i)
        if (*ViewAt(view, i) != 0x00) return false;
    return true;
}

// A block built from a PID text shorter than 112 characters: its closing
// magic follows the PID bytes directly and zeros fill it up to 70 bytes.
bool ShortBlockAt(const ByteView& view, uint64_t fileSize, uint64_t at, uint64_t closing, PidBlockFind* find) {
    if (closing < at + kPidMagicSize || closing >= at + kClosingAt) return false;
    if (!InFile(fileSize, at, kPidBlockSize)) return false;
    if (!ZerosBetween(view, closing + kPidMagicSize, at + kPidBlockSize)) return false;
    *find = BlockAt(view, at, PidBlockState::Short);
    find->closingOk = true;
    find->pidBytes = static_cast<uint32_t>(closing - at - kPidMagicSize);
    return true;
}

bool Contains(const std::vector<uint64_t>& list, uint64_t value) {
    for (uint64_t v : list)
        if (v == value) return true;
    return false;
}

// Judges one "tAvRiCk" at `at` that closes no block found so far; `view`
// holds the 63 bytes before it and the 70 from it (or up to the end of the
// file). Returns true when a block was recorded in `find`; `closing`
// receives the position of the magic that the block uses up, if any.
bool JudgeMagic(const ByteView& view, uint64_t fileSize, uint64_t at, PidBlockFind* find, uint64_t* closing) {
    bool whole = InFile(fileSize, at, kPidBlockSize);
    if (MagicAt(view, at + kClosingAt) && whole) {
        *find = BlockAt(view, at, PidBlockState::Complete);
        *closing = at + kClosingAt;
        return true;
    }
    for (uint64_t next = at + kPidMagicSize; next < at + kClosingAt; ++next) {
        if (MagicAt(view, next) && ShortBlockAt(view, fileSize, at, next, find)) {
            *closing = next;
            return true;
        }
    }
    if (at >= kClosingAt && NearMagicAt(view, at - kClosingAt)) {
        *find = BlockAt(view, at - kClosingAt, PidBlockState::Damaged);
        return true;
    }
    if (NearMagicAt(view, at + kClosingAt) && whole) {
        *find = BlockAt(view, at, PidBlockState::Damaged);
        return true;
    }
    if (!whole) {
        *find = BlockAt(view, at, PidBlockState::Truncated);
        return true;
    }
    return false;
}

}  // namespace

void JudgePidMagic(InspectionRun* run, const ByteView& view, uint64_t at) {
    Inspection* in = run->inspection;
    if (run->markers.pidClosed || Contains(run->markers.usedClosings, at)) return;
    if (!CountMarker(run, &run->markers.pidMarkers, &run->markers.pidClosed, "\"tAvRiCk\" markers")) return;
    PidBlockFind find;
    uint64_t closing = UINT64_MAX;
    if (!JudgeMagic(view, run->file->size, at, &find, &closing)) {
        ++in->strayPidMagics;
        return;
    }
    if (FindsAreFull(run, in->pidBlocks.size(), "PID blocks")) {
        run->markers.pidClosed = true;
        return;
    }
    if (closing != UINT64_MAX) run->markers.usedClosings.push_back(closing);
    in->pidBlocks.push_back(find);
}

const PidBlockFind* ReferencePidBlock(const Inspection& inspection) {
    for (const PidBlockFind& block : inspection.pidBlocks)
        if (block.state == PidBlockState::Complete || block.state == PidBlockState::Short) return &block;
    return inspection.pidBlocks.empty() ? nullptr : &inspection.pidBlocks.front();
}

FwPidCheck CheckFwPidRecord(ImageFile* file, uint64_t at, const PidBlockFind* pid) {
    FwPidCheck check;
    check.at = at;
    check.inFile = InFile(file->size, at, kFwPidRecordSize);
    if (!check.inFile) return check;
    ReadAt(file, at, kFwPidRecordSize, check.bytes);
    check.constOk = std::memcmp(check.bytes + kFwPidConstAt, kFwPidConst, 2) == 0;
    check.tagOk = std::memcmp(check.bytes + kFwPidTagAt, kFwPidTag, kFwPidTagSize) == 0;
    check.tailOk = check.bytes[14] == 0x00 && check.bytes[15] == 0x00;
    if (pid == nullptr || pid->state == PidBlockState::Truncated) return check;
    check.wordsChecked = true;
    CopyFwPidWords(pid->block, check.expectedWords);
    check.wordsOk = std::memcmp(check.bytes, check.expectedWords, 6) == 0;
    return check;
}

}  // namespace morvik
