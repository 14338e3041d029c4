// The layout planner: turns the PAR description into final positions. It
// sorts the images by offset, enforces the size, PID and image-group rules,
// moves each kernel behind the room for its group's header, puts each
// group's FW PID record behind the group's last image, reconciles reserved
// ranges, refuses overlaps, settles the output size and builds the headers.
//
// All positions are 32-bit byte counts. The sort compares offsets signed and
// the overlap check unsigned, both on purpose; areas that would reach past
// 4 GiB are refused rather than wrapped.
#include "plan/planner.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "format/image_format.h"
#include "format/placement.h"
#include "sys/diagnostics.h"

namespace morvik {

namespace {

constexpr uint64_t kLastAddress = 0xFFFFFFFFull;  // an area must end at or below this

// ---- phase 1: ordering -----------------------------------------------------

// Stable exchange sort on the signed offset: an offset of 0x80000000 or above
// sorts ahead of every smaller one, and equal offsets keep their PAR order.
void SortImagesByOffset(ParInfo* info) {
    uint32_t count = info->imageCount;
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t j = count - 1; j > i; --j)
            if (static_cast<int32_t>(info->images[j]->offset) < static_cast<int32_t>(info->images[j - 1]->offset))
                std::swap(info->images[j], info->images[j - 1]);
}

// ---- phase 2: preconditions and group rules --------------------------------

bool CheckPreconditions(const ParInfo* info) {
    if (info->targetSize == 0) {
        std::printf("Error : Final Image Target Size is not given!\n");
        PathError(info->parPath, "no size line gives the output's size: add one, as '$Size &80' (KiB, hex)");
        return false;
    }
    if (info->pidInfo == nullptr) {
        if (info->groupCount != 0) {
            std::printf("Error : No PID found for format with FW_Header!\n");
            PathError(info->parPath, "the image groups' FW headers need a PID line, as '%%pid.txt &7fff'");
            return false;
        }
        std::printf("Warn : No PID would be bind!\n");
    }
    return true;
}

// The kernels in the order of their PAR lines; returns how many there are.
uint32_t KernelsInParOrder(const ParInfo* info, const ImageInfo* kernels[kMaxImages]) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        if (info->images[i]->type == IMAGE_KERNEL) kernels[count++] = info->images[i];
    }
    std::stable_sort(kernels, kernels + count,
                     [](const ImageInfo* a, const ImageInfo* b) { return a->line < b->line; });
    return count;
}

// Located at the first kernel beyond the group slots.
void DiagnoseTooManyKernels(const ParInfo* info) {
    const ImageInfo* kernels[kMaxImages];
    if (KernelsInParOrder(info, kernels) <= kMaxGroups) return;
    const ImageInfo* extra = kernels[kMaxGroups];
    LocatedError(
        info->parPath, extra->line,
        "%s is a third kernel ('-k'): there are at most 2 image groups, and lines %u and %u hold their kernels",
        extra->name, kernels[0]->line, kernels[1]->line);
}

// Two header slots and two FW PID slots: a third -k mark has nowhere to go.
// Every later step, the writer's included, relies on this limit (and on the
// reader's limit of 10 images) without checking it again.
bool CheckGroupCount(const ParInfo* info) {
    if (static_cast<uint32_t>(info->groupCount) <= kMaxGroups) return true;
    DiagnoseTooManyKernels(info);
    std::printf("Error : %d images are labeled by '-k', but at most %u Image Groups are supported!\n", info->groupCount,
                kMaxGroups);
    return false;
}

// Group numbers compare signed: -1 (no group) and anything read as
// 0x80000000 or above pass. A kernel of the highest group sets the top-group
// mark before its own range test.
bool CheckGroupRange(const ParInfo* info, bool* topGroupMarked) {
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->type == IMAGE_FW && image->groupId >= info->groupCount) {
            LocatedError(info->parPath, image->line,
                         "%s is an image of group %d ('-f %x'), which has no kernel ('-k %x')", image->name,
                         image->groupId, image->groupId, image->groupId);
            std::printf("Error : Image Group %d has no Image labeled by '-k'.\n", image->groupId);
            return false;
        }
        if (image->type != IMAGE_KERNEL) continue;
        if (image->groupId == info->groupCount - 1) *topGroupMarked = true;
        if (image->groupId >= info->groupCount) {
            LocatedError(info->parPath, image->line,
                         "%s is the kernel of group %d ('-k %x'), but groups are numbered from 0: with %d kernel(s), "
                         "each group number must be below %d",
                         image->name, image->groupId, image->groupId, info->groupCount, info->groupCount);
            std::printf("Error : Certain Image Group has no Image labeled by '-k'.\n");
            return false;
        }
    }
    return true;
}

bool CheckDuplicateKernels(const ParInfo* info) {
    for (int32_t g = 0; g < info->groupCount; ++g) {
        const ImageInfo* first = nullptr;
        for (uint32_t i = 0; i < info->imageCount; ++i) {
            const ImageInfo* image = info->images[i];
            if (image->type != IMAGE_KERNEL || image->groupId != g) continue;
            if (first == nullptr) {
                first = image;
            } else {
                LocatedError(info->parPath, image->line, "%s is a second kernel of group %d: line %u holds its kernel",
                             image->name, g, first->line);
                std::printf("Error : Image Group %d has more than one image labeled by '-k'!\n", g);
                return false;
            }
        }
    }
    return true;
}

bool CheckRules(const ParInfo* info) {
    if (!CheckPreconditions(info) || !CheckGroupCount(info)) return false;
    bool topGroupMarked = false;
    if (!CheckGroupRange(info, &topGroupMarked)) return false;
    // Kept on purpose: the duplicate test is skipped whenever some kernel
    // carries the highest group number.
    return topGroupMarked || CheckDuplicateKernels(info);
}

// ---- phase 3: per-image pass -------------------------------------------------

bool IsLastOfGroup(const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    if (image->type == IMAGE_NORMAL) return false;
    return IndexOfLastImgInGroup(info, static_cast<uint8_t>(image->groupId)) == static_cast<int32_t>(i);
}

uint64_t DataEnd(const ImageInfo* image) { return uint64_t{image->offset} + static_cast<uint64_t>(image->length); }

// Where the group's FW PID record goes when `image` is the group's last.
// Areas past 4 GiB are refused before this is used, so it fits 32 bits.
uint32_t RecordPosition(const ImageInfo* image) { return static_cast<uint32_t>(FwPidRecordAt(DataEnd(image))); }

// Start of the area an image claims: a kernel's begins with its header room.
uint32_t AreaStartOf(const ImageInfo* image) {
    return static_cast<uint32_t>(AreaStart(image->offset, image->type == IMAGE_KERNEL));
}

bool RefuseBeyond4GiB(const ParInfo* info, const ImageInfo* image, uint64_t start, uint64_t end) {
    LocatedError(info->parPath, image->line, "%s (area 0x%llx..0x%llx) runs past 4 GiB: the last byte is 0xffffffff",
                 image->name, static_cast<unsigned long long>(start), static_cast<unsigned long long>(end - 1));
    std::printf("Error : Image %s runs past 4 GiB (area %llx to %llx)!\n", image->name,
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
    return false;
}

// Moves a kernel behind its header room, after making sure its data and, for
// a group's last image, the FW PID record behind it stay below 4 GiB. The
// reader refuses files of 2 GiB and more, so a length is never negative.
bool ShiftAndCheckArea(ParInfo* info, uint32_t i) {
    ImageInfo* image = info->images[i];
    bool kernel = image->type == IMAGE_KERNEL;
    uint64_t start = kernel ? KernelDataStart(image->offset) : image->offset;
    uint64_t end = start + static_cast<uint64_t>(image->length);
    if (IsLastOfGroup(info, i)) end = FwPidRecordEnd(end);
    if (end > kLastAddress) return RefuseBeyond4GiB(info, image, image->offset, end);
    image->offset = static_cast<uint32_t>(start);
    return true;
}

void StorePidLocation(ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    // The group rules leave only groups 0 and 1 with a last image.
    if (info->groupCount == 0 || !IsLastOfGroup(info, i)) return;
    uint32_t pidInF = RecordPosition(image);
    info->pidInfo->fwLocation[image->groupId] = pidInF;
    std::printf("PID_in_f for Group %d is at %x\n", image->groupId, pidInF);
}

// What the PAR file asks for and the bind does not do as written: a
// warning, and under --strict an error that stops the planner once the
// pass over the images is done.
__attribute__((format(printf, 3, 4))) void PlanWarning(ParInfo* info, uint32_t line, const char* format, ...) {
    const bool strict = info->strict != 0;
    va_list args;
    va_start(args, format);
    VLocatedWarningOrError(strict, info->parPath, line, format, args);
    va_end(args);
    if (strict) ++info->strictErrors;
}

bool StrictAllows(const ParInfo* info) {
    if (info->strictErrors == 0) return true;
    std::printf("Error : a warning stops the bind under --strict!\n");
    return false;
}

// A normal image's range is tested signed. A group image's range is tested
// unsigned and, for the group's last image, must also hold the FW PID record
// behind the image's even end.
void WarnRangeTooSmall(ParInfo* info, const ImageInfo* image, uint32_t needed, bool withRecord) {
    uint32_t missing = needed - image->limit;
    if (withRecord) {
        PlanWarning(info, image->line,
                    "reserved range '-l 0x%x' is 0x%x bytes (%u) too small for %s (0x%x bytes) and its group's "
                    "16-byte FW PID record: the range is ignored",
                    image->limit, missing, missing, image->name, static_cast<uint32_t>(image->length));
    } else {
        PlanWarning(info, image->line,
                    "reserved range '-l 0x%x' is 0x%x bytes (%u) too small for %s (0x%x bytes): the range is ignored",
                    image->limit, missing, missing, image->name, static_cast<uint32_t>(image->length));
    }
}

void CheckLimit(ParInfo* info, uint32_t i) {
    ImageInfo* image = info->images[i];
    if (image->limit == 0) return;
    if (image->type == IMAGE_NORMAL) {
        if (image->length > static_cast<int32_t>(image->limit)) {
            WarnRangeTooSmall(info, image, static_cast<uint32_t>(image->length), false);
            std::printf("Error : Limit Size of %s is small than its Size, so '-l' option is ignored!\n", image->name);
            image->limit = 0;
        }
        return;
    }
    bool last = IsLastOfGroup(info, i);
    auto needed = static_cast<uint32_t>(LeastRange(image->offset, DataEnd(image), last));
    if (needed > image->limit) {
        WarnRangeTooSmall(info, image, needed, last);
        std::printf("Warn : Limit Size of %s is small than its Size, so '-l' option is ignored!\n", image->name);
        image->limit = 0;
    }
}

// A pad byte given without any reserved range is what the warning is about;
// one whose range was just ignored follows from that range's warning.
void CheckPad(ParInfo* info, ImageInfo* image, bool rangeGiven) {
    if (image->limit != 0 || image->pad == PAD_NONE) return;
    if (!rangeGiven) {
        PlanWarning(info, image->line,
                    "'-p' has no effect without a reserved range ('-l 0xSIZE'): the pad byte is ignored");
    }
    std::printf("Warn : Limit Size of %s is 0, so '-p' option is ignored!\n", image->name);
    image->pad = PAD_NONE;
}

bool CheckReservedRange(const ParInfo* info, const ImageInfo* image) {
    uint64_t end = uint64_t{image->offset} + image->limit;
    if (image->limit == 0 || end <= kLastAddress) return true;
    return RefuseBeyond4GiB(info, image, AreaStartOf(image), end);
}

bool PassImages(ParInfo* info) {
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        ImageInfo* image = info->images[i];
        if (!ShiftAndCheckArea(info, i)) return false;
        StorePidLocation(info, i);
        bool rangeGiven = image->limit != 0;
        CheckLimit(info, i);
        CheckPad(info, image, rangeGiven);
        if (!CheckReservedRange(info, image)) return false;
    }
    return true;
}

// ---- phase 4: image dump -----------------------------------------------------

void DumpImages(const ParInfo* info) {
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        std::printf("\nname %s\noffset %x\nlength %x\nl_size %x\ntype %d\n\n", image->name, image->offset,
                    static_cast<uint32_t>(image->length), image->limit, image->type);
    }
}

// ---- phase 5: overlaps and the output size ---------------------------------

// First byte behind everything the image claims: its reserved range, or its
// data, or its data and its group's FW PID record.
uint32_t ThisEnd(const ParInfo* info, uint32_t k) {
    const ImageInfo* image = info->images[k];
    return static_cast<uint32_t>(AreaEnd(image->offset, DataEnd(image), image->limit, IsLastOfGroup(info, k)));
}

// The last image of the table has the end of the output behind it, not
// another image.
bool IsLastInTable(const ParInfo* info, uint32_t k) { return k + 1 == info->imageCount; }

uint32_t NextStart(const ParInfo* info, uint32_t k) {
    if (IsLastInTable(info, k)) return info->targetSize;
    return AreaStartOf(info->images[k + 1]);
}

// What image k claims, as "0x10000..0x122ff, header from 0xff00".
void DescribeArea(const ParInfo* info, uint32_t k, uint32_t thisEnd, char* text, size_t size) {
    const ImageInfo* image = info->images[k];
    const char* with = image->limit != 0        ? " with its reserved range"
                       : IsLastOfGroup(info, k) ? " with its group's FW PID record"
                                                : "";
    int used = std::snprintf(text, size, "0x%x..0x%x%s", image->offset, thisEnd - 1, with);
    if (image->type == IMAGE_KERNEL && used > 0 && static_cast<size_t>(used) < size)
        std::snprintf(text + used, size - used, ", header from 0x%x", AreaStartOf(image));
}

// Both areas with their lines, and by how much they overlap. The sort is
// signed, so an image at 0x80000000 or above can come ahead of one that lies
// lower: that is no overlap of so many bytes, and is said as it is.
void DiagnoseOverlap(const ParInfo* info, uint32_t k, uint32_t thisEnd, uint32_t nextStart) {
    const ImageInfo* image = info->images[k];
    char area[96];
    DescribeArea(info, k, thisEnd, area, sizeof area);
    uint32_t excess = thisEnd - nextStart;
    if (IsLastInTable(info, k)) {
        LocatedError(info->parPath, image->line,
                     "%s (%s) runs past the end of the output at 0x%x (the size line): 0x%x bytes (%u) too far",
                     image->name, area, nextStart, excess, excess);
        return;
    }
    const ImageInfo* next = info->images[k + 1];
    const char* from = next->type == IMAGE_KERNEL ? "header from" : "from";
    if (nextStart < AreaStartOf(image)) {
        LocatedError(info->parPath, image->line,
                     "%s (%s) sorts ahead of %s (line %u, %s 0x%x), which lies lower: an offset of 0x80000000 or more "
                     "is placed first",
                     image->name, area, next->name, next->line, from, nextStart);
        return;
    }
    LocatedError(info->parPath, image->line, "%s (%s) overlaps %s (line %u, %s 0x%x): 0x%x bytes (%u)", image->name,
                 area, next->name, next->line, from, nextStart, excess, excess);
}

bool ReportOverlap(const ParInfo* info, uint32_t k, uint32_t thisEnd, uint32_t nextStart) {
    DiagnoseOverlap(info, k, thisEnd, nextStart);
    char endOfOutput[48];
    const char* other = endOfOutput;
    if (IsLastInTable(info, k))
        std::snprintf(endOfOutput, sizeof endOfOutput, "the end of the output (size %x)", info->targetSize);
    else
        other = info->images[k + 1]->name;
    std::printf("Error : Image %s overlay with Image %s!\n", info->images[k]->name, other);
    return false;
}

bool CheckOverlaps(ParInfo* info) {
    uint32_t count = info->imageCount;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t thisEnd = ThisEnd(info, k);
        uint32_t nextStart = NextStart(info, k);
        std::printf("this_end %x , next_start %x\n", thisEnd, nextStart);
        if (thisEnd > nextStart) return ReportOverlap(info, k, thisEnd, nextStart);
        // With image groups the output ends exactly where the last area ends.
        if (IsLastInTable(info, k) && info->groupCount != 0) {
            info->targetSize = thisEnd;
            std::printf("Target Size is overriden to %x\n", info->targetSize);
        }
    }
    return true;
}

// The headers are written last: a PID block under a header's 256 bytes would
// be cut by it. Over image data (a placeholder in the bootloader) it may lie.
bool CheckPidBlockOffHeaders(const ParInfo* info) {
    uint32_t blockEnd = info->pidInfo->bootLocation;
    uint32_t blockStart = blockEnd - static_cast<uint32_t>(kPidBlockSize - 1);
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->type != IMAGE_KERNEL) continue;
        uint32_t headerStart = AreaStartOf(image);
        uint32_t headerEnd = headerStart + static_cast<uint32_t>(kFwHeaderSize) - 1;
        if (blockStart > headerEnd || blockEnd < headerStart) continue;
        LocatedError(
            info->parPath, info->pidInfo->line,
            "PID block 0x%x..0x%x overlaps the FW header of %s (line %u) at 0x%x..0x%x: the header would cut it",
            blockStart, blockEnd, image->name, image->line, headerStart, headerEnd);
        std::printf("Error : PID block 0x%x to 0x%x overlaps the FW header of %s at 0x%x to 0x%x!\n", blockStart,
                    blockEnd, image->name, headerStart, headerEnd);
        return false;
    }
    return true;
}

// Over image data the PID block may lie: that is where it is meant to go
// (a placeholder in the bootloader), but the image's bytes there are
// replaced, which is worth knowing.
void NotePidBlockOverImages(const ParInfo* info) {
    uint32_t blockEnd = info->pidInfo->bootLocation;
    uint32_t blockStart = blockEnd - static_cast<uint32_t>(kPidBlockSize - 1);
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->length == 0) continue;
        uint32_t dataEnd = image->offset + static_cast<uint32_t>(image->length) - 1;
        if (blockStart > dataEnd || blockEnd < image->offset) continue;
        LocatedNote(info->parPath, info->pidInfo->line,
                    "PID block 0x%x..0x%x lies over bytes of %s (line %u, 0x%x..0x%x), which it replaces", blockStart,
                    blockEnd, image->name, image->line, image->offset, dataEnd);
    }
}

// The PID block ends at the boot PID location, inside the output.
bool CheckPidBlockInOutput(const ParInfo* info) {
    const PidInfo* pid = info->pidInfo;
    if (pid->bootLocation < kPidBlockSize - 1) {
        LocatedError(
            info->parPath, pid->line,
            "PID location 0x%x leaves no room for the %zu-byte PID block in front of it: it must be 0x%zx or more",
            pid->bootLocation, kPidBlockSize, kPidBlockSize - 1);
        std::printf("Error : PID location 0x%x leaves no room for the %zu-byte PID block in front of it!\n",
                    pid->bootLocation, kPidBlockSize);
        return false;
    }
    if (pid->bootLocation < info->targetSize) return true;
    uint32_t blockStart = pid->bootLocation - static_cast<uint32_t>(kPidBlockSize - 1);
    LocatedError(info->parPath, pid->line, "PID block 0x%x..0x%x lies outside the output (0x%x bytes)", blockStart,
                 pid->bootLocation, info->targetSize);
    std::printf("Error : PID block 0x%x to 0x%x lies outside the output (size 0x%x)!\n", blockStart, pid->bootLocation,
                info->targetSize);
    return false;
}

// Without image groups the PID line's own FW PID location is used.
bool CheckFwPidRecordsInOutput(const ParInfo* info) {
    const PidInfo* pid = info->pidInfo;
    int32_t records = info->groupCount == 0 ? 1 : info->groupCount;
    for (int32_t g = 0; g < records; ++g) {
        uint64_t end = uint64_t{pid->fwLocation[g]} + kFwPidRecordSize;
        if (pid->fwLocation[g] == 0 || end <= info->targetSize) continue;
        LocatedError(info->parPath, pid->line, "FW PID record 0x%x..0x%llx lies outside the output (0x%x bytes)",
                     pid->fwLocation[g], static_cast<unsigned long long>(end - 1), info->targetSize);
        std::printf("Error : FW PID record 0x%x to 0x%llx lies outside the output (size 0x%x)!\n", pid->fwLocation[g],
                    static_cast<unsigned long long>(end - 1), info->targetSize);
        return false;
    }
    return true;
}

}  // namespace

// The PID block and every FW PID record the PID step will write must lie
// inside the output: a write past its end would grow the file with zeros
// instead of the fill byte, up to gigabytes away.
bool CheckPidPlacement(const ParInfo* info) {
    if (info->pidInfo == nullptr) return true;
    if (!CheckPidBlockInOutput(info) || !CheckPidBlockOffHeaders(info) || !CheckFwPidRecordsInOutput(info))
        return false;
    NotePidBlockOverImages(info);
    return true;
}

int32_t IndexOfLastImgInGroup(const ParInfo* info, uint8_t group) {
    int32_t last = -1;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (image->type == IMAGE_NORMAL) continue;
        if (static_cast<uint32_t>(image->groupId) == uint32_t{group}) last = static_cast<int32_t>(i);
    }
    return last;
}

int32_t par_extra_info(ParInfo* info, const ImageReader& reader) {
    SortImagesByOffset(info);
    if (!CheckRules(info) || !PassImages(info) || !StrictAllows(info)) return kPlanRejected;
    DumpImages(info);
    if (!CheckOverlaps(info)) return kPlanRejected;
    int32_t built = BuildFwHeaders(info, reader);
    if (built != kPlanOk) return built;
    DumpFwHeaders(info);
    std::printf("Pasre Par Info Done!\n");
    return kPlanOk;
}

}  // namespace morvik
