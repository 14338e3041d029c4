#include "sys/io.h"

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

bool OpenClosedStandardStreams(const char* program, int* closed) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (closed != nullptr) *closed |= 1 << fd;
        // The lowest free descriptor is taken: this one, as those below it are open.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened == fd) continue;
        int error = errno;
        if (opened >= 0) ::close(opened);
        std::fprintf(stderr, "%s: error: descriptor %d is closed and /dev/null cannot be opened in its place: %s\n",
                     program, fd, std::strerror(error));
        return false;
    }
    return true;
}

int SilenceStandardOutput() {
    std::fflush(stdout);
    int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
        if (saved >= 0) ::close(saved);
        if (null >= 0) ::close(null);
        return kNotSilenced;
    }
    ::close(null);
    return saved;
}

void RestoreStandardOutput(int saved) {
    if (saved == kNotSilenced) return;
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
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

namespace {

// Calls `step` (a read or write of up to n bytes at `done` bytes into the
// transfer) until `length` bytes are through: an interrupted call is
// repeated, and a read that returns 0 is the end of the file. The count
// transferred, or -1 on an error (errno kept).
template <typename Step>
ssize_t TransferAll(size_t length, Step step) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = step(length - done, done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// A write that makes no progress counts as a full disk.
bool Complete(ssize_t written, size_t length) {
    if (written >= 0 && static_cast<size_t>(written) < length) errno = ENOSPC;
    return written >= 0 && static_cast<size_t>(written) == length;
}

}  // namespace

ssize_t ReadFullAt(int fd, void* buffer, size_t length, uint64_t position) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    return TransferAll(length, [&](size_t n, size_t done) {
        return ::pread(fd, bytes + done, n, static_cast<off_t>(position + done));
    });
}

ssize_t ReadFull(int fd, void* buffer, size_t length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    return TransferAll(length, [&](size_t n, size_t done) { return ::read(fd, bytes + done, n); });
}

bool AtEndOfFile(int fd) {
    uint8_t byte;
    return ReadFull(fd, &byte, 1) <= 0;
}

bool WriteAllAt(int fd, const void* data, size_t length, uint64_t position) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return Complete(TransferAll(length,
                                [&](size_t n, size_t done) {
                                    return ::pwrite(fd, bytes + done, n, static_cast<off_t>(position + done));
                                }),
                    length);
}

bool WriteAll(int fd, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return Complete(TransferAll(length, [&](size_t n, size_t done) { return ::write(fd, bytes + done, n); }), length);
}

bool FillAt(int fd, uint8_t byte, uint64_t length, uint64_t position, IoBuffer& buffer) {
    if (length == 0) return true;
    if (buffer.size == 0) {  // no room to fill from: it would never end
        errno = EINVAL;
        return false;
    }
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
