// Inputs the binder would once have misread into an image that looks fine:
// each is refused with a message and exit status 1, and each sits beside the
// neighbour that must still bind as before.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/image_model.h"

namespace morvik_test {
namespace {

struct MisreadCase {
    std::string name;
    std::string par;
    std::string line;         // printed whole on standard output
    int status;               // 1 refused, 0 bound
    std::string change = "";  // see RunOptions::changeInput
    std::string pidText = PidFileText();
    std::string absent = "";  // a line that must not be printed
};

const std::string kGroup = "$Size &80\n%pid.txt &7fff\n:boot.bin &0\n";

void WriteInputs(const BindFolder& folder, const MisreadCase& c) {
    folder.Write("boot.bin", PatternBytes(0x1800, 1));
    folder.Write("kernel.bin", PatternBytes(0x2345, 2));
    folder.Write("rootfs.bin", PatternBytes(0x1a01, 3));
    folder.Write("data.bin", PatternBytes(0x400, 4));
    folder.Write("pid.txt", c.pidText);
    folder.Write("bind.par", c.par);
    ASSERT_EQ(::mkfifo((folder / "fifo.bin").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (folder / "zero.txt").c_str()), 0);
}

std::string PidWith(size_t at, char c) {
    std::string text = PidFileText();
    text[at] = c;
    return text;
}

TEST(E2eMisread, RefusedWhereTheImageWouldBeWrong) {
    const std::string longComment = "#" + std::string(1998, 'c') + ":kernel.bin &3000\n";
    const std::string nul(1, '\0');
    // clang-format off
    const std::vector<MisreadCase> cases{
        // hex fields of more than 8 significant digits
        {"offset of 9 digits", "$Size &8\n:boot.bin &100000000\n",
         "Error: Offset &100000000 has more than 8 hex digits!", 1},
        {"PID location of 9 digits", "$Size &8\n%pid.txt &100003000\n:boot.bin &0\n",
         "Error: Offset &100003000 has more than 8 hex digits!", 1},
        {"range of 9 digits", "$Size &8\n:boot.bin &0 -l 0x1FFFFFFFF\n",
         "Error : '-l' value 0x1FFFFFFFF has more than 8 hex digits!", 1},
        {"group number of 9 digits", kGroup + ":kernel.bin &8000 -k 100000001\n",
         "Error: group number 100000001 of '-k' has more than 8 hex digits!", 1},
        {"neighbour: leading zeros", "$Size &8\n:boot.bin &000000000\n", "DONE!", 0},
        {"neighbour: FFFFFFFF still runs past 4 GiB", "$Size &8\n:boot.bin &FFFFFFFF\n",
         "Error : Image boot.bin runs past 4 GiB (area ffffffff to 1000017ff)!", 1},
        // sizes that would wrap
        {"negative size", "$Size &-8\n:boot.bin &0\n", "Error: SIZE value must not be negative!", 1},
        {"size past 4 GiB", "$Size &400008\n:boot.bin &0\n", "Error: SIZE value 0x400008 KiB is 4 GiB or more!", 1},
        {"neighbour: largest size", "$Size &3FFFFF\n:boot.bin &0\n", "DONE!", 0},
        // lines longer than the line buffer
        {"text in a long comment stays a comment", "$Size &10\n" + longComment + ":boot.bin &0\n", "DONE!", 0,
         "", PidFileText(), "LocateFile:kernel.bin"},
        {"long image line", "$Size &10\n:boot.bin &0 " + std::string(2000, 'x') + "\n",
         "Error: line 2 is longer than 1999 characters!", 1},
        // contradicting group marks
        {"-k and -f", kGroup + ":kernel.bin &8000 -k 0 -f 0\n",
         "Error: kernel.bin: '-k' should be exclusive with '-f'!", 1},
        {"-k twice", kGroup + ":kernel.bin &8000 -k -k\n", "Error: kernel.bin: '-k' is given more than once!", 1},
        {"group number -1", kGroup + ":kernel.bin &8000 -k ffffffff\n",
         "Error: kernel.bin: group number ffffffff of '-k' is out of range!", 1},
        {"neighbour: -k 1 alone on its line", kGroup + ":kernel.bin &8000 -k 0\n:rootfs.bin &10000 -k 1\n", "DONE!",
         0},
        // the PID file
        {"PID with a letter O", kGroup, "Error: PID file pid.txt: character 5 (0x4f) is not a hex digit!", 1,
         "", PidWith(4, 'O')},
        {"PID one digit short", kGroup, "Error: pid.txt format error!", 1, "", PidFileText().substr(0, 111)},
        {"PID with a NUL among its digits", kGroup, "Error: PID file pid.txt: character 4 (0x00) is not a hex digit!",
         1, "", PidWith(3, '\0')},
        {"PID block under a FW header", "$Size &80\n%pid.txt &80ff\n:boot.bin &0\n:kernel.bin &8000 -k\n",
         "Error : PID block 0x80ba to 0x80ff overlaps the FW header of kernel.bin at 0x8000 to 0x80ff!", 1},
        {"neighbour: PID block over the bootloader", kGroup + ":kernel.bin &8000 -k\n", "DONE!", 0},
        // files that change between planning and copying
        {"group image truncated before it is read", kGroup + ":kernel.bin &8000 -k\n", "read file kernel.bin fail! ", 1,
         "kernel.bin:2:truncate"},
        {"group image grown before it is read", kGroup + ":kernel.bin &8000 -k\n",
         "Error : image kernel.bin changed during the bind!", 1, "kernel.bin:2:grow"},
        {"neighbour: group image rewritten before its one read", kGroup + ":kernel.bin &8000 -k\n", "DONE!", 0,
         "kernel.bin:2:rewrite"},
        {"plain image grown", "$Size &10\n:boot.bin &0\n:data.bin &2000\n",
         "Error : image data.bin changed during the bind!", 1, "data.bin:2:grow"},
        {"neighbour: changed before it was measured", kGroup + ":kernel.bin &8000 -k\n", "DONE!", 0,
         "kernel.bin:1:rewrite"},
        // NUL bytes, which once ended a line early
        {"NUL before -f", kGroup + ":kernel.bin &8000 -k\n:rootfs.bin &10000" + nul + " -f -c -v 1.00\n",
         "Error: line 5 holds a NUL byte!", 1},
        {"NUL at a line's start", "$Size &10\n:boot.bin &0\n" + nul + ":data.bin &1000\n",
         "Error: line 3 holds a NUL byte!", 1},
        {"neighbour: a UTF-8 byte order mark line is skipped", "\xEF\xBB\xBF# board\n$Size &10\n:boot.bin &0\n",
         "DONE!", 0},
        // reserved ranges read as negative, or without their sign
        {"range with a sign", "$Size &10\n:boot.bin &0 -l -0x2000 -p 0xff\n",
         "Error : '-l' option must be followed a hex value!", 1},
        {"neighbour: the range without its sign", "$Size &10\n:boot.bin &0 -l 0x2000 -p 0xff\n", "DONE!", 0},
        // inputs that are not files
        {"image is a FIFO", "$Size &10\n:fifo.bin &0\n", "Error:file fifo.bin is not a regular file", 1},
        {"PID file is a device", "$Size &10\n%zero.txt &7fff\n:boot.bin &0\n",
         "Error:file zero.txt is not a regular file", 1},
    };
    // clang-format on
    for (const MisreadCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        WriteInputs(folder, c);
        RunOptions options;
        options.changeInput = c.change;
        RunResult run = folder.Bind({}, options);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_TRUE(HasLine(run.out, c.line)) << run.out;
        if (!c.absent.empty()) {
            EXPECT_FALSE(HasLine(run.out, c.absent)) << run.out;
        }
        EXPECT_EQ(folder.Exists("out.bin"), c.status == 0);  // a refusal leaves no output behind
    }
}

TEST(E2eMisread, ParFileFromAStreamIsReadUpToOneMiB) {
    BindFolder folder;
    folder.Write("boot.bin", PatternBytes(0x100, 1));
    RunResult endless = RunMorvik({"-i", "/dev/zero"}, folder.dir.path);
    EXPECT_EQ(endless.status, 1);
    EXPECT_TRUE(HasLine(endless.out, "Error : Par file /dev/zero is larger than 1 MiB!")) << endless.out;

    RunOptions inFolder;
    inFolder.cwd = folder.dir.path;
    RunResult piped = RunProgram(
        "/bin/sh", {"sh", "-c", "printf '$Size &4\\n:boot.bin &0\\n' | \"$0\" -i /dev/stdin -o out.bin", MORVIK_BIN},
        inFolder);
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(folder.Read("out.bin").size(), 0x1000u);
}

}  // namespace
}  // namespace morvik_test
