#include "sys/output_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys/diagnostics.h"
#include "sys/temp_file.h"

namespace morvik {

namespace {

// The kernel's own file systems, by the type statfs reports and the place
// they are usually mounted. A "file" there is a process's descriptor or
// memory, a device setting, a firmware variable: never a file to replace,
// and writing an image into one (as root) changes the machine.
struct KernelFileSystem {
    long magic;
    const char* place;
};
constexpr KernelFileSystem kKernelFileSystems[] = {
    {0x9fa0, "/proc"},
    {0x62656572, "/sys"},
    {0x27e0eb, "/sys/fs/cgroup"},
    {0x63677270, "/sys/fs/cgroup"},
    {0x64626720, "/sys/kernel/debug"},
    {0x74726163, "/sys/kernel/tracing"},
    {0x73636673, "/sys/kernel/security"},
    {0x62656570, "/sys/kernel/config"},
    {0xcafe4a11, "/sys/fs/bpf"},
    {0xde5e81e4, "/sys/firmware/efi/efivars"},
    {0x6165676c, "/sys/fs/pstore"},
};
// As many links as the system itself follows before it gives up.
constexpr int kMaxLinkHops = 40;

std::string FolderPart(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where the kernel file system that holds the folder of `path` is usually
// mounted ("/proc"), or nullptr when the folder is on no such file system.
// The folder is followed through its own links, so /dev/fd/1 counts as well
// as /proc/self/fd/1.
const char* KernelFilesHolding(const std::string& path) {
    struct statfs fs;
    if (::statfs(FolderPart(path).c_str(), &fs) != 0) return nullptr;
    for (const KernelFileSystem& kernel : kKernelFileSystems) {
        if (static_cast<unsigned long>(fs.f_type) == static_cast<unsigned long>(kernel.magic)) return kernel.place;
    }
    return nullptr;
}

// Where the link at `path` leads, as a path that can be looked up from
// here; "" when it cannot be read.
std::string LinkTarget(const std::string& path) {
    char target[4096];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) return "";
    std::string next(target, static_cast<size_t>(length));
    if (next[0] == '/' || path.find('/') == std::string::npos) return next;
    return path.substr(0, path.rfind('/') + 1) + next;
}

const char* KindOfSpecialFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

OutputTarget Kind(OutputKind kind) {
    OutputTarget target;
    target.kind = kind;
    return target;
}

OutputTarget Refused(const std::string& where, const char* path, const std::string& text) {
    OutputTarget target;
    target.kind = OutputKind::kRefused;
    target.reason = where == path ? "is " + text : "leads to " + where + ", " + text;
    return target;
}

OutputTarget RefuseSpecialFile(const std::string& where, const char* path, mode_t mode, const char* what) {
    std::string text = KindOfSpecialFile(mode);
    bool device = S_ISBLK(mode) || S_ISCHR(mode);
    if (device)
        text += std::string(": write the ") + what + " to a file and copy it to the device with dd or your flasher";
    OutputTarget target = Refused(where, path, text);
    target.device = device;
    return target;
}

OutputTarget RefuseKernelFiles(const std::string& where, const char* path, const char* place) {
    OutputTarget target = Kind(OutputKind::kRefused);
    target.kernelFiles = place;
    const std::string into = place;
    target.reason = (where == path ? "is in " + into : "leads into " + into + " (" + where + ")") +
                    (into == "/proc" ? ": a file there is a running process's descriptor or memory"
                                     : ": a file there is a setting of the kernel or the machine") +
                    ", not a file to replace";
    return target;
}

}  // namespace

OutputTarget ExamineOutputPath(const char* path, const char* what) {
    std::string at = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        if (const char* place = KernelFilesHolding(at)) return RefuseKernelFiles(at, path, place);
        struct stat st;
        // Nothing there, or a link that leads nowhere (or nowhere this user
        // can see): the new file takes the name, and nothing is written
        // through it.
        if (::lstat(at.c_str(), &st) != 0) return Kind(hop == 0 ? OutputKind::kNothing : OutputKind::kFile);
        if (S_ISREG(st.st_mode)) return Kind(OutputKind::kFile);
        if (!S_ISLNK(st.st_mode)) return RefuseSpecialFile(at, path, st.st_mode, what);
        at = LinkTarget(at);
        if (at.empty()) return Kind(OutputKind::kFile);
    }
    return Kind(OutputKind::kFile);  // a loop of links: the link is replaced
}

bool SameFile(const char* a, const char* b) {
    struct stat first, second;
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool SameFile(int fd, const char* path) {
    struct stat first, second;
    return ::fstat(fd, &first) == 0 && ::stat(path, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string AbsolutePlace(const char* path) {
    const std::string text = path;
    const size_t slash = text.rfind('/');
    const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    char* folder = ::realpath(FolderPart(text).c_str(), nullptr);
    if (folder == nullptr) return "";
    std::string place = folder;
    std::free(folder);
    return (place == "/" ? "" : place) + "/" + name;
}

bool SamePlace(const char* a, const char* b) {
    if (SameFile(a, b)) return true;
    const std::string first = AbsolutePlace(a), second = AbsolutePlace(b);
    if (first.empty() || second.empty()) return std::strcmp(a, b) == 0;
    return first == second;
}

bool PutInPlace(const char* tempPath, const char* finalPath) {
    struct stat old;
    bool hadOtherLinks = ::lstat(finalPath, &old) == 0 && S_ISREG(old.st_mode) && old.st_nlink > 1;
    if (!RenameTempFileOver(tempPath, finalPath)) return false;
    if (hadOtherLinks) {
        auto others = static_cast<unsigned long long>(old.st_nlink - 1);
        PathNote(finalPath, "the old file had %llu other hard link%s; %s the old contents, not the new file", others,
                 others == 1 ? "" : "s", others == 1 ? "it keeps" : "they keep");
    }
    return true;
}

int CreateNewFileIn(int folder, const char* name, mode_t mode) {
    return ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

namespace {

std::string Because(int error) { return std::strerror(error); }

bool FolderIsOwnOnly(const char* path, int folder, std::string* error) {
    struct stat st;
    if (::fstat(folder, &st) != 0) {
        *error = std::string("cannot examine folder ") + path + ": " + Because(errno);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = std::string("folder ") + path + " belongs to another user (uid " +
                 std::to_string(static_cast<unsigned>(st.st_uid)) + "): give a new folder, or an empty one of your own";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = std::string("folder ") + path + " can be written by other users (mode " + mode +
                 "): give a new folder, or an empty one only you can write (chmod go-w)";
        return false;
    }
    return true;
}

bool FolderIsEmpty(const char* path, const char* what, int folder, std::string* error) {
    int listed = ::dup(folder);
    DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
    if (listing == nullptr) {
        int why = errno;
        if (listed >= 0) ::close(listed);
        *error = std::string("cannot list folder ") + path + ": " + Because(why);
        return false;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
    ::closedir(listing);
    if (!empty) *error = std::string("folder ") + path + " is not empty; give a new or an empty folder for " + what;
    return empty;
}

}  // namespace

bool OpenOwnEmptyFolder(const char* path, const char* what, UniqueFd* folder, std::string* error) {
    *folder = UniqueFd(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder->fd < 0) {
        *error = std::string("cannot use ") + path + " as the folder for " + what + ": " + Because(errno);
        return false;
    }
    return FolderIsOwnOnly(path, folder->fd, error) && FolderIsEmpty(path, what, folder->fd, error);
}

bool MakeOwnEmptyFolder(const char* path, const char* what, UniqueFd* folder, std::string* error) {
    if (::mkdir(path, 0755) != 0 && errno != EEXIST) {
        *error = std::string("cannot create folder ") + path + ": " + Because(errno);
        return false;
    }
    return OpenOwnEmptyFolder(path, what, folder, error);
}

bool MayMakeOwnEmptyFolder(const char* path, const char* what, std::string* error) {
    struct stat st;
    if (::lstat(path, &st) != 0 && errno == ENOENT) return true;
    UniqueFd folder;
    return OpenOwnEmptyFolder(path, what, &folder, error);
}

}  // namespace morvik
