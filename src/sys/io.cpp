#include "sys/io.h"

#include <cerrno>
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

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

bool UniqueFd::Close() {
    if (fd < 0) return true;
    int result = ::close(fd);
    fd = -1;
    return result == 0;
}

UniqueFd OpenForReading(const char* path) {
    return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

bool IsStream(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}


bool StampOf(int fd, FileStamp* stamp) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    stamp->device = static_cast<uint64_t>(st.st_dev);
    stamp->inode = static_cast<uint64_t>(st.st_ino);
    stamp->size = static_cast<uint64_t>(st.st_size);
    stamp->modifiedSec = st.st_mtim.tv_sec;
    stamp->modifiedNsec = st.st_mtim.tv_nsec;
    stamp->changedSec = st.st_ctim.tv_sec;
    stamp->changedNsec = st.st_ctim.tv_nsec;
    stamp->regular = S_ISREG(st.st_mode);
    return true;
}

ssize_t ReadFullAt(int fd, void* buffer, size_t length, uint64_t position) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t got = ::pread(fd, bytes + done, length - done, static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
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

bool AtEndOfFile(int fd) {
    uint8_t byte;
    return ReadFull(fd, &byte, 1) <= 0;
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

bool FillAt(int fd, uint8_t byte, uint64_t length, uint64_t position, IoBuffer& buffer) {
    if (length == 0) return true;
    size_t used = static_cast<size_t>(std::min<uint64_t>(length, buffer.size));
    std::memset(buffer.bytes.get(), byte, used);
    while (length > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(used, length));
        if (!WriteAllAt(fd, buffer.bytes.get(), part, position)) return false;
        position += part;
        length -= part;
    }
    return true;
}

}  // namespace morvik
