// The image file of one inspection: opened without blocking, read once from
// start to end in chunks, then in small ranges. Offsets are 64-bit so that
// files past 4 GiB are read safely, although every offset the format
// stores is 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sys/io.h"

namespace morvik {

struct ImageFile {
    UniqueFd in;
    std::string path;
    uint64_t size = 0;
    FileStamp stamp;    // as opened; compared again at the end
    std::string error;  // the first read failure or change: the findings are void
};

// Opens a regular file without blocking on anything else; false with
// `file->error` saying why.
bool OpenImage(const char* path, ImageFile* file);

// Reads `length` bytes at `at` into `out`. A short read means the file
// changed while it was inspected: `error` says so, `out` is zeroed and
// false is returned.
bool ReadAt(ImageFile* file, uint64_t at, size_t length, uint8_t* out);

// The wording of a read that failed or found the file changed.
std::string ReadErrorText(const ImageFile& file);
std::string ChangedText(const ImageFile& file);

// True when [start, start + length) lies inside a file of `size` bytes.
inline bool InFile(uint64_t size, uint64_t start, uint64_t length) { return start <= size && length <= size - start; }

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

}  // namespace morvik
