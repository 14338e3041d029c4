// The bind context: everything one run learns from the PAR file, decides in
// the planner and hands to the writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik {

struct FW_Header;

// Limits of the model.
constexpr uint32_t kMaxImages = 10;     // image lines in one PAR file
constexpr uint32_t kMaxGroups = 2;      // image groups (fwHeader / fwLocation slots)
constexpr size_t kMaxPathLength = 255;  // characters of a path, without the NUL
constexpr size_t kPathBufferSize = kMaxPathLength + 1;

// Image types (ImageInfo::type).
constexpr int32_t IMAGE_NORMAL = 1;
constexpr int32_t IMAGE_KERNEL = 2;
constexpr int32_t IMAGE_FW = 3;

// Pad modes of a reserved range (ImageInfo::pad).
constexpr int32_t PAD_00 = 0;
constexpr int32_t PAD_FF = 1;
constexpr int32_t PAD_NONE = 2;

struct ImageInfo {
    char name[kPathBufferSize];
    uint32_t offset;  // compared signed by the sort, unsigned by the overlap check
    int32_t length;   // file size in bytes, measured when the PAR line is read
    int32_t type;
    char version[5];  // up to 4 characters and a NUL
    uint8_t cksum;    // 1: the bootloader verifies this image's CRC
    uint32_t limit;   // reserved range size, 0 for none
    int32_t pad;
    int32_t groupId;  // -1 for images of no group
    uint32_t line;    // the PAR line it was read from, for diagnostics
    // The '-l' value the line gives, 0 for none; `limit` is 0 where the
    // planner ignores a range too small.
    uint32_t givenLimit;
};

struct PidInfo {
    char name[kPathBufferSize];
    uint32_t missing;
    uint32_t bootLocation;            // last byte of the PidBlock in the output
    uint32_t fwLocation[kMaxGroups];  // FW PID record position of each group
    uint32_t line;                    // the PAR line it was read from, for diagnostics
};

struct ParInfo {
    ImageInfo* images[kMaxImages];
    PidInfo* pidInfo;
    FW_Header* fwHeader[kMaxGroups];
    int32_t finalPad;     // 0: fill 0x00, 1: fill 0xFF
    uint32_t targetSize;  // output size in bytes
    uint32_t imageCount;
    int32_t groupCount;             // number of -k marks read
    char parPath[kPathBufferSize];  // the PAR file, as diagnostics name it
    int32_t strict;                 // 1 under --strict: every warning is an error
    uint32_t strictErrors;          // warnings that were errors under --strict, so far
};

// The output's fill byte: 0xFF when finalPad selects it, else 0x00. It also
// fills every byte of a firmware header that no field takes.
inline uint8_t FillByte(const ParInfo* info) { return info->finalPad == 1 ? 0xFF : 0x00; }

// The fill values the command lines take (Morvik's -p, Morvik-inspect's
// --fill): 0x00, 0xff and 0xFF. false for anything else.
bool ParseFillValue(const char* text, uint8_t* fill);

// Brings a context into its empty state: no images, no PID, no headers,
// fill 0x00, size 0.
void init_info(ParInfo* info);

// Releases every heap record the context holds, including a record that was
// stored for a PAR line that failed before it was counted.
void FreeMemory(ParInfo* info);

}  // namespace morvik
