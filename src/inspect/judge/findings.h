// What an inspection finds in an image: its firmware headers with their
// entries and FW PID records, its PID blocks, the FW PID records that no
// header points to, the layout map, and the failures and notes. The reports
// and the extraction work from these alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/image_format.h"

namespace morvik {

// One FW_ImageEntry and the check of its CRC-32 against the file.
struct EntryCheck {
    uint32_t index = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t stored = 0;  // the entry's checksum field
    uint32_t actual = 0;  // CRC-32 of the file bytes; valid when inFile
    uint8_t version[kFwVersionSize] = {};
    bool hasFlagBit = false;  // entries 8 and 9 have no bit in checksumBitmap
    bool flagged = false;     // the bootloader is asked to verify this entry
    bool inFile = false;
    bool crcOk = false;
};

// A 16-byte FW PID record at a known position.
struct FwPidCheck {
    uint64_t at = 0;
    bool inFile = false;
    uint8_t bytes[kFwPidRecordSize] = {};
    bool constOk = false;       // 0x90 0xF7
    bool tagOk = false;         // "aVrIcK"
    bool tailOk = false;        // 0x00 0x00
    bool wordsChecked = false;  // a PID block was there to compare with
    bool wordsOk = false;
    uint8_t expectedWords[6] = {};  // from the PID block, when checked
    bool referenced = false;        // some header's pidOffset points here
    bool required = true;           // false: a header that lists no images
};

enum class HeaderState {
    Sealed,     // "Tav" and NUL, and the header checksum verifies
    Damaged,    // looks like a header but does not verify
    Truncated,  // looks like a header but the file ends inside it
};

struct HeaderCheck {
    uint64_t at = 0;
    HeaderState state = HeaderState::Sealed;
    uint8_t raw[kFwHeaderSize] = {};  // as found; bytes past the end of file are 0
    uint64_t available = kFwHeaderSize;
    bool magicOk = false;
    uint8_t fill = 0;          // byte 14 when sealed, the best guess otherwise
    bool fillBytesOk = false;  // bytes 14 and 15 both hold the fill byte
    uint32_t pidOffset = 0;
    uint32_t stored = 0;    // headerChecksum field
    uint32_t expected = 0;  // what the verifier rule computes
    uint8_t imageNumber = 0;
    uint8_t bitmap = 0;
    int plausibility = 0;  // shape score, for headers that do not verify
    std::vector<EntryCheck> entries;
    FwPidCheck record;
};

enum class PidBlockState {
    Complete,   // "tAvRiCk", 56 PID bytes, "tAvRiCk"
    Short,      // fewer PID bytes, the closing magic earlier, zeros behind
    Damaged,    // one magic found, a near miss of the other one
    Truncated,  // the file ends inside it
};

struct PidBlockFind {
    uint64_t at = 0;  // first byte; the boot PID location is at + 69
    PidBlockState state = PidBlockState::Complete;
    uint32_t pidBytes = 0;              // PID bytes between the two magics
    uint8_t block[kPidBlockSize] = {};  // as found; bytes past the end are 0
    bool openingOk = false;
    bool closingOk = false;
};

enum class RegionKind {
    Header,
    DamagedHeader,
    GroupImage,
    PidBlock,
    FwPidRecord,
    Data,
    Fill,     // a run of the image's fill byte
    ByteRun,  // a run of the other one of 0x00 / 0xFF (a reserved range's pad)
};

struct Region {
    uint64_t start = 0;
    uint64_t length = 0;
    RegionKind kind = RegionKind::Data;
    uint64_t owner = 0;     // group images: the header's position
    uint32_t entry = 0;     // group images: the entry index
    uint8_t byte = 0;       // fill and byte runs
    bool overlaps = false;  // starts inside the region before it
    bool crcKnown = false;  // false past the first kCrcCovered bytes
    uint32_t crc = 0;       // CRC-32 of the region's bytes
    std::string sha256;     // hex digest of its bytes, when asked for (--checksums)
};

// A sound image holds at most two headers, one PID block and two FW PID
// records. Beyond this many finds of one kind the rest of the file is not
// examined for that kind, so that a hostile file cannot make the run take
// hours or the report grow without bound.
constexpr size_t kMaxFinds = 64;

struct Inspection {
    std::string path;
    uint64_t size = 0;
    int fill = -1;                         // 0x00 or 0xFF, -1 when it cannot be told
    std::vector<HeaderCheck> headers;      // in file order
    std::vector<PidBlockFind> pidBlocks;   // in file order
    std::vector<FwPidCheck> looseRecords;  // records no header points to
    uint64_t ignoredHeaderCandidates = 0;  // "Tav" and NUL in image data
    uint64_t strayPidMagics = 0;           // "tAvRiCk" outside any PID block
    std::vector<std::string> overflows;    // kinds that exceeded kMaxFinds
    std::vector<Region> regions;
    // Where the bound image ends, when its shape tells: with firmware headers,
    // behind the furthest thing they and the PID block account for (the last
    // FW PID record, in a bind). Without headers the size line decided the
    // end, and the image does not record it.
    bool endKnown = false;
    uint64_t imageEnd = 0;
    std::vector<std::string> failures;
    std::vector<std::string> notes;
    std::string sha256;  // hex digest of the whole file, when asked for (--checksums)
};

// The PID block that FW PID records are compared with: the first complete
// one, else the first one at all; nullptr when there is none.
const PidBlockFind* ReferencePidBlock(const Inspection& inspection);

// True when the file holds a sealed header or a PID block: anything else
// is not a bound image, whatever else it holds.
bool IsBound(const Inspection& inspection);

// The bytes behind the image's end: 0 when the end is not known.
uint64_t BytesAfterImage(const Inspection& inspection);

// "Note: 0x186a0 bytes follow the image's end at 0x11a12", or "" when
// nothing follows it.
std::string TrailingNote(const Inspection& inspection);

// "Summary: OK, ..." or "Summary: FAILED, N failures: ...", with the counts.
std::string SummaryLine(const Inspection& inspection);

}  // namespace morvik
