// The first stage of the pass: one chunk's bytes on their own. It reads
// them, with the few bytes around them that judging a marker needs, takes
// the CRC-32 of each block, and finds the runs of 0x00 / 0xFF and the
// positions where a marker may start.
#include "inspect/pass/chunk.h"

#include <algorithm>

#include "format/image_format.h"
#include "inspect/pass/scan_routes.h"

namespace morvik {

namespace {

// Uniform stretches at least this long are not scanned for markers.
constexpr size_t kSkipSpan = 4096;

// Reads the chunk at `at` (a multiple of kChunkSize) with the bytes around
// it; false with `chunk->error` set.
bool ReadChunk(ImageFile* file, uint64_t at, ChunkBuffer* chunk) {
    constexpr size_t kRoom = kLookBehind + 63 + kChunkSize + kLookAhead;
    if (chunk->bytes.size() < kRoom) chunk->bytes.resize(kRoom);
    const uint64_t size = file->size;
    chunk->at = at;
    chunk->length = 0;
    chunk->last = false;
    chunk->error.clear();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkSize, size - std::min(at, size)));
    const uint64_t from = at - std::min<uint64_t>(at, kLookBehind);
    const uint64_t to = at + want + std::min<uint64_t>(size - (at + want), kLookAhead);
    uint8_t* first = chunk->bytes.data() + kLookBehind;
    first += -reinterpret_cast<uintptr_t>(first) & 63;
    chunk->view = ByteView{first - (at - from), from, to};
    ssize_t got = ReadFullAt(file->in.fd, first - (at - from), static_cast<size_t>(to - from), from);
    if (got < 0) {
        chunk->error = ReadErrorText(*file);
        return false;
    }
    if (static_cast<uint64_t>(got) < to - from) {
        chunk->error = ChangedText(*file);
        return false;
    }
    chunk->length = want;
    chunk->last = at + want >= size;
    if (!chunk->last) return true;
    uint8_t beyond;
    ssize_t more = ReadFullAt(file->in.fd, &beyond, 1, size);
    if (more != 0) {
        chunk->error = more < 0 ? ReadErrorText(*file) : ChangedText(*file);
        return false;
    }
    return true;
}

// The CRC-32 of each whole block of the chunk on its own; the bytes of a
// partial block at the file's end need none, since ranges are checked from
// the block CRCs below them.
void TakeBlockCrcs(const uint8_t* data, ChunkBuffer* chunk) {
    chunk->blockCount = 0;
    for (uint64_t offset = 0; offset + kCrcBlock <= chunk->length && chunk->at + offset < kCrcCovered;
         offset += kCrcBlock)
        chunk->blockCrcs[chunk->blockCount++] = crc32_update(0, data + offset, kCrcBlock);
}

// Files the run [start, end) of the chunk's bytes as a piece at an end or,
// when it is long enough, as a run inside.
void FileRun(ChunkBuffer* chunk, uint64_t minRun, size_t start, size_t end, uint8_t byte) {
    ChunkRuns& runs = chunk->runs;
    if (start == 0) {
        runs.leadByte = byte;
        runs.leadLength = end;
    }
    if (end == chunk->length) {
        runs.tailByte = byte;
        runs.tailLength = end - start;
    }
    if (start != 0 && end != chunk->length && end - start >= minRun)
        runs.inner.push_back(ByteRun{chunk->at + start, end - start, byte});
}

// Follows the maximal runs of 0x00 / 0xFF through the chunk's bytes. A run
// long enough to be kept holds a whole 32-byte block at a multiple of the
// step, where the search looks; its exact ends are found byte by byte
// around such blocks. Blocks are looked at every 32 bytes, or every 64 when
// only runs of 96 bytes and more matter: after a run ends in the block at
// i, the next block looked at is the one at i + 64, and a run that starts
// at i holds it whole only from 96 bytes on.
void FollowRuns(const uint8_t* data, uint64_t minRun, ChunkBuffer* chunk) {
    const size_t n = chunk->length;
    const size_t whole = n - n % kUniformBlock;
    const size_t step = minRun >= 3 * kUniformBlock ? 2 * kUniformBlock : kUniformBlock;
    int runByte = -1;
    size_t runStart = 0, i = 0;
    while (i < whole) {
        if (runByte < 0) {
            i = NextUniformBlock(data, i + (step - i % step) % step, n, step);
            if (i >= whole) break;
            runByte = data[i];
            runStart = i;  // less than `step` bytes before it can be the same byte
            while (runStart > 0 && data[runStart - 1] == runByte) --runStart;
            i += kUniformBlock;
        } else {
            size_t uniformFrom = i;
            i = EndOfUniformBlocks(data, i, n, static_cast<uint8_t>(runByte));
            if (i - uniformFrom >= kSkipSpan) chunk->uniformSpans.emplace_back(uniformFrom, i);
            if (i >= whole) break;
            size_t end = i;
            while (data[end] == runByte) ++end;
            FileRun(chunk, minRun, runStart, end, static_cast<uint8_t>(runByte));
            runByte = -1;
            i += kUniformBlock;
        }
    }
    if (runByte < 0) return;
    size_t end = whole;
    while (end < n && data[end] == runByte) ++end;
    FileRun(chunk, minRun, runStart, end, static_cast<uint8_t>(runByte));
}

// The runs in the chunk, and the pieces at its ends that hold no whole
// block, found byte by byte from the ends.
void FindRuns(const uint8_t* data, uint64_t minRun, ChunkBuffer* chunk) {
    ChunkRuns& runs = chunk->runs;
    runs.leadByte = runs.tailByte = -1;
    runs.leadLength = runs.tailLength = 0;
    runs.inner.clear();
    chunk->uniformSpans.clear();
    FollowRuns(data, minRun, chunk);
    const size_t n = chunk->length;
    if (n == 0) return;
    if (runs.leadByte < 0 && (data[0] == 0x00 || data[0] == 0xFF)) {
        size_t end = 1;
        while (end < n && data[end] == data[0]) ++end;
        FileRun(chunk, minRun, 0, end, data[0]);
    }
    if (runs.tailByte < 0 && (data[n - 1] == 0x00 || data[n - 1] == 0xFF)) {
        size_t start = n - 1;
        while (start > 0 && data[start - 1] == data[n - 1]) --start;
        FileRun(chunk, minRun, start, n, data[n - 1]);
    }
}

// Positions [from, to) of the chunk's bytes, kept until the list is full.
bool FindStarts(const uint8_t* data, size_t from, size_t to, ChunkBuffer* chunk) {
    size_t next = from;
    while (next < to && kStartsPerChunk - chunk->startCount >= kMarkerStep) {
        size_t room = kStartsPerChunk - chunk->startCount;
        chunk->startCount += FindMarkerStarts(data, next, to, chunk->starts.data() + chunk->startCount, room, &next);
    }
    if (next >= to) return true;
    chunk->startsFrom = chunk->at + next;
    return false;
}

// The positions of the chunk whose four bytes lie in the file, but for
// the long uniform stretches: no position whose four bytes are all 0x00 or
// all 0xFF passes MayStartMarker.
void FindChunkStarts(const uint8_t* data, uint64_t fileSize, ChunkBuffer* chunk) {
    chunk->starts.resize(kStartsPerChunk);
    chunk->startCount = 0;
    const uint64_t end = EndOfStarts(*chunk, fileSize);
    chunk->startsFrom = std::max(end, chunk->at);
    if (end <= chunk->at) return;
    const size_t to = static_cast<size_t>(end - chunk->at);
    size_t from = 0;
    for (const auto& [spanFrom, spanTo] : chunk->uniformSpans) {
        size_t skipTo = spanTo - 3;
        if (skipTo <= from || spanFrom >= to) continue;
        if (spanFrom > from && !FindStarts(data, from, spanFrom, chunk)) return;
        from = skipTo;
    }
    if (from < to) FindStarts(data, from, to, chunk);
}

}  // namespace

uint64_t EndOfStarts(const ChunkBuffer& chunk, uint64_t fileSize) {
    return std::min<uint64_t>(chunk.at + chunk.length, fileSize - std::min<uint64_t>(fileSize, 3));
}

void FillChunk(ImageFile* file, uint64_t index, uint64_t minRun, ChunkBuffer* chunk) {
    if (!ReadChunk(file, index * kChunkSize, chunk)) return;
    const uint8_t* data = ViewAt(chunk->view, chunk->at);
    TakeBlockCrcs(data, chunk);
    FindRuns(data, minRun, chunk);
    FindChunkStarts(data, file->size, chunk);
}

}  // namespace morvik
