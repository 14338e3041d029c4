// A bind gives its output path a complete image or leaves it as it was: a
// failure, a signal or a file-size limit leaves the old output byte for byte
// (or nothing, where there was none) and no temporary file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/image_model.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

const Bytes kOldOutput = PatternBytes(0x3000, 42);

// 512 MiB of 0xFF fill come before the images: room to stop a bind half-way.
const std::string kLargePar = "$Size &80000\n:boot.bin &0\n:data.bin &1ff00000\n";
constexpr uint64_t kLargeSize = 512u << 20;
constexpr uint64_t kHalfWay = 4u << 20;

void WriteInputs(const BindFolder& folder, const std::string& par) {
    folder.Write("pid.txt", PidFileText());
    folder.Write("short.txt", PidFileText().substr(0, 111));
    folder.Write("boot.bin", PatternBytes(0x800, 7));
    folder.Write("data.bin", PatternBytes(0x1000, 8));
    folder.Write("empty.bin", Bytes());
    folder.Write("bind.par", par);
}

std::vector<std::string> TempFiles(const BindFolder& folder) { return TempFilesOf(folder.dir.path); }

uint64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool Ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// Waits until the bind's temporary file holds kHalfWay bytes, then stops the
// bind (SIGSTOP). The file's size then, which is below kLargeSize when the
// bind really is half-way; 0 when the bind ended first.
uint64_t StopHalfWay(pid_t pid, const BindFolder& folder) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Ended(pid) && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& temp : TempFiles(folder)) {
            if (SizeOf(folder / temp) < kHalfWay) continue;
            int status = 0;
            ::kill(pid, SIGSTOP);
            ::waitpid(pid, &status, WUNTRACED);
            return SizeOf(folder / temp);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

void ExpectOutputAsBefore(const BindFolder& folder, const Bytes* old, bool tempMayRemain) {
    const std::string out = folder / "out.bin";
    if (old == nullptr) {
        EXPECT_FALSE(FileExists(out));
    } else if (SizeOf(out) != old->size()) {
        ADD_FAILURE() << "the old output was replaced";
    } else {
        EXPECT_TRUE(ReadFile(out) == *old) << "the old output changed";
    }
    if (!tempMayRemain) {
        EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
    }
}

enum class MidBind { kNothing, kSignal, kRemoveImage };

struct EndCase {
    std::string name;
    std::string par;
    bool oldOutput;
    MidBind action;
    int signo;
    int status;
    std::string line;  // a line the run prints
    long sizeLimit = -1;
    std::vector<int> ignored = {};
};

// Stops the bind half-way, acts, and lets it go on.
void Interrupt(pid_t pid, const BindFolder& folder, const EndCase& c) {
    uint64_t reached = StopHalfWay(pid, folder);
    if (reached == 0 || reached >= kLargeSize) {
        ::kill(pid, SIGKILL);
        ADD_FAILURE() << "the bind was not caught half-way (" << reached << " bytes written)";
        return;
    }
    if (c.action == MidBind::kRemoveImage) ::unlink((folder / "data.bin").c_str());
    if (c.action == MidBind::kSignal) ::kill(pid, c.signo);
    ::kill(pid, SIGCONT);
}

TEST(E2eAtomicOutput, AnUnfinishedBindLeavesTheOutputPathAsItWas) {
    const std::string traced = "Pasre Par Info Done!";  // the trace before writing
    // clang-format off
    const std::vector<EndCase> cases{
        {"PID file fails", "$Size &10\n%short.txt &fff\n:boot.bin &0\n", true, MidBind::kNothing, 0, 1,
         "Error : Binding PID fail!"},
        {"PID file fails, no old output", "$Size &10\n%short.txt &fff\n:boot.bin &0\n", false, MidBind::kNothing, 0, 1,
         "Error : Binding PID fail!"},
        {"empty image", "$Size &10\n:boot.bin &0\n:empty.bin &1000\n", true, MidBind::kNothing, 0, 1,
         "Error : Binding file empty.bin fail:"},
        {"file-size limit", "$Size &10\n:boot.bin &0\n", true, MidBind::kNothing, 0, 1,
         "Error : Write output bin file(out.bin) failed! (File too large)", 0x2000},
        {"image removed between planning and copying", kLargePar, true, MidBind::kRemoveImage, 0, 1,
         "Error: open input image data.bin failed"},
        {"SIGTERM", kLargePar, true, MidBind::kSignal, SIGTERM, 128 + SIGTERM, traced},
        {"SIGTERM, no old output", kLargePar, false, MidBind::kSignal, SIGTERM, 128 + SIGTERM, traced},
        {"SIGINT", kLargePar, true, MidBind::kSignal, SIGINT, 128 + SIGINT, traced},
        {"SIGHUP", kLargePar, true, MidBind::kSignal, SIGHUP, 128 + SIGHUP, traced},
        {"SIGPIPE", kLargePar, true, MidBind::kSignal, SIGPIPE, 128 + SIGPIPE, traced},
        {"SIGKILL (the temporary file may stay)", kLargePar, true, MidBind::kSignal, SIGKILL, 128 + SIGKILL, traced},
        {"SIGHUP ignored, as under nohup: the bind completes", kLargePar, true, MidBind::kSignal, SIGHUP, 0, "DONE!",
         -1, {SIGHUP}},
    };
    // clang-format on
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        WriteInputs(folder, c.par);
        if (c.oldOutput) folder.Write("out.bin", kOldOutput);
        RunOptions options;
        options.fileSizeLimit = c.sizeLimit;
        options.ignoredSignals = c.ignored;
        Started bind;
        StartMorvik(bind, {"-i", "bind.par", "-o", "out.bin", "-p", "0xff"}, folder.dir.path, options);
        if (c.action != MidBind::kNothing) Interrupt(bind.pid, folder, c);
        RunResult run = WaitFor(bind);

        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_TRUE(HasLine(run.out, c.line)) << run.out;
        if (c.status == 0) {
            EXPECT_EQ(SizeOf(folder / "out.bin"), kLargeSize);
            EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
            continue;
        }
        EXPECT_FALSE(HasLine(run.out, "DONE!"));
        ExpectOutputAsBefore(folder, c.oldOutput ? &kOldOutput : nullptr, c.signo == SIGKILL);
    }
}

// Binds that differ in fill and version, all at once on one path: the
// output is one of their images whole, and it verifies.
TEST(E2eAtomicOutput, FiveBindsAtOnceLeaveOneCompleteImage) {
    BindFolder folder;
    WriteInputs(folder, "");
    folder.Write("kernel.bin", PatternBytes(0x2345, 9));
    std::vector<Bytes> images;
    auto args = [](int i, const char* out) {
        return std::vector<std::string>{
            "-i", "bind" + std::to_string(i) + ".par", "-o", out, "-p", i % 2 ? "0xff" : "0x00"};
    };
    for (int i = 0; i < 5; ++i) {
        folder.Write("bind" + std::to_string(i) + ".par",
                     "$Size &2000\n%pid.txt &7fff\n:boot.bin &0 -l 0x10000 -p 0xff\n:kernel.bin &10000 -k -c -v 1.0" +
                         std::to_string(i) + "\n:data.bin &700000 -f -c -v 1.00\n");
        ASSERT_EQ(RunMorvik(args(i, "alone.bin"), folder.dir.path).status, 0);
        images.push_back(folder.Read("alone.bin"));
    }
    std::array<Started, 5> binds;
    for (int i = 0; i < 5; ++i) StartMorvik(binds[i], args(i, "out.bin"), folder.dir.path);
    for (Started& bind : binds) EXPECT_EQ(WaitFor(bind).status, 0);

    EXPECT_NE(std::find(images.begin(), images.end(), folder.Read("out.bin")), images.end());
    EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
    RunResult check = RunInspect({"--quiet", folder / "out.bin"});
    EXPECT_EQ(check.status, 0) << check.out;
}

// Where the folder takes no new file, or will not let the bind's user
// replace the output, an existing regular output is written in place; a
// link there is never followed. Run as an unprivileged user.
TEST(E2eAtomicOutput, WritesInPlaceOnlyWhereTheFolderKeepsTheOutput) {
    // clang-format off
    const struct {
        std::string name;
        mode_t folderMode;
        mode_t outMode;
        bool outIsLink;   // out.bin is a link to keep.bin, which has outMode
        bool needsRoot;   // out.bin must belong to another user than the bind's
        int status;
    } cases[] = {
        {"folder refuses a new file, writable output", 0555, 0666, false, false, 0},
        {"folder refuses a new file, read-only output", 0555, 0444, false, false, 1},
        {"folder refuses a new file, output is a link", 0555, 0666, true, false, 1},
        {"sticky folder, another user's output", 01777, 0666, false, true, 0},
    };
    // clang-format on
    const bool root = ::geteuid() == 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !root) continue;  // no file of another user to be had
        BindFolder folder;
        if (root && !OthersCanReach(folder.dir.path + "/..")) {
            GTEST_SKIP() << "the temporary folder " << folder.dir.path
                         << " lies where another user cannot reach it (set TMPDIR to a folder others may enter)";
        }
        WriteInputs(folder, "$Size &10\n:boot.bin &0\n");
        const std::string target = c.outIsLink ? "keep.bin" : "out.bin";
        folder.Write(target, kOldOutput);
        if (c.outIsLink) {
            ASSERT_EQ(::symlink("keep.bin", (folder / "out.bin").c_str()), 0);
        }
        ASSERT_EQ(::chmod((folder / target).c_str(), c.outMode), 0);
        ASSERT_EQ(::chmod(folder.dir.path.c_str(), c.folderMode), 0);
        struct stat old {};
        ::lstat((folder / "out.bin").c_str(), &old);
        RunOptions options;
        options.userId = root ? 65534 : -1;
        RunResult run = RunMorvik({"-i", "bind.par", "-o", "out.bin"}, folder.dir.path, options);
        ::chmod(folder.dir.path.c_str(), 0755);

        EXPECT_EQ(run.status, c.status) << run.out;
        struct stat now {};
        ::lstat((folder / "out.bin").c_str(), &now);
        EXPECT_EQ(now.st_ino, old.st_ino) << "the output was replaced";
        if (c.status == 0) {
            EXPECT_EQ(SizeOf(folder / "out.bin"), 0x4000u);
        } else {
            EXPECT_TRUE(HasLine(run.out, "Error: Create output bin file(out.bin) failed!")) << run.out;
            EXPECT_TRUE(folder.Read(target) == kOldOutput);
        }
        EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace morvik_test
