// Placing the images: each output byte is written once. The fill byte goes
// only into the gaps between what the images claim, a reserved range's pad
// byte only behind its image's data, and each image's bytes to its offset
// (group images are already there when the planner could put them there
// while it read them for their CRC-32).
#include <cstdio>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "sys/diagnostics.h"
#include "sys/io.h"
#include "write/writer.h"

namespace morvik {

namespace {

uint64_t DataEnd(const ImageInfo* image) { return uint64_t{image->offset} + static_cast<uint64_t>(image->length); }

bool HasPaddedRange(const ImageInfo* image) { return image->limit != 0 && image->pad != PAD_NONE; }

// The range behind the image's data; its start is covered by the data.
bool PadBehindImage(int outFd, const ImageInfo* image, IoBuffer& buffer) {
    if (!HasPaddedRange(image)) return true;
    uint64_t end = uint64_t{image->offset} + image->limit;
    uint64_t start = std::min(DataEnd(image), end);
    return FillAt(outFd, image->pad == PAD_FF ? 0xFF : 0x00, end - start, start, buffer);
}

int32_t ReportChanged(const ImageInfo* image) {
    std::printf("Error : image %s changed during the bind!\n", image->name);
    return kImageChanged;
}

// Copies exactly the planned `length` bytes of the image file to its offset
// and checksums them on the way. A file that ends early or goes on past its
// planned length has changed since it was measured.
int32_t CopyImageData(int outFd, int inFd, const ImageInfo* image, uint32_t* crc, IoBuffer& buffer) {
    uint64_t position = image->offset;
    size_t remaining = static_cast<size_t>(image->length);
    *crc = 0;
    while (remaining > 0) {
        size_t wanted = std::min(remaining, buffer.size);
        ssize_t got = ReadFull(inFd, buffer.bytes.get(), wanted);
        if (got < 0) {
            std::printf("Error : read input image %s failed!\n", image->name);
            return 0;
        }
        if (static_cast<size_t>(got) < wanted) return ReportChanged(image);
        if (!WriteAllAt(outFd, buffer.bytes.get(), wanted, position)) return kWriteFailed;
        *crc = crc32_update(*crc, buffer.bytes.get(), wanted);
        position += wanted;
        remaining -= wanted;
    }
    if (!AtEndOfFile(inFd)) return ReportChanged(image);
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

// What the images claim in the output: their data and their padded ranges,
// in ascending order.
struct Claim {
    uint64_t start;
    uint64_t end;
};

std::vector<Claim> Claims(const ParInfo* info) {
    std::vector<Claim> claims;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        uint64_t end = DataEnd(image);
        if (HasPaddedRange(image)) end = std::max(end, uint64_t{image->offset} + image->limit);
        claims.push_back({image->offset, end});
    }
    std::sort(claims.begin(), claims.end(), [](const Claim& a, const Claim& b) { return a.start < b.start; });
    return claims;
}

}  // namespace

int32_t LocateImage(int outFd, const ImageInfo* image, uint32_t* crc, IoBuffer& buffer) {
    std::printf("LocateFile:%s\n", image->name);
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) {
        std::printf("Error: open input image %s failed\n", image->name);
        return 0;
    }
    if (IsStream(in.fd)) return ReportChanged(image);
    if (!PadBehindImage(outFd, image, buffer)) return kWriteFailed;
    return CopyImageData(outFd, in.fd, image, crc, buffer);
}

int32_t LocateImage(int outFd, const ImageInfo* image) {
    IoBuffer buffer;
    uint32_t crc = 0;
    return LocateImage(outFd, image, &crc, buffer);
}

int32_t PlaceImage(int outFd, const ParInfo* info, uint32_t i, IoBuffer& buffer, bool groupImagesPlaced) {
    const ImageInfo* image = info->images[i];
    if (groupImagesPlaced && InGroupHeader(info, image)) {
        // Read, checksummed and written while the headers were built.
        std::printf("LocateFile:%s\n", image->name);
        return PadBehindImage(outFd, image, buffer) ? image->length : kWriteFailed;
    }
    uint32_t crc = 0;
    int32_t copied = LocateImage(outFd, image, &crc, buffer);
    // The header was built from the bytes read while planning; the device
    // checks the bytes written now.
    if (copied > 0 && InGroupHeader(info, image) && crc != ListedChecksum(info, i)) copied = ReportChanged(image);
    if (copied == kImageChanged)
        LocatedError(info->parPath, image->line, "image file '%s' changed since its line was read: it is no longer "
                     "the 0x%x bytes planned", image->name, static_cast<uint32_t>(image->length));
    return copied;
}

bool FillGaps(int outFd, const ParInfo* info, IoBuffer& buffer) {
    const uint8_t fill = FillByte(info);
    // The file is new, or was truncated to nothing: growing it yields zeros,
    // without writing them (where the file system cannot, they are written).
    if (fill == 0x00 && ::ftruncate(outFd, static_cast<off_t>(info->targetSize)) == 0) return true;
    uint64_t at = 0;
    for (const Claim& claim : Claims(info)) {
        if (claim.start > at && !FillAt(outFd, fill, claim.start - at, at, buffer)) return false;
        at = std::max(at, claim.end);
    }
    return info->targetSize <= at || FillAt(outFd, fill, info->targetSize - at, at, buffer);
}

}  // namespace morvik
