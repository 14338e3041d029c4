// Morvik-inspect: reads a bound output image back, with nothing else to go
// on, finds its firmware headers, PID block and FW PID records, verifies the
// checksums and PID words, and maps the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/image_format.h"

namespace morvik {

// ---- the file in memory ---------------------------------------------------

// A whole image file, mapped read-only (or read into `copy` when it cannot
// be mapped). Offsets are 64-bit so that files past 4 GiB are still read
// safely, although every offset the format stores is 32-bit.
struct ImageBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    void* mapping = nullptr;
    std::vector<uint8_t> copy;
};

// Exit statuses of the inspector.
constexpr int kInspectOk = 0;
constexpr int kInspectFailed = 1;
constexpr int kInspectUsage = 2;  // usage error or unreadable file

// 0 when the file is in memory; otherwise prints "Error ..." and returns
// kInspectUsage.
int LoadImage(const char* path, ImageBytes* image);
void ReleaseImage(ImageBytes* image);

// ---- scanning helpers -----------------------------------------------------

constexpr size_t kMaxPositions = size_t{1} << 20;

struct Needle {
    const void* bytes;
    size_t length;
};

// For each needle, every position where it starts, in ascending order
// (overlapping matches included); one pass over the file for all of them.
// A list stops at kMaxPositions entries.
std::vector<std::vector<uint64_t>> FindAllOf(const ImageBytes& image, const std::vector<Needle>& needles);

// Every position where `needle` starts, in ascending order (overlapping
// matches included).
std::vector<uint64_t> FindAll(const ImageBytes& image, const void* needle, size_t length);

// A run of one repeated byte.
struct ByteRun {
    uint64_t start;
    uint64_t length;
    uint8_t byte;
};

// Runs of 0x00 or 0xFF of at least `minRun` bytes inside [begin, end), in
// ascending order. A range shorter than `minRun` that is one such byte all
// the way through counts as a run too.
std::vector<ByteRun> FindConstantRuns(const ImageBytes& image, uint64_t begin, uint64_t end,
                                      uint64_t minRun);

// CRC-32 over a range of any length.
uint32_t CrcOfRange(const ImageBytes& image, uint64_t start, uint64_t length);

// True when [start, start + length) lies inside the file.
inline bool InFile(const ImageBytes& image, uint64_t start, uint64_t length) {
    return start <= image.size && length <= image.size - start;
}

// ---- findings -------------------------------------------------------------

// One FW_ImageEntry and the check of its CRC-32 against the file.
struct EntryCheck {
    uint32_t index = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t stored = 0;   // the entry's checksum field
    uint32_t actual = 0;   // CRC-32 of the file bytes; valid when inFile
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
    bool constOk = false;  // 0x90 0xF7
    bool tagOk = false;    // "aVrIcK"
    bool tailOk = false;   // 0x00 0x00
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
    uint32_t stored = 0;       // headerChecksum field
    uint32_t expected = 0;     // what the verifier rule computes
    uint8_t imageNumber = 0;
    uint8_t bitmap = 0;
    int plausibility = 0;      // shape score, for headers that do not verify
    std::vector<EntryCheck> entries;
    FwPidCheck record;
};

enum class PidBlockState {
    Complete,      // "tAvRiCk", 56 PID bytes, "tAvRiCk"
    Short,         // fewer PID bytes, the closing magic earlier, zeros behind
    Damaged,       // one magic found, a near miss of the other one
    Truncated,     // the file ends inside it
};

struct PidBlockFind {
    uint64_t at = 0;  // first byte; the boot PID location is at + 69
    PidBlockState state = PidBlockState::Complete;
    uint32_t pidBytes = 0;  // PID bytes between the two magics
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
    uint64_t owner = 0;    // group images: the header's position
    uint32_t entry = 0;    // group images: the entry index
    uint8_t byte = 0;      // fill and byte runs
    bool overlaps = false; // starts inside the region before it
};

// A sound image holds at most two headers, one PID block and two FW PID
// records. Beyond this many finds of one kind the rest of the file is not
// examined for that kind, so that a hostile file cannot make the run take
// hours or the report grow without bound.
constexpr size_t kMaxFinds = 64;
// FW PID records that no header points to are traced back to a header whose
// magic was damaged; only this many are traced (each costs a file scan).
constexpr size_t kMaxRecordTraces = 8;

struct Inspection {
    std::string path;
    uint64_t size = 0;
    int fill = -1;  // 0x00 or 0xFF, -1 when it cannot be told
    std::vector<HeaderCheck> headers;      // in file order
    std::vector<PidBlockFind> pidBlocks;   // in file order
    std::vector<FwPidCheck> looseRecords;  // records no header points to
    uint64_t ignoredHeaderCandidates = 0;  // "Tav" and NUL in image data
    uint64_t strayPidMagics = 0;           // "tAvRiCk" outside any PID block
    std::vector<std::string> overflows;    // kinds that exceeded kMaxFinds
    std::vector<Region> regions;
    std::vector<std::string> failures;
    std::vector<std::string> notes;
};

// ---- stages ---------------------------------------------------------------

// Finds the PID blocks, given every position of "tAvRiCk".
void FindPidBlocks(const ImageBytes& image, const std::vector<uint64_t>& magics, Inspection* inspection);

// The PID block that FW PID records are compared with: the first complete
// one, else the first one at all; nullptr when there is none.
const PidBlockFind* ReferencePidBlock(const Inspection& inspection);

// Reads the 16 bytes at `at` and checks them, against `pid` when given.
FwPidCheck CheckFwPidRecord(const ImageBytes& image, uint64_t at, const PidBlockFind* pid);

// Finds sealed headers and damaged header candidates among the positions
// of "Tav" and NUL; checks each entry's CRC-32 and each header's FW PID
// record.
void FindHeaders(const ImageBytes& image, const std::vector<uint64_t>& magics, Inspection* inspection);

// Finds FW PID records that no header points to, given every position of
// "aVrIcK"; a header whose magic was damaged is found again through its
// record.
void FindLooseRecords(const ImageBytes& image, const std::vector<uint64_t>& tags, Inspection* inspection);

// Builds the layout map.
void BuildRegions(const ImageBytes& image, Inspection* inspection);

// Turns the findings into named failures.
void CollectFailures(Inspection* inspection);

// All of the above.
Inspection InspectImage(const ImageBytes& image, const std::string& path);

// ---- output ---------------------------------------------------------------

struct ReportOptions {
    bool json = false;
    bool quiet = false;
};

void PrintTextReport(const Inspection& inspection, const ReportOptions& options);
void PrintJsonReport(const Inspection& inspection, const ReportOptions& options);

// Shared wording.
const char* RegionKindName(RegionKind kind);
std::string RegionLabel(const Region& region);
std::string SummaryLine(const Inspection& inspection);
std::string VersionText(const uint8_t* version);  // up to the first NUL, max 4
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace morvik
