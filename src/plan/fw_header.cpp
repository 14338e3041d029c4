// Builds the 256-byte firmware header of each image group: the group's images
// with their places, lengths, versions and CRC-32s, the group's FW PID
// location and the bitmap of images the bootloader verifies. The magic and
// the header's own CRC stay as fill bytes here; the writer seals them.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "plan/image_format.h"
#include "plan/planner.h"

namespace morvik {

namespace {

constexpr int32_t kBuilt = 0;
constexpr int32_t kNoHeaderOrFile = 3;
constexpr int32_t kReadFailed = -1;

uint8_t FillByte(const ParInfo* info) {
    return info->finalPad != 0 ? 0xFF : 0x00;
}

int32_t GroupSlots(const ParInfo* info) {
    return std::clamp<int32_t>(info->groupCount, 0, static_cast<int32_t>(kMaxGroups));
}

// Reads the image's first `length` bytes in large pieces and checksums them.
// A file shorter than `length` (it shrank since it was measured) fails.
int32_t ChecksumBytes(int fd, const ImageInfo* image, uint32_t* crc) {
    size_t remaining = static_cast<size_t>(image->length);
    size_t chunk = std::max<size_t>(1, std::min(remaining, kCrcReadChunk));
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(chunk));
    if (buffer == nullptr) {
        std::printf("Error : get Memory fail!\n");
        return kReadFailed;
    }
    uint32_t value = 0;
    while (remaining > 0) {
        ssize_t got = ::read(fd, buffer, std::min(remaining, chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            std::printf("read file %s fail! \n", image->name);
            std::free(buffer);
            return kReadFailed;
        }
        value = crc32_update(value, buffer, static_cast<size_t>(got));
        remaining -= static_cast<size_t>(got);
    }
    std::free(buffer);
    *crc = value;
    return kBuilt;
}

int32_t ChecksumImageFile(const ImageInfo* image, uint32_t* crc) {
    int fd = ::open(image->name, O_RDONLY);
    if (fd < 0) {
        std::printf("Error : open Par file %s failed!\n", image->name);
        return kNoHeaderOrFile;
    }
    int32_t result = kReadFailed;
    if (image->length < 0)  // never measured as such; refused before the header stage
        std::printf("read file %s fail! \n", image->name);
    else
        result = ChecksumBytes(fd, image, crc);
    ::close(fd);
    return result;
}

// The version text in exactly 4 bytes: its characters up to the first NUL,
// zeros behind them, no terminator of its own.
void PutVersion(uint8_t* at, const char* version) {
    size_t n = strnlen(version, kFwVersionSize);
    std::memset(at, 0, kFwVersionSize);
    std::memcpy(at, version, n);
}

int32_t AddEntry(FW_Header* header, const ImageInfo* image) {
    uint8_t n = header->raw[kHdrImageNumber];
    uint8_t* entry = EntryAt(header, n);
    PutLe32(entry + kEntOffset, image->offset);
    PutLe32(entry + kEntLength, static_cast<uint32_t>(image->length));
    PutVersion(entry + kEntVersion, image->version);
    uint32_t crc = 0;
    int32_t result = ChecksumImageFile(image, &crc);
    if (result != kBuilt) return result;
    PutLe32(entry + kEntChecksum, crc);
    // Only eight images fit the bitmap; entries 8 and 9 are never verified.
    if (image->cksum != 0 && n < 8) header->raw[kHdrChecksumBitmap] |= static_cast<uint8_t>(1u << n);
    header->raw[kHdrImageNumber] = static_cast<uint8_t>(n + 1);
    return kBuilt;
}

int32_t BuildHeader(ParInfo* info, int32_t group) {
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
    if (info->pidInfo != nullptr) PutLe32(header->raw + kHdrPidOffset, info->pidInfo->fwLocation[group]);
    uint32_t count = std::min(info->imageCount, kMaxImages);
    for (uint32_t i = 0; i < count; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->groupId != group) continue;
        if (header->raw[kHdrImageNumber] >= kFwMaxEntries) break;  // at most 10 images exist
        int32_t result = AddEntry(header, image);
        if (result != kBuilt) return result;
    }
    return kBuilt;
}

void DumpHeader(const FW_Header* header, int32_t group) {
    std::printf("\nFW Header for Group %d\n", group);
    std::printf("\tImage Number of this Group: %d\n", header->raw[kHdrImageNumber]);
    std::printf("\tchecksum option bitmap %x\n", header->raw[kHdrChecksumBitmap]);
    std::printf("\tpid offset for this group: %x\n", GetLe32(header->raw + kHdrPidOffset));
    for (int e = 0; e < header->raw[kHdrImageNumber]; ++e) {
        const uint8_t* entry = EntryAt(header, static_cast<size_t>(e));
        std::printf("\tImage[%d]: offset %x, length %x, checksum %x, version %.4s\n", e,
                    GetLe32(entry + kEntOffset), GetLe32(entry + kEntLength),
                    GetLe32(entry + kEntChecksum), reinterpret_cast<const char*>(entry + kEntVersion));
    }
}

}  // namespace

int32_t BuildFwHeaders(ParInfo* info) {
    int32_t slots = GroupSlots(info);
    for (int32_t g = 0; g < slots; ++g) {
        int32_t result = BuildHeader(info, g);
        if (result != kBuilt) return result;
    }
    return kBuilt;
}

void DumpFwHeaders(const ParInfo* info) {
    int32_t slots = GroupSlots(info);
    for (int32_t m = 0; m < slots; ++m)
        if (info->fwHeader[m] != nullptr) DumpHeader(info->fwHeader[m], m);
}

}  // namespace morvik
