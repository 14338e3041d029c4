// Sealing each group's firmware header and writing it in the 256 bytes in
// front of its kernel image. These are the output's last writes.
#include <cstdio>

#include "sys/io.h"
#include "write/layout.h"
#include "write/writer.h"

namespace morvik {

namespace {

bool WriteHeaderBeforeKernels(int outFd, const ParInfo* info, const FW_Header* header, int32_t group) {
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        const ImageInfo* image = info->images[i];
        if (!CarriesFwHeader(image, group)) continue;
        uint32_t position = FwHeaderAt(image);
        std::printf("fw header offset %x\n", position);
        if (!WriteAllAt(outFd, header->raw, kFwHeaderSize, position)) return false;
    }
    return true;
}

}  // namespace

bool WriteFwHeaders(const OutputFile& out, ParInfo* info) {
    for (int32_t g = 0; g < info->groupCount; ++g) {
        FW_Header* header = info->fwHeader[g];
        *header = SealedFwHeader(info, g);
        PrintFwHeader(*header, g, true);
        if (!WriteHeaderBeforeKernels(out.file.fd, info, header, g)) {
            ReportWriteFailure(out.path);
            return false;
        }
    }
    return true;
}

}  // namespace morvik
