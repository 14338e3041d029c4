// A bind context built by hand for planner tests: images with real files in
// a temporary folder, released with the context.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model/context.h"
#include "format/image_format.h"
#include "plan/planner.h"
#include "support/run_tool.h"
#include "write/writer.h"

namespace morvik_test {

struct Img {
    const char* name;
    uint32_t offset;
    int32_t length;
    int32_t type = morvik::IMAGE_NORMAL;
    int32_t groupId = -1;
    uint32_t limit = 0;
    int32_t pad = morvik::PAD_NONE;
    const char* version = "";
    uint8_t cksum = 0;
};

struct PlanResult {
    int32_t result;
    std::string out;
};

struct PlanContext {
    TempDir dir;
    morvik::ParInfo info{};

    PlanContext() {
        morvik::init_info(&info);
        info.targetSize = 0x200000;
    }
    ~PlanContext() { morvik::FreeMemory(&info); }

    // Adds an image; a file of `length` pattern bytes is written unless the
    // length is negative or too large to be worth writing.
    morvik::ImageInfo* Add(const Img& img) {
        auto* image = static_cast<morvik::ImageInfo*>(std::calloc(1, sizeof(morvik::ImageInfo)));
        std::snprintf(image->name, sizeof image->name, "%s", (dir / img.name).c_str());
        image->offset = img.offset;
        image->length = img.length;
        image->type = img.type;
        std::snprintf(image->version, sizeof image->version, "%s", img.version);
        image->cksum = img.cksum;
        image->limit = img.limit;
        image->givenLimit = img.limit;
        image->pad = img.pad;
        image->groupId = img.groupId;
        if (img.type == morvik::IMAGE_KERNEL) ++info.groupCount;
        if (img.length >= 0 && img.length <= (4 << 20))
            WriteFile(image->name, PatternBytes(static_cast<size_t>(img.length), info.imageCount + 1));
        info.images[info.imageCount++] = image;
        return image;
    }

    void AddAll(const std::vector<Img>& images) {
        for (const Img& img : images) Add(img);
    }

    void SetPid(uint32_t fwLocation0 = 0) {
        info.pidInfo = static_cast<morvik::PidInfo*>(std::calloc(1, sizeof(morvik::PidInfo)));
        info.pidInfo->bootLocation = 0x7FFF;
        info.pidInfo->fwLocation[0] = fwLocation0;
    }

    // Runs the planner and returns what it printed.
    // Group images are read for their CRC-32 only, unless `reader` says
    // otherwise.
    PlanResult Plan(const morvik::ImageReader* reader = nullptr) {
        morvik::IoBuffer buffer;
        morvik::ImageReader checksums = morvik::ChecksumImageReader(&buffer);
        int32_t result = 0;
        std::string out =
            CaptureOutput([&] { result = morvik::par_extra_info(&info, reader != nullptr ? *reader : checksums); }).out;
        return {result, out};
    }

    // `text` with every '@' replaced by the folder the image files live in.
    std::string Paths(const std::string& text) const {
        std::string out;
        for (char c : text) out += c == '@' ? dir.path + "/" : std::string(1, c);
        return out;
    }

    std::vector<std::string> Order() const {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < info.imageCount; ++i) names.push_back(std::strrchr(info.images[i]->name, '/') + 1);
        return names;
    }
};

}  // namespace morvik_test
