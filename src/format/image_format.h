// The on-disk formats that the bind writes and the inspector reads back:
// the firmware header with its image entries, the PID block and the FW PID
// record. Every byte position here is part of what a device's bootloader
// reads; all multi-byte numbers are little-endian whatever the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik {

// ---- FW_Header: 256 bytes in front of each group's kernel image ----------
constexpr size_t kFwHeaderSize = 256;
constexpr size_t kFwEntrySize = 24;
constexpr size_t kFwMaxEntries = 10;

// Byte offsets inside FW_Header.
constexpr size_t kHdrMagic = 0;            // "Tav" and NUL once sealed
constexpr size_t kHdrPidOffset = 4;        // u32: the group's FW PID location
constexpr size_t kHdrChecksum = 8;         // u32: CRC-32 of the unsealed header
constexpr size_t kHdrImageNumber = 12;     // u8: valid entries
constexpr size_t kHdrChecksumBitmap = 13;  // u8: bit n = verify entry n
constexpr size_t kHdrReserved = 14;        // 2 bytes, always the fill byte
constexpr size_t kHdrEntries = 16;         // 10 x FW_ImageEntry

// Byte offsets inside FW_ImageEntry.
constexpr size_t kEntOffset = 0;     // u32: first byte of the image in the output
constexpr size_t kEntLength = 4;     // u32
constexpr size_t kEntChecksum = 8;   // u32: CRC-32 of the image bytes
constexpr size_t kEntVersion = 12;   // 4 text bytes, no NUL
constexpr size_t kEntReserved = 16;  // 8 bytes fill

constexpr size_t kFwVersionSize = 4;
constexpr char kFwHeaderMagic[4] = {'T', 'a', 'v', '\0'};

struct FW_ImageEntry {
    uint8_t raw[kFwEntrySize];
};

struct FW_Header {
    uint8_t raw[kFwHeaderSize];
};

static_assert(sizeof(FW_ImageEntry) == kFwEntrySize);
static_assert(sizeof(FW_Header) == kFwHeaderSize);
static_assert(kHdrEntries + kFwMaxEntries * kFwEntrySize == kFwHeaderSize);

// ---- PID block: 70 bytes ending at the boot PID location -----------------
constexpr size_t kPidBlockSize = 70;
constexpr size_t kPidBlockBufferSize = 77;  // the driver's zeroed scratch
constexpr size_t kPidMagicSize = 7;
constexpr char kPidMagic[kPidMagicSize + 1] = "tAvRiCk";
constexpr size_t kPidHexChars = 112;  // PID file: 112 hex characters
constexpr size_t kPidBytes = kPidHexChars / 2;

struct PidBlock {
    uint8_t raw[kPidBlockBufferSize];
};

// ---- FW PID record: 16 bytes behind the last image of each group ---------
constexpr size_t kFwPidRecordSize = 16;
constexpr size_t kFwPidTagSize = 6;
constexpr char kFwPidTag[kFwPidTagSize + 1] = "aVrIcK";
constexpr uint8_t kFwPidConst[2] = {0x90, 0xF7};
// PidBlock positions of the three 16-bit words the record carries.
constexpr size_t kFwPidWordSource[3] = {45, 49, 57};
constexpr size_t kFwPidConstAt = 6;
constexpr size_t kFwPidTagAt = 8;

struct FwPidRecord {
    uint8_t raw[kFwPidRecordSize];
};

// ---- little-endian helpers ----------------------------------------------
inline void PutLe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t GetLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// The first byte of entry n of a header's 256 bytes.
inline const uint8_t* EntryAt(const uint8_t* header, size_t n) { return header + kHdrEntries + n * kFwEntrySize; }

inline uint8_t* EntryAt(FW_Header* header, size_t n) { return header->raw + kHdrEntries + n * kFwEntrySize; }

inline const uint8_t* EntryAt(const FW_Header* header, size_t n) { return EntryAt(header->raw, n); }

// The standard reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320,
// preset 0xFFFFFFFF, result complemented). A length of 0 or less gives 0.
uint32_t crc32(const uint8_t* data, int32_t length);

// The same CRC over a buffer that may exceed 2 GiB, continued from `crc`
// (0 for a fresh start), for readers that checksum in pieces.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length);

// The CRC-32 of two pieces one after the other, from the CRC-32 of each
// and the length of the second: crc32_combine(crc(A), crc(B), |B|) is
// crc(A then B). With crc2 = 0 it moves crc1 past |B| bytes, so that the
// CRC-32 of a range follows from two running CRCs: crc(B) = crc(A then B) ^
// crc32_combine(crc(A), 0, |B|).
uint32_t crc32_combine(uint32_t crc1, uint32_t crc2, uint64_t length2);

// crc32_combine for one second length, made once into tables, for joining
// many pieces of the same length: crc32_combine_with(MakeCrc32Shift(n),
// crc1, crc2) is crc32_combine(crc1, crc2, n), in four table lookups.
struct Crc32Shift {
    uint32_t byByte[4][256];
};
Crc32Shift MakeCrc32Shift(uint64_t length2);
uint32_t crc32_combine_with(const Crc32Shift& shift, uint32_t crc1, uint32_t crc2);

// ---- the rules of the format ----------------------------------------------

// The header checksum: the CRC-32 of the 256 header bytes with the magic
// (0..3) and the checksum field (8..11) set to the fill byte, which is what
// they held when the header was built. Sealing stores it; a verifier
// recomputes it from a header read back.
uint32_t HeaderChecksumFor(const uint8_t* header, uint8_t fill);

// Seals a header built on `fill`: stores its checksum and then the magic.
void SealFwHeader(FW_Header* header, uint8_t fill);

// The three 16-bit PID words a FW PID record carries, copied from a 70-byte
// PID block.
void CopyFwPidWords(const uint8_t* pidBlock, uint8_t words[6]);

// The whole 16-byte FW PID record for a PID block.
FwPidRecord MakeFwPidRecord(const uint8_t* pidBlock);

// The trace dump of a header: its fields and entries, and with `sealed` also
// its magic and checksum.
void PrintFwHeader(const FW_Header& header, int32_t group, bool sealed);

}  // namespace morvik
