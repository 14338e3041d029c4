// The second stage of the pass: each chunk's findings joined onto the pass
// in file order: the running CRC, the runs that cross chunk borders, and
// every possible marker start handed to the judgement with the bytes around
// it. It touches only the few bytes around those starts.
#include "inspect/pass/pass.h"

#include <algorithm>
#include <iterator>

#include "format/image_format.h"
#include "inspect/pass/scan_routes.h"

namespace morvik {

namespace {

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

// Hands one position to the judgement; false once it wants no more.
bool Judge(PassState* pass, const ByteView& view, uint64_t at) {
    if (pass->startsClosed) return false;
    if (pass->judge.judge(pass->judge.judgement, view, at)) return true;
    pass->startsClosed = true;
    return false;
}

// The starts that the chunk's scan found, then the ones it left when its
// list was full, found and judged here as they come.
void JoinStarts(PassState* pass, const ChunkBuffer& chunk) {
    for (size_t k = 0; k < chunk.startCount; ++k)
        if (!Judge(pass, chunk.view, chunk.at + chunk.starts[k])) return;
    const uint64_t end = EndOfStarts(chunk, pass->file->size);
    uint32_t starts[kMarkerStep * 16];
    size_t next = static_cast<size_t>(chunk.startsFrom - chunk.view.begin);
    const size_t to = end > chunk.startsFrom ? static_cast<size_t>(end - chunk.view.begin) : next;
    while (next < to && !pass->startsClosed) {
        size_t count = FindMarkerStarts(chunk.view.base, next, to, starts, std::size(starts), &next);
        for (size_t k = 0; k < count && Judge(pass, chunk.view, chunk.view.begin + starts[k]); ++k) {
        }
    }
}

// Joins a filled chunk, the one after the chunks joined so far, onto the
// pass: the running CRC, the runs, and each possible marker start handed
// to the judgement.
void JoinChunk(PassState* pass, const ChunkBuffer& chunk) {
    JoinBlockCrcs(pass, chunk);
    JoinRuns(pass, chunk);
    JoinStarts(pass, chunk);
}

}  // namespace

uint64_t MinimumRun(uint64_t fileSize) { return std::clamp<uint64_t>(fileSize / 1024, 64, 64 * 1024); }

void StartPass(ImageFile* file, StartJudge judge, PassState* pass) {
    pass->file = file;
    pass->judge = judge;
    pass->minRun = MinimumRun(file->size);
    pass->blockCrcs.reserve(static_cast<size_t>(std::min(file->size, kCrcCovered) / kCrcBlock + 1));
    pass->blockCrcs.push_back(0);
}

bool ScanNextChunk(PassState* pass) {
    if (pass->done) return false;
    ChunkBuffer* chunk = &pass->chunk;
    FillChunk(pass->file, pass->nextChunk, pass->minRun, chunk);
    if (!chunk->error.empty()) {
        pass->file->error = chunk->error;
        pass->done = true;
        return false;
    }
    for (const ChunkWatch& watch : pass->watches)
        watch.see(watch.watcher, ViewAt(chunk->view, chunk->at), chunk->length, chunk->at);
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

std::vector<uint32_t> RangeCrcs(PassState* pass, const std::vector<uint64_t>& starts,
                                const std::vector<uint64_t>& ends) {
    // CRC-32 of [0, x) for every end point x: the block CRC below x, carried
    // on over the bytes of x's block up to x. Each block is read once, for
    // all the end points in it.
    std::vector<uint64_t> points(starts);
    points.insert(points.end(), ends.begin(), ends.end());
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<uint32_t> upTo(points.size(), 0);
    std::vector<uint8_t> block;
    for (size_t i = 0; i < points.size();) {
        uint64_t index = points[i] / kCrcBlock, blockStart = index * kCrcBlock;
        size_t j = i;
        while (j < points.size() && points[j] / kCrcBlock == index) ++j;
        if (index >= pass->blockCrcs.size()) break;  // past what the pass covered: cannot happen for entries
        uint64_t furthest = points[j - 1] - blockStart;
        block.resize(static_cast<size_t>(furthest));
        if (furthest > 0) ReadAt(pass->file, blockStart, block.size(), block.data());
        uint32_t crc = pass->blockCrcs[index];
        uint64_t done = 0;
        for (size_t k = i; k < j; ++k) {
            uint64_t upto = points[k] - blockStart;
            crc = crc32_update(crc, block.data() + done, static_cast<size_t>(upto - done));
            done = upto;
            upTo[k] = crc;
        }
        i = j;
    }
    auto prefix = [&](uint64_t x) {
        return upTo[static_cast<size_t>(std::lower_bound(points.begin(), points.end(), x) - points.begin())];
    };
    std::vector<uint32_t> crcs;
    for (size_t r = 0; r < starts.size(); ++r)
        crcs.push_back(prefix(ends[r]) ^ crc32_combine(prefix(starts[r]), 0, ends[r] - starts[r]));
    return crcs;
}

}  // namespace morvik
