#include "model/context.h"

#include <cstdlib>
#include <cstring>

namespace morvik {

bool ParseFillValue(const char* text, uint8_t* fill) {
    if (std::strcmp(text, "0x00") == 0) {
        *fill = 0x00;
        return true;
    }
    if (std::strcmp(text, "0xff") == 0 || std::strcmp(text, "0xFF") == 0) {
        *fill = 0xFF;
        return true;
    }
    return false;
}

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
