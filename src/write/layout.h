// Every byte a bind writes, described without writing it: the output as
// ordered, disjoint areas, each with what lays it down (fill, an image's
// data, the pad of its reserved range, the PID block, a FW PID record, a
// firmware header) and the PAR line it comes from. The writer lays its
// bytes down by the rules here, so that the description and the bind
// cannot drift apart; a checker compares an image against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/image_format.h"
#include "model/context.h"

namespace morvik {

// ---- the rules the writer lays the bytes down by --------------------------

// The first byte behind an image's data.
inline uint64_t DataEnd(const ImageInfo* image) {
    return uint64_t{image->offset} + static_cast<uint64_t>(image->length);
}

// A reserved range with a pad byte: the writer pads it behind the image's
// data. A range without one is left to the fill.
inline bool HasPaddedRange(const ImageInfo* image) { return image->limit != 0 && image->pad != PAD_NONE; }

inline uint8_t PadByte(const ImageInfo* image) { return image->pad == PAD_FF ? 0xFF : 0x00; }

// [start, end) of a stretch of the output.
struct Claim {
    uint64_t start;
    uint64_t end;
};

// The padded part of an image's range: from behind its data to the range's
// end (empty without a padded range).
Claim PadBehind(const ImageInfo* image);

// What the images claim in the output (their data and their padded
// ranges), in ascending order.
std::vector<Claim> Claims(const ParInfo* info);

// The stretches up to targetSize that no claim covers: the fill goes there.
std::vector<Claim> FillGapsOf(const ParInfo* info);

// The first byte of the 70-byte PID block, which ends at the boot PID
// location.
inline uint64_t PidBlockAt(const PidInfo* pid) { return uint64_t{pid->bootLocation} + 1 - kPidBlockSize; }

// One FW PID record slot the PID step goes through: a group's (group -1
// for the one a PID line gives to an image without groups). Location 0 is
// none: it would be the bootloader's first bytes.
struct FwPidPlace {
    int32_t group;
    uint32_t at;
};
std::vector<FwPidPlace> FwPidPlaces(const ParInfo* info);

// True when `image` is a kernel of `group`: its group's header goes in the
// 256 bytes in front of it.
inline bool CarriesFwHeader(const ImageInfo* image, int32_t group) {
    return image->groupId == group && image->type == IMAGE_KERNEL;
}
inline uint32_t FwHeaderAt(const ImageInfo* kernel) { return kernel->offset - static_cast<uint32_t>(kFwHeaderSize); }

// The planner's header of `group`, sealed on the output's fill byte.
FW_Header SealedFwHeader(const ParInfo* info, int32_t group);

// ---- the description ----------------------------------------------------------

enum class AreaKind { kFill, kImageData, kRangePad, kPidBlock, kFwPidRecord, kFwHeader };

struct LayoutArea {
    AreaKind kind = AreaKind::kFill;
    uint64_t start = 0;
    uint64_t end = 0;            // the first byte behind it
    uint32_t line = 0;           // the PAR line it comes from; 0 for fill
    std::string file;            // the image or PID file of that line; "" for fill
    int32_t image = -1;          // table index of the image (its data, its pad, the kernel under a header)
    int32_t group = -1;          // the group of a FW PID record or header
    uint64_t fileAt = 0;         // image data: where in the image file the area's first byte comes from
    uint8_t byte = 0;            // fill and pad: the byte of every position
    std::vector<uint8_t> bytes;  // PID block, FW PID record, header: the area's bytes
};

struct BindLayout {
    uint64_t size = 0;              // the output's size
    std::vector<LayoutArea> areas;  // ascending and disjoint, together [0, size)
};

// What a bind writes for `info` once the planner has passed it
// (par_extra_info and CheckPidPlacement), with the PID block `pid` built
// from the PID file (nullptr without a PID line). Built in the writer's own
// order: the fill and the images, then the PID block and the records, then
// the sealed headers, each over what lies below it.
BindLayout DescribeBind(const ParInfo* info, const PidBlock* pid);

}  // namespace morvik
