// The rule for every path a tool writes: followed through its links, it
// must lead to a regular file or to nothing, and never into the kernel's
// own file systems.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/run_tool.h"
#include "sys/io.h"
#include "sys/output_path.h"

namespace {

using morvik::OutputKind;
using morvik_test::TempDir;

bool MakeSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    bool made = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return made;
}

bool SysIsSysfs() {
    struct statfs fs;
    return ::statfs("/sys", &fs) == 0 && static_cast<unsigned long>(fs.f_type) == 0x62656572ul;
}

// The folder every row looks into ("{D}" in paths and reasons).
void MakeFolder(const TempDir& dir) {
    morvik_test::WriteFile(dir / "file.bin", std::string("old"));
    std::filesystem::create_directory(dir / "sub");
    // clang-format off
    const struct { const char* name; const char* target; } links[] = {
        {"file-link", "file.bin"}, {"dangling", "missing.bin"}, {"loop-a", "loop-b"}, {"loop-b", "loop-a"},
        {"sub-link", "sub"}, {"null-link", "/dev/null"}, {"proc-link", "/proc/self/fd/1"}, {"fd", "/proc/self/fd"},
        {"sys-link", "/sys/kernel/x"},
    };
    // clang-format on
    for (const auto& link : links) std::filesystem::create_symlink(link.target, dir / link.name);
    ::mkfifo((dir / "fifo").c_str(), 0600);
    MakeSocket(dir / "socket");
}

std::string WithFolder(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, folder);
    return text;
}

TEST(SysOutputPath, FollowsLinksToAFileOrNothingAndRefusesTheRest) {
    const std::string proc = ": a file there is a running process's descriptor or memory, not a file to replace";
    // clang-format off
    // clang-format off
    const struct {
        const char* what;
        std::string path;  // from the folder, or absolute
        OutputKind kind;
        const char* kernelFiles;
        std::string reason;   // its start
        bool device = false;
        const char* cwd = nullptr;  // looked at from this folder, as a bare name
    } cases[] = {
        {"nothing there", "new.bin", OutputKind::kNothing, nullptr, ""},
        {"nothing in a missing folder", "missing/new.bin", OutputKind::kNothing, nullptr, ""},
        {"a regular file", "file.bin", OutputKind::kFile, nullptr, ""},
        {"a link to one", "file-link", OutputKind::kFile, nullptr, ""},
        {"a dangling link", "dangling", OutputKind::kFile, nullptr, ""},
        {"a loop of links", "loop-a", OutputKind::kFile, nullptr, ""},
        {"a folder", "sub", OutputKind::kRefused, nullptr, "is a folder"},
        {"a link to a folder", "sub-link", OutputKind::kRefused, nullptr, "leads to {D}/sub, a folder"},
        {"a FIFO", "fifo", OutputKind::kRefused, nullptr, "is a FIFO"},
        {"a socket", "socket", OutputKind::kRefused, nullptr, "is a socket"},
        {"a link to a device", "null-link", OutputKind::kRefused, nullptr,
         "leads to /dev/null, a character device: write the image to a file and copy it to the device", true},
        {"a link into /proc", "proc-link", OutputKind::kRefused, "/proc",
         "leads into /proc (/proc/self/fd/1)" + proc},
        {"a folder link into /proc", "fd/1", OutputKind::kRefused, "/proc", "is in /proc" + proc},
        {"a path in /proc", "/proc/self/fd/1", OutputKind::kRefused, "/proc", "is in /proc" + proc},
        {"a link into /sys", "sys-link", OutputKind::kRefused, "/sys",
         "leads into /sys (/sys/kernel/x): a file there is a setting of the kernel or the machine"},
        {"a bare name of a link to a file", "file-link", OutputKind::kFile, nullptr, "", false, "{D}"},
        {"a bare name of a link to a folder", "sub-link", OutputKind::kRefused, nullptr, "leads to sub, a folder", false,
         "{D}"},
        {"a bare name in a folder of /proc", "1", OutputKind::kRefused, "/proc", "is in /proc" + proc, false,
         "/proc/self/fd"},
    };
    // clang-format on
    // clang-format on
    TempDir dir;
    MakeFolder(dir);
    const bool sysfs = SysIsSysfs();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what).find("/sys") != std::string::npos && !sysfs) {
            std::printf("skipped \"%s\": /sys is not sysfs here\n", c.what);
            continue;
        }
        const std::string path = c.path[0] == '/' || c.cwd != nullptr ? c.path : dir / c.path;
        morvik::UniqueFd here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(c.cwd == nullptr || ::chdir(WithFolder(c.cwd, dir.path).c_str()) == 0);
        const morvik::OutputTarget target = morvik::ExamineOutputPath(path.c_str(), "image");
        ASSERT_EQ(::fchdir(here.fd), 0);
        EXPECT_EQ(target.kind, c.kind);
        EXPECT_STREQ(target.kernelFiles, c.kernelFiles);
        EXPECT_EQ(target.device, c.device);
        const std::string reason = WithFolder(c.reason, dir.path);
        EXPECT_EQ(target.reason.substr(0, reason.size()), reason) << target.reason;
        EXPECT_EQ(target.reason.empty(), reason.empty()) << target.reason;
    }
}

// Two files to be written must not share a place: the same existing file,
// or the same name in the same folder once the folders' links and dots are
// followed, whether a file is there yet or not.
TEST(SysOutputPath, SamePlaceFollowsTheFolderAndKeepsTheLastName) {
    // clang-format off
    const struct { const char* a; const char* b; bool same; } pairs[] = {
        {"file.bin", "file.bin", true},
        {"file.bin", "sub/../file.bin", true},
        {"file-link", "file.bin", true},                   // the same file through a link
        {"new.bin", "./new.bin", true},                    // nothing there yet
        {"sub/new.bin", "sub-link/new.bin", true},         // the folder through its link
        {"new.bin", "sub-link/../new.bin", true},
        {"new.bin", "other.bin", false},
        {"sub/new.bin", "new.bin", false},
        {"dangling", "missing.bin", false},                // a link is replaced, not written through
        {"missing/a.bin", "missing/a.bin", true},          // no folder to follow: the text
        {"missing/a.bin", "missing/./a.bin", false},
    };
    const struct { const char* path; const char* place; } places[] = {
        {"file.bin", "{D}/file.bin"},
        {"sub-link/x.bin", "{D}/sub/x.bin"},
        {"./sub/../file-link", "{D}/file-link"},           // the last name stays a link
        {"missing/x.bin", ""},
    };
    // clang-format on
    TempDir dir;
    MakeFolder(dir);
    char* real = ::realpath(dir.path.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string folder = real;
    std::free(real);
    for (const auto& p : pairs) {
        SCOPED_TRACE(std::string(p.a) + " / " + p.b);
        EXPECT_EQ(morvik::SamePlace((dir / p.a).c_str(), (dir / p.b).c_str()), p.same);
        EXPECT_EQ(morvik::SamePlace((dir / p.b).c_str(), (dir / p.a).c_str()), p.same);
    }
    for (const auto& p : places) {
        SCOPED_TRACE(p.path);
        EXPECT_EQ(morvik::AbsolutePlace((dir / p.path).c_str()), WithFolder(p.place, folder));
    }
    EXPECT_EQ(morvik::AbsolutePlace("/"), "/");
}

}  // namespace
