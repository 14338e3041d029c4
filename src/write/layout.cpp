// The description of a bind's output: each step of the writer laid down as
// an area over the areas below it, in the writer's order, so that a later
// write (the PID block, a header) cuts what it covers out of them.
#include "write/layout.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace morvik {

Claim PadBehind(const ImageInfo* image) {
    if (!HasPaddedRange(image)) return {DataEnd(image), DataEnd(image)};
    const uint64_t end = uint64_t{image->offset} + image->limit;
    return {std::min(DataEnd(image), end), end};
}

std::vector<Claim> Claims(const ParInfo* info) {
    std::vector<Claim> claims;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        claims.push_back({image->offset, std::max(DataEnd(image), PadBehind(image).end)});
    }
    std::sort(claims.begin(), claims.end(), [](const Claim& a, const Claim& b) { return a.start < b.start; });
    return claims;
}

std::vector<Claim> FillGapsOf(const ParInfo* info) {
    std::vector<Claim> gaps;
    uint64_t at = 0;
    for (const Claim& claim : Claims(info)) {
        if (claim.start > at) gaps.push_back({at, claim.start});
        at = std::max(at, claim.end);
    }
    if (info->targetSize > at) gaps.push_back({at, info->targetSize});
    return gaps;
}

std::vector<FwPidPlace> FwPidPlaces(const ParInfo* info) {
    const PidInfo* pid = info->pidInfo;
    if (pid == nullptr) return {};
    if (info->groupCount == 0) return {{-1, pid->fwLocation[0]}};
    std::vector<FwPidPlace> places;
    for (int32_t g = 0; g < info->groupCount; ++g) places.push_back({g, pid->fwLocation[g]});
    return places;
}

FW_Header SealedFwHeader(const ParInfo* info, int32_t group) {
    FW_Header header = *info->fwHeader[group];
    SealFwHeader(&header, FillByte(info));
    return header;
}

namespace {

// Keeps the part [from, to) of an area.
void Keep(LayoutArea* area, uint64_t from, uint64_t to) {
    if (area->kind == AreaKind::kImageData) area->fileAt += from - area->start;
    if (!area->bytes.empty())
        area->bytes = std::vector<uint8_t>(area->bytes.begin() + static_cast<std::ptrdiff_t>(from - area->start),
                                           area->bytes.begin() + static_cast<std::ptrdiff_t>(to - area->start));
    area->start = from;
    area->end = to;
}

// Lays `area` over the areas so far: what it covers of them is cut out.
void Lay(std::vector<LayoutArea>* areas, LayoutArea area) {
    if (area.start >= area.end) return;
    std::vector<LayoutArea> laid;
    for (LayoutArea& below : *areas) {
        if (below.end <= area.start || below.start >= area.end) {
            laid.push_back(std::move(below));
            continue;
        }
        if (below.start < area.start) {
            LayoutArea left = below;
            Keep(&left, below.start, area.start);
            laid.push_back(std::move(left));
        }
        if (below.end > area.end) {
            LayoutArea right = below;
            Keep(&right, area.end, below.end);
            laid.push_back(std::move(right));
        }
    }
    laid.push_back(std::move(area));
    std::sort(laid.begin(), laid.end(), [](const LayoutArea& a, const LayoutArea& b) { return a.start < b.start; });
    *areas = std::move(laid);
}

LayoutArea FillArea(uint64_t start, uint64_t end, uint8_t byte) {
    LayoutArea area;
    area.start = start;
    area.end = end;
    area.byte = byte;
    return area;
}

LayoutArea LineArea(AreaKind kind, uint64_t start, uint64_t end, uint32_t line, const char* file) {
    LayoutArea area;
    area.kind = kind;
    area.start = start;
    area.end = end;
    area.line = line;
    area.file = file;
    return area;
}

LayoutArea BytesArea(AreaKind kind, uint64_t start, const uint8_t* bytes, size_t count, uint32_t line,
                     const char* file) {
    LayoutArea area = LineArea(kind, start, start + count, line, file);
    area.bytes.assign(bytes, bytes + count);
    return area;
}

// The pad of its range, then its data: LocateImage's order.
void LayImage(std::vector<LayoutArea>* areas, const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    const Claim pad = PadBehind(image);
    LayoutArea padArea = LineArea(AreaKind::kRangePad, pad.start, pad.end, image->line, image->name);
    padArea.image = static_cast<int32_t>(i);
    padArea.byte = PadByte(image);
    Lay(areas, std::move(padArea));
    LayoutArea data = LineArea(AreaKind::kImageData, image->offset, DataEnd(image), image->line, image->name);
    data.image = static_cast<int32_t>(i);
    Lay(areas, std::move(data));
}

void LayPidData(std::vector<LayoutArea>* areas, const ParInfo* info, const PidBlock* block) {
    const PidInfo* pid = info->pidInfo;
    Lay(areas, BytesArea(AreaKind::kPidBlock, PidBlockAt(pid), block->raw, kPidBlockSize, pid->line, pid->name));
    const FwPidRecord record = MakeFwPidRecord(block->raw);
    for (const FwPidPlace& place : FwPidPlaces(info)) {
        if (place.at == 0) continue;
        LayoutArea area =
            BytesArea(AreaKind::kFwPidRecord, place.at, record.raw, kFwPidRecordSize, pid->line, pid->name);
        area.group = place.group;
        Lay(areas, std::move(area));
    }
}

void LayHeaders(std::vector<LayoutArea>* areas, const ParInfo* info) {
    for (int32_t g = 0; g < info->groupCount; ++g) {
        const FW_Header header = SealedFwHeader(info, g);
        for (uint32_t i = 0; i < info->imageCount; ++i) {
            const ImageInfo* image = info->images[i];
            if (!CarriesFwHeader(image, g)) continue;
            LayoutArea area =
                BytesArea(AreaKind::kFwHeader, FwHeaderAt(image), header.raw, kFwHeaderSize, image->line, image->name);
            area.image = static_cast<int32_t>(i);
            area.group = g;
            Lay(areas, std::move(area));
        }
    }
}

// Where nothing was written below the output's end the file grew with
// zeros.
void FillHoles(BindLayout* layout) {
    std::vector<LayoutArea> holes;
    uint64_t at = 0;
    for (const LayoutArea& area : layout->areas) {
        if (area.start > at) holes.push_back(FillArea(at, area.start, 0x00));
        at = area.end;
    }
    if (layout->size > at) holes.push_back(FillArea(at, layout->size, 0x00));
    for (LayoutArea& hole : holes) Lay(&layout->areas, std::move(hole));
}

}  // namespace

BindLayout DescribeBind(const ParInfo* info, const PidBlock* pid) {
    BindLayout layout;
    const uint8_t fill = FillByte(info);
    for (const Claim& gap : FillGapsOf(info)) Lay(&layout.areas, FillArea(gap.start, gap.end, fill));
    for (uint32_t i = 0; i < info->imageCount; ++i) LayImage(&layout.areas, info, i);
    if (info->pidInfo != nullptr && pid != nullptr) LayPidData(&layout.areas, info, pid);
    LayHeaders(&layout.areas, info);
    layout.size = info->targetSize;
    for (const LayoutArea& area : layout.areas) layout.size = std::max(layout.size, area.end);
    FillHoles(&layout);
    return layout;
}

}  // namespace morvik
