// The bad-input catalogue: every error and warning Morvik can print, each
// with an input that triggers it, the exact line it prints, the exit status,
// and what the file system holds afterwards. A second test reads the
// message texts out of the tool's sources and fails when one of them has no
// row here, so a new message cannot be added without its input. The same
// holds for the diagnostics on standard error ("FILE:LINE: error:", "PATH: error:").
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/run_tool.h"

namespace {

using morvik_test::TempDir;

// ---------------------------------------------------------------------------
// The catalogue
// ---------------------------------------------------------------------------

enum class Stream { kOut, kErr };

// One line a run must print, whole. "{prog}" stands for the program path as
// invoked, the first word of the option scanner's messages.
struct Line {
    Stream stream;
    std::string text;
};

// What the run leaves behind.
enum class Output {
    kNone,      // nothing new in the folder at all (no temporary file either)
    kComplete,  // status 0, "DONE!" last, the output exists
};

// A file a row needs beyond the standard set.
struct Extra {
    enum Kind { kFile, kDir, kSymlink, kHardLink, kSparse, kFifo } kind;
    std::string name;
    std::string bytes;  // kFile: content; kSymlink, kHardLink: target
    uint64_t size = 0;  // kSparse: size in bytes (holes only, no disk used)
};

struct Row {
    const char* label;
    std::vector<std::string> args;  // behind the program name
    std::string par;                // ARMPARA.PAR; "" writes no PAR file
    std::vector<Extra> extras;
    std::vector<Line> expect;
    int status;
    Output output;
    std::string outName = "ARMOut.BIN";
    int64_t outSize = -1;  // checked when not -1
    std::vector<std::string> env = {};
    long fileSizeLimit = -1;
    std::string change = "";  // see RunOptions::changeInput
};

Extra Dir(const std::string& name) { return {Extra::kDir, name, ""}; }
Extra Symlink(const std::string& name, const std::string& target) { return {Extra::kSymlink, name, target}; }
Extra HardLink(const std::string& name, const std::string& target) { return {Extra::kHardLink, name, target}; }
Extra Sparse(const std::string& name, uint64_t size) { return {Extra::kSparse, name, "", size}; }
Extra Fifo(const std::string& name) { return {Extra::kFifo, name, ""}; }

Line Out(const std::string& text) { return {Stream::kOut, text}; }
Line Err(const std::string& text) { return {Stream::kErr, text}; }

const std::string kPathOf256(256, 'p');
const std::string kControls100(100, '\x01');
const Line kUsage = Out("Usage : Morvik [-i PAR_FILE] [-o BIN_FILE] [-p PAD] [-d] [-v] [-h] [-f]");

std::string ElevenImageLines() {
    std::string lines;
    for (int i = 0; i < 11; ++i) lines += ":b.bin &" + std::to_string(i) + "000\n";
    return lines;
}

// `text` in little-endian characters of `width` bytes, as a UTF-16 or
// UTF-32 editor saves ASCII text.
std::string Wide(const std::string& text, size_t width) {
    std::string wide;
    for (char c : text) wide += c + std::string(width - 1, '\0');
    return wide;
}

std::string PidHex() {
    std::string hex;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 112; ++i) hex += digits[(i * 7 + 3) % 16];
    return hex;
}

// Every row runs in a fresh folder holding the standard set of files (see
// WriteStandardFiles): boot.bin 0x1800 bytes, kernel.bin 0x2345,
// rootfs.bin 0x1a01, b.bin 0x400, empty.bin 0, pid.txt (112 hex digits and a
// newline) and pid111.txt (one digit short).
std::vector<Row> Catalogue() {
    const std::string boot = "$Size &8\n:boot.bin &0\n";
    const std::string group = "$Size &40\n%pid.txt &7fff\n";
    const std::string nul(1, '\0');
    const std::vector<Extra> oldOutput = {{Extra::kFile, "ARMOut.BIN", "the image of an earlier bind"}};
    // clang-format off
    return {
        // ---- command line ----
        {"bad -p value", {"-p", "0XFF"}, boot, {},
         {Out("Error : Wrong option value for '-p'"), kUsage,
          Err("Morvik: error: '-p' value '0XFF' is none of 0x00, 0xff and 0xFF")},
         1, Output::kNone},
        {"unknown option", {"-x"}, boot, {},
         {Err("{prog}: invalid option -- x"), Out("Please type 'Morvik -h' for help!")}, 1, Output::kNone},
        {"unknown option, POSIXLY_CORRECT", {"-x"}, boot, {},
         {Err("{prog}: illegal option -- x"), Out("Please type 'Morvik -h' for help!")}, 1, Output::kNone,
         "ARMOut.BIN", -1, {"POSIXLY_CORRECT=1"}},
        {"missing argument", {"-i"}, boot, {},
         {Err("{prog}: option requires an argument -- i"), Out("Please type 'Morvik -h' for help!")}, 1, Output::kNone},
        {"ambiguous long option", {"--pa=1"}, boot, {},
         {Err("{prog}: option `--pa=1' is ambiguous"), Out("Please type 'Morvik -h' for help!")}, 1, Output::kNone},
        {"long option without its argument", {"--pad"}, boot, {},
         {Err("{prog}: option `--pad' requires an argument"), Out("Please type 'Morvik -h' for help!")}, 1,
         Output::kNone},
        {"value for a long option that takes none", {"--de=1"}, boot, {},
         {Err("{prog}: option `--debug' doesn't allow an argument"), Out("Please type 'Morvik -h' for help!")}, 1,
         Output::kNone},
        {"unrecognized long option", {"--x=1"}, boot, {},
         {Err("{prog}: unrecognized option `--x=1'"), Out("Please type 'Morvik -h' for help!")}, 1, Output::kNone},
        {"PAR path too long", {"-i", kPathOf256}, boot, {},
         {Out("Error : PAR file path is longer than 255 characters!"),
          Err("Morvik: error: PAR file path has 256 characters: at most 255 fit")}, 1, Output::kNone},
        {"output path too long", {"-o", kPathOf256}, boot, {},
         {Out("Error : Output file path is longer than 255 characters!"),
          Err("Morvik: error: Output file path has 256 characters: at most 255 fit")}, 1, Output::kNone},
        {"a word that is not an option", {"board.PAR"}, boot, {},
         {Err("Morvik: warning: 'board.PAR' is not read: the PAR file is given with -i, the output with -o"),
          Out("DONE!")}, 0, Output::kComplete, "ARMOut.BIN", 0x2000},

        // ---- PAR file and the files it names ----
        {"no PAR file", {}, "", {},
         {Out("Error : open Par file ARMPARA.PAR failed!"), kUsage,
          Err("ARMPARA.PAR: error: the PAR file cannot be opened: No such file or directory")},
         1, Output::kNone},
        {"missing image file", {}, ":none.bin &0\n$Size &8\n", {},
         {Out("Error:open file none.bin failed"), Out("Open file none.bin fail!"),
          Err("ARMPARA.PAR:1: error: image file 'none.bin' cannot be opened: No such file or directory")},
         1, Output::kNone},
        {"image path is a folder", {}, ":dir &0\n$Size &8\n", {Dir("dir")},
         {Out("Error:read file dir failed"), Out("Open file dir fail!"),
          Err("ARMPARA.PAR:1: error: image file 'dir' cannot be read: Is a directory")},
         1, Output::kNone},
        {"image of 2 GiB", {}, ":huge.bin &0\n$Size &8\n", {Sparse("huge.bin", 0x80000000ull)},
         {Out("Error:file huge.bin is too large, max file size is 0x7fffffff bytes"), Out("Open file huge.bin fail!"),
          Err("ARMPARA.PAR:1: error: image file 'huge.bin' is 2 GiB or larger: at most 0x7fffffff bytes fit")},
         1, Output::kNone},
        {"missing PID file", {}, "%none.txt &1fff\n" + boot, {},
         {Out("Error:open file none.txt failed"), Out("Open PID file none.txt fail!"),
          Err("ARMPARA.PAR:1: error: PID file 'none.txt' cannot be opened: No such file or directory")},
         1, Output::kNone},
        {"PID file beside the PAR file, not in the current folder", {"-i", "board/b.PAR"}, "",
         {Dir("board"), {Extra::kFile, "board/b.PAR", "%pid2.txt &1fff\n" + boot}, {Extra::kFile, "board/pid2.txt", "x"}},
         {Err("board/b.PAR:1: error: PID file 'pid2.txt' cannot be opened: No such file or directory"),
          Err("board/b.PAR:1: note: paths in the PAR file resolve from the current folder ({dir}); "
              "'board/pid2.txt' exists beside the PAR file")},
         1, Output::kNone},
        {"eleventh image line", {}, "$Size &40\n" + ElevenImageLines(), {},
         {Out("Error: too many bin files, max bin file number is 10."), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:12: error: one image line too many: at most 10 images can be bound")},
         1, Output::kNone},
        {"sixteen items in a line", {}, ":b.bin &0 -c -c -c -c -c -c -c -c -c -c -c -c -c -c\n" + boot, {},
         {Out("Error: too many items in one line, max item number is 15."), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: line has more than 15 words: the path, the offset and at most 13 option words "
              "fit")},
         1, Output::kNone},
        {"line too long", {}, ":b.bin &0 " + std::string(600, 'x') + "\n" + boot, {},
         {Out("Error: line is longer than 512 characters!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: line has 610 characters before any comment: at most 512 fit")},
         1, Output::kNone},
        {"image line without offset", {}, ":# loader\n" + boot, {},
         {Out("Error: BIN file line format error!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: image line needs a path and an '&offset': write ':PATH &OFFSET [options]'")},
         1, Output::kNone},
        {"image path too long", {}, ":" + kPathOf256 + " &0\n" + boot, {},
         {Out("Error: image file path is longer than 255 characters!"),
          Err("ARMPARA.PAR:1: error: image file path has 256 characters: at most 255 fit")},
         1, Output::kNone},
        {"image offset with 0x", {}, ":boot.bin &0x1000\n" + boot, {},
         {Out("Error: Offset should be in Hex!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: offset '&0x1000' is not plain hex: write '&1000' (no 0x)")},
         1, Output::kNone},
        {"PID location not hex", {}, "%pid.txt &1fff &zz\n" + boot, {},
         {Out("Error: Offset should be in Hex!"),
          Err("ARMPARA.PAR:1: error: FW PID location '&zz' is not hex: 'z' is not a hex digit")},
         1, Output::kNone},
        {"CRLF line ends, refused", {}, "%pid.txt &1fff\r\n" + boot, {},
         {Out("Error: Offset should be in Hex!"),
          Err("ARMPARA.PAR:1: error: PID location '&1fff\\r' ends in a carriage return: the file has CRLF line ends; "
              "save it with LF line ends")},
         1, Output::kNone},
        {"CRLF line ends, a carriage return on a pad byte", {}, "$Size &10\r\n:boot.bin &0 -c\r\n:b.bin &2000 -l 0x400 -p 0xff\r\n", {},
         {Err("ARMPARA.PAR:1: warning: the file has CRLF line ends: a carriage return stays in each line's last word; save it "
              "with LF line ends"),
          Err("ARMPARA.PAR:2: warning: the carriage return at the end of the line is read as an option and ignored: "
              "the file has CRLF line ends; save it with LF line ends"),
          Out("Error : '-p' value of an image ends in a carriage return!"),
          Err("ARMPARA.PAR:3: error: '-p' value '0xff\\r' ends in a carriage return: the file has CRLF line ends; "
              "save it with LF line ends")},
         1, Output::kNone},
        {"CRLF line ends, bound", {}, "$Size &10\r\n:boot.bin &0 -c\r\n", {},
         {Err("ARMPARA.PAR:1: warning: the file has CRLF line ends: a carriage return stays in each line's last word; save it "
              "with LF line ends"),
          Err("ARMPARA.PAR:2: warning: the carriage return at the end of the line is read as an option and ignored: "
              "the file has CRLF line ends; save it with LF line ends"),
          Out("DONE!")},
         0, Output::kComplete, "ARMOut.BIN", 0x4000},
        {"blank in a path", {}, ":my boot.bin &0\n" + boot, {},
         {Out("Error: Offset should be in Hex!"),
          Err("ARMPARA.PAR:1: error: the path ends at a blank: 'my' is read as the path and 'boot.bin' as the offset")},
         1, Output::kNone},
        {"offset without '&'", {}, ":boot.bin xyz\n" + boot, {},
         {Out("Error: Offset should be in Hex!"),
          Err("ARMPARA.PAR:1: error: offset 'xyz' does not start with '&': write '&' and hex digits, as '&8000'")},
         1, Output::kNone},
        {"lines and values skipped or dropped", {}, "$Size &4\n  :b.bin &1000\n$Size &8\n:boot.bin 0 -l\n", {},
         {Err("ARMPARA.PAR:2: warning: indented line is skipped: ':b.bin &1000'"),
          Err("ARMPARA.PAR:3: warning: size line replaces the size 0x4 KiB of line 1: the last size line counts"),
          Err("ARMPARA.PAR:4: warning: offset '0' has no '&': its first character is dropped and it reads as 0x0"),
          Err("ARMPARA.PAR:4: warning: option '-l' has no value and is ignored"), Out("DONE!")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"-l without 0x", {}, ":boot.bin &0 -l 8000\n" + boot, {},
         {Out("Error : '-l' option must be followed a hex value!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: '-l' value '8000' is not 0x and hex digits, as '-l 0x8000'")},
         1, Output::kNone},
        {"-l not hex after its 0x", {}, ":boot.bin &0 -l 0x8g\n" + boot, {},
         {Out("Error : '-l' option must be followed a hex value!"),
          Err("ARMPARA.PAR:1: error: '-l' value '0x8g' is not hex after its 'x': 'g' is not a hex digit")},
         1, Output::kNone},
        {"-l of 2 GiB outside a group", {}, "$Size &40\n:boot.bin &0 -l 0x80000000\n:b.bin &10000\n", oldOutput,
         {Out("Error : '-l' value 0x80000000 is 2 GiB or more!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:2: error: '-l' value '0x80000000' is 2 GiB or more: the range of an image outside a group "
              "must be below 0x80000000 bytes")},
         1, Output::kNone},
        {"-l with a sign", {}, "$Size &40\n:boot.bin &0 -l -0x2000\n", oldOutput,
         {Out("Error : '-l' option must be followed a hex value!"),
          Err("ARMPARA.PAR:2: error: '-l' value '-0x2000' has a sign: write the size as 0x2000")},
         1, Output::kNone},
        {"-v not 4 characters", {}, ":boot.bin &0 -v 1.0\n" + boot, {},
         {Out("Error: '-v' option must be followed with a string of 4 bytes!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: '-v' value '1.0' has 3 characters: a version has exactly 4, as '1.00'")},
         1, Output::kNone},
        {"unknown image option", {}, "$Size &8\n:boot.bin &0 -x -c\n", {},
         {Err("boot.bin: invalid option -- x"), Out("Unknown options!"), Out("DONE!"),
          Err("ARMPARA.PAR:2: warning: unknown option '-x' is ignored: the image options are -l, -p, -v, -c, -k and "
              "-f")},
         0, Output::kComplete,
         "ARMOut.BIN", 0x2000},
        {"control characters in the names of the PAR file and an image", {"-i", "p\x1b]0;t\x07.PAR"}, "",
         {{Extra::kFile, "p\x1b]0;t\x07.PAR", "$Size &8\n:e\x1b.bin &0 -x\n"},
          {Extra::kFile, "e\x1b.bin", std::string(0x400, 'e')}},
         {Out("Par File : p\x1b]0;t\x07.PAR"), Out("\tname: e\x1b.bin"), Out("LocateFile:e\x1b.bin"),
          Err("e\\x1b.bin: invalid option -- x"),
          Err("p\\x1b]0;t\\x07.PAR:2: warning: unknown option '-x' is ignored: the image options are -l, -p, -v, -c, "
              "-k and -f")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"PID line without location", {}, "%pid.txt\n" + boot, {},
         {Out("Error: PID file line format error!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: PID line needs a path and an '&location': write '%PATH &LOCATION "
              "[&FW_LOCATION]'")},
         1, Output::kNone},
        {"PID path too long", {}, "%" + kPathOf256 + " &7fff\n" + boot, {},
         {Out("Error: PID file path is longer than 255 characters!")}, 1, Output::kNone},
        {"second PID line", {}, "%pid.txt &1fff\n%pid.txt &1fff\n" + boot, {},
         {Out("Error: more than one pid files!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:2: error: a second PID line: line 1 names the PID file already")},
         1, Output::kNone},
        {"size line without label", {}, "$&8\n:boot.bin &0\n", {},
         {Out("Error: SIZE line format error!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: size line has no label between '$' and '&': write it as '$Size &80' (the size in "
              "KiB, hex)")},
         1, Output::kNone},
        {"size of 9 hex digits", {}, "$Size &123456789\n:boot.bin &0\n", {},
         {Out("Error: SIZE value has more than 8 hex digits!"),
          Err("ARMPARA.PAR:1: error: size has more than 8 hex digits: it does not fit 32 bits")},
         1, Output::kNone},
        {"offset of 9 hex digits", {}, ":boot.bin &100000000\n$Size &8\n", {},
         {Out("Error: Offset &100000000 has more than 8 hex digits!"),
          Err("ARMPARA.PAR:1: error: offset '&100000000' has more than 8 hex digits: it does not fit 32 bits")},
         1, Output::kNone},
        {"range of 9 hex digits", {}, ":boot.bin &0 -l 0x1FFFFFFFF\n$Size &8\n", {},
         {Out("Error : '-l' value 0x1FFFFFFFF has more than 8 hex digits!")}, 1, Output::kNone},
        {"group number of 9 hex digits", {}, group + ":kernel.bin &8000 -k 100000001\n", {},
         {Out("Error: group number 100000001 of '-k' has more than 8 hex digits!")}, 1, Output::kNone},
        {"group number -1", {}, group + ":kernel.bin &8000 -f ffffffff\n", {},
         {Out("Error: kernel.bin: group number ffffffff of '-f' is out of range!"),
          Err("ARMPARA.PAR:3: error: group number 'ffffffff' of '-f' reads as negative: image groups are 0 and 1")},
         1, Output::kNone},
        {"group number not hex", {}, group + ":kernel.bin &8000 -k 1z\n", {},
         {Err("ARMPARA.PAR:3: warning: group number '1z' of '-k' is not hex: it reads as 0x10"),
          Err("ARMPARA.PAR:3: error: kernel.bin is the kernel of group 16 ('-k 10'), but groups are numbered from 0: "
              "with 1 kernel(s), each group number must be below 1")},
         1, Output::kNone},
        {"-f and -k on one line", {}, group + ":kernel.bin &8000 -f -k\n", {},
         {Out("Error: kernel.bin: '-k' should be exclusive with '-f'!"),
          Err("ARMPARA.PAR:3: error: '-k' and '-f' on one line: an image is either its group's kernel or another image "
              "of it")},
         1, Output::kNone},
        {"-k twice on one line", {}, group + ":kernel.bin &8000 -k -k\n", {},
         {Out("Error: kernel.bin: '-k' is given more than once!"),
          Err("ARMPARA.PAR:3: error: '-k' is given twice: an image is the kernel of one group")},
         1, Output::kNone},
        {"negative size", {}, "$Size &-8\n:boot.bin &0\n", {},
         {Out("Error: SIZE value must not be negative!"),
          Err("ARMPARA.PAR:1: error: size is negative: write it without a '-'")},
         1, Output::kNone},
        {"size of 4 GiB", {}, "$Size &400000\n:boot.bin &0\n", {},
         {Out("Error: SIZE value 0x400000 KiB is 4 GiB or more!"),
          Err("ARMPARA.PAR:1: error: size 0x400000 KiB is 4 GiB or more: at most 0x3fffff KiB fit")},
         1, Output::kNone},
        {"line of 2000 characters", {}, "$Size &8\n:boot.bin &0 " + std::string(2000, 'x') + "\n", {},
         {Out("Error: line 2 is longer than 1999 characters!"),
          Err("ARMPARA.PAR:2: error: line is longer than 1999 characters, and its long part is not a comment")},
         1, Output::kNone},
        {"PAR file is an endless device", {"-i", "/dev/zero"}, boot, {},
         {Out("Error : Par file /dev/zero is larger than 1 MiB!"),
          Err("/dev/zero:1: error: the PAR file is not a regular file and goes on past 1 MiB: it is read up to 1 MiB "
              "only")},
         1, Output::kNone},
        {"image is a FIFO", {}, ":fifo.bin &0\n$Size &8\n", {Fifo("fifo.bin")},
         {Out("Error:file fifo.bin is not a regular file"), Out("Open file fifo.bin fail!"),
          Err("ARMPARA.PAR:1: error: image file 'fifo.bin' is not a regular file (a FIFO, socket or device): it is not "
              "read")},
         1, Output::kNone},
        {"unknown first character", {}, "Xline\n" + boot, {},
         {Out("Warning: Unknown magic header charactor 'X' in your par file, ignore it!"), Out("DONE!"),
          Err("ARMPARA.PAR:1: warning: line starts with 'X', which begins no kind of line (':' image, '%' PID, '$' "
              "size, '#' comment): it is skipped")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"byte order mark", {}, "\xef\xbb\xbf\n" + boot, {},
         {Out("Warning: Unknown magic header charactor 0xffffffef in your par file, ignore it!"), Out("DONE!"),
          Err("ARMPARA.PAR:1: warning: line starts with a UTF-8 byte order mark and is skipped: save the file without "
              "one")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"NUL byte in an image line", {}, "$Size &40\n:boot.bin &0\n:rootfs.bin &10000" + nul + " -f -c -v 1.00\n",
         oldOutput,
         {Out("Error: line 3 holds a NUL byte!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:3: error: line 3 holds a NUL byte at column 19: is this a text file?"),
          Err("ARMPARA.PAR:3:     :rootfs.bin &10000\\x00 -f -c -v 1.00")},
         1, Output::kNone},
        {"NUL byte in the dropped rest of a long comment", {}, boot + "# " + std::string(2100, 'c') + nul + "\n",
         oldOutput,
         {Out("Error: line 3 holds a NUL byte!"),
          Err("ARMPARA.PAR:3: error: line 3 holds a NUL byte at column 2103: is this a text file?")},
         1, Output::kNone},
        {"UTF-16 PAR file", {}, "\xFF\xFE" + Wide(boot, 2), oldOutput,
         {Out("Error: Par file ARMPARA.PAR is UTF-16 text, not ASCII or UTF-8!"), Out("Usage : Par File Line Format."),
          Err("ARMPARA.PAR:1: error: the PAR file is UTF-16 (it starts with a byte order mark): save it as ASCII or "
              "UTF-8")},
         1, Output::kNone},
        {"UTF-32 PAR file without a byte order mark", {}, Wide(boot, 4), oldOutput,
         {Out("Error: Par file ARMPARA.PAR is UTF-32 text, not ASCII or UTF-8!"),
          Err("ARMPARA.PAR:1: error: the PAR file looks like UTF-32 (three NUL bytes beside each character): save it "
              "as ASCII or UTF-8")},
         1, Output::kNone},

        // ---- layout rules ----
        {"no size line", {}, ":boot.bin &0\n", {},
         {Out("Error : Final Image Target Size is not given!"),
          Err("ARMPARA.PAR: error: no size line gives the output's size: add one, as '$Size &80' (KiB, hex)")},
         1, Output::kNone},
        {"group without PID line", {}, "$Size &40\n:kernel.bin &0 -k\n", {},
         {Out("Error : No PID found for format with FW_Header!"),
          Err("ARMPARA.PAR: error: the image groups' FW headers need a PID line, as '%pid.txt &7fff'")},
         1, Output::kNone},
        {"group number attached to its mark", {}, group + ":kernel.bin &8000 -k\n:rootfs.bin &10000 -f1 -c\n", {},
         {Out("Error: rootfs.bin: group number of '-f' is attached: write '-f 1'!"),
          Err("ARMPARA.PAR:4: error: group number '1' is attached to '-f' and would be read as options: write '-f 1'")},
         1, Output::kNone},
        {"no PID line, no group", {}, boot, {},
         {Out("Warn : No PID would be bind!"), Out("DONE!")}, 0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"firmware image of a group without kernel", {},
         group + ":kernel.bin &8000 -k 0\n:rootfs.bin &10000 -f 1\n", {},
         {Out("Error : Image Group 1 has no Image labeled by '-k'."),
          Err("ARMPARA.PAR:4: error: rootfs.bin is an image of group 1 ('-f 1'), which has no kernel ('-k 1')")},
         1, Output::kNone},
        {"kernel of a group past the count", {}, group + ":kernel.bin &8000 -k 1\n", {},
         {Out("Error : Certain Image Group has no Image labeled by '-k'."),
          Err("ARMPARA.PAR:3: error: kernel.bin is the kernel of group 1 ('-k 1'), but groups are numbered from 0: "
              "with 1 kernel(s), each group number must be below 1")},
         1, Output::kNone},
        {"two kernels in group 0", {}, group + ":kernel.bin &8000 -k 0\n:rootfs.bin &10000 -k 0\n", {},
         {Out("Error : Image Group 0 has more than one image labeled by '-k'!"),
          Err("ARMPARA.PAR:4: error: rootfs.bin is a second kernel of group 0: line 3 holds its kernel")},
         1, Output::kNone},
        {"three -k marks", {}, group + ":kernel.bin &8000 -k 0\n:rootfs.bin &10000 -k 1\n:b.bin &20000 -k 2\n", {},
         {Out("Error : 3 images are labeled by '-k', but at most 2 Image Groups are supported!"),
          Err("ARMPARA.PAR:5: error: b.bin is a third kernel ('-k'): there are at most 2 image groups, and lines 3 "
              "and 4 hold their kernels")},
         1, Output::kNone},
        {"range of a plain image too small", {}, "$Size &8\n:boot.bin &0 -l 0x100 -p 0xff\n", {},
         {Out("Error : Limit Size of boot.bin is small than its Size, so '-l' option is ignored!"),
          Out("Warn : Limit Size of boot.bin is 0, so '-p' option is ignored!"), Out("DONE!"),
          Err("ARMPARA.PAR:2: warning: reserved range '-l 0x100' is 0x1700 bytes (5888) too small for boot.bin (0x1800 "
              "bytes): the range is ignored")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"pad byte without a range", {}, "$Size &8\n:boot.bin &0 -p 0xff\n", {},
         {Out("Warn : Limit Size of boot.bin is 0, so '-p' option is ignored!"), Out("DONE!"),
          Err("ARMPARA.PAR:2: warning: '-p' has no effect without a reserved range ('-l 0xSIZE'): the pad byte is "
              "ignored")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"range of a group's last image without room for the record", {},
         group + ":kernel.bin &8000 -k -l 0x2345\n", {},
         {Out("Warn : Limit Size of kernel.bin is small than its Size, so '-l' option is ignored!"), Out("DONE!"),
          Err("ARMPARA.PAR:3: warning: reserved range '-l 0x2345' is 0x11 bytes (17) too small for kernel.bin (0x2345 "
              "bytes) and its group's 16-byte FW PID record: the range is ignored")},
         0, Output::kComplete, "ARMOut.BIN", 0x8100 + 0x2346 + 16},
        {"overlap", {}, "$Size &8\n:boot.bin &0\n:b.bin &1000\n", {},
         {Out("Error : Image boot.bin overlay with Image b.bin!"),
          Err("ARMPARA.PAR:2: error: boot.bin (0x0..0x17ff) overlaps b.bin (line 3, from 0x1000): 0x800 bytes (2048)")},
         1, Output::kNone},
        {"offset of 0x80000000 or more sorts first", {}, "$Size &3fffff\n:b.bin &80000000\n:boot.bin &1000\n", {},
         {Out("Error : Image b.bin overlay with Image boot.bin!"),
          Err("ARMPARA.PAR:2: error: b.bin (0x80000000..0x800003ff) sorts ahead of boot.bin (line 3, from 0x1000), "
              "which lies lower: an offset of 0x80000000 or more is placed first")},
         1, Output::kNone},
        {"last image past the output's end", {}, "$Size &4\n:boot.bin &0\n", {},
         {Out("Error : Image boot.bin overlay with Image the end of the output (size 1000)!"),
          Err("ARMPARA.PAR:2: error: boot.bin (0x0..0x17ff) runs past the end of the output at 0x1000 (the size line): "
              "0x800 bytes (2048) too far")},
         1, Output::kNone},
        {"image past 4 GiB", {}, "$Size &3fffff\n:boot.bin &fffff000\n", {},
         {Out("Error : Image boot.bin runs past 4 GiB (area fffff000 to 100000800)!"),
          Err("ARMPARA.PAR:2: error: boot.bin (area 0xfffff000..0x1000007ff) runs past 4 GiB: the last byte is "
              "0xffffffff")},
         1, Output::kNone},
        {"reserved range past 4 GiB", {}, "$Size &3fffff\n:b.bin &fffff000 -l 0x2000\n", {},
         {Out("Error : Image b.bin runs past 4 GiB (area fffff000 to 100001000)!")}, 1, Output::kNone},
        {"kernel pushed past 4 GiB by its header", {}, "$Size &3fffff\n%pid.txt &7fff\n:kernel.bin &ffffff00 -k\n", {},
         {Out("Error : Image kernel.bin runs past 4 GiB (area ffffff00 to 100002356)!")}, 1, Output::kNone},

        // ---- writing ----
        {"PID location too low for the block", {}, "%pid.txt &44\n" + boot, {},
         {Out("Error : PID location 0x44 leaves no room for the 70-byte PID block in front of it!"),
          Err("ARMPARA.PAR:1: error: PID location 0x44 leaves no room for the 70-byte PID block in front of it: it "
              "must be 0x45 or more")},
         1, Output::kNone},
        {"PID block past the end of the output", {}, "%pid.txt &7fff\n$Size &4\n:b.bin &0\n", {},
         {Out("Error : PID block 0x7fba to 0x7fff lies outside the output (size 0x1000)!"),
          Err("ARMPARA.PAR:1: error: PID block 0x7fba..0x7fff lies outside the output (0x1000 bytes)")},
         1, Output::kNone},
        {"FW PID record past the end of the output", {}, "%pid.txt &fff &ff8\n$Size &4\n:b.bin &0\n", {},
         {Out("Error : FW PID record 0xff8 to 0x1007 lies outside the output (size 0x1000)!"),
          Err("ARMPARA.PAR:1: error: FW PID record 0xff8..0x1007 lies outside the output (0x1000 bytes)")},
         1, Output::kNone},
        {"PAR file is a folder", {"-i", "dir"}, boot, {Dir("dir")},
         {Out("Error : read Par file dir failed!"), kUsage,
          Err("dir: error: the PAR file cannot be read: Is a directory")},
         1, Output::kNone},
        {"output is the PAR file", {"-o", "ARMPARA.PAR"}, boot, {},
         {Out("Error : Output file ARMPARA.PAR is the same file as input ARMPARA.PAR, refusing to overwrite it!"),
          Err("ARMPARA.PAR: error: is the same file as the input ARMPARA.PAR: give the image a path of its own")},
         1, Output::kNone, "ARMPARA.PAR"},
        {"output is a link to the PID file", {"-o", "out.lnk"}, "%pid.txt &1fff\n" + boot,
         {Symlink("out.lnk", "pid.txt")},
         {Out("Error : Output file out.lnk is the same file as input pid.txt, refusing to overwrite it!")},
         1, Output::kNone, "out.lnk"},
        {"output is a folder", {"-o", "dir"}, boot, {Dir("dir")},
         {Out("Error : Output path dir exists and is not a regular file, refusing to replace it!"),
          Err("dir: error: is a folder")},
         1, Output::kNone, "dir"},
        {"output leads into /proc", {"-o", "so"}, boot, {Symlink("so", "/proc/self/fd/1")},
         {Out("Error : Output path so leads into /proc, refusing to write there!"),
          Err("so: error: leads into /proc (/proc/self/fd/1): a file there is a running process's descriptor or "
              "memory, not a file to replace")},
         1, Output::kNone, "so"},
        {"old output with another hard link", {"-o", "out.bin"}, boot, {HardLink("out.bin", "b.bin")},
         {Out("DONE!"), Err("out.bin: note: the old file had 1 other hard link; it keeps the old contents, not the "
                            "new file")},
         0, Output::kComplete, "out.bin", 0x2000},
        {"output in a missing folder", {"-o", "missing/out.bin"}, boot, {},
         {Out("Error: Create output bin file(missing/out.bin) failed!"),
          Err("missing/out.bin: error: cannot be created: No such file or directory")},
         1, Output::kNone, "missing/out.bin"},
        {"write past the file size limit", {"-p", "0xff"}, "$Size &8\n:boot.bin &0\n", {},
         {Out("Error : Write output bin file(ARMOut.BIN) failed! (File too large)"),
          Err("ARMOut.BIN: error: cannot be written: File too large")}, 1, Output::kNone,
         "ARMOut.BIN", -1, {}, 0x1000},
        {"empty image", {}, "$Size &4\n:empty.bin &0\n", {},
         {Out("Error : Binding file empty.bin fail:"),
          Err("ARMPARA.PAR:2: error: image file 'empty.bin' is empty: there is nothing to bind")}, 1, Output::kNone},
        // The planner put the group image in place as it read it: the refusal still says why.
        {"empty group image", {}, group + ":boot.bin &0\n:empty.bin &8000 -k -c\n", {},
         {Out("Error : Binding file empty.bin fail:"),
          Err("ARMPARA.PAR:4: error: image file 'empty.bin' is empty: there is nothing to bind")}, 1, Output::kNone},
        {"PID file one digit short", {}, "%pid111.txt &1fff\n" + boot, {},
         {Out("Error: pid111.txt format error!"), Out("Error : Binding PID fail!"),
          Err("ARMPARA.PAR:1: error: PID file 'pid111.txt' has 111 characters: the PID is 112 hex digits")},
         1, Output::kNone},
        {"PID file of more than 112 digits", {}, "%pid116.txt &1fff\n" + boot,
         {{Extra::kFile, "pid116.txt", PidHex() + "abcd\n"}},
         {Err("ARMPARA.PAR:1: warning: PID file 'pid116.txt' holds more than 112 hex digits (4 more): only the first "
              "112 are used"),
          Out("DONE!")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"-p value of an image ignored", {}, "$Size &8\n:boot.bin &0 -l 0x2000 -p 0xf\n", {},
         {Err("ARMPARA.PAR:2: warning: '-p' value '0xf' is ignored: the pad byte is written 0x00, 0xff or 0xFF"),
          Out("DONE!")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"a warning under --strict", {"--strict"}, "Xline\n" + boot, {},
         {Out("Error : a warning stops the bind under --strict!"),
          Err("ARMPARA.PAR:1: error: line starts with 'X', which begins no kind of line (':' image, '%' PID, '$' size, "
              "'#' comment): it is skipped")},
         1, Output::kNone},
        {"PID file gone before its block is built", {}, "%pid.txt &1fff\n" + boot, {},
         {Out("Error: open failed on pid.txt PID file!"), Out("Error : Binding PID fail!"),
          Err("ARMPARA.PAR:1: error: PID file 'pid.txt' cannot be opened any more: No such file or directory")},
         1, Output::kNone, "ARMOut.BIN", -1, {}, -1, "pid.txt:2:remove"},
        {"PID text not hex", {}, "%pidO.txt &1fff\n" + boot, {{Extra::kFile, "pidO.txt", "O" + PidHex().substr(1)}},
         {Out("Error: PID file pidO.txt: character 1 (0x4f) is not a hex digit!"), Out("Error : Binding PID fail!"),
          Err("ARMPARA.PAR:1: error: PID file 'pidO.txt': character 1 (0x4f) is not a hex digit")},
         1, Output::kNone},
        {"PID block under a FW header", {}, "$Size &40\n%pid.txt &80ff\n:kernel.bin &8000 -k\n", {},
         {Out("Error : PID block 0x80ba to 0x80ff overlaps the FW header of kernel.bin at 0x8000 to 0x80ff!"),
          Err("ARMPARA.PAR:2: error: PID block 0x80ba..0x80ff overlaps the FW header of kernel.bin (line 3) at "
              "0x8000..0x80ff: the header would cut it")},
         1, Output::kNone},
        {"PID block over an image's bytes", {}, "%pid.txt &17ff\n" + boot, {},
         {Out("DONE!"), Err("ARMPARA.PAR:1: note: PID block 0x17ba..0x17ff lies over bytes of boot.bin (line 3, "
                            "0x0..0x17ff), which it replaces")},
         0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"group image grown before it is read", {}, group + ":kernel.bin &8000 -k\n", {},
         {Out("Error : image kernel.bin changed during the bind!"),
          Err("ARMPARA.PAR:3: error: image file 'kernel.bin' is longer now than the 0x2345 bytes measured when its "
              "line was read")},
         1, Output::kNone, "ARMOut.BIN", -1, {}, -1, "kernel.bin:2:grow"},
        {"group image shrunk before it is read", {}, group + ":kernel.bin &8000 -k\n", {},
         {Out("read file kernel.bin fail! "),
          Err("ARMPARA.PAR:3: error: image file 'kernel.bin' is shorter now than the 0x2345 bytes measured when its "
              "line was read")},
         1, Output::kNone, "ARMOut.BIN", -1, {}, -1, "kernel.bin:2:truncate"},
        {"plain image grown before it is copied", {}, "$Size &8\n:boot.bin &0\n:b.bin &1800\n", {},
         {Out("Error : image b.bin changed during the bind!"),
          Err("ARMPARA.PAR:3: error: image file 'b.bin' changed since its line was read: it is no longer the 0x400 "
              "bytes planned")},
         1, Output::kNone, "ARMOut.BIN", -1, {}, -1, "b.bin:2:grow"},
        {"plain image gone before it is copied", {}, "$Size &8\n:boot.bin &0\n:b.bin &1800\n", {},
         {Out("Error: open input image b.bin failed"), Out("Error : Binding file b.bin fail:"),
          Err("ARMPARA.PAR:3: error: image file 'b.bin' cannot be opened any more: No such file or directory")},
         1, Output::kNone, "ARMOut.BIN", -1, {}, -1, "b.bin:2:remove"},
        {"no FW PID location, no group", {}, "%pid.txt &1fff\n" + boot, {},
         {Out("Warn : there would be no FW PID!"), Out("DONE!")}, 0, Output::kComplete, "ARMOut.BIN", 0x2000},
        {"group without an image of its own", {},
         "$Size &80\n%pid.txt &7fff\n:kernel.bin &8000 -k 1\n:rootfs.bin &10000 -k 1\n", {},
         {Out("Warn : there would be no FW PID!"), Out("FW PID for group 1 address is 11b02."), Out("DONE!")},
         0, Output::kComplete, "ARMOut.BIN", 0x11b02 + 16},

        // ---- the map and the dependency file ----
        {"map path too long", {"--map", kPathOf256}, boot, {},
         {Out("Error : Map file path is longer than 255 characters!"),
          Err("Morvik: error: Map file path has 256 characters: at most 255 fit")}, 1, Output::kNone},
        {"map is the PAR file", {"--map", "ARMPARA.PAR"}, boot, oldOutput,
         {Out("Error : Map file ARMPARA.PAR is the same file as input ARMPARA.PAR, refusing to overwrite it!"),
          Err("ARMPARA.PAR: error: is the same file as the input ARMPARA.PAR: give the map a path of its own")},
         1, Output::kNone},
        {"map where the image goes", {"-o", "out.bin", "--map", "./out.bin"}, boot, {},
         {Out("Error : Map file ./out.bin and Output file out.bin are one file, refusing to write both!"),
          Err("./out.bin: error: is where the image goes too: give the map a path of its own")},
         1, Output::kNone, "out.bin"},
        {"dependency file where the map goes", {"--map", "m.json", "--makedeps", "m.json"}, boot, oldOutput,
         {Out("Error : Dependency file m.json and Map file m.json are one file, refusing to write both!"),
          Err("m.json: error: is where the map goes too: give the dependency file a path of its own")},
         1, Output::kNone},
        {"dependency file is a folder", {"--makedeps", "dir"}, boot, {Dir("dir")},
         {Out("Error : Dependency path dir exists and is not a regular file, refusing to replace it!"),
          Err("dir: error: is a folder")},
         1, Output::kNone},
        {"map leads into /proc", {"--map", "so"}, boot, {Symlink("so", "/proc/self/fd/1")},
         {Out("Error : Map path so leads into /proc, refusing to write there!"),
          Err("so: error: leads into /proc (/proc/self/fd/1): a file there is a running process's descriptor or "
              "memory, not a file to replace")},
         1, Output::kNone},
        {"map in a missing folder", {"--map", "missing/m.json"}, boot, oldOutput,
         {Out("Error : Create Map file(missing/m.json) failed!"),
          Err("missing/m.json: error: cannot be created: No such file or directory")},
         1, Output::kNone},
        // A name of control characters takes six bytes a character in the
        // map and one in the trace: the map alone passes the limit.
        {"map past the file size limit", {"-o", "o" + kControls100 + ".bin", "--map", "m.json"},
         "$Size &2\n:i" + kControls100 + kControls100 + ".img &0\n",
         {{Extra::kFile, "i" + kControls100 + kControls100 + ".img", std::string(0x800, 'i')}},
         {Out("Error : Write Map file(m.json) failed! (File too large)"),
          Err("m.json: error: cannot be written: File too large")},
         1, Output::kNone, "o" + kControls100 + ".bin", -1, {}, 0x800},
        {"a name make would read as a recipe", {"-o", "a;b.bin", "--makedeps", "a.d"}, boot, {},
         {Out("Error : a;b.bin cannot be written into the dependency file!"),
          Err("Morvik: error: --makedeps: the name 'a;b.bin' holds ';': make or ninja would not read it back as it is "
              "from a dependency file; rename the file, or bind without --makedeps")},
         1, Output::kNone, "a;b.bin"},
    };
    // clang-format on
}

// ---------------------------------------------------------------------------
// Running a row and checking the folder
// ---------------------------------------------------------------------------

void WriteStandardFiles(const TempDir& dir) {
    morvik_test::WriteFile(dir / "boot.bin", morvik_test::PatternBytes(0x1800, 1));
    morvik_test::WriteFile(dir / "kernel.bin", morvik_test::PatternBytes(0x2345, 2));
    morvik_test::WriteFile(dir / "rootfs.bin", morvik_test::PatternBytes(0x1a01, 3));
    morvik_test::WriteFile(dir / "b.bin", morvik_test::PatternBytes(0x400, 4));
    morvik_test::WriteFile(dir / "empty.bin", std::string());
    morvik_test::WriteFile(dir / "pid.txt", PidHex() + "\n");
    morvik_test::WriteFile(dir / "pid111.txt", PidHex().substr(0, 111));
}

void WriteExtra(const TempDir& dir, const Extra& e) {
    const std::string path = dir / e.name;
    switch (e.kind) {
        case Extra::kFile:
            morvik_test::WriteFile(path, e.bytes);
            break;
        case Extra::kDir:
            std::filesystem::create_directory(path);
            break;
        case Extra::kSymlink:
            std::filesystem::create_symlink(e.bytes, path);
            break;
        case Extra::kHardLink:
            std::filesystem::create_hard_link(dir / e.bytes, path);
            break;
        case Extra::kSparse:
            morvik_test::WriteFile(path, std::string());
            std::filesystem::resize_file(path, e.size);
            break;
        case Extra::kFifo:
            ::mkfifo(path.c_str(), 0600);
            break;
    }
}

// What an entry of the folder is: its kind and, for small regular files,
// its bytes (large ones, the sparse files, by size only).
struct Entry {
    std::string kind;
    std::string content;
    bool operator==(const Entry&) const = default;
};

std::map<std::string, Entry> Snapshot(const std::string& folder) {
    std::map<std::string, Entry> entries;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        std::string name = item.path().filename().string();
        auto status = item.symlink_status();
        if (std::filesystem::is_symlink(status)) {
            entries[name] = {"link", std::filesystem::read_symlink(item.path()).string()};
        } else if (std::filesystem::is_directory(status)) {
            entries[name] = {"dir", ""};
        } else if (std::filesystem::is_fifo(status)) {
            entries[name] = {"fifo", ""};
        } else if (item.file_size() > (1u << 20)) {
            entries[name] = {"big file", std::to_string(item.file_size())};
        } else {
            std::vector<uint8_t> bytes = morvik_test::ReadFile(item.path().string());
            entries[name] = {"file", std::string(bytes.begin(), bytes.end())};
        }
    }
    return entries;
}

std::string WithProgram(std::string text) {
    const std::string mark = "{prog}";
    for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), MORVIK_BIN);
    return text;
}

void CheckFolder(const Row& row, const std::map<std::string, Entry>& before, const std::map<std::string, Entry>& after,
                 const TempDir& dir) {
    const std::string outTop = row.outName.substr(0, row.outName.find('/'));
    const std::string changed = row.change.substr(0, row.change.find(':'));  // by the test itself
    for (const auto& [name, entry] : before) {
        if (name == changed || (row.output == Output::kComplete && name == outTop)) continue;
        auto now = after.find(name);
        ASSERT_NE(now, after.end()) << name << " was removed";
        EXPECT_TRUE(now->second == entry) << name << " changed";
    }
    for (const auto& [name, entry] : after) {
        if (before.count(name) != 0) continue;
        EXPECT_TRUE(row.output != Output::kNone && name == outTop) << "new entry " << name;
    }
    if (row.output == Output::kNone) return;
    ASSERT_TRUE(morvik_test::FileExists(dir / row.outName)) << "no output";
    if (row.outSize >= 0) {
        EXPECT_EQ(std::filesystem::file_size(dir / row.outName), static_cast<uint64_t>(row.outSize));
    }
}

// A row's folder, its files written.
struct RowFolder {
    TempDir dir;
    std::map<std::string, Entry> before;
    explicit RowFolder(const Row& row) {
        WriteStandardFiles(dir);
        if (!row.par.empty()) morvik_test::WriteFile(dir / "ARMPARA.PAR", row.par);
        for (const Extra& e : row.extras) WriteExtra(dir, e);
        before = Snapshot(dir.path);
    }
    morvik_test::RunResult Run(const Row& row, std::vector<std::string> args) const {
        morvik_test::RunOptions options;
        options.env = row.env;
        options.fileSizeLimit = row.fileSizeLimit;
        options.changeInput = row.change;
        return morvik_test::RunMorvik(args, dir.path, options);
    }
    // A line as the row writes it: "{prog}" the program, "{dir}" the folder.
    std::string Expected(std::string text) const {
        text = WithProgram(text);
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir.path);
        return text;
    }
};

bool HasWarnings(const Row& row) {
    for (const Line& line : row.expect) {
        if (line.stream == Stream::kErr && line.text.find(": warning: ") != std::string::npos) return true;
    }
    return false;
}

// Under --strict every warning is an error: the run stops at the first one,
// which is the same diagnostic worded "error", with status 1 and nothing
// written.
void RunRowStrictly(const Row& row) {
    SCOPED_TRACE("--strict");
    RowFolder folder(row);
    std::vector<std::string> args = row.args;
    args.push_back("--strict");
    morvik_test::RunResult run = folder.Run(row, args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.find(": warning: "), std::string::npos) << run.err;
    bool named = false;
    for (const Line& line : row.expect) {
        std::string text = folder.Expected(line.text);
        size_t at = text.find(": warning: ");
        if (line.stream != Stream::kErr || at == std::string::npos) continue;
        text.replace(at, 11, ": error: ");
        named = named || morvik_test::HasLine(run.err, text);
    }
    EXPECT_TRUE(named) << "none of the row's warnings is an error:\n" << run.err;
    EXPECT_FALSE(morvik_test::HasLine(run.out, "DONE!"));
    Row refused = row;
    refused.output = Output::kNone;
    CheckFolder(refused, folder.before, Snapshot(folder.dir.path), folder.dir);
}

void RunRow(const Row& row) {
    RowFolder folder(row);
    morvik_test::RunResult run = folder.Run(row, row.args);

    EXPECT_EQ(run.status, row.status);
    // Every failure says why on standard error, even when standard output
    // goes to a log.
    if (row.status != 0) {
        EXPECT_NE(run.err, "") << "a failure with nothing on standard error";
    }
    for (const Line& line : row.expect) {
        const std::string& text = line.stream == Stream::kOut ? run.out : run.err;
        EXPECT_TRUE(morvik_test::HasLine(text, folder.Expected(line.text)))
            << (line.stream == Stream::kOut ? "stdout" : "stderr") << " lacks the line: " << line.text << "\n"
            << run.err;
    }
    if (row.output == Output::kComplete) {
        std::vector<std::string> lines = morvik_test::Lines(run.out);
        EXPECT_TRUE(!lines.empty() && lines.back() == "DONE!") << "a complete bind ends with DONE!";
    } else {
        EXPECT_FALSE(morvik_test::HasLine(run.out, "DONE!"));
    }
    CheckFolder(row, folder.before, Snapshot(folder.dir.path), folder.dir);
    if (HasWarnings(row)) RunRowStrictly(row);
}

TEST(E2eCatalogueTest, EveryBadInputPrintsItsMessageAndLeavesTheFolderAsPromised) {
    for (const Row& row : Catalogue()) {
        SCOPED_TRACE(row.label);
        RunRow(row);
    }
}

// ---------------------------------------------------------------------------
// Every message in the sources has a row
// ---------------------------------------------------------------------------

// Messages that no input from outside can bring about, each with the reason.
// Keep this list short: a message that can be triggered gets a row instead.
const std::set<std::string>& Exempt() {
    // clang-format off
    static const std::set<std::string> exempt = {
        // Allocation failures.
        "Can not get Memory for creating ImageInfo!",
        "Can not get Memory for creating PidInfo!",
        "Can not malloc Memory for FW HEADER %d",
        // The image option string has no leading ':' and every result it can
        // give has its own case, so the scanner never returns ':' or another
        // value to the reader.
        "Missing option params!",
        "Come to default!",
        // Lines are refused at 512 characters, long before the 4096-byte item
        // area could fill.
        "Error : Item Buffer is Full!",
        // A file that was measured (so it opened and read to its end) while
        // the PAR file was read, and then failed to read (not ended: an I/O
        // error) when the writer came back to it.
        "Error : read input image %s failed!",
        // Only a machine without /dev/null, with a standard stream closed.
        "%s: error: descriptor %d is closed and /dev/null cannot be opened in its place: %s",
        // The scanner's "-W" form and long-only mode: neither of the program's
        // option strings enables them.
        "%s: option `-W %s' is ambiguous",
        "%s: option `-W %s' doesn't allow an argument",
        "%s: option `%c%s' doesn't allow an argument",
        "%s: unrecognized option `%c%s'",
    };
    // clang-format on
    return exempt;
}

// The string literals of a C++ source, adjacent literals joined, escapes
// resolved. Comments and character literals are skipped.
std::vector<std::string> StringLiterals(const std::string& src) {
    std::vector<std::string> literals;
    std::string current;
    bool open = false;  // a literal was read and may be continued
    size_t i = 0;
    auto flush = [&] {
        if (open) literals.push_back(current);
        current.clear();
        open = false;
    };
    while (i < src.size()) {
        char c = src[i];
        if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
            i = src.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
            i = src.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += 2;
            continue;
        }
        if (c == '\'') {
            for (++i; i < src.size() && src[i] != '\''; ++i) {
                if (src[i] == '\\') ++i;
            }
            ++i;
            flush();
            continue;
        }
        if (c == '"') {
            for (++i; i < src.size() && src[i] != '"'; ++i) {
                if (src[i] != '\\') {
                    current += src[i];
                    continue;
                }
                char e = src[++i];
                current += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            }
            ++i;
            open = true;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(c))) flush();
        ++i;
    }
    flush();
    return literals;
}

// A message of the tool: an error or warning, one of the scanner's
// complaints, or one of the failure lines that carry no prefix.
bool IsMessage(const std::string& text) {
    static const char* const openings[] = {
        "Error",           "Warn",    "%s: ",        "Open ",    "Unknown options", "Missing option",
        "Come to default", "Can not", "Please type", "read file"};
    for (const char* opening : openings) {
        if (text.rfind(opening, 0) == 0) return true;
    }
    return false;
}

// The format without its line end.
std::string Normalized(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A printf format as a pattern for the lines it can print.
std::string FormatPatternText(const std::string& format) {
    std::string pattern;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                pattern += '%';
                ++i;
                continue;
            }
            size_t j = i + 1;
            while (j < format.size() && std::strchr("-+ #0123456789.hlzjt", format[j]) != nullptr) ++j;
            pattern += ".*";
            i = j;
            continue;
        }
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) pattern += '\\';
        pattern += c;
    }
    return pattern;
}

std::regex FormatPattern(const std::string& format) { return std::regex(FormatPatternText(format)); }

// The sources of the Morvik program itself. The image inspector under
// src/inspect (and its rooms in folders below it) is a program of its own
// and not part of a bind.
std::vector<std::filesystem::path> ToolSources() {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path root = std::filesystem::path(MORVIK_SOURCE_DIR) / "src";
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.path().extension() != ".cpp") continue;
        const std::filesystem::path inSrc = item.path().lexically_relative(root);
        if (!inSrc.empty() && *inSrc.begin() == "inspect") continue;
        files.push_back(item.path());
    }
    return files;
}

std::set<std::string> MessagesInSources() {
    std::set<std::string> messages;
    for (const auto& path : ToolSources()) {
        std::ifstream in(path);
        std::string src((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const std::string& literal : StringLiterals(src)) {
            if (IsMessage(literal)) messages.insert(Normalized(literal));
        }
    }
    return messages;
}

// A located diagnostic: the severity it is printed with and its text, the
// format given to a call of one of the printing functions.
struct Diagnostic {
    std::string severity;
    std::string text;  // "" when the call gives no literal text
    bool operator==(const Diagnostic&) const = default;
    bool operator<(const Diagnostic& other) const {
        return std::tie(severity, text) < std::tie(other.severity, other.text);
    }
};

bool IsIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// The diagnostics of one source. A call's text is its first string literal;
// a definition (its '{' comes first) has none and is skipped, and a call
// without one (its ';' comes first) is kept with an empty text, as it
// cannot be checked.
std::vector<Diagnostic> DiagnosticsIn(const std::string& src) {
    static const struct {
        const char* call;
        const char* severity;
    } printers[] = {
        {"LocatedError(", "error"},
        {"LineError(", "error"},
        {"LocatedWarning(", "warning"},
        {"LineWarning(", "warning"},
        {"PathError(", "error"},
        {"PathNote(", "note"},
        {"LocatedNote(", "note"},
        {"PlanWarning(", "warning"},
        {"BindError(", "error"},
        {"BindWarning(", "warning"},
        {"LocatedWarningOrError(", "warning"},
    };
    std::vector<Diagnostic> found;
    for (const auto& printer : printers) {
        for (size_t at = src.find(printer.call); at != std::string::npos; at = src.find(printer.call, at + 1)) {
            if (at > 0 && IsIdentifierChar(src[at - 1])) continue;
            size_t stop = src.find_first_of("\";{", at);
            if (stop == std::string::npos || src[stop] == '{') continue;
            std::string text = src[stop] == ';' ? "" : StringLiterals(src.substr(stop))[0];
            found.push_back({printer.severity, text});
        }
    }
    return found;
}

std::set<Diagnostic> DiagnosticsInSources() {
    std::set<Diagnostic> diagnostics;
    for (const auto& path : ToolSources()) {
        std::ifstream in(path);
        std::string src((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const Diagnostic& d : DiagnosticsIn(src)) diagnostics.insert(d);
    }
    return diagnostics;
}

TEST(E2eCatalogueTest, SourceScannerReadsLiteralsAsTheCompilerDoes) {
    const struct {
        std::string src;
        std::vector<std::string> literals;
    } cases[] = {
        {R"(printf("Error : %s\n", x);)", {"Error : %s\n"}},
        {"printf(\"Error : one \"\n       \"two\\n\");", {"Error : one two\n"}},
        {R"(f("a"); g("b");)", {"a", "b"}},
        {R"(c = '"'; s = "Warn : \"q\"";)", {"Warn : \"q\""}},
        {"// \"Error : in a comment\"\n/* \"Error : too\" */ x(\"Warn : t\\tab\");", {"Warn : t\tab"}},
    };
    for (const auto& c : cases) EXPECT_EQ(StringLiterals(c.src), c.literals) << c.src;

    const struct {
        std::string src;
        std::vector<Diagnostic> found;
    } calls[] = {
        {"void LineError(const S& s, const char* format, ...) {\n f(\"x\");", {}},
        {"LineWarning(s, \"a '%s'; \"\n  \"b\", x);", {{"warning", "a '%s'; b"}}},
        {"VLocatedError(f, l, format, args); LocatedError(f, l, text);", {{"error", ""}}},
    };
    for (const auto& c : calls) EXPECT_EQ(DiagnosticsIn(c.src), c.found) << c.src;
}

TEST(E2eCatalogueTest, FormatPatternMatchesWhatPrintfPrints) {
    const struct {
        std::string format;
        std::string line;
        bool matches;
    } cases[] = {
        {"Error : Image %s overlay with Image %s!", "Error : Image a.bin overlay with Image b.bin!", true},
        {"Error : Image %s overlay with Image %s!", "Error : Image a.bin overlays with Image b.bin!", false},
        {"Error: too many bin files, max bin file number is %d.",
         "Error: too many bin files, max bin file number is 10.", true},
        {"Error:file %s is too large, max file size is 0x%llx bytes",
         "Error:file h is too large, max file size is 0x7fffffff bytes", true},
        {"Use 100%% (%zu)", "Use 100% (3)", true},
        {"Error : a.b", "Error : aXb", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::regex_match(c.line, FormatPattern(c.format)), c.matches) << c.format << " / " << c.line;
    }
}

TEST(E2eCatalogueTest, EveryMessageInTheSourcesHasARowOrAnExemption) {
    std::set<std::string> messages = MessagesInSources();
    ASSERT_GT(messages.size(), 40u) << "the source scan found too little; is MORVIK_SOURCE_DIR right?";

    std::vector<std::string> catalogued;
    for (const Row& row : Catalogue()) {
        for (const Line& line : row.expect) catalogued.push_back(WithProgram(line.text));
    }
    for (const std::string& message : messages) {
        if (Exempt().count(message) != 0) continue;
        std::regex pattern = FormatPattern(message);
        bool found = false;
        for (const std::string& line : catalogued) found = found || std::regex_match(line, pattern);
        EXPECT_TRUE(found) << "no catalogue row prints: " << message;
    }
    // An exemption whose message is gone from the sources is stale.
    for (const std::string& message : Exempt()) {
        EXPECT_EQ(messages.count(message), 1u) << "stale exemption: " << message;
    }
}

// Diagnostics that no input from outside can bring about, each with the
// reason. Keep this list short.
const std::set<std::string>& ExemptDiagnostics() {
    static const std::set<std::string> exempt = {
        // A read error (EIO) on a PID file that opened: the disk's, not the
        // input's; the fault-injection test makes such reads fail.
        "PID file '%s' cannot be read: %s",
    };
    return exempt;
}

TEST(E2eCatalogueTest, EveryDiagnosticInTheSourcesHasARow) {
    std::set<Diagnostic> diagnostics = DiagnosticsInSources();
    ASSERT_GT(diagnostics.size(), 40u) << "the source scan found too little";

    std::vector<std::string> catalogued;
    for (const Row& row : Catalogue()) {
        for (const Line& line : row.expect) {
            if (line.stream == Stream::kErr) catalogued.push_back(line.text);
        }
    }
    for (const Diagnostic& d : diagnostics) {
        if (ExemptDiagnostics().count(d.text) != 0) continue;
        EXPECT_FALSE(d.text.empty()) << "a " << d.severity << " without a literal text cannot be catalogued";
        std::regex pattern("[^ ]+(:[0-9]+)?: " + d.severity + ": " + FormatPatternText(d.text));
        bool found = false;
        for (const std::string& line : catalogued) found = found || std::regex_match(line, pattern);
        EXPECT_TRUE(found) << "no catalogue row prints the " << d.severity << ": " << d.text;
    }
    for (const std::string& text : ExemptDiagnostics()) {
        bool inSources = false;
        for (const Diagnostic& d : diagnostics) inSources = inSources || d.text == text;
        EXPECT_TRUE(inSources) << "stale exemption: " << text;
    }
}

}  // namespace
