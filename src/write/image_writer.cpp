// Placing one image: its reserved range first, then its bytes over the
// start of that range, so the pad byte remains only behind the image.
#include <cstdio>

#include <algorithm>
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

// True when the file has bytes beyond the ones already read.
bool HasMoreBytes(int fd) {
    uint8_t byte;
    return ReadFull(fd, &byte, 1) > 0;
}

int32_t ReportChanged(const ImageInfo* image) {
    std::printf("Error : image %s changed during the bind!\n", image->name);
    return kImageChanged;
}

// Copies exactly the planned `length` bytes of the image file to its offset
// and checksums them on the way. A file that ends early or goes on past its
// planned length has changed since it was measured.
int32_t CopyImageData(int outFd, int inFd, const ImageInfo* image, uint32_t* crc) {
    std::vector<uint8_t> buffer(std::min<size_t>(kCopyChunk, std::max<int32_t>(image->length, 1)));
    uint64_t position = image->offset;
    size_t remaining = static_cast<size_t>(image->length);
    *crc = 0;
    while (remaining > 0) {
        size_t wanted = std::min(remaining, buffer.size());
        ssize_t got = ReadFull(inFd, buffer.data(), wanted);
        if (got < 0) {
            std::printf("Error : read input image %s failed!\n", image->name);
            return 0;
        }
        if (static_cast<size_t>(got) < wanted) return ReportChanged(image);
        if (!WriteAllAt(outFd, buffer.data(), wanted, position)) return kWriteFailed;
        *crc = crc32_update(*crc, buffer.data(), wanted);
        position += wanted;
        remaining -= wanted;
    }
    if (HasMoreBytes(inFd)) return ReportChanged(image);
    return image->length;
}

// The CRC-32 that image i's group header lists for it: the header holds the
// group's images in table order.
uint32_t ListedChecksum(const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    size_t entry = 0;
    for (uint32_t k = 0; k < i; ++k) entry += info->images[k]->groupId == image->groupId;
    return GetLe32(EntryAt(info->fwHeader[image->groupId], entry) + kEntChecksum);
}

bool InGroupHeader(const ParInfo* info, const ImageInfo* image) {
    return image->groupId >= 0 && image->groupId < info->groupCount;
}

}  // namespace

int32_t LocateImage(int outFd, const ImageInfo* image, uint32_t* crc) {
    std::printf("LocateFile:%s\n", image->name);
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) {
        std::printf("Error: open input image %s failed\n", image->name);
        return 0;
    }
    if (IsStream(in.fd)) return ReportChanged(image);
    if (!FillReservedRange(outFd, image)) return kWriteFailed;
    return CopyImageData(outFd, in.fd, image, crc);
}

int32_t LocateImage(int outFd, const ImageInfo* image) {
    uint32_t crc = 0;
    return LocateImage(outFd, image, &crc);
}

int32_t PlaceImage(int outFd, const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    uint32_t crc = 0;
    int32_t copied = LocateImage(outFd, image, &crc);
    // The header was built from the bytes read while planning; the device
    // checks the bytes written now.
    if (copied > 0 && InGroupHeader(info, image) && crc != ListedChecksum(info, i)) return ReportChanged(image);
    return copied;
}

}  // namespace morvik
