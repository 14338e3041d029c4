// Sealing each group's firmware header and writing it in the 256 bytes in
// front of its kernel image. These are the output's last writes.
#include <cstdio>
#include <cstring>

#include "write/output_file.h"
#include "write/writer.h"

namespace morvik {

namespace {

// The checksum covers the header as built: magic and checksum still fill.
void SealHeader(FW_Header* header) {
    FW_Header scratch = *header;
    std::memcpy(header->raw + kHdrMagic, kFwHeaderMagic, sizeof kFwHeaderMagic);
    PutLe32(header->raw + kHdrChecksum, crc32(scratch.raw, static_cast<int32_t>(kFwHeaderSize)));
}

void PrintSealedHeader(const FW_Header* header, int32_t group) {
    const uint8_t* raw = header->raw;
    std::printf("\nFW Header for Group %d\n", group);
    std::printf("\tImage Number of this Group: %d\n", raw[kHdrImageNumber]);
    std::printf("\tchecksum option bitmap %x\n", raw[kHdrChecksumBitmap]);
    std::printf("\tpid offset for this group: %x\n", GetLe32(raw + kHdrPidOffset));
    std::printf("\tmagic %s\n", reinterpret_cast<const char*>(raw + kHdrMagic));
    std::printf("\tchecksum of header %x\n", GetLe32(raw + kHdrChecksum));
    for (size_t k = 0; k < raw[kHdrImageNumber] && k < kFwMaxEntries; ++k) {
        const uint8_t* entry = EntryAt(header, k);
        std::printf("\tImage[%zu]: offset %x, length %x, checksum %x, version %.4s\n", k,
                    GetLe32(entry + kEntOffset), GetLe32(entry + kEntLength),
                    GetLe32(entry + kEntChecksum), reinterpret_cast<const char*>(entry + kEntVersion));
    }
}

int WriteHeaderBeforeKernels(int outFd, const ParInfo* info, const FW_Header* header, int32_t group) {
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->groupId != group || image->type != IMAGE_KERNEL) continue;
        uint32_t position = image->offset - static_cast<uint32_t>(kFwHeaderSize);
        std::printf("fw header offset %x\n", position);
        if (!WriteAllAt(outFd, header->raw, kFwHeaderSize, position)) return kWriteFailed;
    }
    return 0;
}

}  // namespace

int WriteFwHeaders(int outFd, ParInfo* info) {
    for (int32_t g = 0; g < info->groupCount && g < static_cast<int32_t>(kMaxGroups); ++g) {
        FW_Header* header = info->fwHeader[g];
        if (header == nullptr) continue;
        SealHeader(header);
        PrintSealedHeader(header, g);
        if (WriteHeaderBeforeKernels(outFd, info, header, g) != 0) return kWriteFailed;
    }
    return 0;
}

}  // namespace morvik
