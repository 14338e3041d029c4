// The one pass over the file. Each chunk, while it is in the cache, goes
// through the running CRC-32, the run tracker and the marker scan; markers
// are judged on the spot from the bytes around them, so that nothing but
// small findings outlives the chunk. Large files are read in a second
// thread where a CPU is free for it, so that reading and scanning overlap.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "inspect/inspect.h"
#include "inspect/scan_routes.h"

namespace morvik {

namespace {

// Below this size a second thread costs more than it saves.
constexpr uint64_t kThreadedFrom = uint64_t{4} << 20;
// Chunks in flight between the reading thread and the scan.
constexpr size_t kSlots = 4;
// Marker starts handed over by the scan routes at a time.
constexpr size_t kStartsAtOnce = 1024;
// Uniform stretches at least this long are not scanned for markers.
constexpr size_t kSkipSpan = 4096;

void UpdateCrc(PassState* pass, const uint8_t* data, uint64_t length) {
    uint64_t at = pass->processed;
    while (length > 0 && at < kCrcCovered) {
        uint64_t take = std::min({length, kCrcBlock - at % kCrcBlock, kCrcCovered - at});
        pass->runningCrc = crc32_update(pass->runningCrc, data, static_cast<size_t>(take));
        at += take;
        data += take;
        length -= take;
        if (at % kCrcBlock == 0) pass->blockCrcs.push_back(pass->runningCrc);
    }
}

void CloseRun(PassState* pass, uint64_t end) {
    uint64_t length = end - pass->runStart;
    if (length >= pass->minRun) {
        if (pass->runs.size() < kMaxRuns)
            pass->runs.push_back(ByteRun{pass->runStart, length, static_cast<uint8_t>(pass->runByte)});
        else
            pass->runsCapped = true;
    }
    pass->runByte = -1;
}

// Follows the maximal runs of 0x00 / 0xFF through the chunk at `from`
// (a multiple of 64). A run long enough to be recorded holds a whole
// 32-byte block (64-byte for runs of 127 bytes and more); its exact ends
// are found byte by byte around such blocks.
void TrackRuns(PassState* pass, const ByteView& view, uint64_t from, bool last) {
    const uint8_t* data = ViewAt(view, from);
    const size_t n = static_cast<size_t>(view.end - from);
    const size_t whole = n - n % kUniformBlock;
    const size_t step = pass->minRun >= 2 * kUniformBlock - 1 ? 2 * kUniformBlock : kUniformBlock;
    size_t i = 0;
    while (i < whole) {
        if (pass->runByte < 0) {
            i = NextUniformBlock(data, i + (step - i % step) % step, n, step);
            if (i >= whole) break;
            uint8_t byte = data[i];
            uint64_t start = from + i;  // less than `step` bytes before it can be `byte`
            while (start > view.begin && *ViewAt(view, start - 1) == byte) --start;
            pass->runByte = byte;
            pass->runStart = start;
            i += kUniformBlock;
        } else {
            size_t uniformFrom = i;
            i = EndOfUniformBlocks(data, i, n, static_cast<uint8_t>(pass->runByte));
            if (i - uniformFrom >= kSkipSpan) pass->uniformSpans.push_back({from + uniformFrom, from + i});
            if (i >= whole) break;
            size_t end = i;
            while (data[end] == pass->runByte) ++end;
            CloseRun(pass, from + end);
            i += kUniformBlock;
        }
    }
    if (!last || pass->runByte < 0) return;
    size_t end = whole;
    while (end < n && data[end] == pass->runByte) ++end;
    CloseRun(pass, from + end);
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

// Scans positions [from, to) of the view, which hold at least four bytes.
void ScanStretch(PassState* pass, const ByteView& view, uint64_t from, uint64_t to) {
    uint32_t starts[kStartsAtOnce];
    size_t next = static_cast<size_t>(from - view.begin);
    const size_t end = static_cast<size_t>(to - view.begin);
    while (next < end && !pass->startsClosed) {
        size_t count = FindMarkerStarts(view.base, next, end, starts, kStartsAtOnce, &next);
        pass->starts += count;
        if (pass->starts > pass->budget.starts) {
            pass->inspection->overflows.push_back(Format(
                "%llu places that could start a marker", static_cast<unsigned long long>(pass->budget.starts)));
            pass->startsClosed = true;
            return;
        }
        for (size_t k = 0; k < count; ++k) JudgeStart(pass, view, view.begin + starts[k]);
    }
}

// Scans positions [from, to); every marker needs at least four bytes. No
// position whose four bytes are all 0x00 or all 0xFF passes MayStartMarker,
// so the long uniform stretches that the run tracker found are skipped.
void ScanMarkers(PassState* pass, const ByteView& view, uint64_t from, uint64_t to) {
    if (view.end < 4 || pass->startsClosed) return;
    to = std::min(to, view.end - 3);
    for (const auto& [spanFrom, spanTo] : pass->uniformSpans) {
        uint64_t skipTo = spanTo - 3;
        if (skipTo <= from || spanFrom >= to) continue;
        if (spanFrom > from) ScanStretch(pass, view, from, spanFrom);
        from = skipTo;
    }
    if (from < to) ScanStretch(pass, view, from, to);
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

void ScanChunk(PassState* pass, ChunkBuffer* chunk) {
    // The bytes in front of the chunk that judging a marker may need.
    size_t carry = 0;
    if (pass->previous != nullptr) {
        const ChunkBuffer* before = pass->previous;
        uint64_t carryFrom = pass->scanned >= kLookBehind ? pass->scanned - kLookBehind : 0;
        carry = static_cast<size_t>(chunk->at - carryFrom);
        std::memcpy(chunk->bytes.data() + kCarryRoom - carry,
                    before->bytes.data() + kCarryRoom + (carryFrom - before->at), carry);
    }
    ByteView view{chunk->bytes.data() + kCarryRoom - carry, chunk->at - carry, chunk->at + chunk->length};
    UpdateCrc(pass, chunk->bytes.data() + kCarryRoom, chunk->length);
    TrackRuns(pass, view, chunk->at, chunk->last);
    uint64_t limit = chunk->last ? view.end : view.end - kLookAhead;
    ScanMarkers(pass, view, pass->scanned, limit);
    pass->uniformSpans.clear();
    pass->scanned = limit;
    pass->processed = view.end;
    pass->previous = chunk;
}

bool ScanNextChunk(PassState* pass) {
    if (pass->done) return false;
    ChunkBuffer* chunk = &pass->stepChunks[pass->nextChunk % 2];
    if (!ReadChunk(pass->file, pass->nextChunk * kChunkSize, chunk)) {
        pass->file->error = chunk->error;
        pass->done = true;
        return false;
    }
    ScanChunk(pass, chunk);
    ++pass->nextChunk;
    pass->done = chunk->last;
    return !pass->done;
}

namespace {

// What the reading thread and the scan share.
struct Handover {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t filled = 0;    // chunks read (or failed)
    uint64_t released = 0;  // chunks the scan no longer needs
    bool stop = false;
};

void ReadAhead(ImageFile* file, uint64_t chunks, std::vector<ChunkBuffer>* slots, Handover* shared) {
    for (uint64_t i = 0; i < chunks; ++i) {
        {
            std::unique_lock<std::mutex> hold(shared->lock);
            shared->changed.wait(hold, [&] { return shared->stop || i - shared->released < kSlots; });
            if (shared->stop) return;
        }
        bool ok = ReadChunk(file, i * kChunkSize, &(*slots)[i % kSlots]);
        {
            std::lock_guard<std::mutex> hold(shared->lock);
            shared->filled = i + 1;
        }
        shared->changed.notify_all();
        if (!ok) return;
    }
}

bool ScanInSteps(PassState* pass) {
    while (ScanNextChunk(pass)) {
    }
    return pass->file->error.empty();
}

}  // namespace

bool ScanWithThreads(PassState* pass) {
    ImageFile* file = pass->file;
    const uint64_t chunks = std::max<uint64_t>(1, (file->size + kChunkSize - 1) / kChunkSize);
    std::vector<ChunkBuffer> slots(kSlots);
    Handover shared;
    std::thread reader;
    try {
        reader = std::thread(ReadAhead, file, chunks, &slots, &shared);
    } catch (const std::system_error&) {
        return ScanInSteps(pass);
    }
    bool ok = true;
    for (uint64_t i = 0; i < chunks; ++i) {
        {
            std::unique_lock<std::mutex> hold(shared.lock);
            shared.changed.wait(hold, [&] { return shared.filled > i; });
        }
        ChunkBuffer& chunk = slots[i % kSlots];
        if (!chunk.error.empty()) {
            file->error = chunk.error;
            ok = false;
            break;
        }
        ScanChunk(pass, &chunk);  // carries over the bytes it needs from chunk i - 1
        {
            std::lock_guard<std::mutex> hold(shared.lock);
            shared.released = i;
        }
        shared.changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.stop = true;
    }
    shared.changed.notify_all();
    reader.join();
    pass->previous = nullptr;  // the slots go away
    pass->done = true;
    return ok;
}

// The reading thread pays where a CPU is idle for it. With two CPUs or
// fewer it competes with the scan and everything else on the machine, and
// the copies between the two CPUs' caches make the check slower, not faster
// (measured on a shared two-CPU machine: 1.67 against 1.41 times `cat`).
bool RunPass(PassState* pass, const InspectOptions& options) {
    if (options.threads && pass->file->size >= kThreadedFrom && std::thread::hardware_concurrency() > 2)
        return ScanWithThreads(pass);
    return ScanInSteps(pass);
}

}  // namespace morvik
