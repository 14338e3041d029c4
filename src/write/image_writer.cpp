// Placing one image: its reserved range first, then its bytes over the
// start of that range, so the pad byte remains only behind the image.
#include <cstdio>

#include <algorithm>
#include <climits>
#include <vector>

#include "sys/io.h"
#include "write/writer.h"

namespace morvik {

namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;

bool FillReservedRange(int outFd, const ImageInfo* image) {
    if (image->limit == 0 || image->pad == PAD_NONE) return true;
    return FillAt(outFd, image->pad == PAD_FF ? 0xFF : 0x00, image->limit, image->offset);
}

// Copies the whole image file to its offset. The bytes copied, 0 when the
// file cannot be read to its end, kWriteFailed when the output fails.
int32_t CopyImageData(int outFd, int inFd, const ImageInfo* image) {
    std::vector<uint8_t> buffer(kCopyChunk);
    uint64_t position = image->offset;
    int64_t copied = 0;
    for (;;) {
        ssize_t got = ReadFull(inFd, buffer.data(), buffer.size());
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
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) {
        std::printf("Error: open input image %s failed\n", image->name);
        return 0;
    }
    if (!FillReservedRange(outFd, image)) return kWriteFailed;
    return CopyImageData(outFd, in.fd, image);
}

}  // namespace morvik
