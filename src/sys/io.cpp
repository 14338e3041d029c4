#include "sys/io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace morvik {

namespace {

// Large enough that a fill of many MiB takes few system calls, small enough
// to stay in the cache.
constexpr size_t kFillChunk = size_t{256} << 10;

}  // namespace

UniqueFd::~UniqueFd() {
    if (fd >= 0) ::close(fd);
}

bool UniqueFd::Close() {
    if (fd < 0) return true;
    int result = ::close(fd);
    fd = -1;
    return result == 0;
}

UniqueFd OpenForReading(const char* path) {
    return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

bool IsStream(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}

ssize_t ReadFull(int fd, void* buffer, size_t length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t got = ::read(fd, bytes + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool WriteAllAt(int fd, const void* data, size_t length, uint64_t position) {
    const auto* bytes = static_cast<const uint8_t*>(data);
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

bool FillAt(int fd, uint8_t byte, uint64_t length, uint64_t position) {
    if (length == 0) return true;
    std::vector<uint8_t> fill(static_cast<size_t>(std::min<uint64_t>(length, kFillChunk)), byte);
    while (length > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(fill.size(), length));
        if (!WriteAllAt(fd, fill.data(), part, position)) return false;
        position += part;
        length -= part;
    }
    return true;
}

}  // namespace morvik
