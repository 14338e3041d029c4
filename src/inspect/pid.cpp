// The PID block ("tAvRiCk", the PID, "tAvRiCk", 70 bytes ending at the boot
// PID location) and the 16-byte FW PID records built from it.
#include <cstring>

#include "inspect/inspect.h"

namespace morvik {

namespace {

// Where the closing magic of a full block starts.
constexpr uint64_t kClosingAt = kPidMagicSize + kPidBytes;  // 63
// A 7-byte stretch with at least this many bytes of the magic is taken for
// a damaged magic next to an intact one.
constexpr int kNearMagicBytes = 5;

bool MagicAt(const ImageBytes& image, uint64_t at) {
    return InFile(image, at, kPidMagicSize) && std::memcmp(image.data + at, kPidMagic, kPidMagicSize) == 0;
}

bool NearMagicAt(const ImageBytes& image, uint64_t at) {
    if (!InFile(image, at, kPidMagicSize)) return false;
    int same = 0;
    for (size_t i = 0; i < kPidMagicSize; ++i) same += image.data[at + i] == static_cast<uint8_t>(kPidMagic[i]);
    return same >= kNearMagicBytes;
}

PidBlockFind BlockAt(const ImageBytes& image, uint64_t at, PidBlockState state) {
    PidBlockFind find;
    find.at = at;
    find.state = state;
    uint64_t available = image.size - at < kPidBlockSize ? image.size - at : kPidBlockSize;
    std::memcpy(find.block, image.data + at, available);
    find.openingOk = MagicAt(image, at);
    find.closingOk = MagicAt(image, at + kClosingAt);
    find.pidBytes = kPidBytes;
    return find;
}

bool ZerosBetween(const ImageBytes& image, uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i)
        if (image.data[i] != 0x00) return false;
    return true;
}

// A block built from a PID text shorter than 112 characters: its closing
// magic follows the PID bytes directly and zeros fill it up to 70 bytes.
bool ShortBlockAt(const ImageBytes& image, uint64_t at, uint64_t closing, PidBlockFind* find) {
    if (closing < at + kPidMagicSize || closing >= at + kClosingAt) return false;
    if (!InFile(image, at, kPidBlockSize)) return false;
    if (!ZerosBetween(image, closing + kPidMagicSize, at + kPidBlockSize)) return false;
    *find = BlockAt(image, at, PidBlockState::Short);
    find->closingOk = true;
    find->pidBytes = static_cast<uint32_t>(closing - at - kPidMagicSize);
    return true;
}

bool Contains(const std::vector<uint64_t>& list, uint64_t value) {
    for (uint64_t v : list)
        if (v == value) return true;
    return false;
}

// Judges one "tAvRiCk" at magics[i] that opens no block found so far.
// Returns true when a block was recorded in `find`; `closing` receives the
// position of the magic that the block uses up, if any.
bool JudgeMagic(const ImageBytes& image, const std::vector<uint64_t>& magics, size_t i, PidBlockFind* find,
                uint64_t* closing) {
    uint64_t at = magics[i];
    if (MagicAt(image, at + kClosingAt) && InFile(image, at, kPidBlockSize)) {
        *find = BlockAt(image, at, PidBlockState::Complete);
        *closing = at + kClosingAt;
        return true;
    }
    for (size_t j = i + 1; j < magics.size() && magics[j] < at + kClosingAt; ++j) {
        if (ShortBlockAt(image, at, magics[j], find)) {
            *closing = magics[j];
            return true;
        }
    }
    if (at >= kClosingAt && NearMagicAt(image, at - kClosingAt)) {
        *find = BlockAt(image, at - kClosingAt, PidBlockState::Damaged);
        return true;
    }
    if (NearMagicAt(image, at + kClosingAt) && InFile(image, at, kPidBlockSize)) {
        *find = BlockAt(image, at, PidBlockState::Damaged);
        return true;
    }
    if (!InFile(image, at, kPidBlockSize)) {
        *find = BlockAt(image, at, PidBlockState::Truncated);
        return true;
    }
    return false;
}

}  // namespace

void FindPidBlocks(const ImageBytes& image, const std::vector<uint64_t>& magics, Inspection* inspection) {
    std::vector<uint64_t> usedUp;  // closing magics of the blocks found
    for (size_t i = 0; i < magics.size(); ++i) {
        if (Contains(usedUp, magics[i])) continue;
        PidBlockFind find;
        uint64_t closing = UINT64_MAX;
        if (!JudgeMagic(image, magics, i, &find, &closing)) {
            ++inspection->strayPidMagics;
            continue;
        }
        if (inspection->pidBlocks.size() == kMaxFinds) {
            inspection->overflows.push_back(Format("%zu PID blocks", kMaxFinds));
            return;
        }
        if (closing != UINT64_MAX) usedUp.push_back(closing);
        inspection->pidBlocks.push_back(find);
    }
}

const PidBlockFind* ReferencePidBlock(const Inspection& inspection) {
    for (const PidBlockFind& block : inspection.pidBlocks)
        if (block.state == PidBlockState::Complete || block.state == PidBlockState::Short) return &block;
    return inspection.pidBlocks.empty() ? nullptr : &inspection.pidBlocks.front();
}

FwPidCheck CheckFwPidRecord(const ImageBytes& image, uint64_t at, const PidBlockFind* pid) {
    FwPidCheck check;
    check.at = at;
    check.inFile = InFile(image, at, kFwPidRecordSize);
    if (!check.inFile) return check;
    std::memcpy(check.bytes, image.data + at, kFwPidRecordSize);
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
