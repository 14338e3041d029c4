// The rules of the on-disk format that the bind applies and the inspector
// checks, each written once.
#include "format/image_format.h"

#include <cstdio>
#include <cstring>

namespace morvik {

uint32_t HeaderChecksumFor(const uint8_t* header, uint8_t fill) {
    FW_Header copy;
    std::memcpy(copy.raw, header, kFwHeaderSize);
    std::memset(copy.raw + kHdrMagic, fill, sizeof kFwHeaderMagic);
    std::memset(copy.raw + kHdrChecksum, fill, 4);
    return crc32(copy.raw, static_cast<int32_t>(kFwHeaderSize));
}

void SealFwHeader(FW_Header* header, uint8_t fill) {
    PutLe32(header->raw + kHdrChecksum, HeaderChecksumFor(header->raw, fill));
    std::memcpy(header->raw + kHdrMagic, kFwHeaderMagic, sizeof kFwHeaderMagic);
}

void CopyFwPidWords(const uint8_t* pidBlock, uint8_t words[6]) {
    for (size_t w = 0; w < 3; ++w) {
        words[2 * w] = pidBlock[kFwPidWordSource[w]];
        words[2 * w + 1] = pidBlock[kFwPidWordSource[w] + 1];
    }
}

FwPidRecord MakeFwPidRecord(const uint8_t* pidBlock) {
    FwPidRecord record{};
    CopyFwPidWords(pidBlock, record.raw);
    std::memcpy(record.raw + kFwPidConstAt, kFwPidConst, sizeof kFwPidConst);
    std::memcpy(record.raw + kFwPidTagAt, kFwPidTag, kFwPidTagSize);
    return record;  // the last two bytes stay 0x00
}

void PrintFwHeader(const FW_Header& header, int32_t group, bool sealed) {
    const uint8_t* raw = header.raw;
    std::printf("\nFW Header for Group %d\n", group);
    std::printf("\tImage Number of this Group: %d\n", raw[kHdrImageNumber]);
    std::printf("\tchecksum option bitmap %x\n", raw[kHdrChecksumBitmap]);
    std::printf("\tpid offset for this group: %x\n", GetLe32(raw + kHdrPidOffset));
    if (sealed) {
        std::printf("\tmagic %s\n", reinterpret_cast<const char*>(raw + kHdrMagic));
        std::printf("\tchecksum of header %x\n", GetLe32(raw + kHdrChecksum));
    }
    // The version is at most its 4 bytes, ending early at a NUL.
    for (int e = 0; e < raw[kHdrImageNumber]; ++e) {
        const uint8_t* entry = EntryAt(raw, static_cast<size_t>(e));
        std::printf("\tImage[%d]: offset %x, length %x, checksum %x, version %.4s\n", e, GetLe32(entry + kEntOffset),
                    GetLe32(entry + kEntLength), GetLe32(entry + kEntChecksum),
                    reinterpret_cast<const char*>(entry + kEntVersion));
    }
}

}  // namespace morvik
