// The one pass over an image file, chunk after chunk in file order, and
// what it gathers on the way: the running CRC-32 of the file, the runs of
// 0x00 / 0xFF, and every position where a marker may start, handed to the
// judgement above with the bytes around it. It keeps the memory flat
// whatever the file's size.
#pragma once

#include <cstdint>
#include <vector>

#include "inspect/pass/chunk.h"
#include "inspect/pass/image_file.h"

namespace morvik {

// Runs of 0x00 or 0xFF shorter than this stay part of the data around
// them, so that the zeros inside a binary do not break it into pieces. It
// grows with the file to keep the map readable (1/1024 of the size, between
// 64 bytes and 64 KiB).
uint64_t MinimumRun(uint64_t fileSize);

// Runs beyond this many are not recorded (only files past 4 GiB have that
// many of 64 KiB and more); the map then shows the rest as data.
constexpr size_t kMaxRuns = size_t{1} << 16;

// What the pass does with each position where a marker may start: it hands
// it to `judge` with the bytes around it in `view`, and stops handing any
// once `judge` returns false. The judgement of markers lies above the pass,
// which knows it only through this.
struct StartJudge {
    bool (*judge)(void* judgement, const ByteView& view, uint64_t at) = nullptr;
    void* judgement = nullptr;
};

// Something that reads the file along with the pass (a comparison, a hash):
// it sees each chunk's bytes once, in file order, as the pass reads them.
struct ChunkWatch {
    void (*see)(void* watcher, const uint8_t* bytes, size_t length, uint64_t at) = nullptr;
    void* watcher = nullptr;
};

// Everything the pass gathers besides the judged markers.
struct PassState {
    ImageFile* file = nullptr;
    StartJudge judge;
    bool startsClosed = false;  // `judge` wants no more positions
    std::vector<ChunkWatch> watches;

    std::vector<uint32_t> blockCrcs;  // CRC-32 of [0, k * kCrcBlock)

    uint64_t minRun = 64;
    int runByte = -1;  // the byte of the run in progress, or -1
    uint64_t runStart = 0;
    std::vector<ByteRun> runs;  // maximal runs of at least minRun bytes
    bool runsCapped = false;

    ChunkBuffer chunk;  // the one being scanned and joined
    uint64_t nextChunk = 0;
    bool done = false;
};

// Prepares a pass over `file` that hands the possible marker starts to `judge`.
void StartPass(ImageFile* file, StartJudge judge, PassState* pass);

// The pass one chunk at a time: reads, scans and joins the next chunk;
// false when the pass is over, complete or failed (`file->error`).
bool ScanNextChunk(PassState* pass);

// The whole pass; false when it failed (`file->error`).
bool ScanWholeFile(PassState* pass);

// CRC-32 of each range [starts[i], ends[i]) inside the first kCrcCovered
// bytes of the file, from the pass's block CRCs, reading each partial
// block once.
std::vector<uint32_t> RangeCrcs(PassState* pass, const std::vector<uint64_t>& starts,
                                const std::vector<uint64_t>& ends);

}  // namespace morvik
