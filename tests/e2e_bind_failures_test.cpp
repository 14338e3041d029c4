// Complete binds that must fail: the message, status 1, never "DONE!", and
// what is (or is not) left at the output path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/image_model.h"

namespace morvik_test {
namespace {

struct InputFile {
    std::string name;
    uint32_t size;
};

struct FailureCase {
    std::string name;
    std::string par;  // "" leaves the PAR file out
    std::vector<InputFile> inputs;
    std::vector<std::string> extraArgs;
    std::vector<std::string> lines;  // must appear in this order
    std::string pidText = PidFileText();
};

// A small valid PAR file with one image group, used as the base of
// most failures below.
const char* const kGroupPar =
    "$Size &80\n"
    "%pid.txt &7fff\n"
    ":boot.bin &0 -l 0x10000 -p 0xff\n"
    ":kernel.bin &10000 -k -v 1.00\n";

const std::vector<InputFile> kGroupInputs{{"boot.bin", 0x3000}, {"kernel.bin", 0x1000}};

std::string ElevenImageLines() {
    std::string par = "$Size &100\n";
    for (int i = 0; i < 11; ++i) par += ":boot.bin &" + Hex(0x1000u * static_cast<uint32_t>(i)) + "\n";
    return par;
}

void WriteInputs(const BindFolder& folder, const std::vector<InputFile>& inputs, const std::string& par) {
    uint32_t seed = 7;
    for (const InputFile& input : inputs) folder.Write(input.name, PatternBytes(input.size, seed++));
    if (!par.empty()) folder.Write("bind.par", par);
}

void ExpectFailed(const RunResult& run, const std::vector<std::string>& lines) {
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(MissingInOrder(run.out, lines), "") << run.out;
    EXPECT_FALSE(HasLine(run.out, "DONE!")) << run.out;
}

// Failures found before the output is touched: no output file at all.
TEST(E2eBindFailure, RefusedBeforeTheOutputIsCreated) {
    // clang-format off
    const std::vector<FailureCase> cases{
        {"PAR file missing",
         "",
         {},
         {},
         {"Error : open Par file bind.par failed!",
          "Usage : Morvik [-i PAR_FILE] [-o BIN_FILE] [-p PAD] [-d] [-v] [-h] [-f]"}},
        {"image missing when read",
         "$Size &10\n:boot.bin &0\n:gone.bin &1000\n",
         {{"boot.bin", 0x100}},
         {},
         {"Error:open file gone.bin failed", "Open file gone.bin fail!"}},
        {"PID file missing when read",
         "$Size &80\n%nopid.txt &7fff\n:boot.bin &0\n",
         {{"boot.bin", 0x100}},
         {},
         {"Error:open file nopid.txt failed", "Open PID file nopid.txt fail!"}},
        {"PID location 0x44 leaves no room",
         "$Size &10\n%pid.txt &44\n:boot.bin &0\n",
         {{"boot.bin", 0x800}},
         {},
         {"Error : PID location 0x44 leaves no room for the 70-byte PID block in front of it!"}},
        {"PID location 0",
         "$Size &10\n%pid.txt &0\n:boot.bin &0\n",
         {{"boot.bin", 0x800}},
         {},
         {"Error : PID location 0x0 leaves no room for the 70-byte PID block in front of it!"}},
        // 0x801 bytes end odd: the record goes to 0x12802 and ends at
        // 0x12812, one byte into next.bin. The range of 0x811 cannot hold it.
        {"odd-ending last group image",
         "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 0x10000 -p 0xff\n:kernel.bin &10000 -k\n"
         ":rootfs.bin &12000 -f -l 0x811\n:next.bin &12811\n",
         {{"boot.bin", 0x3000}, {"kernel.bin", 0x1000}, {"rootfs.bin", 0x801}, {"next.bin", 0x400}},
         {},
         {"Warn : Limit Size of rootfs.bin is small than its Size, so '-l' option is ignored!",
          "this_end 12812 , next_start 12811", "Error : Image rootfs.bin overlay with Image next.bin!"}},
        {"output inside a missing folder",
         kGroupPar,
         kGroupInputs,
         {"-o", "nodir/out.bin"},
         {"Out File : nodir/out.bin", "Error: Create output bin file(nodir/out.bin) failed!"}},
        {"bad version text",
         "$Size &80\n%pid.txt &7fff\n:boot.bin &0\n:kernel.bin &10000 -k -v 1.0\n",
         kGroupInputs,
         {},
         {"Error: '-v' option must be followed with a string of 4 bytes!", "Usage : Par File Line Format."}},
        {"limit without 0x",
         "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 800\n",
         kGroupInputs,
         {},
         {"Error : '-l' option must be followed a hex value!", "Usage : Par File Line Format."}},
        {"size line without &",
         "$Size 80\n%pid.txt &7fff\n:boot.bin &0\n",
         kGroupInputs,
         {},
         {"Error: SIZE line format error!", "Usage : Par File Line Format."}},
        {"second PID line",
         "$Size &80\n%pid.txt &7fff\n%pid.txt &6fff\n:boot.bin &0\n",
         kGroupInputs,
         {},
         {"Error: more than one pid files!", "Usage : Par File Line Format."}},
        {"eleven image lines",
         ElevenImageLines(),
         {{"boot.bin", 0x100}},
         {},
         {"Error: too many bin files, max bin file number is 10.", "Usage : Par File Line Format."}},
        {"images overlap",
         "$Size &10\n:boot.bin &0\n:data.bin &ff\n",
         {{"boot.bin", 0x100}, {"data.bin", 0x100}},
         {},
         {"Error : Image boot.bin overlay with Image data.bin!"}},
        {"PID file of 111 bytes",
         kGroupPar,
         kGroupInputs,
         {},
         {"Pasre Par Info Done!", "Error: pid.txt format error!", "Error : Binding PID fail!"},
         PidFileText().substr(0, 111)},
    };
    // clang-format on
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("pid.txt", c.pidText);
        WriteInputs(folder, c.inputs, c.par);
        RunResult run = folder.Bind(c.extraArgs);
        ExpectFailed(run, c.lines);
        EXPECT_FALSE(folder.Exists("out.bin"));
        EXPECT_FALSE(folder.Exists("nodir"));
    }
}

// Failures after writing began: the unfinished image is removed, the output
// path stays empty.
TEST(E2eBindFailure, FailsAfterWritingBeganWithNoOutputLeft) {
    // clang-format off
    const std::vector<FailureCase> cases{
        {"empty image of no group",
         "$Size &10\n:boot.bin &0\n:empty.bin &1000\n",
         {{"boot.bin", 0x800}, {"empty.bin", 0}},
         {},
         {"LocateFile:boot.bin", "LocateFile:empty.bin", "Error : Binding file empty.bin fail:"}},
        {"empty kernel image",
         "$Size &80\n%pid.txt &7fff\n:boot.bin &0\n:kernel.bin &10000 -k\n",
         {{"boot.bin", 0x800}, {"kernel.bin", 0}},
         {},
         {"\tImage[0]: offset 10100, length 0, checksum 0, version ", "LocateFile:kernel.bin",
          "Error : Binding file kernel.bin fail:"}},
    };
    // clang-format on
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("pid.txt", c.pidText);
        WriteInputs(folder, c.inputs, c.par);
        RunResult run = folder.Bind();
        ExpectFailed(run, c.lines);
        EXPECT_FALSE(folder.Exists("out.bin"));
    }
}

// ---- inputs that vanish between the reading of the PAR file and their use

struct VanishCase {
    std::string name;
    std::string par;
    std::vector<InputFile> inputs;
    std::string change;  // which input goes, and before which of its opens
    std::vector<std::string> lines;
};

TEST(E2eBindFailure, InputThatVanishesAfterBeingMeasured) {
    // clang-format off
    const std::vector<VanishCase> cases{
        {"image of no group, at placement",
         "$Size &10\n:boot.bin &0\n:data.bin &1000\n",
         {{"boot.bin", 0x800}, {"data.bin", 0x800}},
         "data.bin:2:remove",
         {"LocateFile:data.bin", "Error: open input image data.bin failed", "Error : Binding file data.bin fail:"}},
        {"kernel, when its checksum is taken",
         kGroupPar,
         kGroupInputs,
         "kernel.bin:2:remove",
         {"Error : open Par file kernel.bin failed!"}},
        {"PID file, when its block is built",
         "$Size &10\n%pid.txt &fff\n:boot.bin &0\n",
         {{"boot.bin", 0x800}},
         "pid.txt:2:remove",
         {"Pasre Par Info Done!", "Error: open failed on pid.txt PID file!", "Error : Binding PID fail!"}},
    };
    // clang-format on
    for (const VanishCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("pid.txt", PidFileText());
        WriteInputs(folder, c.inputs, c.par);
        RunOptions options;
        options.changeInput = c.change;
        RunResult run = folder.Bind({}, options);
        ExpectFailed(run, c.lines);
        EXPECT_FALSE(folder.Exists("out.bin"));
    }
}

// ---- the output path guard

enum class OutputSetup { kNone, kHardLinkToImage, kSymlinkToPid, kDirectory, kFifo };

struct GuardCase {
    std::string name;
    OutputSetup setup;
    std::string outArg;
    std::string message;
};

void PrepareOutput(const BindFolder& folder, OutputSetup setup) {
    std::string out = folder / "out.bin";
    switch (setup) {
        case OutputSetup::kNone:
            break;
        case OutputSetup::kHardLinkToImage:
            ASSERT_EQ(::link((folder / "kernel.bin").c_str(), out.c_str()), 0);
            break;
        case OutputSetup::kSymlinkToPid:
            ASSERT_EQ(::symlink("pid.txt", out.c_str()), 0);
            break;
        case OutputSetup::kDirectory:
            ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
            break;
        case OutputSetup::kFifo:
            ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
            break;
    }
}

struct stat LinkStat(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

TEST(E2eBindFailure, OutputPathGuardTouchesNothing) {
    // clang-format off
    const std::vector<GuardCase> cases{
        {"output is the PAR file", OutputSetup::kNone, "bind.par",
         "Error : Output file bind.par is the same file as input bind.par, refusing to overwrite it!"},
        {"output is the PAR file by another path", OutputSetup::kNone, "./bind.par",
         "Error : Output file ./bind.par is the same file as input bind.par, refusing to overwrite it!"},
        {"output is an image", OutputSetup::kNone, "boot.bin",
         "Error : Output file boot.bin is the same file as input boot.bin, refusing to overwrite it!"},
        {"output is a hard link to an image", OutputSetup::kHardLinkToImage, "out.bin",
         "Error : Output file out.bin is the same file as input kernel.bin, refusing to overwrite it!"},
        {"output is a symbolic link to the PID file", OutputSetup::kSymlinkToPid, "out.bin",
         "Error : Output file out.bin is the same file as input pid.txt, refusing to overwrite it!"},
        {"output is a directory", OutputSetup::kDirectory, "out.bin",
         "Error : Output path out.bin exists and is not a regular file, refusing to replace it!"},
        {"output is a FIFO", OutputSetup::kFifo, "out.bin",
         "Error : Output path out.bin exists and is not a regular file, refusing to replace it!"},
    };
    // clang-format on
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("pid.txt", PidFileText());
        WriteInputs(folder, kGroupInputs, kGroupPar);
        PrepareOutput(folder, c.setup);
        std::vector<std::pair<std::string, Bytes>> before;
        for (const char* name : {"bind.par", "pid.txt", "boot.bin", "kernel.bin"})
            before.emplace_back(name, folder.Read(name));
        struct stat outBefore = LinkStat(folder / "out.bin");

        RunResult run = folder.Bind({"-o", c.outArg});
        ExpectFailed(run, {c.message});
        for (const auto& [name, bytes] : before) EXPECT_EQ(folder.Read(name), bytes) << name;
        struct stat outAfter = LinkStat(folder / "out.bin");
        EXPECT_EQ(outAfter.st_ino, outBefore.st_ino);
        EXPECT_EQ(outAfter.st_mode, outBefore.st_mode);
    }
}

// A symbolic link at the output path that leads elsewhere is replaced by
// the output itself; what it led to is left alone.
TEST(E2eBindFailure, SymlinkToAnUnrelatedFileIsReplacedNotFollowed) {
    BindFolder folder;
    folder.Write("pid.txt", PidFileText());
    WriteInputs(folder, kGroupInputs, kGroupPar);
    Bytes keep = PatternBytes(0x100, 99);
    folder.Write("keep.bin", keep);
    ASSERT_EQ(::symlink("keep.bin", (folder / "out.bin").c_str()), 0);

    RunResult run = folder.Bind();
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(folder.Read("keep.bin"), keep);
    EXPECT_TRUE(S_ISREG(LinkStat(folder / "out.bin").st_mode));
    EXPECT_EQ(folder.Read("out.bin").size(), 0x11110u);
}

// ---- write failures on the output (file size limit in the child)

struct WriteFailCase {
    std::string name;
    std::string par;
    std::vector<std::string> padArgs;
    long sizeLimit;
};

// The pre-fill is the only write that can grow the file: everything else
// is refused unless it lies inside the output.
TEST(E2eBindFailure, WriteFailuresAreReportedNeverDone) {
    // clang-format off
    const std::vector<WriteFailCase> cases{
        {"pre-fill with 0x00", kGroupPar, {}, 0x8000},
        {"pre-fill with 0xff", kGroupPar, {"-p", "0xff"}, 0x8000},
    };
    // clang-format on
    const std::string message =
        "Error : Write output bin file(out.bin) failed! (" + std::string(std::strerror(EFBIG)) + ")";
    for (const WriteFailCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("pid.txt", PidFileText());
        WriteInputs(folder, {{"boot.bin", 0x3000}, {"kernel.bin", 0x1000}}, c.par);
        RunResult run = folder.Bind(c.padArgs, c.sizeLimit);
        ExpectFailed(run, {message});
        EXPECT_EQ(run.status, 1);
    }
}

}  // namespace
}  // namespace morvik_test
