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

namespace {

// In a sticky folder (such as /tmp) only the file's owner, the folder's
// owner or root may replace a file, so a rename over `old` would fail.
bool StickyFolderKeeps(const char* outPath, const struct stat& old) {
    uid_t user = ::geteuid();
    if (user == 0 || old.st_uid == user) return false;
    char folder[kTempPathSize];
    FolderOf(outPath, folder);
    struct stat dir;
    return ::stat(folder[0] == '\0' ? "." : folder, &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
           dir.st_uid != user;
}

// The existing output, truncated: never through a link, and without the
// wait that opening a FIFO planted there since the guard looked could bring.
int OpenInPlace(const char* outPath) {
    int fd = ::open(outPath, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool OpenTempOutputEarly(const char* outPath, OutputFile* out) {
    out->tempPath[0] = '\0';
    struct stat old;
    bool oldIsFile = ::lstat(outPath, &old) == 0 && S_ISREG(old.st_mode);
    // In place only where a temporary file could not take the output path.
    if (!oldIsFile || !StickyFolderKeeps(outPath, old)) {
        out->file.fd = CreateTempFileBeside(outPath, out->tempPath);
        if (out->file.fd < 0) out->tempPath[0] = '\0';
    }
    return out->file.fd >= 0;
}

bool CreateOutputFile(const char* outPath, OutputFile* out) {
    if (out->file.fd >= 0) return true;
    struct stat old;
    bool oldIsFile = ::lstat(outPath, &old) == 0 && S_ISREG(old.st_mode);
    OpenTempOutputEarly(outPath, out);
    if (out->file.fd < 0 && oldIsFile) out->file.fd = OpenInPlace(outPath);
    if (out->file.fd < 0) std::printf("Error: Create output bin file(%s) failed!\n", outPath);
    return out->file.fd >= 0;
}

bool FinishOutputFile(const char* outPath, OutputFile* out) {
    // The mode is a courtesy; a file system that refuses it still holds a
    // complete image, so a failure is not a failed bind.
    ::fchmod(out->file.fd, 0664);
    bool done = out->file.Close() && (out->tempPath[0] == '\0' || RenameTempFileOver(out->tempPath, outPath));
    if (!done) {
        ReportWriteFailure(outPath);
        DiscardOutputFile(out);
    }
    return done;
}

void DiscardOutputFile(OutputFile* out) {
    out->file.Close();
    if (out->tempPath[0] != '\0') RemoveTempFile(out->tempPath);
    out->tempPath[0] = '\0';
}

}  // namespace morvik
