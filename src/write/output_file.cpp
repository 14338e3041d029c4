#include "write/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace morvik {

UniqueFd::~UniqueFd() {
    if (fd >= 0) ::close(fd);
}

bool UniqueFd::Close() {
    if (fd < 0) return true;
    int result = ::close(fd);
    fd = -1;
    return result == 0;
}

bool WriteAllAt(int fd, const void* data, size_t length, uint64_t position) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t done = ::pwrite(fd, bytes, length, static_cast<off_t>(position));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = ENOSPC;
            return false;
        }
        bytes += done;
        length -= static_cast<size_t>(done);
        position += static_cast<uint64_t>(done);
    }
    return true;
}

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

int CheckOutputPath(const char* outPath, const char* parPath, const ParInfo* info) {
    struct stat target;
    if (::stat(outPath, &target) == 0) {
        if (const char* input = InputSharing(target, parPath, info)) {
            std::printf("Error : Output file %s is the same file as input %s, refusing to overwrite it!\n",
                        outPath, input);
            return 1;
        }
    }
    struct stat entry;
    if (::lstat(outPath, &entry) != 0) return 0;  // nothing there yet
    if (!S_ISREG(entry.st_mode) && !S_ISLNK(entry.st_mode)) {
        std::printf("Error : Output path %s exists and is not a regular file, refusing to replace it!\n",
                    outPath);
        return 1;
    }
    return 0;
}

int CreateOutputFile(const char* outPath) {
    ::unlink(outPath);  // a failure to remove shows up as a failure to create
    int fd = ::open(outPath, O_RDWR | O_TRUNC);
    if (fd < 0) fd = ::open(outPath, O_RDWR | O_CREAT | O_TRUNC, 0664);
    if (fd < 0) std::printf("Error: Create output bin file(%s) failed!\n", outPath);
    return fd;
}

bool PreFillOutput(int fd, uint32_t size, int32_t finalPad) {
    if (finalPad != 1) {
        // The file was just truncated to nothing: growing it yields zeros.
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return true;
        if (errno != EINVAL && errno != EPERM) return false;
    }
    constexpr size_t kChunk = 1 << 20;
    std::vector<uint8_t> fill(kChunk, finalPad == 1 ? 0xFF : 0x00);
    uint64_t position = 0;
    while (position < size) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(kChunk, size - position));
        if (!WriteAllAt(fd, fill.data(), part, position)) return false;
        position += part;
    }
    return true;
}

}  // namespace morvik
