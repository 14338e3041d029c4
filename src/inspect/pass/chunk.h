// One chunk of the file and the first stage of the pass over it: reading
// it with the bytes around it, and scanning those bytes alone for the
// block CRC-32s, the runs of 0x00 / 0xFF and the positions where a marker
// may start. Joining a chunk's findings onto the pass follows in pass.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "inspect/pass/image_file.h"

namespace morvik {

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

// Possible marker starts kept per chunk; a chunk with more leaves the rest
// to be found again while it is joined.
constexpr size_t kStartsPerChunk = 4096;

// A run of one repeated byte.
struct ByteRun {
    uint64_t start;
    uint64_t length;
    uint8_t byte;
};

// The runs of 0x00 / 0xFF in one chunk: the pieces at its two ends, which
// may go on in the chunks beside it, whatever their length, and the runs
// inside it that are long enough to be kept.
struct ChunkRuns {
    int leadByte = -1;  // the byte of the piece the chunk starts with, or -1
    uint64_t leadLength = 0;
    int tailByte = -1;        // the byte of the piece the chunk ends with, or -1
    uint64_t tailLength = 0;  // both pieces are the whole chunk when it is one run
    std::vector<ByteRun> inner;
};

// One chunk of the file and what the scan of its bytes found in it.
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
    uint64_t startsFrom = 0;  // positions from this on were not scanned (more than kStartsPerChunk)
};

// Reads chunk `index` and scans its bytes: the block CRCs, the runs of at
// least `minRun` bytes and the possible marker starts. On a failed read
// `chunk->error` says why: the file is shorter or longer than it was when
// opened, or cannot be read.
void FillChunk(ImageFile* file, uint64_t index, uint64_t minRun, ChunkBuffer* chunk);

// The end of the positions of the chunk whose four bytes lie in the file.
uint64_t EndOfStarts(const ChunkBuffer& chunk, uint64_t fileSize);

}  // namespace morvik
