// Placing the images: each output byte is written once. The fill byte goes
// only into the gaps between what the images claim, a reserved range's pad
// byte only behind its image's data, and each image's bytes to its offset
// (group images are already there when the planner's reads put them there).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "sys/diagnostics.h"
#include "sys/io.h"
#include "write/layout.h"
#include "write/writer.h"

namespace morvik {

namespace {

// The range behind the image's data; its start is covered by the data.
// false when the write fails (errno kept).
bool PadBehindImage(int outFd, const ImageInfo* image, IoBuffer& buffer) {
    if (!HasPaddedRange(image)) return true;
    const Claim pad = PadBehind(image);
    return FillAt(outFd, PadByte(image), pad.end - pad.start, pad.start, buffer);
}

// ---- reading group images for the planner ----

ImageRead ReadImageFile(const ImageInfo* image, int outFd, uint32_t* crc, IoBuffer& buffer) {
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) return ImageRead::kCannotOpen;
    return TransferImage(in.fd, image, outFd, crc, buffer);
}

ImageRead ChecksumOnly(void* context, const ImageInfo* image, uint32_t* crc) {
    return ReadImageFile(image, -1, crc, *static_cast<IoBuffer*>(context));
}

ImageRead CopyWhileChecksumming(void* context, const ImageInfo* image, uint32_t* crc) {
    auto* copy = static_cast<GroupImageCopy*>(context);
    if (!copy->asked) {
        copy->asked = true;
        copy->copied = OpenTempOutput(copy->out);
    }
    ImageRead read = ReadImageFile(image, copy->copied ? copy->out->file.fd : -1, crc, *copy->buffer);
    if (read == ImageRead::kWriteFailed) ReportWriteFailure(copy->out->path);
    return read;
}

// ---- placing images ----

// Pads the image's range and copies its bytes to its offset.
ImageRead CopyImage(int outFd, const ImageInfo* image, uint32_t* crc, IoBuffer& buffer) {
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) return ImageRead::kCannotOpen;
    // A FIFO or device planted since the file was measured is not read.
    if (IsStream(in.fd)) return ImageRead::kLonger;
    if (!PadBehindImage(outFd, image, buffer)) return ImageRead::kWriteFailed;
    return TransferImage(in.fd, image, outFd, crc, buffer);
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

int32_t ReportChanged(const ParInfo* info, const ImageInfo* image) {
    std::printf("Error : image %s changed during the bind!\n", image->name);
    LocatedError(info->parPath, image->line,
                 "image file '%s' changed since its line was read: it is no longer the 0x%x bytes planned", image->name,
                 static_cast<uint32_t>(image->length));
    return 0;
}

// The image bytes copied, or 0 after the writer's own wording of what went
// wrong.
int32_t Copied(const OutputFile& out, const ParInfo* info, const ImageInfo* image, ImageRead read) {
    const int error = errno;
    switch (read) {
        case ImageRead::kOk:
            RefuseEmptyImage(info, image);
            return image->length;
        case ImageRead::kCannotOpen:
            std::printf("Error: open input image %s failed\n", image->name);
            LocatedError(info->parPath, image->line, "image file '%s' cannot be opened any more: %s", image->name,
                         std::strerror(error));
            return 0;
        case ImageRead::kReadError:
            std::printf("Error : read input image %s failed!\n", image->name);
            LocatedError(info->parPath, image->line, "image file '%s' cannot be read: %s", image->name,
                         std::strerror(error));
            return 0;
        case ImageRead::kShorter:
        case ImageRead::kLonger:
            return ReportChanged(info, image);
        case ImageRead::kWriteFailed:
            ReportWriteFailure(out.path);
            return 0;
    }
    return 0;
}

bool FillRange(const OutputFile& out, uint8_t fill, uint64_t length, uint64_t at, IoBuffer& buffer) {
    if (length == 0 || FillAt(out.file.fd, fill, length, at, buffer)) return true;
    ReportWriteFailure(out.path);
    return false;
}

}  // namespace

bool RefuseEmptyImage(const ParInfo* info, const ImageInfo* image) {
    if (image->length != 0) return false;
    LocatedError(info->parPath, image->line, "image file '%s' is empty: there is nothing to bind", image->name);
    return true;
}

ImageRead TransferImage(int inFd, const ImageInfo* image, int outFd, uint32_t* crc, IoBuffer& buffer) {
    const uint64_t length = static_cast<uint64_t>(image->length);
    uint32_t value = 0;
    for (uint64_t done = 0; done < length;) {
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(length - done, buffer.size));
        ssize_t got = ReadFull(inFd, buffer.bytes.get(), wanted);
        if (got < 0) return ImageRead::kReadError;
        if (static_cast<size_t>(got) < wanted) return ImageRead::kShorter;
        value = crc32_update(value, buffer.bytes.get(), wanted);
        if (outFd >= 0 && !WriteAllAt(outFd, buffer.bytes.get(), wanted, image->offset + done))
            return ImageRead::kWriteFailed;
        done += wanted;
    }
    if (!AtEndOfFile(inFd)) return ImageRead::kLonger;
    *crc = value;
    return ImageRead::kOk;
}

ImageReader CopyingImageReader(GroupImageCopy* copy) { return ImageReader{copy, CopyWhileChecksumming}; }

ImageReader ChecksumImageReader(IoBuffer* buffer) { return ImageReader{buffer, ChecksumOnly}; }

int32_t LocateImage(const OutputFile& out, const ParInfo* info, uint32_t i, IoBuffer& buffer, bool groupImagesPlaced) {
    const ImageInfo* image = info->images[i];
    std::printf("LocateFile:%s\n", image->name);
    bool inHeader = InGroupHeader(info, image);
    // Read, checksummed and written while the headers were built.
    if (groupImagesPlaced && inHeader) {
        return Copied(out, info, image,
                      PadBehindImage(out.file.fd, image, buffer) ? ImageRead::kOk : ImageRead::kWriteFailed);
    }
    uint32_t crc = 0;
    ImageRead read = CopyImage(out.file.fd, image, &crc, buffer);
    // The header was built from the bytes read while planning; the device
    // checks the bytes written now.
    if (read == ImageRead::kOk && inHeader && crc != ListedChecksum(info, i)) return ReportChanged(info, image);
    return Copied(out, info, image, read);
}

bool FillGaps(const OutputFile& out, const ParInfo* info, IoBuffer& buffer) {
    const uint8_t fill = FillByte(info);
    // The file is new, or was truncated to nothing: growing it yields zeros,
    // without writing them (where the file system cannot, they are written).
    if (fill == 0x00 && ::ftruncate(out.file.fd, static_cast<off_t>(info->targetSize)) == 0) return true;
    for (const Claim& gap : FillGapsOf(info))
        if (!FillRange(out, fill, gap.end - gap.start, gap.start, buffer)) return false;
    return true;
}

}  // namespace morvik
