// The mistakes new users make in a PAR file, and the located diagnostics
// they get on standard error: each case has its exact standard error, whole
// and in order (one diagnostic per problem), its exit status, and the size
// and CRC-32 of its standard output. Those two were taken from a build in
// which standard error carried no diagnostics yet, so the trace that
// callers compare is checked to be unchanged byte for byte.
#include <gtest/gtest.h>

#include "support/image_model.h"

namespace morvik_test {
namespace {

struct DiagnosticCase {
    std::string name;
    std::string par;
    std::string err;  // standard error, whole
    int status;
    size_t outSize;  // standard output, as it was before the diagnostics
    uint32_t outCrc;
};

const std::string kSize = "$Size &80\n";
const std::string kPid = "%pid.txt &7fff\n";
const std::string kBoot = ":boot.bin &0 -l 0x8000 -p 0xff\n";
const std::string kKernel = ":kernel.bin &8000 -k -c -v 1.00\n";
const std::string kRootfs = ":rootfs.bin &10000 -f -c -v 1.00\n";
const std::string kBoard = kSize + kPid + kBoot + kKernel + kRootfs;

std::string WithCrLf(const std::string& text) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

std::vector<DiagnosticCase> Cases() {
    const std::string crlf =
        "bind.par:1: warning: the file has CRLF line ends: a carriage return stays in each line's last word; save it "
        "with LF line ends\n"
        "bind.par:2: error: PID location '&7fff\\r' ends in a carriage return: the file has CRLF "
        "line ends; save it with LF line ends\n"
        "bind.par:2:     %pid.txt &7fff\\r\n";
    // clang-format off
    return {
        {"CRLF line ends", WithCrLf(kBoard), crlf, 1, 1952, 0x66fa6344},
        {"0x in an offset", kSize + kPid + kBoot + ":kernel.bin &0x8000 -k -c -v 1.00\n" + kRootfs,
         "bind.par:4: error: offset '&0x8000' is not plain hex: write '&8000' (no 0x)\n"
         "bind.par:4:     :kernel.bin &0x8000 -k -c -v 1.00\n",
         1, 2250, 0x3e9e6e70},
        {"blank in a path", kSize + kPid + kBoot + kKernel + ":root fs.bin &10000 -f\n",
         "bind.par:5: error: the path ends at a blank: 'root' is read as the path and 'fs.bin' as the offset\n"
         "bind.par:5:     :root fs.bin &10000 -f\n",
         1, 2433, 0xda01eee5},
        {"indented image line", kSize + kPid + kBoot + kKernel + "  " + kRootfs,
         "bind.par:5: warning: indented line is skipped: ':rootfs.bin &10000 -f -c -v 1.00'\n", 0, 1464, 0xec02d8f4},
        {"byte order mark", "\xEF\xBB\xBF" + kBoard,
         "bind.par:1: warning: line starts with a UTF-8 byte order mark and is skipped: save the file without one\n"
         "bind.par: error: no size line gives the output's size: add one, as '$Size &80' (KiB, hex)\n", 1,
         830, 0x8a45cebb},
        {"-p value of an image ignored", kSize + kPid + ":boot.bin &0 -l 0x8000 -p 0xf\n" + kKernel + kRootfs,
         "bind.par:3: warning: '-p' value '0xf' is ignored: the pad byte is written 0x00, 0xff or 0xFF\n", 0, 1908,
         0xd63cd539},
        {"-x typed for -c", kSize + kPid + kBoot + kKernel + ":rootfs.bin &10000 -f -x -v 1.00\n",
         "rootfs.bin: invalid option -- x\n"
         "bind.par:5: warning: unknown option '-x' is ignored: the image options are -l, -p, -v, -c, -k and -f\n",
         0, 1925, 0x6998f546},
        {"kernel overlaps the next image", kSize + kPid + kBoot + kKernel + ":rootfs.bin &a000 -f\n",
         "bind.par:4: error: kernel.bin (0x8100..0xa444, header from 0x8000) overlaps rootfs.bin (line 5, from "
         "0xa000): 0x445 bytes (1093)\n",
         1, 1113, 0x37d459cb},
        {"reserved range too small", kSize + kPid + ":boot.bin &0 -l 0x1000 -p 0xff\n" + kKernel + kRootfs,
         "bind.par:3: warning: reserved range '-l 0x1000' is 0x800 bytes (2048) too small for boot.bin (0x1800 "
         "bytes): the range is ignored\n",
         0, 2050, 0x1d069460},
        {"second kernel of a group", kSize + kPid + kBoot + kKernel + ":rootfs.bin &10000 -k\n",
         "bind.par:5: error: rootfs.bin is a second kernel of group 0: line 4 holds its kernel\n", 1, 853, 0xe2509789},
        {"image file missing", kSize + kPid + kBoot + ":kernel.img &8000 -k\n" + kRootfs,
         "bind.par:4: error: image file 'kernel.img' cannot be opened: No such file or directory\n"
         "bind.par:4:     :kernel.img &8000 -k\n",
         1, 488, 0x79081dec},
        {"control character as an image option", kSize + kPid + kBoot + kKernel + ":rootfs.bin &10000 -f -\x1b\n",
         "rootfs.bin: invalid option -- \\x1b\n"
         "bind.par:5: warning: unknown option '-\\x1b' is ignored: the image options are -l, -p, -v, -c, -k and -f\n",
         0, 1913, 0xcef32384},
        {"control characters in a missing image's path",
         kSize + kPid + kBoot + kKernel + ":root\x1b]0;t\x07.bin &10000\n",
         "bind.par:5: error: image file 'root\\x1b]0;t\\x07.bin' cannot be opened: No such file or directory\n"
         "bind.par:5:     :root\\x1b]0;t\\x07.bin &10000\n",
         1, 679, 0x2a13e5fe},
        {"PID block under a FW header", kSize + "%pid.txt &80ff\n" + kBoot + kKernel + kRootfs,
         "bind.par:2: error: PID block 0x80ba..0x80ff overlaps the FW header of kernel.bin (line 4) at 0x8000..0x80ff: "
         "the header would cut it\n",
         1, 1532, 0xdb752207},
    };
    // clang-format on
}

TEST(E2eDiagnostics, EachMistakeIsNamedWithItsLineAndTheTraceStaysAsItWas) {
    for (const DiagnosticCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("boot.bin", PatternBytes(0x1800, 1));
        folder.Write("kernel.bin", PatternBytes(0x2345, 2));
        folder.Write("rootfs.bin", PatternBytes(0x1a01, 3));
        folder.Write("pid.txt", PidFileText());
        folder.Write("bind.par", c.par);
        RunResult run = folder.Bind();
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.status);
        const auto* out = reinterpret_cast<const uint8_t*>(run.out.data());
        EXPECT_EQ(run.out.size(), c.outSize) << run.out;
        EXPECT_EQ(Hex(Crc32(out, run.out.size())), Hex(c.outCrc)) << run.out;
    }
}

}  // namespace
}  // namespace morvik_test
