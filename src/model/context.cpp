#include "model/context.h"

#include <cstdlib>
#include <cstring>

namespace morvik {

void init_info(ParInfo* info) { std::memset(info, 0, sizeof *info); }

void FreeMemory(ParInfo* info) {
    for (ImageInfo*& image : info->images) {
        std::free(image);
        image = nullptr;
    }
    std::free(info->pidInfo);
    info->pidInfo = nullptr;
    for (FW_Header*& header : info->fwHeader) {
        std::free(header);
        header = nullptr;
    }
}

}  // namespace morvik
