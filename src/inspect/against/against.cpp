// Planning the bind that the image is checked against, and the comparison
// that rides on the inspection's pass: each chunk of the image is laid
// against the areas it spans, the image data against its input file read
// in step, everything else against the bytes the description gives.
#include "inspect/against/against.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "inspect/pass/text.h"
#include "par/par_reader.h"
#include "plan/planner.h"
#include "sys/diagnostics.h"
#include "write/writer.h"

namespace morvik {

namespace {

// ---- planning ----------------------------------------------------------------

// The binder's steps up to the first write, in its order: the reader, the
// planner (group images read for their CRC-32 only), the PID placement,
// the PID block, and the refusal of an empty image that placing it gives.
bool PlanAsTheBinder(ParInfo* info, const char* parFile, uint8_t fill, PidBlock* block) {
    if (ParseParInfo(parFile, info) != kParOk) return false;
    info->finalPad = fill == 0xFF ? 1 : 0;
    IoBuffer buffer;
    if (par_extra_info(info, ChecksumImageReader(&buffer)) != kPlanOk || !CheckPidPlacement(info)) return false;
    if (info->pidInfo != nullptr && MakePIDFormat(block, info->pidInfo->name, info) != 0) return false;
    for (uint32_t i = 0; i < info->imageCount; ++i)
        if (RefuseEmptyImage(info, info->images[i])) return false;
    return true;
}

void TakeLayout(const ParInfo* info, const PidBlock* block, Against* against) {
    against->layout = DescribeBind(info, info->pidInfo != nullptr ? block : nullptr);
    against->tallies.assign(against->layout.areas.size(), AreaTally{});
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        against->inputs.push_back({image->name, image->line, static_cast<uint64_t>(image->length), 0});
    }
    for (size_t k = 0; k < against->layout.areas.size(); ++k) {
        const LayoutArea& area = against->layout.areas[k];
        if (area.kind == AreaKind::kImageData) against->inputs[static_cast<size_t>(area.image)].lastArea = k;
    }
}

// ---- the input files ---------------------------------------------------------------

// Remembers the first way an input is not what was planned; the
// comparison stops there.
__attribute__((format(printf, 2, 3))) bool InputChanged(Against* against, const char* format, ...) {
    if (!against->changed.empty()) return false;
    va_list args;
    va_start(args, format);
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    against->changed = text;
    against->changedLine = against->inputs[static_cast<size_t>(against->reading)].line;
    return false;
}

bool OpenInput(Against* against, int32_t image) {
    const AgainstInput& input = against->inputs[static_cast<size_t>(image)];
    against->in = OpenForReading(input.name.c_str());
    against->reading = image;
    against->inAt = 0;
    if (against->in.fd < 0)
        return InputChanged(against, "image file '%s' cannot be opened any more: %s", input.name.c_str(),
                            std::strerror(errno));
    // A FIFO or device planted since the file was measured is not read.
    if (IsStream(against->in.fd))
        return InputChanged(against, "image file '%s' is no longer a regular file", input.name.c_str());
    return true;
}

// Reads the next `length` bytes of the input into the buffer.
bool ReadInput(Against* against, size_t length) {
    const AgainstInput& input = against->inputs[static_cast<size_t>(against->reading)];
    if (against->buffer.size() < length) against->buffer.resize(length);
    ssize_t got = ReadFull(against->in.fd, against->buffer.data(), length);
    if (got < 0)
        return InputChanged(against, "image file '%s' cannot be read: %s", input.name.c_str(), std::strerror(errno));
    if (static_cast<size_t>(got) < length)
        return InputChanged(against,
                            "image file '%s' is shorter now than the 0x%llx bytes measured when its line was read",
                            input.name.c_str(), static_cast<ull>(input.length));
    against->inAt += length;
    return true;
}

// Moves the input to `at` (never backwards: its areas come in file order),
// reading what lies between.
bool SkipInputTo(Against* against, uint64_t at) {
    while (against->inAt < at)
        if (!ReadInput(against, static_cast<size_t>(std::min<uint64_t>(at - against->inAt, kChunkSize)))) return false;
    return true;
}

// Behind its last area the input must end where it was measured to.
bool EndInput(Against* against) {
    const AgainstInput& input = against->inputs[static_cast<size_t>(against->reading)];
    if (!SkipInputTo(against, input.length)) return false;
    if (!AtEndOfFile(against->in.fd))
        return InputChanged(against,
                            "image file '%s' is longer now than the 0x%llx bytes measured when its line was read",
                            input.name.c_str(), static_cast<ull>(input.length));
    against->in = UniqueFd();
    against->reading = -1;
    return true;
}

// ---- comparing -----------------------------------------------------------------------

void Tally(AreaTally* tally, uint64_t at, uint8_t found) {
    if (tally->count == 0) {
        tally->first = at;
        tally->value = found;
    } else if (tally->value != found) {
        tally->value = -1;
    }
    tally->last = at;
    ++tally->count;
}

// The first of `length` bytes that is not `byte`, or `length`.
size_t FirstOther(const uint8_t* bytes, size_t length, uint8_t byte) {
    const uint64_t pattern = 0x0101010101010101ull * byte;
    size_t i = 0;
    for (uint64_t word; i + 8 <= length; i += 8) {
        std::memcpy(&word, bytes + i, 8);
        if (word != pattern) break;
    }
    while (i < length && bytes[i] == byte) ++i;
    return i;
}

void CompareUniform(Against* against, AreaTally* tally, const LayoutArea& area, const uint8_t* bytes, size_t length,
                    uint64_t at) {
    const bool fill = area.kind == AreaKind::kFill && area.byte == against->fill;
    const uint8_t other = against->fill == 0xFF ? 0x00 : 0xFF;
    for (size_t i = FirstOther(bytes, length, area.byte); i < length;
         i += 1 + FirstOther(bytes + i + 1, length - i - 1, area.byte)) {
        Tally(tally, at + i, bytes[i]);
        if (fill && bytes[i] == other) ++against->fillOther;
    }
    if (fill) against->fillSeen += length;
}

void CompareBytes(AreaTally* tally, const uint8_t* expected, const uint8_t* bytes, size_t length, uint64_t at) {
    if (std::memcmp(expected, bytes, length) == 0) return;
    for (size_t i = 0; i < length; ++i)
        if (expected[i] != bytes[i]) Tally(tally, at + i, bytes[i]);
}

bool CompareImageData(Against* against, AreaTally* tally, const LayoutArea& area, const uint8_t* bytes, size_t length,
                      uint64_t at) {
    if (against->reading != area.image && !OpenInput(against, area.image)) return false;
    if (!SkipInputTo(against, area.fileAt + (at - area.start)) || !ReadInput(against, length)) return false;
    CompareBytes(tally, against->buffer.data(), bytes, length, at);
    return true;
}

// Compares the part [at, at + length) of area k.
bool CompareSpan(Against* against, size_t k, const uint8_t* bytes, size_t length, uint64_t at) {
    const LayoutArea& area = against->layout.areas[k];
    AreaTally* tally = &against->tallies[k];
    switch (area.kind) {
        case AreaKind::kFill:
        case AreaKind::kRangePad:
            CompareUniform(against, tally, area, bytes, length, at);
            return true;
        case AreaKind::kImageData:
            return CompareImageData(against, tally, area, bytes, length, at);
        case AreaKind::kPidBlock:
        case AreaKind::kFwPidRecord:
        case AreaKind::kFwHeader:
            tally->found.insert(tally->found.end(), bytes, bytes + length);
            CompareBytes(tally, area.bytes.data() + (at - area.start), bytes, length, at);
            return true;
    }
    return true;
}

void SeeChunk(void* watcher, const uint8_t* bytes, size_t length, uint64_t at) {
    Against* against = static_cast<Against*>(watcher);
    const std::vector<LayoutArea>& areas = against->layout.areas;
    const uint64_t end = at + length;
    while (against->changed.empty() && against->next < areas.size() && areas[against->next].start < end) {
        const size_t k = against->next;
        const uint64_t from = std::max(areas[k].start, at), to = std::min(areas[k].end, end);
        if (from < to && !CompareSpan(against, k, bytes + (from - at), static_cast<size_t>(to - from), from)) return;
        if (areas[k].end > end) return;
        if (areas[k].kind == AreaKind::kImageData &&
            against->inputs[static_cast<size_t>(areas[k].image)].lastArea == k && !EndInput(against))
            return;
        ++against->next;
    }
}

}  // namespace

bool PlanAgainst(const char* parFile, uint8_t fill, Against* against) {
    // The binder takes no longer path (-i).
    if (std::strlen(parFile) > kMaxPathLength) {
        PathError("Morvik-inspect", "--against: the PAR file path has %zu characters: at most %zu fit",
                  std::strlen(parFile), kMaxPathLength);
        return false;
    }
    against->parFile = parFile;
    against->fill = fill;
    ParInfo info;
    init_info(&info);
    PidBlock block{};
    std::fflush(stdout);
    const int quiet = SilenceStandardOutput();
    const bool planned = PlanAsTheBinder(&info, parFile, fill, &block);
    std::fflush(stdout);
    RestoreStandardOutput(quiet);
    if (planned) TakeLayout(&info, &block, against);
    FreeMemory(&info);
    if (!planned)
        std::fprintf(stderr, "Error : %s: the bind would be refused: there is nothing to check the image against\n",
                     Escaped(parFile).c_str());
    return planned;
}

ChunkWatch AgainstWatch(Against* against) { return ChunkWatch{SeeChunk, against}; }

}  // namespace morvik
