// The command line as a user meets it: the built binary run in an empty
// temporary folder, its exit status, standard output and standard error
// compared whole. "<argv0>" in an expected text stands for the binary's path
// as invoked (the first word of every scanner message).
#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

#include "support/run_tool.h"

namespace {

using morvik_test::RunMorvik;
using morvik_test::RunOptions;
using morvik_test::TempDir;

const std::string kUsage =
    "Usage : Morvik [-i PAR_FILE] [-o BIN_FILE] [-p PAD] [-d] [-v] [-h] [-f]\n"
    "Bind bootloader with fw images into Tavrick Binary Image.\n"
    "\n"
    "\t-i, PAR_FILE\t\tIndicating PAR file. Default is 'ARMPARA.PAR'\n"
    "\t-o, BIN_FILE\t\tGive Output file name. Default is 'ARMOut.bin'\n"
    "\t-p, --pad\t\tPAD = [0x00 | 0xff] , choose pad values for output image\n"
    "\t-d, --debug\t\toption to open debug \n"
    "\t-f, --parfmt\t\toption to show Par file line format\n"
    "\t-v, --version\t\toutput version information \n"
    "\t-h, --help\t\tdisplay this help and exit \n";

const std::string kRule = std::string(130, '-') + "\n";

const std::string kParFormat =
    "Usage : Par File Line Format.\n"
    "\tLine Start with [:|%|$]\n" +
    kRule +
    "format 1 - :Image \t&offset_in_hex  [-l range_hex_size [-p 0x00|0xff] [-v x.xx] [-c] "
    "[-k [number_in_hex]]|[-f [number_in_hex]]\n"
    "\t\toffset_in_hex - hex but without prefix '0x'\n"
    "\t\t-l,\thex_value(with prefix '0x'), give the range used for Image in output file.\n"
    "\t\t-p,\tpad value for Image, only valid if '-l' option is used.\n"
    "\t\t-c,\tfor FW image only, used to set bitmap in FW_Header, the bitmap would be used\n"
    "\t\t\tfor bootloader to decide checking image checksum or not.\n"
    "\t\t-v,\tset Image version in FW_Header.\n"
    "\t\t-k,\tfor FW image only, indicating Image has kernel in, and should be exclusive with "
    "'-f'\n"
    "\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or Multi-Image.\n"
    "\t\t-f,\tfor FW image only, indicating Image is FW image but is not Kernel, and should be "
    "exclusive with '-k'\n"
    "\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or Multi-Image.\n" +
    kRule +
    "format 2 - %Pid  &pid_offset_in_boot &pid_offset_in_fw\n"
    "\t\tpid_offset_in_boot - hex but without prefix '0x'\n"
    "\t\tpid_offset_in_fw   - hex but without prefix '0x'\n"
    "\t\tNOTE: if there is no image with option '-k' or '-f', it is allowed no %PID in par file!\n" +
    kRule +
    "format 3 - $Size  &size_in_hex\n"
    "\t\tsize_in_hex - size unit is 1K.\n"
    "\t\tNOTE: necessary given in Par file!\n" +
    kRule;

const std::string kVersionHead = "Morvik (Tavrick Image Bind Tool) 0.05 Beta\n\n";
const std::string kPleaseType = "Please type 'Morvik -h' for help!\n";
const std::string kPad00 = "Use 0x00 as Final Image Pad.\n";
const std::string kPadFF = "Use 0xff as Final Image default Pad.\n";
const std::string kBadPad = "Error : Wrong option value for '-p'\n";
// What a bind prints in a folder without the default PAR file, on standard
// output and on standard error.
const std::string kNoParFile = "Error : open Par file ARMPARA.PAR failed!\n" + kUsage;
const std::string kNoParFileErr = "ARMPARA.PAR: error: the PAR file cannot be opened: No such file or directory\n";
std::string NotRead(const std::string& word) {
    return "Morvik: warning: '" + word + "' is not read: the PAR file is given with -i, the output with -o\n";
}
std::string BadPad(const std::string& value) {
    return "Morvik: error: '-p' value '" + value + "' is none of 0x00, 0xff and 0xFF\n";
}

struct CliCase {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err = "";
    std::vector<std::string> env = {};  // NAME=VALUE
    bool outIsPrefix = false;           // only the first lines are fixed
};

std::string WithArgv0(std::string text) {
    const std::string mark = "<argv0>";
    for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), MORVIK_BIN);
    return text;
}

void RunTable(const std::vector<CliCase>& table) {
    for (const CliCase& c : table) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        RunOptions options;
        options.env = c.env;
        morvik_test::RunResult r = RunMorvik(c.args, dir.path, options);
        EXPECT_EQ(c.status, r.status);
        if (c.outIsPrefix) {
            EXPECT_EQ(c.out, r.out.substr(0, c.out.size()));
        } else {
            EXPECT_EQ(c.out, r.out);
        }
        EXPECT_EQ(WithArgv0(c.err), r.err);
    }
}

TEST(E2eCli, InformationalOptions) {
    // clang-format off
    RunTable({
        {"-h", {"-h"}, 0, kUsage},
        {"--help", {"--help"}, 0, kUsage},
        {"-f", {"-f"}, 0, kParFormat},
        {"--par is a unique prefix of --parfmt", {"--par"}, 0, kParFormat},
        {"-v", {"-v"}, 0, kVersionHead, "", {}, true},
        {"-i acts, then -v ends the run", {"-i", "my.par", "-v"}, 0, "Par File : my.par\n" + kVersionHead,
         "", {}, true},
        {"options act in order", {"-o", "x.bin", "-i", "y.par", "-h", "-v"}, 0,
         "Out File : x.bin\nPar File : y.par\n" + kUsage},
        {"clustered -dh", {"-dh"}, 0, "Debug : OPEN\n" + kUsage},
        {"--debug", {"--debug", "-h"}, 0, "Debug : OPEN\n" + kUsage},
        {"a word is moved behind the options", {"word", "-h"}, 0, kUsage},
        // every abbreviation of the old long options resolves as it always has
        {"--h is --help", {"--h"}, 0, kUsage},
        {"--he is --help", {"--he"}, 0, kUsage},
        {"--v is --version", {"--v"}, 0, kVersionHead, "", {}, true},
        {"--d is --debug", {"--d", "-h"}, 0, "Debug : OPEN\n" + kUsage},
        {"--de is --debug", {"--de", "-h"}, 0, "Debug : OPEN\n" + kUsage},
        // the long options added since share no prefix with them
        {"--q is --quiet: nothing on standard output", {"--q", "-h"}, 0, ""},
        {"--st is --strict", {"--st", "-h"}, 0, kUsage},
        {"-- ends the options: the bind runs", {"--", "-h"}, 1, kNoParFile, NotRead("-h") + kNoParFileErr},
    });
    // clang-format on
}

TEST(E2eCli, PadValues) {
    // clang-format off
    RunTable({
        {"0x00", {"-p", "0x00", "-h"}, 0, kPad00 + kUsage},
        {"0xff", {"-p", "0xff", "-h"}, 0, kPadFF + kUsage},
        {"0xFF", {"-p", "0xFF", "-h"}, 0, kPadFF + kUsage},
        {"attached", {"-p0xff", "-h"}, 0, kPadFF + kUsage},
        {"--pad=0xff", {"--pad=0xff", "-h"}, 0, kPadFF + kUsage},
        {"--pad 0xff", {"--pad", "0xff", "-h"}, 0, kPadFF + kUsage},
        {"0XFF refused", {"-p", "0XFF"}, 1, kBadPad + kUsage, BadPad("0XFF")},
        {"0xFf refused", {"-p", "0xFf"}, 1, kBadPad + kUsage, BadPad("0xFf")},
        {"255 refused before -h acts", {"-p", "255", "-h"}, 1, kBadPad + kUsage, BadPad("255")},
        {"empty value refused", {"--pad="}, 1, kBadPad + kUsage, BadPad("")},
    });
    // clang-format on
}

TEST(E2eCli, ScannerErrors) {
    // clang-format off
    RunTable({
        {"unknown option", {"-x"}, 1, kPleaseType, "<argv0>: invalid option -- x\n"},
        {"ambiguous prefix", {"--pa"}, 1, kPleaseType, "<argv0>: option `--pa' is ambiguous\n"},
        {"ambiguous prefix with value", {"--pa=0xff", "-h"}, 1, kPleaseType,
         "<argv0>: option `--pa=0xff' is ambiguous\n"},
        {"missing short argument", {"-p"}, 1, kPleaseType,
         "<argv0>: option requires an argument -- p\n"},
        {"missing long argument", {"--pad"}, 1, kPleaseType,
         "<argv0>: option `--pad' requires an argument\n"},
        {"value for --debug", {"--debug=1"}, 1, kPleaseType,
         "<argv0>: option `--debug' doesn't allow an argument\n"},
        {"unrecognized long option", {"--nope=1"}, 1, kPleaseType,
         "<argv0>: unrecognized option `--nope=1'\n"},
        {"earlier options act, later ones do not", {"-d", "-x", "-h"}, 1,
         "Debug : OPEN\n" + kPleaseType, "<argv0>: invalid option -- x\n"},
        {"-i takes the next word whatever it is", {"-i", "-h"}, 1,
         "Par File : -h\nError : open Par file -h failed!\n" + kUsage,
         "-h: error: the PAR file cannot be opened: No such file or directory\n"},
    });
    // clang-format on
}

TEST(E2eCli, PosixlyCorrect) {
    const std::vector<std::string> set = {"POSIXLY_CORRECT=1"};
    const std::vector<std::string> empty = {"POSIXLY_CORRECT="};
    // clang-format off
    RunTable({
        {"a word ends the options: bind instead of help", {"word", "-h"}, 1, kNoParFile,
         NotRead("word") + NotRead("-h") + kNoParFileErr, set},
        {"even when set to an empty value", {"word", "-h"}, 1, kNoParFile,
         NotRead("word") + NotRead("-h") + kNoParFileErr, empty},
        {"options in front of the word act", {"-d", "word", "-h"}, 1, "Debug : OPEN\n" + kNoParFile,
         NotRead("word") + NotRead("-h") + kNoParFileErr, set},
        {"illegal instead of invalid", {"-x"}, 1, kPleaseType, "<argv0>: illegal option -- x\n",
         empty},
        {"help still works in front", {"-h", "word"}, 0, kUsage, "", set},
    });
    // clang-format on
}

// --quiet: no trace on standard output, whatever the order of the options,
// and standard error and the exit status as without it. --strict: the
// bundled examples bind under it; a warning stops the bind.
TEST(E2eCli, QuietAndStrict) {
    // clang-format off
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        bool trace;       // standard output holds the trace
        std::string err;  // all of standard error
    } cases[] = {
        {"a good bind, quiet", {"-i", "ARMPARA.PAR", "-o", "out.bin", "--quiet"}, 0, false, ""},
        {"quiet before the options that print", {"--quiet", "-d", "-p", "0xff", "-i", "DUAL.PAR"}, 0, false, ""},
        {"a failing bind, quiet", {"-i", "none.PAR", "--quiet"}, 1, false,
         "none.PAR: error: the PAR file cannot be opened: No such file or directory\n"},
        {"the example, strict", {"-i", "ARMPARA.PAR", "-o", "out.bin", "--strict"}, 0, true, ""},
        {"the two-group example, strict", {"-i", "DUAL.PAR", "-o", "out.bin", "--strict"}, 0, true, ""},
        {"a word on the command line, strict", {"-i", "ARMPARA.PAR", "stray", "--strict"}, 1, true,
         "Morvik: error: 'stray' is not read: the PAR file is given with -i, the output with -o\n"},
        {"quiet and strict", {"-i", "ARMPARA.PAR", "-o", "out.bin", "--strict", "--quiet"}, 0, false, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const auto& entry : std::filesystem::directory_iterator(std::string(MORVIK_SOURCE_DIR) + "/examples"))
            std::filesystem::copy_file(entry.path(), dir / entry.path().filename().string());
        morvik_test::RunResult r = RunMorvik(c.args, dir.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(!r.out.empty(), c.trace) << r.out;
        if (c.trace && c.status == 0) {
            EXPECT_TRUE(morvik_test::HasLine(r.out, "DONE!")) << r.out;
        }
        EXPECT_EQ(r.err, c.err);
    }
}

// The image line options are scanned with the same scanner after the command
// line: a new scan that keeps the command line's ordering mode.
TEST(E2eCli, ImageLineScanFollowsTheCommandLineScan) {
    // clang-format off
    struct Row {
        const char* what;
        std::vector<std::string> env;
        std::string err;
    } rows[] = {
        {"text attached to -k is read as an option", {},
         "a.bin: invalid option -- z\n"
         "x.par:2: warning: unknown option '-z' is ignored: the image options are -l, -p, -v, -c, -k and -f\n"
         "x.par: error: the image groups' FW headers need a PID line, as '%pid.txt &7fff'\n"},
        {"POSIXLY_CORRECT: the line's options are not seen", {"POSIXLY_CORRECT=1"}, ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        morvik_test::WriteFile(dir / "a.bin", std::string(16, 'A'));
        morvik_test::WriteFile(dir / "x.par", "$Size &1\n:a.bin &100 -kz\n");
        RunOptions options;
        options.env = row.env;
        morvik_test::RunResult r = RunMorvik({"-d", "-i", "x.par"}, dir.path, options);
        EXPECT_EQ(row.err, r.err);
        bool complained = r.out.find("Unknown options!\n") != std::string::npos;
        EXPECT_EQ(!row.err.empty(), complained) << r.out;
    }
}

}  // namespace
