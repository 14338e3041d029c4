// The PAR reader and the layout planner on arbitrary PAR text. The text is
// written to a file in a scratch folder that also holds the image and PID
// files a PAR text may name, then read, planned and released as in a run.
// When the planner accepts a layout, the layout is checked in 64-bit
// arithmetic: a 32-bit wraparound that slipped through the planner shows up
// as an area past the output's end or an overlap.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "model/context.h"
#include "fuzz_support.h"
#include "getopt/getopt.h"
#include "par/par_reader.h"
#include "format/image_format.h"
#include "plan/planner.h"
#include "write/writer.h"

namespace {

using morvik::ImageInfo;
using morvik::ParInfo;
using morvik_fuzz::Fail;

constexpr const char* kParName = "fuzz.PAR";
constexpr uint64_t kHeaderRoom = morvik::kFwHeaderSize;
constexpr uint64_t kRecordRoom = morvik::kFwPidRecordSize;

bool WriteParFile(std::string_view text) {
    FILE* f = std::fopen(kParName, "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// The driver's scan of its command line initializes the scanner before the
// reader starts its per-line scans with optind 1; do the same.
void InitializeScanner() {
    static char program[] = "Morvik";
    char* argv[] = {program, nullptr};
    morvik::optind = 0;
    while (morvik::my_getopt(1, argv, "i:o:p:dhvf", nullptr) != -1) {
    }
}

bool IsLastOfGroup(const ParInfo& info, uint32_t index) {
    const ImageInfo* image = info.images[index];
    if (image->type == morvik::IMAGE_NORMAL) return false;
    auto group = static_cast<uint8_t>(image->groupId);
    return morvik::IndexOfLastImgInGroup(&info, group) == static_cast<int32_t>(index);
}

// Where the area an image claims ends, computed without wraparound.
uint64_t AreaEnd(const ParInfo& info, uint32_t index) {
    const ImageInfo* image = info.images[index];
    uint64_t offset = image->offset;
    uint64_t end = offset + static_cast<uint64_t>(static_cast<uint32_t>(image->length));
    if (image->limit != 0) return offset + image->limit;
    if (IsLastOfGroup(info, index)) return ((end + 1) & ~uint64_t{1}) + kRecordRoom;
    return end;
}

// The offset its PAR line gave: a kernel's header room starts there.
uint32_t ParOffset(const ImageInfo* image) {
    return image->type == morvik::IMAGE_KERNEL ? image->offset - static_cast<uint32_t>(kHeaderRoom) : image->offset;
}

// What an accepted layout promises the writer.
void CheckAcceptedLayout(const ParInfo& info) {
    if (info.groupCount < 0 || info.groupCount > static_cast<int32_t>(morvik::kMaxGroups))
        Fail("accepted layout with more than two image groups");
    if (info.imageCount > morvik::kMaxImages) Fail("more than ten images stored");
    if (info.groupCount > 0 && info.pidInfo == nullptr) Fail("image groups without a PID line");
    for (uint32_t i = 0; i < info.imageCount; ++i) {
        const ImageInfo* image = info.images[i];
        if (image->length < 0) Fail("negative image length");
        if (image->limit != 0 &&
            static_cast<uint64_t>(image->limit) < static_cast<uint64_t>(static_cast<uint32_t>(image->length)))
            Fail("a reserved range smaller than its image survived");
        if (image->type == morvik::IMAGE_KERNEL && image->offset < kHeaderRoom)
            Fail("kernel image without room for its header");
        // The order is by PAR offset, compared signed.
        if (i > 0 && static_cast<int32_t>(ParOffset(info.images[i - 1])) > static_cast<int32_t>(ParOffset(image)))
            Fail("images are not in ascending offset order");
        uint64_t next = i + 1 < info.imageCount ? ParOffset(info.images[i + 1]) : info.targetSize;
        if (AreaEnd(info, i) > next) Fail("accepted layout has an overlap or runs past the output");
    }
    for (int32_t g = 0; g < info.groupCount; ++g) {
        if (info.fwHeader[g] == nullptr) Fail("a group has no header");
        if (info.fwHeader[g]->raw[morvik::kHdrImageNumber] > morvik::kFwMaxEntries)
            Fail("header lists more than ten images");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvik_fuzz::SilenceStdout();
    morvik_fuzz::PrepareQuietStderr();
    morvik_fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (morvik_fuzz::NamesSpecialFiles(text)) return -1;
    morvik_fuzz::ResetScratchFolder();
    if (!WriteParFile(text)) Fail("cannot write the PAR file");

    InitializeScanner();
    ParInfo info;
    morvik::init_info(&info);
    info.finalPad = static_cast<int32_t>(size & 1);  // both fills, chosen by the input
    int planned = -2;                                // not planned
    {
        morvik_fuzz::QuietStderr quiet;  // the scanner's complaints about image options
        morvik::IoBuffer buffer;
        if (morvik::ParseParInfo(kParName, &info) == morvik::kParOk)
            planned = morvik::par_extra_info(&info, morvik::ChecksumImageReader(&buffer));
    }
    if (planned == 0) CheckAcceptedLayout(info);
    morvik::FreeMemory(&info);
    std::fflush(stdout);
    return 0;
}
