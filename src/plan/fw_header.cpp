// Builds the 256-byte firmware header of each image group: the group's images
// with their places, lengths, versions and CRC-32s, the group's FW PID
// location and the bitmap of images the bootloader verifies. The magic and
// the header's own CRC stay as fill bytes here; the writer seals them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "format/image_format.h"
#include "sys/diagnostics.h"
#include "plan/planner.h"
#include "sys/io.h"

namespace morvik {

namespace {

constexpr int32_t kBuilt = 0;
constexpr int32_t kNoHeaderOrFile = 3;
constexpr int32_t kReadFailed = -1;

// Reads the image's `length` bytes and checksums them; with a sink, also
// puts them at the image's offset in the output-to-be. A file shorter than
// `length` (it shrank since it was measured) fails, and so does one that
// goes on past it: either is not the file that was planned.
int32_t ChecksumBytes(int fd, const ImageInfo* image, uint32_t* crc, ImageSink* sink, IoBuffer& buffer,
                      const char* parPath) {
    const uint64_t length = static_cast<uint64_t>(image->length);
    uint32_t value = 0;
    for (uint64_t done = 0; done < length;) {
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(length - done, buffer.size));
        if (ReadFull(fd, buffer.bytes.get(), wanted) != static_cast<ssize_t>(wanted)) {
            std::printf("read file %s fail! \n", image->name);
            LocatedError(parPath, image->line, "image file '%s' is shorter now than the 0x%x bytes measured when its "
                         "line was read", image->name, static_cast<uint32_t>(length));
            return kReadFailed;
        }
        value = crc32_update(value, buffer.bytes.get(), wanted);
        if (sink->copied && !WriteAllAt(sink->fd, buffer.bytes.get(), wanted, image->offset + done))
            sink->copied = false;
        done += wanted;
    }
    if (!AtEndOfFile(fd)) {
        std::printf("Error : image %s changed during the bind!\n", image->name);
        LocatedError(parPath, image->line, "image file '%s' is longer now than the 0x%x bytes measured when its "
                     "line was read", image->name, static_cast<uint32_t>(length));
        return kReadFailed;
    }
    *crc = value;
    return kBuilt;
}

int32_t ChecksumImageFile(const ImageInfo* image, uint32_t* crc, ImageSink* sink, IoBuffer& buffer,
                          const char* parPath) {
    UniqueFd in = OpenForReading(image->name);
    if (in.fd < 0) {
        std::printf("Error : open Par file %s failed!\n", image->name);
        return kNoHeaderOrFile;
    }
    return ChecksumBytes(in.fd, image, crc, sink, buffer, parPath);
}

// The version text in exactly 4 bytes: its characters up to the first NUL,
// zeros behind them, no terminator of its own.
void PutVersion(uint8_t* at, const char* version) {
    size_t n = strnlen(version, kFwVersionSize);
    std::memset(at, 0, kFwVersionSize);
    std::memcpy(at, version, n);
}

int32_t AddEntry(FW_Header* header, const ImageInfo* image, ImageSink* sink, IoBuffer& buffer, const char* parPath) {
    uint8_t n = header->raw[kHdrImageNumber];
    uint8_t* entry = EntryAt(header, n);
    PutLe32(entry + kEntOffset, image->offset);
    PutLe32(entry + kEntLength, static_cast<uint32_t>(image->length));
    PutVersion(entry + kEntVersion, image->version);
    uint32_t crc = 0;
    int32_t result = ChecksumImageFile(image, &crc, sink, buffer, parPath);
    if (result != kBuilt) return result;
    PutLe32(entry + kEntChecksum, crc);
    // Only eight images fit the bitmap; entries 8 and 9 are never verified.
    if (image->cksum != 0 && n < 8) header->raw[kHdrChecksumBitmap] |= static_cast<uint8_t>(1u << n);
    header->raw[kHdrImageNumber] = static_cast<uint8_t>(n + 1);
    return kBuilt;
}

// A group holds at most the 10 images there are, so its entries always fit.
int32_t BuildHeader(ParInfo* info, int32_t group, ImageSink* sink, IoBuffer& buffer) {
    std::printf("Creating FW_HEADER for group %d.\n", group);
    FW_Header* header = static_cast<FW_Header*>(std::malloc(sizeof(FW_Header)));
    info->fwHeader[group] = header;
    if (header == nullptr) {
        std::printf("Can not malloc Memory for FW HEADER %d\n", group);
        return kNoHeaderOrFile;
    }
    // The bitmap is not cleared: under the 0xFF fill it reads 0xFF whatever -c says.
    std::memset(header->raw, FillByte(info), kFwHeaderSize);
    header->raw[kHdrImageNumber] = 0;
    PutLe32(header->raw + kHdrPidOffset, info->pidInfo->fwLocation[group]);
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->groupId != group) continue;
        int32_t result = AddEntry(header, image, sink, buffer, info->parPath);
        if (result != kBuilt) return result;
    }
    return kBuilt;
}

}  // namespace

int32_t BuildFwHeaders(ParInfo* info, ImageSink* sink) {
    std::optional<IoBuffer> own;
    if (sink->buffer == nullptr) own.emplace();
    IoBuffer& buffer = sink->buffer != nullptr ? *sink->buffer : *own;
    sink->copied = sink->fd >= 0;
    for (int32_t g = 0; g < info->groupCount; ++g) {
        int32_t result = BuildHeader(info, g, sink, buffer);
        if (result != kBuilt) return result;
    }
    return kBuilt;
}

void DumpFwHeaders(const ParInfo* info) {
    for (int32_t m = 0; m < info->groupCount; ++m) PrintFwHeader(*info->fwHeader[m], m, false);
}

}  // namespace morvik
