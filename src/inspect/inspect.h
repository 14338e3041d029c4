// Morvik-inspect: reads a bound output image back, with nothing else to go
// on, finds its firmware headers, PID block and FW PID records, verifies the
// checksums and PID words, and maps the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "format/image_format.h"
#include "sys/diagnostics.h"  // Escaped, for every name and value the reports show
#include "sys/io.h"

namespace morvik {

// ---- the file --------------------------------------------------------------

// An image file opened for one inspection. It is read once from start to
// end in chunks; afterwards only small ranges are read again. Offsets are
// 64-bit so that files past 4 GiB are read safely, although every offset
// the format stores is 32-bit.
struct ImageFile {
    UniqueFd in;
    std::string path;
    uint64_t size = 0;
    FileStamp stamp;    // as opened; compared again at the end
    std::string error;  // the first read failure or change: the findings are void
};

// Exit statuses of the inspector.
constexpr int kInspectOk = 0;
constexpr int kInspectFailed = 1;
constexpr int kInspectUsage = 2;  // usage error, unreadable or changing file

// Opens a regular file without blocking on anything else; 0, or
// kInspectUsage with `error` saying why.
int OpenImage(const char* path, ImageFile* file);

// Reads `length` bytes at `at` into `out`. A short read means the file
// changed while it was inspected: `error` says so, `out` is zeroed and
// false is returned.
bool ReadAt(ImageFile* file, uint64_t at, size_t length, uint8_t* out);

// True when [start, start + length) lies inside a file of `size` bytes.
inline bool InFile(uint64_t size, uint64_t start, uint64_t length) {
    return start <= size && length <= size - start;
}

// File positions [begin, end) held in memory at `base`.
struct ByteView {
    const uint8_t* base = nullptr;  // the byte at position `begin`
    uint64_t begin = 0;
    uint64_t end = 0;
};

inline bool InView(const ByteView& view, uint64_t at, uint64_t length) {
    return at >= view.begin && at <= view.end && length <= view.end - at;
}

inline const uint8_t* ViewAt(const ByteView& view, uint64_t at) { return view.base + (at - view.begin); }

// A run of one repeated byte.
struct ByteRun {
    uint64_t start;
    uint64_t length;
    uint8_t byte;
};

// Runs of 0x00 or 0xFF shorter than this stay part of the data around
// them, so that the zeros inside a binary do not break it into pieces. It
// grows with the file to keep the map readable (1/1024 of the size, between
// 64 bytes and 64 KiB).
uint64_t MinimumRun(uint64_t fileSize);

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
// magic was damaged; only this many are traced.
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

// ---- the pass ----------------------------------------------------------------

// The CRC-32 of every range that a header lists follows from the running
// CRC-32 of the file at each multiple of kCrcBlock and a second read of the
// partial blocks at the range's ends. Entries end below 8 GiB, so the
// running CRC stops there.
constexpr uint64_t kCrcBlock = uint64_t{32} << 10;
constexpr uint64_t kCrcCovered = uint64_t{1} << 33;

// The file is read in chunks of this size, each with up to kLookBehind
// bytes in front of it and kLookAhead bytes behind it, which is all that
// judging a marker in the chunk needs (a header is 256 bytes, a PID block
// reaches 63 bytes back from its closing magic).
constexpr size_t kChunkSize = size_t{128} << 10;
constexpr size_t kLookBehind = 64;
constexpr size_t kLookAhead = 320;

// Runs beyond this many are not recorded (only files past 4 GiB have that
// many of 64 KiB and more); the map then shows the rest as data.
constexpr size_t kMaxRuns = size_t{1} << 16;
// Header candidates kept for tracing a header from its FW PID record.
constexpr size_t kMaxNearHeaders = 4096;

// A position whose first bytes are a header magic with one or two bytes
// damaged, and whose shape could make it a header: kept so that a FW PID
// record that no header points to can be traced back to it.
struct NearHeader {
    uint64_t at;
    uint32_t pidOffset;
};

// The runs of 0x00 / 0xFF in one chunk: the pieces at its two ends, which
// may go on in the chunks beside it, whatever their length, and the runs
// inside it that are long enough to be kept.
struct ChunkRuns {
    int leadByte = -1;  // the byte of the piece the chunk starts with, or -1
    uint64_t leadLength = 0;
    int tailByte = -1;  // the byte of the piece the chunk ends with, or -1
    uint64_t tailLength = 0;  // both pieces are the whole chunk when it is one run
    std::vector<ByteRun> inner;
};

// Possible marker starts kept per chunk; a chunk with more leaves the rest
// to be found again while it is judged.
constexpr size_t kStartsPerChunk = 4096;

// One chunk of the file and what the scan of its bytes found in it. The
// scan needs nothing but the chunk; joining the findings onto the pass
// follows in file order.
struct ChunkBuffer {
    std::vector<uint8_t> bytes;  // the view's bytes, the chunk's first at a 64-byte boundary
    ByteView view;               // [at - up to kLookBehind, at + length + up to kLookAhead)
    uint64_t at = 0;             // file position of the chunk's first byte
    size_t length = 0;           // bytes of the chunk
    bool last = false;           // the file ends with this chunk
    std::string error;           // the read failed or found the file changed

    uint32_t blockCrcs[kChunkSize / kCrcBlock] = {};  // CRC-32 of each whole block on its own (below kCrcCovered)
    size_t blockCount = 0;
    ChunkRuns runs;
    std::vector<std::pair<size_t, size_t>> uniformSpans;  // [from, to) offsets of long stretches of one run's byte
    std::vector<uint32_t> starts;  // offsets of possible marker starts, ascending: startCount of them
    size_t startCount = 0;
    uint64_t startsFrom = 0;       // positions from this on were not scanned (more than kStartsPerChunk)
};

// Reads the chunk at `at` (a multiple of kChunkSize) with the bytes around
// it: false with `chunk->error` set when the file is shorter or longer than
// it was when opened, or cannot be read.
bool ReadChunk(ImageFile* file, uint64_t at, ChunkBuffer* chunk);

// How many markers of each kind, and how many possible marker starts in
// all, the pass examines: enough for any real image, bounded so that no
// file can make the work grow faster than its size.
struct MarkerBudget {
    uint64_t markers = 0;  // each of header magics, PID magics, record tags
    uint64_t starts = 0;   // positions that pass MayStartMarker
    uint64_t nearHeaders = 0;
};
MarkerBudget BudgetFor(uint64_t fileSize);

// Everything the pass has gathered besides the findings themselves.
struct PassState {
    ImageFile* file = nullptr;
    Inspection* inspection = nullptr;
    MarkerBudget budget;

    std::vector<uint32_t> blockCrcs;  // CRC-32 of [0, k * kCrcBlock)

    uint64_t minRun = 64;
    int runByte = -1;  // the byte of the run in progress, or -1
    uint64_t runStart = 0;
    std::vector<ByteRun> runs;  // maximal runs of at least minRun bytes
    bool runsCapped = false;

    uint64_t headerMarkers = 0, pidMarkers = 0, recordTags = 0, starts = 0, nearSeen = 0;
    bool headersClosed = false, pidClosed = false, recordsClosed = false, startsClosed = false;
    std::vector<uint64_t> usedClosings;  // closing magics of the PID blocks found
    std::vector<uint64_t> records;       // positions of whole FW PID records
    std::vector<NearHeader> nearHeaders;
    bool nearCapped = false;  // more were seen than kept: `nearBound`
    uint64_t nearBound = 0;

    ChunkBuffer stepChunk;  // for ScanNextChunk
    uint64_t nextChunk = 0;
    bool done = false;
};

// Prepares a pass over `file` that fills `inspection`.
void StartPass(ImageFile* file, Inspection* inspection, PassState* pass);

// The pass one chunk at a time: reads, scans and joins the next chunk;
// false when the pass is over, complete or failed (`file->error`).
bool ScanNextChunk(PassState* pass);

// The whole pass, chunk after chunk; false when it failed (`file->error`).
bool ScanWholeFile(PassState* pass);

// ---- judging markers (during the pass) -----------------------------------

// Counts one more marker of a kind against the pass's budget. false once the
// kind has used its budget up: the kind is then closed, and the overflow is
// noted as "N <what>".
bool CountMarker(PassState* pass, uint64_t* seen, bool* closed, const char* what);

// A "Tav" and NUL at `at`, with the bytes around it in `view`.
void JudgeHeaderMarker(PassState* pass, const ByteView& view, uint64_t at);
// A header magic with one or two bytes damaged at `at`.
void NoteNearHeader(PassState* pass, const ByteView& view, uint64_t at);
// A "tAvRiCk" at `at`.
void JudgePidMagic(PassState* pass, const ByteView& view, uint64_t at);
// An "aVrIcK" at `at`.
void NoteRecordTag(PassState* pass, const ByteView& view, uint64_t at);

// ---- stages after the pass -------------------------------------------------

// The PID block that FW PID records are compared with: the first complete
// one, else the first one at all; nullptr when there is none.
const PidBlockFind* ReferencePidBlock(const Inspection& inspection);

// Reads the 16 bytes at `at` and checks them, against `pid` when given.
FwPidCheck CheckFwPidRecord(ImageFile* file, uint64_t at, const PidBlockFind* pid);

// Fills in the fields, the entries (all but their CRC-32) and the FW PID
// record of every header the pass kept.
void ReadHeaderFields(PassState* pass);

// Finds FW PID records that no header points to; a header whose magic was
// damaged is found again through its record.
void FindLooseRecords(PassState* pass);

// Checks every entry's CRC-32 against the file.
void CheckEntryCrcs(PassState* pass);

// CRC-32 of each range [starts[i], ends[i]) inside the first kCrcCovered
// bytes of the file, from the pass's block CRCs, reading each partial
// block once.
std::vector<uint32_t> RangeCrcs(PassState* pass, const std::vector<uint64_t>& starts,
                                const std::vector<uint64_t>& ends);

// Builds the layout map.
void BuildRegions(PassState* pass);

// Turns the findings into named failures.
void CollectFailures(Inspection* inspection);

// Opens `path`, runs the pass and every stage: 0 with the findings in
// `inspection`, or kInspectUsage with the reason in `error` (cannot open,
// not a regular file, cannot read, changed while it was read).
int InspectPath(const char* path, Inspection* inspection, std::string* error);

// The stages after a complete pass, and the check that the file did not
// change meanwhile; false when it did (`file->error`).
bool FinishInspection(PassState* pass);

// ---- output ---------------------------------------------------------------

struct ReportOptions {
    bool json = false;
    bool quiet = false;
    std::string extraMembers;  // JSON members of --extract and --svg, in front of "failures"
};

void PrintTextReport(const Inspection& inspection, const ReportOptions& options);
void PrintJsonReport(const Inspection& inspection, const ReportOptions& options);

// "-" as an output file: standard output.
inline bool IsStandardOutput(const char* path) { return path[0] == '-' && path[1] == '\0'; }

// Draws the layout map as an SVG picture into a new file at `path` (an
// existing file is replaced, never written through), or onto standard
// output for "-"; false with `error`.
bool WriteSvgMap(const Inspection& inspection, const char* path, std::string* error);

// True when the file holds a sealed header or a PID block: anything else
// is not a bound image, whatever else it holds.
bool IsBound(const Inspection& inspection);

// Shared wording.
const char* RegionKindName(RegionKind kind);
std::string RegionLabel(const Region& region);
std::string SummaryLine(const Inspection& inspection);
std::string VersionText(const uint8_t* version);  // up to the first NUL, max 4
std::string JsonString(const std::string& text);  // a JSON string literal
// "key": "name" for a name from the user (a path); when the name is not
// well-formed UTF-8, also "keyHex": "<its bytes in hex>" beside it, as the
// string can then not hold it exactly.
std::string JsonNameMembers(const char* key, const std::string& name);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace morvik
