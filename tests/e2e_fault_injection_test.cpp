// Every system call a bind makes of its own (not the dynamic loader's) is
// made to fail in turn, with EIO, ENOSPC and EINTR, by strace's fault
// injection. Whatever fails, the bind ends with status 1 and a message and
// the old output as it was, or with status 0 and the image byte for byte;
// an interrupted read or write is tried again, so EINTR there never fails
// the bind. The map and the dependency file, where asked for, are the old
// ones, or the new ones with status 0; only a failing rename leaves the
// files renamed before it new (the map, the dependency file, then the image
// take their names). No temporary file is left in either case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/image_model.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

const char* const kSyscalls[] = {"openat", "read",  "pread64", "pwrite64", "ftruncate",
                                 "fchmod", "close", "rename",  "renameat", "renameat2"};
const char* const kErrors[] = {"EIO", "ENOSPC", "EINTR"};
const Bytes kOldOutput = PatternBytes(0x3000, 42);

std::string FindStrace() {
    std::stringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; std::getline(path, folder, ':');) {
        std::string candidate = folder + "/strace";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// strace's reason to skip, or "" when it can run the tests here.
std::string WhyNoStrace(const std::string& strace) {
#ifdef MORVIK_SANITIZED
    return "the sanitizers do not run under ptrace";
#endif
    if (strace.empty()) return "strace is not installed";
    return "";
}

struct Example {
    std::string par;
    std::vector<std::string> inputs;
    std::vector<std::string> options;  // -p, --map, --makedeps
};

// The files beside the image that an example's options ask for.
const char* const kSideFiles[] = {"map.json", "deps.d"};
const Bytes kOldSideFile = Text("the old file beside the image");

bool AsksFor(const Example& example, const std::string& option) {
    return std::find(example.options.begin(), example.options.end(), option) != example.options.end();
}

void WriteExample(const BindFolder& folder, const Example& example) {
    const fs::path examples = fs::path(MORVIK_SOURCE_DIR) / "examples";
    for (const std::string& name : example.inputs) folder.Write(name, ReadFile((examples / name).string()));
    folder.Write("bind.par", ReadFile((examples / example.par).string()));
}

std::vector<std::string> BindArgs(const Example& example) {
    std::vector<std::string> args{MORVIK_BIN, "-i", "bind.par", "-o", "out.bin"};
    args.insert(args.end(), example.options.begin(), example.options.end());
    return args;
}

std::vector<std::string> TempFiles(const BindFolder& folder) { return TempFilesOf(folder.dir.path); }

// The calls of each traced kind: all of them, and those the loader made
// before the program's own first step (its check of the standard streams).
struct CallCounts {
    std::map<std::string, int> loader;
    std::map<std::string, int> total;
    int tempFileOpen = 0;  // which openat made the temporary file (1-based), 0 when none
};

CallCounts CountCalls(const std::string& trace) {
    CallCounts counts;
    std::ifstream in(trace);
    bool started = false;
    for (std::string line; std::getline(in, line);) {
        std::string name = line.substr(0, line.find('('));
        if (name == "fcntl") {
            started = started || line.rfind("fcntl(0, F_GETFD)", 0) == 0;
            continue;
        }
        ++counts.total[name];
        if (!started) ++counts.loader[name];
        if (name == "openat" && line.find(".out.bin.morvik-") != std::string::npos && counts.tempFileOpen == 0)
            counts.tempFileOpen = counts.total[name];
    }
    if (!started) counts.total.clear();
    return counts;
}

RunResult UnderStrace(const std::string& strace, const BindFolder& folder, const Example& example,
                      const std::vector<std::string>& straceArgs) {
    std::vector<std::string> args{strace, "-qq"};
    args.insert(args.end(), straceArgs.begin(), straceArgs.end());
    std::vector<std::string> bind = BindArgs(example);
    args.insert(args.end(), bind.begin(), bind.end());
    RunOptions options;
    options.cwd = folder.dir.path;
    options.unsetEnv = {"POSIXLY_CORRECT"};
    return RunProgram(strace, args, options);
}

bool SaysError(const RunResult& run) {
    for (const std::string& text : {run.out, run.err}) {
        for (const std::string& line : Lines(text)) {
            if (line.rfind("Error", 0) == 0 || line.find(": error: ") != std::string::npos) return true;
        }
    }
    return false;
}

// A read or write that was interrupted is repeated; nothing else is.
bool MustSucceed(const std::string& syscall, const std::string& error) {
    return error == "EINTR" && (syscall == "read" || syscall == "pread64" || syscall == "pwrite64");
}

TEST(E2eFaultInjection, EveryFailingCallLeavesTheOldOutputOrTheWholeImage) {
    const std::string strace = FindStrace();
    if (std::string why = WhyNoStrace(strace); !why.empty()) GTEST_SKIP() << why;
    // clang-format off
    const Example examples[] = {
        {"ARMPARA.PAR", {"boot.bin", "kernel.bin", "rootfs.bin", "pid.txt"}, {}},
        {"DUAL.PAR",
         {"boot.bin", "kernel.bin", "rootfs.bin", "kernel-b.bin", "rootfs-b.bin", "pid.txt"},
         {"-p", "0xff"}},
        // The map and the dependency file take their names before the image
        // takes its own.
        {"ARMPARA.PAR", {"boot.bin", "kernel.bin", "rootfs.bin", "pid.txt"},
         {"--map", "map.json", "--makedeps", "deps.d"}},
    };
    // clang-format on
    std::string traced = "trace=fcntl";
    for (const char* syscall : kSyscalls) traced += std::string(",") + syscall;
    int injections = 0;
    for (const Example& example : examples) {
        SCOPED_TRACE(example.par);
        BindFolder folder;
        WriteExample(folder, example);
        RunResult first = UnderStrace(strace, folder, example, {"-o", folder / "trace", "-e", traced});
        if (first.status != 0) GTEST_SKIP() << "strace cannot trace here: " << first.err;
        const Bytes image = folder.Read("out.bin");
        const bool sides = AsksFor(example, "--map");
        std::map<std::string, Bytes> written;
        for (const char* side : kSideFiles)
            if (sides) written[side] = folder.Read(side);
        CallCounts counts = CountCalls(folder / "trace");
        ASSERT_FALSE(counts.total.empty()) << "the program's first step was not seen in the trace";
        fs::remove(folder / "trace");

        for (const auto& [syscall, total] : counts.total) {
            for (int nth = counts.loader[syscall] + 1; nth <= total; ++nth) {
                for (const char* error : kErrors) {
                    SCOPED_TRACE(syscall + " #" + std::to_string(nth) + " fails with " + error);
                    folder.Write("out.bin", kOldOutput);
                    for (const auto& [side, bytes] : written) folder.Write(side, kOldSideFile);
                    std::string inject = "inject=" + syscall + ":error=" + error + ":when=" + std::to_string(nth);
                    RunResult run = UnderStrace(strace, folder, example,
                                                {"-o", "/dev/null", "-e", "trace=" + syscall, "-e", inject});
                    ++injections;
                    Bytes now = folder.Read("out.bin");
                    // The files take their names in turn: the map, the
                    // dependency file, the image. When rename #n fails, those
                    // renamed before it are new.
                    int rename = 0;
                    for (const char* side : kSideFiles) {
                        if (written.count(side) == 0) continue;
                        ++rename;
                        const bool isNew = run.status == 0 || (syscall.rfind("rename", 0) == 0 && nth > rename);
                        EXPECT_TRUE(folder.Read(side) == (isNew ? written[side] : kOldSideFile))
                            << side << (isNew ? " is not the new file" : " is not the old file");
                    }
                    if (run.status == 0) {
                        EXPECT_TRUE(now == image) << "status 0 with another image";
                    } else {
                        EXPECT_EQ(run.status, 1) << run.err;
                        EXPECT_FALSE(MustSucceed(syscall, error)) << "an interrupted call was not tried again";
                        EXPECT_TRUE(SaysError(run)) << "no message:\n" << run.out << run.err;
                        EXPECT_TRUE(now == kOldOutput) << "the old output was lost";
                    }
                    EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
                }
            }
        }
    }
    std::printf("[          ] %d injections\n", injections);
    RecordProperty("injections", injections);
}

// Where the folder has no room for the temporary file, the old output is not
// written in place: with the disk full, that would destroy it and fail too.
TEST(E2eFaultInjection, NoRoomForTheTemporaryFileKeepsTheOldOutput) {
    const std::string strace = FindStrace();
    if (std::string why = WhyNoStrace(strace); !why.empty()) GTEST_SKIP() << why;
    const Example example{"ARMPARA.PAR", {"boot.bin", "kernel.bin", "rootfs.bin", "pid.txt"}, {"-p", "0xff"}};
    BindFolder folder;
    WriteExample(folder, example);
    RunResult first = UnderStrace(strace, folder, example, {"-o", folder / "trace", "-e", "trace=fcntl,openat"});
    if (first.status != 0) GTEST_SKIP() << "strace cannot trace here: " << first.err;
    CallCounts counts = CountCalls(folder / "trace");
    fs::remove(folder / "trace");
    ASSERT_GT(counts.tempFileOpen, 0);

    for (const char* error : {"ENOSPC", "EDQUOT"}) {
        SCOPED_TRACE(error);
        folder.Write("out.bin", kOldOutput);
        // The temporary file cannot be made, and every write fails as well.
        RunResult run =
            UnderStrace(strace, folder, example,
                        {"-o", "/dev/null", "-e", "trace=openat,pwrite64,ftruncate", "-e",
                         std::string("inject=openat:error=") + error + ":when=" + std::to_string(counts.tempFileOpen),
                         "-e", std::string("inject=pwrite64,ftruncate:error=") + error});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(HasLine(run.out, "Error: Create output bin file(out.bin) failed!")) << run.out;
        EXPECT_TRUE(folder.Read("out.bin") == kOldOutput) << "the old output was lost";
        EXPECT_EQ(TempFiles(folder), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace morvik_test
