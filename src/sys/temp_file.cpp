#include "sys/temp_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace morvik {

namespace {

const int kEndingSignals[kEndingSignalCount] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM};

// The longest file name most file systems take.
constexpr size_t kMaxNameLength = 255;
constexpr char kTempSuffix[] = ".morvik-XXXXXX";
constexpr size_t kRandomLength = 6;  // the XXXXXX
// A temporary file nothing has written for this long, and that no process
// holds, was left by a run that was killed.
constexpr time_t kLeftoverAge = 60;
// What mkostemp makes a file with.
constexpr mode_t kTempFileMode = 0600;

// The process-wide state of the removal (see temp_file.h): written only while
// the ending signals are blocked, read by the handler.
char g_tempPaths[kMaxTempFiles][kTempPathSize];
volatile sig_atomic_t g_tempFileExists[kMaxTempFiles] = {};

extern "C" void RemoveTempFileAndEnd(int signo) {
    for (int i = 0; i < kMaxTempFiles; ++i)
        if (g_tempFileExists[i]) ::unlink(g_tempPaths[i]);
    // SA_RESETHAND has put the default action back; the signal, raised again,
    // ends the process as soon as this handler returns (or at once, where the
    // handler runs with it unblocked).
    ::raise(signo);
}

// The slot that records `tempPath`, or -1. Called with the signals blocked.
int SlotOf(const char* tempPath) {
    for (int i = 0; i < kMaxTempFiles; ++i)
        if (g_tempFileExists[i] && std::strcmp(g_tempPaths[i], tempPath) == 0) return i;
    return -1;
}

// A slot that records nothing, or -1. Called with the signals blocked.
int FreeSlot() {
    for (int i = 0; i < kMaxTempFiles; ++i)
        if (!g_tempFileExists[i]) return i;
    return -1;
}

// Forgets `tempPath`. Called with the signals blocked.
void Forget(const char* tempPath) {
    if (int slot = SlotOf(tempPath); slot >= 0) g_tempFileExists[slot] = 0;
}

bool WasIgnored(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

sigset_t EndingSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kEndingSignals) sigaddset(&set, signo);
    return set;
}

// Blocks the ending signals; the mask before, for UnblockSignals.
sigset_t BlockEndingSignals() {
    sigset_t ending = EndingSignalSet(), before;
    ::sigprocmask(SIG_BLOCK, &ending, &before);
    return before;
}

void UnblockSignals(const sigset_t& before) {
    int error = errno;
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
}

// ".NAME.morvik-XXXXXX" beside `finalPath`, NAME shortened where the whole
// name would be longer than a file name may be. false when `finalPath`
// names no file (it is empty or ends in '/').
bool ComposeTempPath(const char* finalPath, char* tempPath) {
    FolderOf(finalPath, tempPath);
    const char* name = finalPath + std::strlen(tempPath);
    if (*name == '\0') return false;
    const int nameRoom = static_cast<int>(kMaxNameLength - 1 - (sizeof kTempSuffix - 1));
    size_t used = std::strlen(tempPath);
    std::snprintf(tempPath + used, kTempPathSize - used, ".%.*s%s", nameRoom, name, kTempSuffix);
    return true;
}

// The random part of a temporary name: what mkostemp puts for XXXXXX.
bool IsRandomPart(const char* text) {
    size_t i = 0;
    for (; text[i] != '\0'; ++i) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return i == kRandomLength;
}

bool OlderThan(const struct stat& st, time_t age) {
    struct timespec now;
    return ::clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec - st.st_mtim.tv_sec > age;
}

// A regular file of this user, still with the mode it was made with (a
// finished one gets its final mode before it takes its name), that nothing
// has written for a while.
bool LooksLeftover(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_mode & 07777) == kTempFileMode && st.st_uid == ::geteuid() &&
           OlderThan(st, kLeftoverAge);
}

bool SameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes `name` from `folder` when it is a leftover that no process holds
// locked. It is unlinked while this run holds the lock, and only while the
// name still leads to the file that was checked.
void RemoveIfLeftover(int folder, const char* name) {
    struct stat named, held;
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !LooksLeftover(named)) return;
    int fd = ::openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    if (::fstat(fd, &held) == 0 && SameInode(held, named) && LooksLeftover(held) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameInode(named, held)) {
        ::unlinkat(folder, name, 0);
    }
    ::close(fd);
}

}  // namespace

void RemoveLeftoverTempFiles(const char* finalPath) {
    char pattern[kTempPathSize];
    if (std::strlen(finalPath) + sizeof kTempSuffix + 1 > kTempPathSize || !ComposeTempPath(finalPath, pattern)) return;
    char folderPath[kTempPathSize];
    FolderOf(finalPath, folderPath);
    // ".NAME.morvik-", the name every temporary file of this path starts with.
    std::string prefix(pattern + std::strlen(folderPath));
    prefix.resize(prefix.size() - kRandomLength);
    DIR* folder = ::opendir(folderPath[0] == '\0' ? "." : folderPath);
    if (folder == nullptr) return;
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        if (!IsRandomPart(entry->d_name + prefix.size())) continue;
        RemoveIfLeftover(::dirfd(folder), entry->d_name);
    }
    ::closedir(folder);
}

SavedSignals CatchEndingSignals() {
    SavedSignals saved{};
    struct sigaction catching {};
    catching.sa_handler = RemoveTempFileAndEnd;
    catching.sa_mask = EndingSignalSet();
    catching.sa_flags = SA_RESETHAND;
    for (int i = 0; i < kEndingSignalCount; ++i) {
        ::sigaction(kEndingSignals[i], nullptr, &saved.ending[i]);
        if (!WasIgnored(saved.ending[i])) ::sigaction(kEndingSignals[i], &catching, nullptr);
    }
    struct sigaction ignoring {};
    ignoring.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignoring, &saved.fileSizeLimit);
    return saved;
}

void RestoreSignals(const SavedSignals& saved) {
    for (int i = 0; i < kEndingSignalCount; ++i) ::sigaction(kEndingSignals[i], &saved.ending[i], nullptr);
    ::sigaction(SIGXFSZ, &saved.fileSizeLimit, nullptr);
}

void FolderOf(const char* path, char* folder) {
    const char* slash = std::strrchr(path, '/');
    size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    if (length >= kTempPathSize) length = kTempPathSize - 1;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
}

int CreateTempFileBeside(const char* finalPath, char* tempPath) {
    tempPath[0] = '\0';  // until a file of that name is made
    if (std::strlen(finalPath) + sizeof kTempSuffix + 1 > kTempPathSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!ComposeTempPath(finalPath, tempPath)) {
        tempPath[0] = '\0';
        errno = EISDIR;
        return -1;
    }
    // Blocked signals keep the file from appearing unrecorded: one that
    // arrives meanwhile is handled after the path is stored.
    sigset_t before = BlockEndingSignals();
    int slot = FreeSlot();
    int fd = slot < 0 ? -1 : ::mkostemp(tempPath, O_CLOEXEC);
    if (fd >= 0) {
        std::memcpy(g_tempPaths[slot], tempPath, kTempPathSize);
        g_tempFileExists[slot] = 1;
    }
    if (slot < 0) errno = EMFILE;
    UnblockSignals(before);
    if (fd < 0) {
        tempPath[0] = '\0';  // no file of this name was made
        return -1;
    }
    // Where the file system has no locks the file is still written; another
    // run could then take it for a leftover only after a minute of silence.
    ::flock(fd, LOCK_EX | LOCK_NB);
    RemoveLeftoverTempFiles(finalPath);
    return fd;
}

bool RenameTempFileOver(const char* tempPath, const char* finalPath) {
    sigset_t before = BlockEndingSignals();
    bool renamed = ::rename(tempPath, finalPath) == 0;
    if (renamed) Forget(tempPath);
    UnblockSignals(before);
    return renamed;
}

void RemoveTempFile(const char* tempPath) {
    sigset_t before = BlockEndingSignals();
    ::unlink(tempPath);
    Forget(tempPath);
    UnblockSignals(before);
}

}  // namespace morvik
