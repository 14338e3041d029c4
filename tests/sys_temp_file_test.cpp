// The temporary file a tool writes beside its output: its name, mode, lock
// and folder, its rename over the output, its removal by an ending signal
// until then, and the removal of what killed runs left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "sys/temp_file.h"

namespace {

using morvik_test::ReadFile;
using morvik_test::TempDir;
using morvik_test::WriteFile;

const std::string kLongName(255, 'n');
// What CreateTempFileBeside makes of kLongName: cut so that the whole name
// is 255 bytes.
const std::string kLongPrefix = "." + std::string(240, 'n') + ".morvik-";

// Sets the last write of `path` (a link itself, not what it leads to) to
// `age` seconds ago.
bool Age(const std::string& path, int age) {
    const struct timespec then = {std::time(nullptr) - age, 0};
    const struct timespec times[2] = {then, then};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// The entries of `folder` whose names start with `prefix`.
std::vector<std::string> EntriesStartingWith(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return names;
}

std::string Text(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

bool LockedElsewhere(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (fd >= 0) ::close(fd);
    return locked;
}

// A new file ".NAME.morvik-XXXXXX" in the folder of the final path: mode
// 0600, read-write, close-on-exec, locked, and an old leftover of the same
// final path gone. A failure makes nothing and leaves the path "".
TEST(SysTempFile, CreatedBesideTheFinalPathOrRefused) {
    // clang-format off
    // clang-format off
    const struct {
        const char* what;
        std::string finalName;
        int error;
        std::string prefix;
    } cases[] = {
        {"a bare name", "out.bin", 0, ".out.bin.morvik-"},
        {"in the final path's folder", "sub/out.bin", 0, "sub/.out.bin.morvik-"},
        {"a long name, shortened to fit", kLongName, 0, kLongPrefix},
        {"a final path ending in '/'", "sub/", EISDIR, ""},
        {"a missing folder", "missing/out.bin", ENOENT, ""},
        {"a path too long for a temporary path", std::string(500, 'x'), ENAMETOOLONG, ""},
    };
    // clang-format on
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::filesystem::create_directory(dir / "sub");
        const std::string finalPath = dir / c.finalName;
        const std::string leftover = dir / (c.prefix + "Old001");
        if (c.error == 0) {
            WriteFile(leftover, std::string("killed"));
            ASSERT_EQ(::chmod(leftover.c_str(), 0600), 0);
            ASSERT_TRUE(Age(leftover, 120));
        }
        char tempPath[morvik::kTempPathSize] = "not yet";
        errno = 0;
        int fd = morvik::CreateTempFileBeside(finalPath.c_str(), tempPath);
        if (c.error != 0) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.error);
            EXPECT_STREQ(tempPath, "");
            EXPECT_EQ(EntriesStartingWith(dir.path, ".").size() + EntriesStartingWith(dir / "sub", ".").size(), 0u);
            if (fd >= 0) ::close(fd);
            continue;
        }
        ASSERT_GE(fd, 0);
        const std::string name = tempPath;
        const std::string expectedStart = dir / c.prefix;
        ASSERT_EQ(name.size(), expectedStart.size() + 6) << name;
        EXPECT_EQ(name.substr(0, expectedStart.size()), expectedStart);
        struct stat st;
        ASSERT_EQ(::fstat(fd, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_TRUE(LockedElsewhere(name));
        EXPECT_FALSE(morvik_test::FileExists(leftover)) << "the leftover stays";
        EXPECT_FALSE(morvik_test::FileExists(finalPath));
        morvik::RemoveTempFile(tempPath);
        EXPECT_FALSE(morvik_test::FileExists(name));
        ::close(fd);
    }
}

// What is at the final path before the rename, and whether the rename goes
// through. In a child that catches the ending signals and then ends by
// SIGTERM: a temporary file that took the final path stays there, and the
// signal removes nothing; one that did not is removed by the signal. With
// `others`, that many more temporary files (of other final paths) are there
// at the same time, and the signal removes each of them; once the most there
// may be at once are there, another is refused.
TEST(SysTempFile, RenamedOverTheFinalPathOrRemovedByAnEndingSignal) {
    enum class At { kNothing, kFile, kLink, kFolder };
    // clang-format off
    const struct { const char* what; At at; bool renamed; int others = 0; } cases[] = {
        {"nothing there", At::kNothing, true},
        {"an old file", At::kFile, true},
        {"a link, replaced and not followed", At::kLink, true},
        {"a folder: refused, removed by the signal", At::kFolder, false},
        {"two more beside it, removed by the signal; a fourth refused", At::kFile, true, 2},
        {"one more beside it, both removed by the signal", At::kFolder, false, 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string finalPath = dir / "out.bin";
        WriteFile(dir / "target.bin", std::string("target"));
        if (c.at == At::kFile) WriteFile(finalPath, std::string("old"));
        if (c.at == At::kLink) {
            ASSERT_EQ(::symlink("target.bin", finalPath.c_str()), 0);
        }
        if (c.at == At::kFolder) {
            ASSERT_TRUE(std::filesystem::create_directory(finalPath));
        }
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGTERM, SIG_DFL);  // caught only where it is not ignored
            morvik::CatchEndingSignals();
            char tempPath[morvik::kTempPathSize];
            int fd = morvik::CreateTempFileBeside(finalPath.c_str(), tempPath);
            if (fd < 0 || ::write(fd, "new", 3) != 3) ::_exit(1);
            for (int i = 0; i < c.others; ++i) {
                char otherPath[morvik::kTempPathSize];
                const std::string other = dir / ("other" + std::to_string(i));
                if (morvik::CreateTempFileBeside(other.c_str(), otherPath) < 0) ::_exit(5);
            }
            if (1 + c.others == morvik::kMaxTempFiles) {
                char refusedPath[morvik::kTempPathSize];
                errno = 0;
                const std::string refused = dir / "refused";
                if (morvik::CreateTempFileBeside(refused.c_str(), refusedPath) >= 0 || errno != EMFILE ||
                    refusedPath[0] != '\0')
                    ::_exit(6);
            }
            errno = 0;
            if (morvik::RenameTempFileOver(tempPath, finalPath.c_str()) != c.renamed) ::_exit(2);
            if (!c.renamed && errno != EISDIR) ::_exit(3);
            // A new file of the old temporary name is none of this run's.
            if (c.renamed) WriteFile(tempPath, std::string("another run's"));
            ::raise(SIGTERM);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
        EXPECT_EQ(EntriesStartingWith(dir.path, ".out.bin.morvik-").size(), c.renamed ? 1u : 0u);
        EXPECT_EQ(EntriesStartingWith(dir.path, ".other").size(), 0u);
        EXPECT_EQ(EntriesStartingWith(dir.path, ".refused").size(), 0u);
        EXPECT_EQ(Text(dir / "target.bin"), "target");
        struct stat st;
        ASSERT_EQ(::lstat(finalPath.c_str(), &st), 0);
        if (c.renamed) {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(Text(finalPath), "new");
        } else {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        }
    }
}

// What a killed run left is removed by the next; what may still be in use,
// or is no temporary file of this path, stays. (The end-to-end table in
// e2e_output_safety_test.cpp has the files of other users and names, links,
// folders, young files and finished files.)
TEST(SysTempFile, LeftoversOfKilledRunsAreRemoved) {
    // clang-format off
    // clang-format off
    const struct {
        const char* what;
        std::string finalName;
        std::string name;
        mode_t mode;
        int age;       // seconds since the last write
        bool locked;   // held by a running run
        bool link;     // a link to an old 0600 file of that age
        bool removed;
    } cases[] = {
        {"unwritten for a minute and a second", "out.bin", ".out.bin.morvik-Ab12Cd", 0600, 61, false, false, true},
        {"locked by a run that still writes", "out.bin", ".out.bin.morvik-Held01", 0600, 120, true, false, false},
        {"a mode other than 0600", "out.bin", ".out.bin.morvik-Exec01", 0700, 120, false, false, false},
        {"not a random part mkostemp makes", "out.bin", ".out.bin.morvik-Ab_2Cd", 0600, 120, false, false, false},
        {"a link to an old 0600 file", "out.bin", ".out.bin.morvik-Link01", 0600, 120, false, true, false},
        {"a long final name, cut as it was made", kLongName, kLongPrefix + "Ab12Cd", 0600, 120, false, false, true},
    };
    // clang-format on
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir / c.name;
        const std::string file = c.link ? dir / "target.bin" : path;
        WriteFile(file, std::string("killed"));
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        ASSERT_TRUE(Age(file, c.age));
        if (c.link) {
            ASSERT_EQ(::symlink("target.bin", path.c_str()), 0);
            ASSERT_TRUE(Age(path, c.age));
        }
        int held = c.locked ? ::open(path.c_str(), O_RDONLY) : -1;
        if (c.locked) {
            ASSERT_EQ(::flock(held, LOCK_EX), 0);
        }
        morvik::RemoveLeftoverTempFiles((dir / c.finalName).c_str());
        struct stat st;
        EXPECT_EQ(::lstat(path.c_str(), &st) != 0, c.removed);
        EXPECT_TRUE(morvik_test::FileExists(file) || c.removed);
        if (held >= 0) ::close(held);
    }
}

}  // namespace
