// The one pass over the file, in two stages per chunk. The first works on
// the chunk's bytes alone: it reads them, with the few bytes around them
// that judging a marker needs, takes the CRC-32 of each block, and finds
// the runs of 0x00 / 0xFF and the positions where a marker may start; it
// needs no other chunk. The second stage joins each chunk's findings onto
// the pass in file order: the running CRC, the runs that cross chunk
// borders, and a judgement of every possible marker start from the bytes
// around it. It touches only the few bytes around those starts.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "inspect/inspect.h"
#include "inspect/scan_routes.h"

namespace morvik {

namespace {

// Uniform stretches at least this long are not scanned for markers.
constexpr size_t kSkipSpan = 4096;

// ---- the first stage: one chunk's bytes ----------------------------------

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

// The end of the positions of the chunk whose four bytes lie in the file.
uint64_t EndOfStarts(const ChunkBuffer& chunk, uint64_t fileSize) {
    return std::min<uint64_t>(chunk.at + chunk.length, fileSize - std::min<uint64_t>(fileSize, 3));
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

// Reads chunk `index` and scans its bytes: the block CRCs, the runs of at
// least `minRun` bytes and the possible marker starts.
void FillChunk(ImageFile* file, uint64_t index, uint64_t minRun, ChunkBuffer* chunk) {
    if (!ReadChunk(file, index * kChunkSize, chunk)) return;
    const uint8_t* data = ViewAt(chunk->view, chunk->at);
    TakeBlockCrcs(data, chunk);
    FindRuns(data, minRun, chunk);
    FindChunkStarts(data, file->size, chunk);
}

// ---- the second stage: joining a chunk onto the pass ---------------------

void KeepRun(PassState* pass, uint64_t start, uint64_t length, int byte) {
    if (length < pass->minRun) return;
    if (pass->runs.size() < kMaxRuns)
        pass->runs.push_back(ByteRun{start, length, static_cast<uint8_t>(byte)});
    else
        pass->runsCapped = true;
}

void CloseRun(PassState* pass, uint64_t end) {
    KeepRun(pass, pass->runStart, end - pass->runStart, pass->runByte);
    pass->runByte = -1;
}

void JoinBlockCrcs(PassState* pass, const ChunkBuffer& chunk) {
    static const Crc32Shift blockShift = MakeCrc32Shift(kCrcBlock);
    for (size_t k = 0; k < chunk.blockCount; ++k) {
        uint32_t upTo = crc32_combine_with(blockShift, pass->blockCrcs.back(), chunk.blockCrcs[k]);
        pass->blockCrcs.push_back(upTo);
    }
}

// The run in progress ends in this chunk, or goes on through all of it.
void JoinRuns(PassState* pass, const ChunkBuffer& chunk) {
    const ChunkRuns& runs = chunk.runs;
    if (chunk.length > 0 && runs.leadLength == chunk.length) {
        if (pass->runByte != runs.leadByte) {
            if (pass->runByte >= 0) CloseRun(pass, chunk.at);
            pass->runByte = runs.leadByte;
            pass->runStart = chunk.at;
        }
    } else {
        if (pass->runByte >= 0 && pass->runByte == runs.leadByte) {
            CloseRun(pass, chunk.at + runs.leadLength);
        } else {
            if (pass->runByte >= 0) CloseRun(pass, chunk.at);
            if (runs.leadByte >= 0) KeepRun(pass, chunk.at, runs.leadLength, runs.leadByte);
        }
        for (const ByteRun& run : runs.inner) KeepRun(pass, run.start, run.length, run.byte);
        if (runs.tailByte >= 0) {
            pass->runByte = runs.tailByte;
            pass->runStart = chunk.at + chunk.length - runs.tailLength;
        }
    }
    if (chunk.last && pass->runByte >= 0) CloseRun(pass, chunk.at + chunk.length);
}

bool CountStart(PassState* pass) {
    if (pass->startsClosed) return false;
    if (++pass->starts <= pass->budget.starts) return true;
    pass->inspection->overflows.push_back(
        Format("%llu places that could start a marker", static_cast<unsigned long long>(pass->budget.starts)));
    pass->startsClosed = true;
    return false;
}

// Judges one position that passed MayStartMarker.
void JudgeStart(PassState* pass, const ByteView& view, uint64_t at) {
    const uint8_t* bytes = ViewAt(view, at);
    bool room7 = InView(view, at, 7);
    if (std::memcmp(bytes, kFwHeaderMagic, 4) == 0)
        JudgeHeaderMarker(pass, view, at);
    else
        NoteNearHeader(pass, view, at);
    if (room7 && std::memcmp(bytes, kPidMagic, kPidMagicSize) == 0) JudgePidMagic(pass, view, at);
    if (room7 && std::memcmp(bytes + 1, kFwPidTag, kFwPidTagSize) == 0) NoteRecordTag(pass, view, at + 1);
}

// The starts that the chunk's scan found, then the ones it left when its
// list was full, found and judged here as they come.
void JoinStarts(PassState* pass, const ChunkBuffer& chunk) {
    for (size_t k = 0; k < chunk.startCount; ++k) {
        if (!CountStart(pass)) return;
        JudgeStart(pass, chunk.view, chunk.at + chunk.starts[k]);
    }
    const uint64_t end = EndOfStarts(chunk, pass->file->size);
    uint32_t starts[kMarkerStep * 16];
    size_t next = static_cast<size_t>(chunk.startsFrom - chunk.view.begin);
    const size_t to = end > chunk.startsFrom ? static_cast<size_t>(end - chunk.view.begin) : next;
    while (next < to && !pass->startsClosed) {
        size_t count = FindMarkerStarts(chunk.view.base, next, to, starts, std::size(starts), &next);
        for (size_t k = 0; k < count && CountStart(pass); ++k)
            JudgeStart(pass, chunk.view, chunk.view.begin + starts[k]);
    }
}

// Joins a filled chunk, the one after the chunks joined so far, onto the
// pass: the running CRC, the runs, and a judgement of each possible marker
// start.
void JoinChunk(PassState* pass, const ChunkBuffer& chunk) {
    JoinBlockCrcs(pass, chunk);
    JoinRuns(pass, chunk);
    JoinStarts(pass, chunk);
}

}  // namespace

bool CountMarker(PassState* pass, uint64_t* seen, bool* closed, const char* what) {
    if (++*seen <= pass->budget.markers) return true;
    pass->inspection->overflows.push_back(
        Format("%llu %s", static_cast<unsigned long long>(pass->budget.markers), what));
    *closed = true;
    return false;
}

void StartPass(ImageFile* file, Inspection* inspection, PassState* pass) {
    pass->file = file;
    pass->inspection = inspection;
    inspection->path = file->path;
    inspection->size = file->size;
    pass->budget = BudgetFor(file->size);
    pass->minRun = MinimumRun(file->size);
    pass->blockCrcs.reserve(static_cast<size_t>(std::min(file->size, kCrcCovered) / kCrcBlock + 1));
    pass->blockCrcs.push_back(0);
}

bool ScanNextChunk(PassState* pass) {
    if (pass->done) return false;
    ChunkBuffer* chunk = &pass->stepChunk;
    FillChunk(pass->file, pass->nextChunk, pass->minRun, chunk);
    if (!chunk->error.empty()) {
        pass->file->error = chunk->error;
        pass->done = true;
        return false;
    }
    JoinChunk(pass, *chunk);
    ++pass->nextChunk;
    pass->done = chunk->last;
    return !pass->done;
}

bool ScanWholeFile(PassState* pass) {
    while (ScanNextChunk(pass)) {
    }
    return pass->file->error.empty();
}

}  // namespace morvik
