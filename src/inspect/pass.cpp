// The one pass over the file, in two stages per chunk. The first works on
// the chunk's bytes alone: it reads them, with the few bytes around them
// that judging a marker needs, takes the CRC-32 of each block, and finds
// the runs of 0x00 / 0xFF and the positions where a marker may start. No
// chunk needs another for it, so two threads scan chunks side by side, each
// in its own CPU's cache. The second stage joins each chunk's findings onto
// the pass in file order: the running CRC, the runs that cross chunk
// borders, and a judgement of every possible marker start from the bytes
// around it. It touches only the few bytes around those starts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "inspect/inspect.h"
#include "inspect/scan_routes.h"

namespace morvik {

namespace {

// Below this size a second thread costs more than it saves.
constexpr uint64_t kThreadedFrom = uint64_t{4} << 20;
// Chunks in flight between the scanning threads and the joining.
constexpr size_t kSlots = 4;
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
// least `minRun` bytes and the possible marker starts. Safe to call from
// several threads for different chunks.
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

// ---- two threads ----------------------------------------------------------

constexpr int kThreads = 2;
// After this many, the second thread is clearly short of CPU time: it
// stops, and no longer takes CPU time from the joining either.
constexpr int kTakeOversAtMost = 8;

// What the scanning threads and the joining share. Each thread reads into
// buffers of its own, which stay in its CPU's cache: chunk k goes into
// slot k % kSlots of the thread that scans it. A chunk is ready when
// readyFor of its slot says (k + 1) * 2 + the thread whose buffer holds it.
//
// On a busy machine the second thread may wait long for a CPU in the middle
// of a chunk. The joining then does not wait for it: it scans that chunk
// itself, and the late copy is dropped (both scans give the same).
struct Pipeline {
    std::chrono::microseconds takeOverAfter;
    ImageFile* file = nullptr;
    uint64_t minRun = 0;
    uint64_t chunks = 0;
    std::vector<ChunkBuffer> buffers[kThreads];
    std::atomic<uint64_t> claimed{0};  // chunks handed to the first stage
    std::atomic<uint64_t> joined{0};   // chunks through the second stage
    std::atomic<uint64_t> readyFor[kSlots];
    std::atomic<bool> stop{false};
    int takeOvers = 0;  // chunks the joining scanned again and handed over before the other thread
    std::atomic<int> sleepers{0};
    std::mutex lock;
    std::condition_variable changed;
};

inline void PauseBriefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The second thread, when it may not take a chunk: it spins for a moment,
// since the joining is usually a few microseconds from freeing a slot and a
// sleep and a wake-up cost more than that, then sleeps.
template <class Ready>
void WaitUntil(Pipeline* line, Ready ready) {
    for (int spin = 0; spin < 4000; ++spin) {
        if (ready()) return;
        PauseBriefly();
    }
    std::unique_lock<std::mutex> hold(line->lock);
    ++line->sleepers;
    line->changed.wait(hold, ready);
    --line->sleepers;
}

void Wake(Pipeline* line) {
    if (line->sleepers.load() == 0) return;
    std::lock_guard<std::mutex> hold(line->lock);
    line->changed.notify_all();
}

bool CanClaim(const Pipeline& line, uint64_t claimed) {
    return claimed < line.chunks && claimed - line.joined.load() < kSlots;
}

// Takes the next chunk to scan, when its slot is free.
bool Claim(Pipeline* line, uint64_t* index) {
    uint64_t claimed = line->claimed.load();
    while (CanClaim(*line, claimed))
        if (line->claimed.compare_exchange_weak(claimed, claimed + 1)) {
            *index = claimed;
            return true;
        }
    return false;
}

// Marks chunk `index` ready in `thread`'s buffer, unless it already is:
// false then.
bool Publish(Pipeline* line, uint64_t index, int thread) {
    std::atomic<uint64_t>& ready = line->readyFor[index % kSlots];
    uint64_t seen = ready.load();
    while (seen / 2 < index + 1)
        if (ready.compare_exchange_weak(seen, (index + 1) * 2 + thread)) return true;
    return false;
}

bool ScanInto(Pipeline* line, uint64_t index, int thread) {
    FillChunk(line->file, index, line->minRun, &line->buffers[thread][index % kSlots]);
    return Publish(line, index, thread);
}

bool ScanOneChunk(Pipeline* line, int thread) {
    uint64_t index;
    if (!Claim(line, &index)) return false;
    ScanInto(line, index, thread);
    return true;
}

void ScanChunks(Pipeline* line) {
    while (!line->stop.load()) {
        if (ScanOneChunk(line, 1)) continue;
        if (line->claimed.load() >= line->chunks) return;
        WaitUntil(line, [line] { return line->stop.load() || CanClaim(*line, line->claimed.load()); });
    }
}

bool IsReady(const Pipeline& line, uint64_t index) { return line.readyFor[index % kSlots].load() / 2 == index + 1; }

// Waits for chunk `index` a little; false when it is still not ready.
bool WaitBriefly(const Pipeline& line, uint64_t index) {
    const auto until = std::chrono::steady_clock::now() + line.takeOverAfter;
    for (;;) {
        for (int spin = 0; spin < 64; ++spin) {
            if (IsReady(line, index)) return true;
            PauseBriefly();
        }
        if (std::chrono::steady_clock::now() >= until) return false;
    }
}

// Scans chunk `index`, which the other thread has kept too long. Only a
// take-over that beats the other thread counts: when both wait for the
// same slow read, the other thread, which started first, is done first.
void TakeOver(Pipeline* line, uint64_t index) {
    if (!ScanInto(line, index, 0) || ++line->takeOvers < kTakeOversAtMost) return;
    line->stop.store(true);
    Wake(line);
}

// Joins the chunks in order, scanning chunks itself while the next one to
// join is not ready, and the next one too when it keeps it waiting.
bool JoinChunks(PassState* pass, Pipeline* line) {
    for (uint64_t next = 0; next < line->chunks;) {
        if (!IsReady(*line, next)) {
            if (!ScanOneChunk(line, 0) && !WaitBriefly(*line, next)) TakeOver(line, next);
            continue;
        }
        uint64_t ready = line->readyFor[next % kSlots].load();
        const ChunkBuffer& chunk = line->buffers[ready % 2][next % kSlots];
        if (!chunk.error.empty()) {
            pass->file->error = chunk.error;
            return false;
        }
        JoinChunk(pass, chunk);
        line->joined.store(++next);
        Wake(line);
    }
    return true;
}

bool ScanInSteps(PassState* pass) {
    while (ScanNextChunk(pass)) {
    }
    return pass->file->error.empty();
}

// How many CPUs this process may run on.
unsigned UsableCpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    return std::thread::hardware_concurrency();
}

// Threads running on the machine now, as the kernel counts them (this one
// among them): the number in front of the slash in /proc/loadavg; 0 when
// it cannot be told.
unsigned RunningThreads() {
    UniqueFd in = OpenForReading("/proc/loadavg");
    char text[256];
    ssize_t got = in.fd < 0 ? -1 : ReadFull(in.fd, text, sizeof text - 1);
    if (got <= 0) return 0;
    text[got] = '\0';
    const char* slash = std::strchr(text, '/');
    const char* field = slash;
    while (field != nullptr && field > text && field[-1] >= '0' && field[-1] <= '9') --field;
    return field == nullptr || field == slash ? 0 : static_cast<unsigned>(std::strtoul(field, nullptr, 10));
}

// A second thread pays only where a second CPU is free for it: on a busy
// machine it takes CPU time from the joining and keeps it waiting.
bool SecondCpuIsFree() {
    unsigned cpus = UsableCpus();
    if (cpus < 2) return false;
    unsigned running = RunningThreads();
    return running == 0 || running < cpus;
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

bool ScanWithThreads(PassState* pass, uint32_t takeOverMicroseconds) {
    Pipeline line;
    line.takeOverAfter = std::chrono::microseconds(takeOverMicroseconds);
    line.file = pass->file;
    line.minRun = pass->minRun;
    line.chunks = std::max<uint64_t>(1, (pass->file->size + kChunkSize - 1) / kChunkSize);
    for (auto& buffers : line.buffers) buffers.resize(kSlots);
    for (auto& ready : line.readyFor) ready.store(0);
    std::thread helper;
    try {
        helper = std::thread(ScanChunks, &line);
    } catch (const std::system_error&) {
        return ScanInSteps(pass);
    }
    bool ok = JoinChunks(pass, &line);
    line.stop.store(true);
    Wake(&line);
    helper.join();
    pass->done = true;
    return ok;
}

bool RunPass(PassState* pass, const InspectOptions& options) {
    if (options.threads && pass->file->size >= kThreadedFrom && SecondCpuIsFree()) return ScanWithThreads(pass);
    return ScanInSteps(pass);
}

}  // namespace morvik
