// SHA-256 of the whole image and of each area of its map.
#include "inspect/judge/checksums.h"

#include <algorithm>

#include "inspect/pass/text.h"
#include "sys/io.h"

namespace morvik {

namespace {

void SeeChunk(void* watcher, const uint8_t* bytes, size_t length, uint64_t /*at*/) {
    Sha256Update(static_cast<Sha256*>(watcher), bytes, length);
}

bool HashRange(ImageFile* file, uint64_t start, uint64_t length, IoBuffer* buffer, std::string* digest) {
    Sha256 hash;
    Sha256Init(&hash);
    for (uint64_t at = start, end = start + length; at < end;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer->size, end - at));
        if (!ReadAt(file, at, n, buffer->bytes.get())) return false;
        Sha256Update(&hash, buffer->bytes.get(), n);
        at += n;
    }
    *digest = Sha256Hex(Sha256Final(&hash));
    return true;
}

}  // namespace

ChunkWatch WatchWholeFile(Sha256* whole) {
    Sha256Init(whole);
    return ChunkWatch{SeeChunk, whole};
}

bool AddChecksums(ImageFile* file, Sha256* whole, bool areas, Inspection* inspection) {
    if (!file->error.empty()) return false;
    inspection->sha256 = Sha256Hex(Sha256Final(whole));
    if (!areas) return true;
    // The areas of a sound image tile the file. Those of a damaged or
    // hostile one may overlap, each spanning the whole file: they are
    // hashed in file order while that reads no more than twice the file.
    IoBuffer buffer;
    uint64_t budget = kAreaHashFactor * file->size;
    size_t leftOut = 0;
    for (Region& r : inspection->regions) {
        if (!InFile(file->size, r.start, r.length) || r.length > budget) {
            ++leftOut;
            continue;
        }
        if (!HashRange(file, r.start, r.length, &buffer, &r.sha256)) return false;
        budget -= r.length;
    }
    if (leftOut > 0)
        inspection->notes.push_back(
            Format("SHA-256 left out for %zu overlapping %s: hashing every area would read "
                   "more than %llu times the file",
                   leftOut, leftOut == 1 ? "area" : "areas", static_cast<ull>(kAreaHashFactor)));
    // The areas come from the descriptor the pass read; a write into that
    // file since the inspection opened it changes its stamp.
    FileStamp now;
    if (!StampOf(file->in.fd, &now) || !(now == file->stamp)) file->error = ChangedText(*file);
    return file->error.empty();
}

}  // namespace morvik
