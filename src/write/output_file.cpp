#include "write/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/diagnostics.h"
#include "sys/io.h"
#include "sys/output_path.h"

namespace morvik {

void ReportWriteFailure(const char* outPath) {
    int error = errno;
    std::printf("Error : Write output bin file(%s) failed! (%s)\n", outPath, std::strerror(error));
    PathError(outPath, "cannot be written: %s", std::strerror(error));
}

namespace {

// The first input of this bind that is the same file as `path`, or nullptr.
const char* InputSharing(const char* path, const char* parPath, const ParInfo* info) {
    if (SameFile(path, parPath)) return parPath;
    for (uint32_t i = 0; i < info->imageCount; ++i) {
        if (SameFile(path, info->images[i]->name)) return info->images[i]->name;
    }
    if (info->pidInfo != nullptr && SameFile(path, info->pidInfo->name)) return info->pidInfo->name;
    return nullptr;
}

void RefuseTarget(const char* path, const WrittenFileName& name, const OutputTarget& target) {
    if (target.kernelFiles != nullptr)
        std::printf("Error : %s path %s leads into %s, refusing to write there!\n", name.trace, path,
                    target.kernelFiles);
    else
        std::printf("Error : %s path %s exists and is not a regular file, refusing to replace it!\n", name.trace, path);
    PathError(path, "%s", target.reason.c_str());
}

}  // namespace

bool CheckWrittenPath(const char* path, const WrittenFileName& name, const char* parPath, const ParInfo* info) {
    if (const char* input = InputSharing(path, parPath, info)) {
        std::printf("Error : %s file %s is the same file as input %s, refusing to overwrite it!\n", name.trace, path,
                    input);
        PathError(path, "is the same file as the input %s: give the %s a path of its own", input, name.file);
        return false;
    }
    OutputTarget target = ExamineOutputPath(path, name.file);
    if (target.kind != OutputKind::kRefused) return true;
    RefuseTarget(path, name, target);
    return false;
}

bool CheckSideFilePath(const PlacedFile& file, const PlacedFile* others, size_t otherCount, const char* parPath,
                       const ParInfo* info) {
    for (size_t i = 0; i < otherCount; ++i) {
        const PlacedFile& other = others[i];
        if (other.path == nullptr || !SamePlace(file.path, other.path)) continue;
        std::printf("Error : %s file %s and %s file %s are one file, refusing to write both!\n", file.name.trace,
                    file.path, other.name.trace, other.path);
        PathError(file.path, "is where the %s goes too: give the %s a path of its own", other.name.file,
                  file.name.file);
        return false;
    }
    return CheckWrittenPath(file.path, file.name, parPath, info);
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
    return ::stat(folder[0] == '\0' ? "." : folder, &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 && dir.st_uid != user;
}

// The existing output, truncated: never through a link, and without the
// wait that opening a FIFO planted there since the guard looked could bring.
int OpenInPlace(const char* outPath) {
    int fd = ::open(outPath, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;  // not a regular file (any more)
        return -1;
    }
    return fd;
}

// Where the folder keeps the old output from being replaced, it is written
// in place: in a sticky folder that keeps another user's file, and where the
// folder refuses a new file by permission. A folder out of room or inodes is
// no such case: writing in place there would destroy the old image and then
// fail as well.
bool WritesInPlace(const char* outPath, int tempError) {
    struct stat old;
    if (::lstat(outPath, &old) != 0 || !S_ISREG(old.st_mode)) return false;
    return StickyFolderKeeps(outPath, old) || tempError == EACCES || tempError == EPERM;
}

}  // namespace

bool OpenTempOutput(OutputFile* out) {
    out->tempPath[0] = '\0';
    out->tempError = 0;
    if (WritesInPlace(out->path, 0)) return false;
    out->file.fd = CreateTempFileBeside(out->path, out->tempPath);
    if (out->file.fd < 0) out->tempError = errno;
    return out->file.fd >= 0;
}

bool CreateOutputFile(OutputFile* out) {
    // Not asked yet, or the old output that was to be written in place is
    // gone since.
    if (out->file.fd < 0 && out->tempError == 0 && !WritesInPlace(out->path, 0)) OpenTempOutput(out);
    if (out->file.fd >= 0) return true;
    int error = out->tempError;
    if (WritesInPlace(out->path, error)) {
        out->file.fd = OpenInPlace(out->path);
        if (out->file.fd >= 0) return true;
        error = errno;
    }
    std::printf("Error: Create output bin file(%s) failed!\n", out->path);
    PathError(out->path, "cannot be created: %s", std::strerror(error));
    return false;
}

bool CloseOutputFile(OutputFile* out) {
    // The mode is a courtesy; a file system that refuses it still holds a
    // complete image, so a failure is not a failed bind.
    ::fchmod(out->file.fd, 0664);
    if (out->file.Close()) return true;
    ReportWriteFailure(out->path);
    DiscardOutputFile(out);
    return false;
}

bool PutOutputInPlace(OutputFile* out) {
    if (out->tempPath[0] == '\0') return true;  // written in place
    if (PutInPlace(out->tempPath, out->path)) {
        out->tempPath[0] = '\0';
        return true;
    }
    ReportWriteFailure(out->path);
    DiscardOutputFile(out);
    return false;
}

void DiscardOutputFile(OutputFile* out) {
    out->file.Close();
    if (out->tempPath[0] != '\0') RemoveTempFile(out->tempPath);
    out->tempPath[0] = '\0';
}

namespace {

// What a side file came to: it could not be created, or not be written.
void ReportSideFileFailure(const SideFile* file, bool creating, const char* reason) {
    if (creating) {
        std::printf("Error : Create %s file(%s) failed!\n", file->name.trace, file->path);
        PathError(file->path, "cannot be created: %s", reason);
    } else {
        std::printf("Error : Write %s file(%s) failed! (%s)\n", file->name.trace, file->path, reason);
        PathError(file->path, "cannot be written: %s", reason);
    }
}

}  // namespace

bool WriteSideFileAside(SideFile* file) {
    if (file->path == nullptr) return true;
    UniqueFd out(CreateTempFileBeside(file->path, file->tempPath));
    if (out.fd < 0) {
        ReportSideFileFailure(file, true, std::strerror(errno));
        return false;
    }
    if (WriteAllAt(out.fd, file->text.data(), file->text.size(), 0) && ::fchmod(out.fd, 0644) == 0 && out.Close())
        return true;
    const int error = errno;
    ReportSideFileFailure(file, false, std::strerror(error));
    DiscardSideFile(file);
    return false;
}

bool PutSideFileInPlace(SideFile* file) {
    if (file->path == nullptr) return true;
    if (PutInPlace(file->tempPath, file->path)) {
        file->tempPath[0] = '\0';
        return true;
    }
    const int error = errno;
    ReportSideFileFailure(file, false, std::strerror(error));
    DiscardSideFile(file);
    return false;
}

void DiscardSideFile(SideFile* file) {
    if (file->tempPath[0] != '\0') RemoveTempFile(file->tempPath);
    file->tempPath[0] = '\0';
}

}  // namespace morvik
