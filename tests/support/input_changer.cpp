// A test-only preload library that changes an input file at a moment the
// test chooses: just before the N-th time the tool opens it. With
// MORVIK_CHANGE="NAME:N:ACTION" in the environment, the N-th open of a path
// whose last component is NAME first applies ACTION to the file:
//   remove    the file is gone
//   truncate  the file keeps half of its bytes
//   grow      16 bytes are appended
//   rewrite   one byte in the middle is changed, the size stays
// The tool opens an input once to measure it, once more to checksum it when
// it belongs to an image group, and once to copy it, so a test can change a
// file between any two of these steps, deterministically.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

int opens = 0;

// A change that cannot be made shows up as a test that fails to see it, so
// the results are only collected, not acted on.
bool Apply(const char* path, const char* action) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    if (std::strcmp(action, "remove") == 0) return ::unlink(path) == 0;
    if (std::strcmp(action, "truncate") == 0) return ::truncate(path, st.st_size / 2) == 0;
    int fd = ::syscall(SYS_openat, AT_FDCWD, path, O_RDWR);
    if (fd < 0) return false;
    bool done = false;
    if (std::strcmp(action, "grow") == 0) {
        static const char more[16] = "grown by a test";
        done = ::pwrite(fd, more, sizeof more, st.st_size) == static_cast<ssize_t>(sizeof more);
    } else if (std::strcmp(action, "rewrite") == 0) {
        unsigned char byte = 0;
        done = ::pread(fd, &byte, 1, st.st_size / 2) == 1;
        byte ^= 0x5A;
        done = done && ::pwrite(fd, &byte, 1, st.st_size / 2) == 1;
    }
    ::close(fd);
    return done;
}

void BeforeOpen(const char* path) {
    const char* request = std::getenv("MORVIK_CHANGE");
    if (request == nullptr || path == nullptr) return;
    const char* base = std::strrchr(path, '/');
    base = base == nullptr ? path : base + 1;
    const char* colon = std::strchr(request, ':');
    if (colon == nullptr || std::strncmp(base, request, static_cast<size_t>(colon - request)) != 0 ||
        std::strlen(base) != static_cast<size_t>(colon - request))
        return;
    char* action = nullptr;
    long nth = std::strtol(colon + 1, &action, 10);
    if (*action != ':' || ++opens != nth) return;
    Apply(path, action + 1);
}

using OpenFn = int (*)(const char*, int, ...);

// Changes the file when its turn has come, then opens it for real.
int ChangeThenOpen(const char* name, const char* path, int flags, va_list args) {
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    BeforeOpen(path);
    auto real = reinterpret_cast<OpenFn>(::dlsym(RTLD_NEXT, name));
    return real(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = ChangeThenOpen("open", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = ChangeThenOpen("open64", path, flags, args);
    va_end(args);
    return fd;
}
