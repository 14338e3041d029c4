// Placing one image: its reserved range first, then its bytes over the
// start of that range, so the pad byte remains only behind the image.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "write/output_file.h"
#include "write/writer.h"

namespace morvik {

namespace {

constexpr size_t kCopyChunk = 1 << 20;

bool FillReservedRange(int outFd, const ImageInfo* image) {
    if (image->limit == 0 || image->pad == PAD_NONE) return true;
    std::vector<uint8_t> fill(std::min<size_t>(kCopyChunk, image->limit),
                              image->pad == PAD_FF ? 0xFF : 0x00);
    uint64_t position = image->offset;
    uint64_t remaining = image->limit;
    while (remaining > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(fill.size(), remaining));
        if (!WriteAllAt(outFd, fill.data(), part, position)) return false;
        position += part;
        remaining -= part;
    }
    return true;
}

ssize_t ReadSome(int fd, uint8_t* buffer, size_t size) {
    for (;;) {
        ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// Copies the whole image file to its offset. The bytes copied, 0 when the
// file cannot be read to its end, kWriteFailed when the output fails.
int32_t CopyImageData(int outFd, int inFd, const ImageInfo* image) {
    std::vector<uint8_t> buffer(kCopyChunk);
    uint64_t position = image->offset;
    int64_t copied = 0;
    for (;;) {
        ssize_t got = ReadSome(inFd, buffer.data(), buffer.size());
        if (got < 0) {
            std::printf("Error : read input image %s failed!\n", image->name);
            return 0;
        }
        if (got == 0) break;
        if (!WriteAllAt(outFd, buffer.data(), static_cast<size_t>(got), position)) return kWriteFailed;
        position += static_cast<uint64_t>(got);
        copied += got;
    }
    return static_cast<int32_t>(std::min<int64_t>(copied, INT32_MAX));
}

}  // namespace

int32_t LocateImage(int outFd, const ImageInfo* image) {
    std::printf("LocateFile:%s\n", image->name);
    UniqueFd in(::open(image->name, O_RDONLY));
    if (in.fd < 0) {
        std::printf("Error: open input image %s failed\n", image->name);
        return 0;
    }
    if (!FillReservedRange(outFd, image)) return kWriteFailed;
    return CopyImageData(outFd, in.fd, image);
}

}  // namespace morvik
