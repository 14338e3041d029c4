// The dependency file in the build tools it is written for: make with
// examples/Makefile, and ninja with the build CMake generates from
// examples/CMakeLists.txt (add_custom_command with DEPFILE). Each tool goes
// through the same steps: the first build binds, the next does nothing, an
// input made later (the PAR file, an image, the PID file) binds again, a
// file that is no input does not, and an input taken out of the PAR file
// and off the disk does not break the build.
//
// No step waits: the inputs' times are set with touch -d, an hour before
// the test, and an input made later an hour after it (ninja compares with
// the time it noted when it built, so "later" must be later than that).
// After the build it goes back an hour before the test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

std::string FindProgram(const std::string& name) {
    std::stringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; std::getline(path, folder, ':');) {
        std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Runs `args` with args[0] looked up on the PATH.
RunResult RunFound(const std::vector<std::string>& args) { return RunProgram(FindProgram(args[0]), args); }

// A build tool and how the example is built with it in `folder` (a copy of
// examples/); `out` is where it binds the image, from the folder.
struct Tool {
    const char* name;
    std::vector<const char*> programs;
    std::function<RunResult(const std::string& folder)> configure;  // nullptr: nothing to configure
    std::function<RunResult(const std::string& folder)> build;
    const char* out;
};

// The example folder and the times of its inputs: every input starts an
// hour before the test, and an input made "later" gets an hour after it,
// later than any build; once built, it goes back to the past.
struct Timeline {
    std::string folder;
    std::string out;  // the image, from the folder
    const time_t start = ::time(nullptr);
    std::vector<std::string> madeLater;

    void Touch(const std::string& path, long hours) const {
        const std::string at = "@" + std::to_string(static_cast<long long>(start + hours * 3600));
        RunResult run = RunFound({"touch", "-h", "-d", at, path});
        EXPECT_EQ(run.status, 0) << run.err;
    }
    void MakeLater(const std::string& name) {
        Touch(folder + "/" + name, 1);
        madeLater.push_back(name);
    }
    void Built() {
        for (const std::string& name : madeLater)
            if (FileExists(folder + "/" + name)) Touch(folder + "/" + name, -1);
        madeLater.clear();
    }
    // What tells a new image from the old one: a bind renames a new file
    // over it.
    std::pair<ino_t, long long> Image() const {
        struct stat st;
        if (::stat((folder + "/" + out).c_str(), &st) != 0) return {0, 0};
        return {st.st_ino, static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
};

struct Step {
    const char* what;
    std::function<void(Timeline&)> change;  // nullptr: nothing changes
    bool binds;
};

TEST(E2eBuildTools, MakeAndNinjaBindAgainExactlyWhenAnInputChanges) {
    const std::string morvik = MORVIK_BIN;
    // clang-format off
    const Tool tools[] = {
        {"make with examples/Makefile", {"make"}, nullptr,
         [&](const std::string& folder) {
             return RunFound({"make", "-C", folder, "MORVIK=" + morvik});
         },
         "ARMOut.BIN"},
        {"ninja through CMake with examples/CMakeLists.txt", {"cmake", "ninja"},
         [&](const std::string& folder) {
             return RunFound({"cmake", "-S", folder, "-B", folder + "/build", "-G", "Ninja",
                                         "-DMORVIK=" + morvik});
         },
         [](const std::string& folder) { return RunFound({"ninja", "-C", folder + "/build"}); },
         "build/ARMOut.BIN"},
    };
    const std::string withoutRootfs = "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 0x8000 -p 0xff\n"
                                      ":kernel.bin &8000 -k -c -v 1.00\n";
    const Step steps[] = {
        {"the first build binds", nullptr, true},
        {"the second does nothing", nullptr, false},
        {"a later bootloader image binds again", [](Timeline& t) { t.MakeLater("boot.bin"); }, true},
        {"then nothing is to do", nullptr, false},
        {"a later kernel image", [](Timeline& t) { t.MakeLater("kernel.bin"); }, true},
        {"a later PID file", [](Timeline& t) { t.MakeLater("pid.txt"); }, true},
        {"a later PAR file", [](Timeline& t) { t.MakeLater("ARMPARA.PAR"); }, true},
        {"a later file that is no input", [](Timeline& t) { t.MakeLater("rootfs-b.bin"); }, false},
        {"an image taken out of the PAR file and off the disk",
         [&](Timeline& t) {
             WriteFile(t.folder + "/ARMPARA.PAR", withoutRootfs);
             t.MakeLater("ARMPARA.PAR");
             fs::remove(t.folder + "/rootfs.bin");
         },
         true},
        {"then nothing is to do", nullptr, false},
        {"the removed image back on the disk, no input any more",
         [](Timeline& t) {
             WriteFile(t.folder + "/rootfs.bin", std::string("not bound"));
             t.MakeLater("rootfs.bin");
         },
         false},
    };
    // clang-format on
    int built = 0;
    for (const Tool& tool : tools) {
        SCOPED_TRACE(tool.name);
        std::string missing;
        for (const char* program : tool.programs)
            if (FindProgram(program).empty()) missing += std::string(missing.empty() ? "" : ", ") + program;
        if (!missing.empty()) {
            std::printf("[  SKIP    ] %s: %s not installed (Debian: apt-get install make ninja-build cmake)\n",
                        tool.name, missing.c_str());
            continue;
        }
        TempDir dir;
        Timeline t;
        t.folder = dir / "example";
        t.out = tool.out;
        fs::create_directory(t.folder);
        for (const auto& entry : fs::directory_iterator(fs::path(MORVIK_SOURCE_DIR) / "examples")) {
            fs::copy_file(entry.path(), t.folder + "/" + entry.path().filename().string());
            t.Touch(t.folder + "/" + entry.path().filename().string(), -1);
        }
        if (tool.configure) {
            RunResult configured = tool.configure(t.folder);
            ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
        }
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            if (step.change) step.change(t);
            const auto before = t.Image();
            RunResult run = tool.build(t.folder);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            const bool bound = t.Image() != before;
            EXPECT_EQ(bound, step.binds) << run.out << run.err;
            const std::string deps = t.folder + "/" + t.out + ".d";
            ASSERT_TRUE(FileExists(deps));
            if (bound) {
                std::vector<uint8_t> map = ReadFile(t.folder + "/" + t.out + ".map.json");
                ExpectMatchesSchema("morvik-map", std::string(map.begin(), map.end()));
            }
            t.Built();
            ++built;
        }
        std::vector<uint8_t> deps = ReadFile(t.folder + "/" + t.out + ".d");
        EXPECT_EQ(std::string(deps.begin(), deps.end()).find("rootfs.bin"), std::string::npos)
            << "the removed image is still an input";
    }
    if (built == 0) GTEST_SKIP() << "neither make nor ninja with CMake is installed";
}

}  // namespace
}  // namespace morvik_test
