#include "write/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/io.h"

namespace morvik {

void ReportWriteFailure(const char* outPath) {
    std::printf("Error : Write output bin file(%s) failed! (%s)\n", outPath, std::strerror(errno));
}

namespace {

bool SameFile(const struct stat& a, const char* path) {
    struct stat b;
    return ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The first input of this bind that is the same file as `out`, or nullptr.
const char* InputSharing(const struct stat& out, const char* parPath, const ParInfo* info) {
    if (SameFile(out, parPath)) return parPath;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        if (SameFile(out, info->images[i]->name)) return info->images[i]->name;
    }
    if (info->pidInfo != nullptr && SameFile(out, info->pidInfo->name)) return info->pidInfo->name;
    return nullptr;
}

}  // namespace

bool CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info) {
    struct stat target;
    if (::stat(outPath, &target) == 0) {
        if (const char* input = InputSharing(target, parPath, info)) {
            std::printf("Error : Output file %s is the same file as input %s, refusing to overwrite it!\n",
                        outPath, input);
            return false;
        }
    }
    struct stat entry;
    if (::lstat(outPath, &entry) != 0) return true;  // nothing there yet
    if (!S_ISREG(entry.st_mode) && !S_ISLNK(entry.st_mode)) {
        std::printf("Error : Output path %s exists and is not a regular file, refusing to replace it!\n",
                    outPath);
        return false;
    }
    return true;
}

int CreateOutputFile(const char* outPath) {
    ::unlink(outPath);  // a failure to remove shows up as a failure to create
    int fd = ::open(outPath, O_RDWR | O_TRUNC);
    if (fd < 0) fd = ::open(outPath, O_RDWR | O_CREAT | O_TRUNC, 0664);
    if (fd < 0) std::printf("Error: Create output bin file(%s) failed!\n", outPath);
    return fd;
}

bool PreFillOutput(int fd, uint32_t size, uint8_t fill) {
    if (fill == 0x00) {
        // The file was just truncated to nothing: growing it yields zeros.
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return true;
        if (errno != EINVAL && errno != EPERM) return false;
    }
    return FillAt(fd, fill, size, 0);
}

}  // namespace morvik
