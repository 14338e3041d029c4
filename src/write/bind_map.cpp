#include "write/bind_map.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/image_format.h"
#include "format/placement.h"
#include "sys/json.h"

namespace morvik {

namespace {

// A piece of the output, [start, end).
struct Span {
    uint64_t start;
    uint64_t end;
};

// Everything the bind puts into the output besides fill and pad: the
// images' data, the headers, the PID block, the FW PID records.
std::vector<Span> WrittenSpans(const ParInfo* info) {
    std::vector<Span> spans;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        spans.push_back({image->offset, uint64_t{image->offset} + static_cast<uint64_t>(image->length)});
        if (image->type == IMAGE_KERNEL) spans.push_back({HeaderStartOf(image->offset), image->offset});
    }
    const PidInfo* pid = info->pidInfo;
    if (pid == nullptr) return spans;
    spans.push_back({uint64_t{pid->bootLocation} + 1 - kPidBlockSize, uint64_t{pid->bootLocation} + 1});
    const int32_t records = info->groupCount == 0 ? 1 : info->groupCount;
    for (int32_t g = 0; g < records; ++g)
        if (pid->fwLocation[g] != 0)
            spans.push_back({pid->fwLocation[g], uint64_t{pid->fwLocation[g]} + kFwPidRecordSize});
    return spans;
}

// How many bytes of [start, end) the spans cover, each byte once.
uint64_t CoveredBytes(std::vector<Span> spans, uint64_t start, uint64_t end) {
    for (Span& s : spans) {
        s.start = std::clamp(s.start, start, end);
        s.end = std::clamp(s.end, start, end);
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    uint64_t covered = 0, reached = start;
    for (const Span& s : spans) {
        uint64_t from = std::max(s.start, reached);
        if (s.end > from) covered += s.end - from;
        reached = std::max(reached, s.end);
    }
    return covered;
}

// The index in table order of the last image of `group`, or -1.
int64_t LastOfGroup(const ParInfo* info, int32_t group) {
    int64_t last = -1;
    for (uint32_t i = 0; i < info->imageCount; ++i)
        if (info->images[i]->type != IMAGE_NORMAL && info->images[i]->groupId == group) last = i;
    return last;
}

bool IsLastOfGroup(const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    return image->type != IMAGE_NORMAL && LastOfGroup(info, image->groupId) == i;
}

uint64_t AreaStartOf(const ImageInfo* image) { return AreaStart(image->offset, image->type == IMAGE_KERNEL); }

uint64_t DataEnd(const ImageInfo* image) { return uint64_t{image->offset} + static_cast<uint64_t>(image->length); }

uint64_t AreaEndOf(const ParInfo* info, uint32_t i) {
    const ImageInfo* image = info->images[i];
    return AreaEnd(image->offset, DataEnd(image), image->limit, IsLastOfGroup(info, i));
}

const char* RoleOf(const ImageInfo* image) {
    if (image->type == IMAGE_KERNEL) return "kernel";
    if (image->type == IMAGE_FW) return "group image";
    return "plain";
}

std::string GroupOf(int32_t group) { return group < 0 ? JsonNull() : JsonNumber(static_cast<uint64_t>(group)); }

// The byte in a kept range behind the image's data: its pad, else the
// output's fill.
uint8_t RangeByte(const ParInfo* info, const ImageInfo* image) {
    if (image->pad == PAD_FF) return 0xFF;
    if (image->pad == PAD_00) return 0x00;
    return FillByte(info);
}

// The free bytes of image i's kept range: those nothing is written over.
uint64_t FreeInRange(const ParInfo* info, uint32_t i, const std::vector<Span>& written) {
    const ImageInfo* image = info->images[i];
    if (image->limit == 0) return 0;
    const uint64_t end = uint64_t{image->offset} + image->limit;
    return image->limit - CoveredBytes(written, image->offset, end);
}

std::string ImageJson(const ParInfo* info, uint32_t i, const std::vector<Span>& written) {
    const ImageInfo* image = info->images[i];
    const bool kept = image->limit != 0;
    const uint64_t areaEnd = AreaEndOf(info, i);
    const uint64_t next = i + 1 < info->imageCount ? AreaStartOf(info->images[i + 1]) : info->targetSize;
    const uint64_t free = FreeInRange(info, i, written);
    JsonObject m;
    JsonName(&m, "file", image->name);
    JsonMember(&m, "line", JsonNumber(image->line));
    JsonMember(&m, "role", JsonText(RoleOf(image)));
    JsonMember(&m, "group", GroupOf(image->groupId));
    JsonMember(&m, "imageOffset", JsonNumber(AreaStartOf(image)));
    JsonMember(&m, "dataOffset", JsonNumber(image->offset));
    JsonMember(&m, "length", JsonNumber(static_cast<uint64_t>(image->length)));
    JsonMember(&m, "areaEnd", JsonNumber(areaEnd));
    JsonMember(&m, "limit", JsonNumber(image->givenLimit));
    JsonMember(&m, "rangeKept", JsonBool(kept));
    JsonMember(&m, "pad", kept ? JsonNumber(RangeByte(info, image)) : JsonNull());
    JsonMember(&m, "free", kept ? JsonNumber(free) : JsonNull());
    JsonMember(&m, "percentUsed", kept ? JsonNumber((image->limit - free) * 100 / image->limit) : JsonNull());
    JsonMember(&m, "gapToNext", JsonNumber(next - areaEnd));
    return JsonValue(m);
}

// The image table in the order of the PAR lines.
std::vector<uint32_t> InParOrder(const ParInfo* info) {
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < info->imageCount; ++i) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [info](uint32_t a, uint32_t b) { return info->images[a]->line < info->images[b]->line; });
    return order;
}

// The entry's 4 version bytes up to the first NUL.
std::string VersionOf(const uint8_t* entry) {
    const char* text = reinterpret_cast<const char*>(entry + kEntVersion);
    return std::string(text, strnlen(text, kFwVersionSize));
}

// Entry n of a header lists the group's n-th image in table order.
std::string EntryJson(const ParInfo* info, int32_t group, const FW_Header& header, size_t n) {
    const uint8_t* entry = EntryAt(&header, n);
    const ImageInfo* image = nullptr;
    size_t seen = 0;
    for (uint32_t i = 0; i < info->imageCount && image == nullptr; ++i)
        if (info->images[i]->groupId == group && seen++ == n) image = info->images[i];
    JsonObject m;
    JsonMember(&m, "index", JsonNumber(n));
    if (image != nullptr) {
        JsonName(&m, "file", image->name);
        JsonMember(&m, "line", JsonNumber(image->line));
    }
    JsonMember(&m, "offset", JsonNumber(GetLe32(entry + kEntOffset)));
    JsonMember(&m, "length", JsonNumber(GetLe32(entry + kEntLength)));
    JsonMember(&m, "checksum", JsonNumber(GetLe32(entry + kEntChecksum)));
    JsonMember(&m, "version", JsonText(VersionOf(entry)));
    // Only eight entries have a bit in the bitmap.
    JsonMember(&m, "verify", JsonBool(n < 8 && (header.raw[kHdrChecksumBitmap] >> n & 1) != 0));
    return JsonValue(m);
}

std::string HeaderJson(const ParInfo* info, int32_t group) {
    const FW_Header& header = *info->fwHeader[group];
    const ImageInfo* kernel = nullptr;
    for (uint32_t i = 0; i < info->imageCount; ++i)
        if (info->images[i]->type == IMAGE_KERNEL && info->images[i]->groupId == group) kernel = info->images[i];
    JsonObject m;
    JsonMember(&m, "group", JsonNumber(static_cast<uint64_t>(group)));
    JsonMember(&m, "offset", JsonNumber(kernel != nullptr ? HeaderStartOf(kernel->offset) : 0));
    JsonMember(&m, "size", JsonNumber(kFwHeaderSize));
    if (kernel != nullptr) JsonName(&m, "kernel", kernel->name);
    JsonMember(&m, "headerChecksum", JsonNumber(GetLe32(header.raw + kHdrChecksum)));
    JsonMember(&m, "checksumBitmap", JsonNumber(header.raw[kHdrChecksumBitmap]));
    JsonMember(&m, "fwPidRecord", JsonNumber(GetLe32(header.raw + kHdrPidOffset)));
    std::vector<std::string> entries;
    for (size_t n = 0; n < header.raw[kHdrImageNumber] && n < kFwMaxEntries; ++n)
        entries.push_back(EntryJson(info, group, header, n));
    JsonMember(&m, "entries", JsonArray(entries));
    return JsonValue(m);
}

std::string PidBlockJson(const PidInfo* pid) {
    JsonObject m;
    JsonName(&m, "file", pid->name);
    JsonMember(&m, "line", JsonNumber(pid->line));
    JsonMember(&m, "offset", JsonNumber(uint64_t{pid->bootLocation} + 1 - kPidBlockSize));
    JsonMember(&m, "bootPidLocation", JsonNumber(pid->bootLocation));
    JsonMember(&m, "size", JsonNumber(kPidBlockSize));
    return JsonValue(m);
}

std::string RecordsJson(const ParInfo* info) {
    std::vector<std::string> records;
    const PidInfo* pid = info->pidInfo;
    const int32_t count = pid == nullptr ? 0 : info->groupCount == 0 ? 1 : info->groupCount;
    for (int32_t g = 0; g < count; ++g) {
        if (pid->fwLocation[g] == 0) continue;  // none is written
        JsonObject m;
        JsonMember(&m, "group", info->groupCount == 0 ? JsonNull() : GroupOf(g));
        JsonMember(&m, "offset", JsonNumber(pid->fwLocation[g]));
        JsonMember(&m, "size", JsonNumber(kFwPidRecordSize));
        records.push_back(JsonValue(m));
    }
    return JsonArray(records);
}

std::string TotalsJson(const ParInfo* info, const std::vector<Span>& written) {
    uint64_t imageBytes = 0, freeBytes = 0;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        imageBytes += static_cast<uint64_t>(info->images[i]->length);
        freeBytes += FreeInRange(info, i, written);
    }
    const uint64_t dataBytes = CoveredBytes(written, 0, info->targetSize);
    JsonObject m;
    JsonMember(&m, "imageBytes", JsonNumber(imageBytes));
    JsonMember(&m, "dataBytes", JsonNumber(dataBytes));
    JsonMember(&m, "freeBytes", JsonNumber(freeBytes));
    JsonMember(&m, "fillBytes", JsonNumber(info->targetSize - dataBytes - freeBytes));
    return JsonValue(m);
}

}  // namespace

std::string BindMapDocument(const ParInfo* info, const char* parPath, const char* outPath) {
    const std::vector<Span> written = WrittenSpans(info);
    JsonObject output;
    JsonName(&output, "file", outPath);
    JsonMember(&output, "size", JsonNumber(info->targetSize));
    JsonMember(&output, "fill", JsonNumber(FillByte(info)));
    JsonObject par;
    JsonName(&par, "file", parPath);

    std::vector<std::string> items;
    for (uint32_t i : InParOrder(info)) items.push_back(ImageJson(info, i, written));
    std::vector<std::string> headers;
    for (int32_t g = 0; g < info->groupCount; ++g)
        if (info->fwHeader[g] != nullptr) headers.push_back(HeaderJson(info, g));

    JsonObject m;
    JsonMember(&m, "schemaVersion", JsonNumber(kMapSchemaVersion));
    JsonMember(&m, "output", JsonValue(output));
    JsonMember(&m, "par", JsonValue(par));
    JsonMember(&m, "images", JsonArray(items));
    JsonMember(&m, "headers", JsonArray(headers));
    JsonMember(&m, "pidBlock", info->pidInfo == nullptr ? JsonNull() : PidBlockJson(info->pidInfo));
    JsonMember(&m, "fwPidRecords", RecordsJson(info));
    JsonMember(&m, "totals", TotalsJson(info, written));
    return JsonDocument(m);
}

}  // namespace morvik
