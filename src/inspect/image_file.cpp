// The image file: opening it without blocking, reading it in chunks, each
// at its own position with the few bytes around it, small reads after that,
// and the CRC-32 of any range from the running CRCs that the pass kept.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inspect/inspect.h"

namespace morvik {

namespace {

std::string ChangedText(const ImageFile& file) {
    return Format("image %s changed while it was read; check it again when nothing writes to it", file.path.c_str());
}

std::string ReadErrorText(const ImageFile& file) {
    return Format("cannot read image %s: %s", file.path.c_str(), std::strerror(errno));
}

}  // namespace

int OpenImage(const char* path, ImageFile* file) {
    file->path = path;
    file->in = OpenForReading(path);
    if (file->in.fd < 0) {
        file->error = Format("cannot open image %s: %s", path, std::strerror(errno));
        return kInspectUsage;
    }
    if (!StampOf(file->in.fd, &file->stamp) || !file->stamp.regular) {
        file->error = Format("%s is not a regular file", path);
        return kInspectUsage;
    }
    file->size = file->stamp.size;
    return 0;
}

bool ReadAt(ImageFile* file, uint64_t at, size_t length, uint8_t* out) {
    ssize_t got = ReadFullAt(file->in.fd, out, length, at);
    if (got == static_cast<ssize_t>(length)) return true;
    if (file->error.empty()) file->error = got < 0 ? ReadErrorText(*file) : ChangedText(*file);
    std::memset(out, 0, length);
    return false;
}

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

uint64_t MinimumRun(uint64_t fileSize) { return std::clamp<uint64_t>(fileSize / 1024, 64, 64 * 1024); }

// A marker costs at most a few hundred bytes of work and a small read, a
// possible marker start a few compares: these bounds keep the total below
// about one more read of the file, while a real image has a handful of
// markers and one possible start in some thousands of bytes.
MarkerBudget BudgetFor(uint64_t fileSize) {
    MarkerBudget budget;
    budget.markers = std::max<uint64_t>(4096, fileSize / 16384);
    budget.starts = std::max<uint64_t>(uint64_t{1} << 16, fileSize / 64);
    budget.nearHeaders = std::max<uint64_t>(uint64_t{1} << 16, fileSize / 1024);
    return budget;
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
