// Builds the 256-byte firmware header of each image group: the group's images
// with their places, lengths, versions and CRC-32s, the group's FW PID
// location and the bitmap of images the bootloader verifies. The magic and
// the header's own CRC stay as fill bytes here; the writer seals them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/image_format.h"
#include "sys/diagnostics.h"
#include "plan/planner.h"

namespace morvik {

namespace {

// The header stage's own wording of what reading a group image came to. A
// file shorter or longer than measured is not the file that was planned.
int32_t ReportRead(const ImageInfo* image, ImageRead read, const char* parPath) {
    const auto length = static_cast<uint32_t>(image->length);
    switch (read) {
        case ImageRead::kOk:
            return kPlanOk;
        case ImageRead::kCannotOpen: {
            const int error = errno;
            std::printf("Error : open Par file %s failed!\n", image->name);
            LocatedError(parPath, image->line, "image file '%s' cannot be opened any more: %s", image->name,
                         std::strerror(error));
            return kPlanNoHeaderOrFile;
        }
        case ImageRead::kReadError: {
            const int error = errno;
            std::printf("read file %s fail! \n", image->name);
            LocatedError(parPath, image->line, "image file '%s' cannot be read: %s", image->name, std::strerror(error));
            return kPlanRejected;
        }
        case ImageRead::kShorter:
            std::printf("read file %s fail! \n", image->name);
            LocatedError(parPath, image->line,
                         "image file '%s' is shorter now than the 0x%x bytes measured when its line was read",
                         image->name, length);
            return kPlanRejected;
        case ImageRead::kLonger:
            std::printf("Error : image %s changed during the bind!\n", image->name);
            LocatedError(parPath, image->line,
                         "image file '%s' is longer now than the 0x%x bytes measured when its line was read",
                         image->name, length);
            return kPlanRejected;
        case ImageRead::kWriteFailed:  // the writer has said so
            return kPlanRejected;
    }
    return kPlanRejected;
}

// The version text in exactly 4 bytes: its characters up to the first NUL,
// zeros behind them, no terminator of its own.
void PutVersion(uint8_t* at, const char* version) {
    size_t n = strnlen(version, kFwVersionSize);
    std::memset(at, 0, kFwVersionSize);
    std::memcpy(at, version, n);
}

int32_t AddEntry(FW_Header* header, const ImageInfo* image, const ImageReader& reader, const char* parPath) {
    uint8_t n = header->raw[kHdrImageNumber];
    uint8_t* entry = EntryAt(header, n);
    PutLe32(entry + kEntOffset, image->offset);
    PutLe32(entry + kEntLength, static_cast<uint32_t>(image->length));
    PutVersion(entry + kEntVersion, image->version);
    uint32_t crc = 0;
    int32_t result = ReportRead(image, reader.read(reader.context, image, &crc), parPath);
    if (result != kPlanOk) return result;
    PutLe32(entry + kEntChecksum, crc);
    // Only eight images fit the bitmap; entries 8 and 9 are never verified.
    if (image->cksum != 0 && n < 8) header->raw[kHdrChecksumBitmap] |= static_cast<uint8_t>(1u << n);
    header->raw[kHdrImageNumber] = static_cast<uint8_t>(n + 1);
    return kPlanOk;
}

// A group holds at most the 10 images there are, so its entries always fit.
int32_t BuildHeader(ParInfo* info, int32_t group, const ImageReader& reader) {
    std::printf("Creating FW_HEADER for group %d.\n", group);
    FW_Header* header = static_cast<FW_Header*>(std::malloc(sizeof(FW_Header)));
    info->fwHeader[group] = header;
    if (header == nullptr) {
        std::printf("Can not malloc Memory for FW HEADER %d\n", group);
        return kPlanNoHeaderOrFile;
    }
    // The bitmap is not cleared: under the 0xFF fill it reads 0xFF whatever -c says.
    std::memset(header->raw, FillByte(info), kFwHeaderSize);
    header->raw[kHdrImageNumber] = 0;
    PutLe32(header->raw + kHdrPidOffset, info->pidInfo->fwLocation[group]);
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->groupId != group) continue;
        int32_t result = AddEntry(header, image, reader, info->parPath);
        if (result != kPlanOk) return result;
    }
    return kPlanOk;
}

}  // namespace

int32_t BuildFwHeaders(ParInfo* info, const ImageReader& reader) {
    for (int32_t g = 0; g < info->groupCount; ++g) {
        int32_t result = BuildHeader(info, g, reader);
        if (result != kPlanOk) return result;
    }
    return kPlanOk;
}

void DumpFwHeaders(const ParInfo* info) {
    for (int32_t m = 0; m < info->groupCount; ++m) PrintFwHeader(*info->fwHeader[m], m, false);
}

}  // namespace morvik
