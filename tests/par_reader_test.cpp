#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "model/context.h"
#include "getopt/getopt.h"
#include "par/par_reader.h"
#include "support/run_tool.h"

namespace {

using namespace morvik;

const std::string kSep = "---------------------------------------\n";

// A full re-initialization of the scanner, which reads POSIXLY_CORRECT again.
void ResetScanner() {
    char name[] = "reset";
    char* argv[] = {name, nullptr};
    morvik::optind = 0;
    morvik::my_getopt(1, argv, "l:p:cv:k::f::", nullptr);
}

class ParReaderTest : public ::testing::Test {
protected:
    morvik_test::TempDir dir;
    ParInfo info{};
    std::string out, err;

    void SetUp() override {
        ::unsetenv("POSIXLY_CORRECT");
        ResetScanner();
        for (const char* name : {"a.bin", "pid.txt"}) morvik_test::WriteFile(dir / name, std::string(0x123, 'x'));
    }
    void TearDown() override {
        FreeMemory(&info);
        ::unsetenv("POSIXLY_CORRECT");
        ResetScanner();
    }

    // "{D}" stands for the test folder, so paths in PAR lines are absolute.
    std::string Fill(std::string text) const {
        for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, dir.path);
        return text;
    }

    // Runs `step` with standard output and standard error captured.
    template <class Step>
    int Capture(Step step) {
        int result = 0;
        morvik_test::Captured printed = morvik_test::CaptureOutput([&] { result = step(); });
        out = printed.out;
        err = printed.err;
        return result;
    }

    int Read(const std::string& parText) {
        FreeMemory(&info);
        init_info(&info);
        morvik_test::WriteFile(dir / "t.par", Fill(parText));
        return Capture([&] { return ParseParInfo((dir / "t.par").c_str(), &info); });
    }

    std::string FormatText() {
        Capture([] {
            ShowParFormatUsage();
            return 0;
        });
        return out;
    }
};

TEST_F(ParReaderTest, FormatTextKeepsItsPercentSignsAndRules) {
    std::string text = FormatText(), rule(130, '-');
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), 24u);
    const struct {
        size_t index;
        std::string line;
    } expected[] = {
        {0, "Usage : Par File Line Format."},
        {1, "\tLine Start with [:|%|$]"},
        {2, rule},
        {14, rule},
        {15, "format 2 - %Pid  &pid_offset_in_boot &pid_offset_in_fw"},
        {19, rule},
        {23, rule},
        {18, "\t\tNOTE: if there is no image with option '-k' or '-f', it is allowed no %PID in par file!"},
    };
    for (const auto& e : expected) EXPECT_EQ(lines[e.index], e.line) << e.index;
}

TEST_F(ParReaderTest, EchoesEachKindOfLine) {
    EXPECT_EQ(Read("$Size &400\n%{D}/pid.txt &7fff\n:{D}/a.bin &10000 -l 0x8000 -p 0xff -c -k 1 -v 1.00\n"), kParOk);
    EXPECT_EQ(out, Fill("Size info :\n\tTarget file default size is 0x100000.\n" + kSep +
                        "PID info :\n\tPID file {D}/pid.txt's first location is 0x7fff, second location is 0x0\n" +
                        kSep + kSep +
                        "\ttype: 2\n\tname: {D}/a.bin\n\taddr: 10000\n\tleng: 123\n\tlimit: 8000\n\tpad: 1\n"
                        "\tgroup id: 1\n\tcksum: 1\n\tver: 1.00\n" +
                        kSep));
}

TEST_F(ParReaderTest, SkipsOrWarnsAboutLinesOfOtherKinds) {
    const std::string warn = "Warning: Unknown magic header charactor ";
    const struct {
        std::string text, out;
    } cases[] = {
        {"# only a comment\n\n   \n\t\n\r\n", ""},
        {"  :{D}/a.bin &0\n\t$Size &400\n", ""},  // indented lines are skipped silently
        {"X foo\n", warn + "'X' in your par file, ignore it!\n"},
        {"\xEF\xBB\xBF$Size &400\n", warn + "0xffffffef in your par file, ignore it!\n"},
        {"\x7F\n\v\n", warn + "0x7f in your par file, ignore it!\n" + warn + "0xb in your par file, ignore it!\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.text), kParOk) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
        EXPECT_EQ(info.imageCount + info.targetSize, 0u) << c.text;
        EXPECT_EQ(info.images[0], nullptr) << c.text;
    }
}

TEST_F(ParReaderTest, ReadsImageLineFieldsAndOptions) {
    // clang-format off
    const struct {
        const char* line;
        uint32_t offset, limit;
        int32_t pad;
        const char* version;
        int cksum;
        int32_t type, group, groupCount;
        const char* note;  // printed ahead of the echo
    } cases[] = {
        {":{D}/a.bin &0", 0, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {": {D}/a.bin &1f000 # loader", 0x1F000, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &", 0, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin 10000", 0, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &100 -l 0x8000 -p 0xff", 0x100, 0x8000, PAD_FF, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -l0x8000 -p0x00", 0, 0x8000, PAD_00, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -l 0x -p 0XFF", 0, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -l abx10 -p 0xFf", 0, 0x10, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -v 1.00 -c -p 0xFF", 0, 0, PAD_FF, "1.00", 1, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -k", 0, 0, PAD_NONE, "", 0, IMAGE_KERNEL, 0, 1, ""},
        {":{D}/a.bin &0 -k 1", 0, 0, PAD_NONE, "", 0, IMAGE_KERNEL, 1, 1, ""},
        {":{D}/a.bin &0 -k 1z", 0, 0, PAD_NONE, "", 0, IMAGE_KERNEL, 0x10, 1, ""},
        {":{D}/a.bin &0 -k -c", 0, 0, PAD_NONE, "", 1, IMAGE_KERNEL, 0, 1, ""},
        {":{D}/a.bin &000000001000 -k 7fffffff", 0x1000, 0, PAD_NONE, "", 0, IMAGE_KERNEL, 0x7FFFFFFF, 1, ""},
        {":{D}/a.bin &0 -f 1", 0, 0, PAD_NONE, "", 0, IMAGE_FW, 1, 0, ""},
        {":{D}/a.bin &0 junk -x -c", 0, 0, PAD_NONE, "", 1, IMAGE_NORMAL, -1, 0, "Unknown options!\n"},
        {":{D}/a.bin &0 -l", 0, 0, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, "Unknown options!\n"},
        {":{D}/a.bin &0 -c\r", 0, 0, PAD_NONE, "", 1, IMAGE_NORMAL, -1, 0, "Unknown options!\n"},
        // ranges below 2 GiB, and a group image's range of any size, wherever -k or -f stands
        {":{D}/a.bin &0 -l 0x7fffffff", 0, 0x7FFFFFFF, PAD_NONE, "", 0, IMAGE_NORMAL, -1, 0, ""},
        {":{D}/a.bin &0 -l 0x80000000 -k", 0, 0x80000000, PAD_NONE, "", 0, IMAGE_KERNEL, 0, 1, ""},
        {":{D}/a.bin &0 -f 1 -l0xffffffff", 0, 0xFFFFFFFF, PAD_NONE, "", 0, IMAGE_FW, 1, 0, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        ASSERT_EQ(Read(std::string(c.line) + "\n"), kParOk) << c.line;
        ASSERT_EQ(info.imageCount, 1u) << c.line;
        const ImageInfo& image = *info.images[0];
        EXPECT_EQ(image.name, Fill("{D}/a.bin")) << c.line;
        EXPECT_EQ(image.length, 0x123) << c.line;
        EXPECT_EQ(
            std::make_tuple(image.offset, image.limit, image.pad, std::string(image.version), int{image.cksum},
                            image.type, image.groupId, info.groupCount),
            std::make_tuple(c.offset, c.limit, c.pad, std::string(c.version), c.cksum, c.type, c.group, c.groupCount))
            << c.line;
        EXPECT_EQ(out.substr(0, out.find(kSep)), c.note) << c.line;
        // the scanner complains on standard error, its first word the image
        // path; the located diagnostics beside it begin with the PAR path
        std::string scanner;
        for (const std::string& line : morvik_test::Lines(err))
            if (line.rfind(dir / "t.par:", 0) != 0) scanner += line + "\n";
        EXPECT_EQ(scanner.empty(), *c.note == '\0') << c.line;
        if (!scanner.empty()) {
            EXPECT_EQ(scanner.rfind(Fill("{D}/a.bin: "), 0), 0u) << scanner;
        }
    }
}

TEST_F(ParReaderTest, WithPosixlyCorrectNoImageOptionActs) {
    ::setenv("POSIXLY_CORRECT", "", 1);
    ResetScanner();
    ASSERT_EQ(Read(":{D}/a.bin &0 -k 1 -c -l 0x100 -v 1.00 -p 0xff\n"), kParOk);
    const ImageInfo& image = *info.images[0];
    EXPECT_EQ(image.type, IMAGE_NORMAL);
    EXPECT_EQ(image.groupId, -1);
    EXPECT_EQ(info.groupCount, 0);
    EXPECT_EQ(image.cksum, 0);
    EXPECT_EQ(image.limit, 0u);
    EXPECT_EQ(image.pad, PAD_NONE);
    EXPECT_STREQ(image.version, "");
}

TEST_F(ParReaderTest, ReadsSizeAndPidLines) {
    const struct {
        const char* text;
        uint32_t size, boot, fw;
    } cases[] = {
        {"$Size &400", 0x100000, 0, 0},
        {"$Size &0x400", 0x100000, 0, 0},
        {"$Size & 400", 0x100000, 0, 0},
        {"$Size\t&\v400\r\n", 0x100000, 0, 0},
        {"$Size &3FFFFF", 0xFFFFFC00, 0, 0},
        {"$Size &-0", 0, 0, 0},
        {"$Size &+0X1f", 0x7C00, 0, 0},
        {"$Size &0x", 0, 0, 0},
        {"$a b &00000000400 tail", 0x100000, 0, 0},
        {"$Size &10\n$Size &400", 0x100000, 0, 0},
        {"%{D}/pid.txt &7fff", 0, 0x7FFF, 0},
        {"%{D}/pid.txt &7fff &1F0 extra", 0, 0x7FFF, 0x1F0},
        {"%{D}/pid.txt &7fff\n:{D}/a.bin &0 -c", 0, 0x7FFF, 0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Read(std::string(c.text) + "\n"), kParOk) << c.text;
        EXPECT_EQ(info.targetSize, c.size) << c.text;
        if (c.boot == 0) continue;
        ASSERT_NE(info.pidInfo, nullptr) << c.text;
        EXPECT_EQ(info.pidInfo->name, Fill("{D}/pid.txt"));
        EXPECT_EQ(info.pidInfo->bootLocation, c.boot) << c.text;
        EXPECT_EQ(info.pidInfo->fwLocation[0], c.fw) << c.text;
        EXPECT_EQ(info.pidInfo->fwLocation[1] + info.pidInfo->missing, 0u) << c.text;
    }
}

std::string Lines(int count, const std::string& line) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line;
    return text;
}

// `text` (ASCII) in characters of `width` bytes, little or big endian,
// behind `mark` (a byte order mark, or nothing).
std::string Wide(const std::string& text, size_t width, bool bigEndian, const std::string& mark = "") {
    std::string wide = mark;
    for (char c : text) {
        std::string unit(width, '\0');
        unit[bigEndian ? width - 1 : 0] = c;
        wide += unit;
    }
    return wide;
}

TEST_F(ParReaderTest, FormatErrorsStopTheReadingAndFailTheRun) {
    const std::string lMsg = "Error : '-l' option must be followed a hex value!\n",
                      vMsg = "Error: '-v' option must be followed with a string of 4 bytes!\n",
                      hex = "Error: Offset should be in Hex!\n", size = "Error: SIZE line format error!\n",
                      pidLine = "Error: PID file line format error!\n", image = ":{D}/a.bin &0\n", nul(1, '\0'),
                      utf16 = "Error: Par file {D}/t.par is UTF-16 text, not ASCII or UTF-8!\n",
                      utf32 = "Error: Par file {D}/t.par is UTF-32 text, not ASCII or UTF-8!\n";
    const struct {
        std::string text, message;
        uint32_t imageCount;
    } cases[] = {
        {":# loader", "Error: BIN file line format error!\n", 0},
        {":{D}/a.bin &0x1000", hex, 0},
        {":{D}/a.bin &100\r", hex, 0},
        {image + ":{D}/a.bin &0 -l 8000", lMsg, 1},
        {":{D}/a.bin &0 -l 0X8000", lMsg, 0},
        {":{D}/a.bin &0 -l 0x8g", lMsg, 0},
        {":{D}/a.bin &0 -v 1.0", vMsg, 0},
        {":{D}/a.bin &0 -v 1.00\r", vMsg, 0},
        // a group number attached to its mark: its digits would be read as options
        {":{D}/a.bin &0 -k1", "Error: {D}/a.bin: group number of '-k' is attached: write '-k 1'!\n", 0},
        {":{D}/a.bin &0 -c -f01", "Error: {D}/a.bin: group number of '-f' is attached: write '-f 01'!\n", 0},
        {":{D}/a.bin &0 -l 0x100 -p 0xff\r", "Error : '-p' value of an image ends in a carriage return!\n", 0},
        {"%{D}/pid.txt &7fzz", hex, 0},
        {"%{D}/pid.txt &7fff &zz", hex, 0},
        {"%{D}/pid.txt &1\n%{D}/pid.txt &2", "Error: more than one pid files!\n", 0},
        {"$&400", size, 0},
        {"$Size 400", size, 0},
        {"$Size &x1", size, 0},
        {"$Size &-\n$Size &400", size, 0},
        {Lines(11, image), "Error: too many bin files, max bin file number is 10.\n", 10},
        // refusals of what does not fit the records
        {"%{D}/pid.txt", pidLine, 0},
        {"%", pidLine, 0},
        {":" + std::string(256, 'p') + " &0", "Error: image file path is longer than 255 characters!\n", 0},
        {"%" + std::string(256, 'p') + " &0", "Error: PID file path is longer than 255 characters!\n", 0},
        {":" + std::string(512, 'p'), "Error: line is longer than 512 characters!\n", 0},
        {":a b c d e f g h i j k l m n o p", "Error: too many items in one line, max item number is 15.\n", 0},
        {"$Size &123456789", "Error: SIZE value has more than 8 hex digits!\n", 0},
        // values that would wrap in 32 bits, and group marks that contradict each other
        {"$Size &-8", "Error: SIZE value must not be negative!\n", 0},
        {"$Size &400000", "Error: SIZE value 0x400000 KiB is 4 GiB or more!\n", 0},
        {":{D}/a.bin &100000000", "Error: Offset &100000000 has more than 8 hex digits!\n", 0},
        {"%{D}/pid.txt &7fff &100003000", "Error: Offset &100003000 has more than 8 hex digits!\n", 0},
        {":{D}/a.bin &0 -l 0x1FFFFFFFF", "Error : '-l' value 0x1FFFFFFFF has more than 8 hex digits!\n", 0},
        {":{D}/a.bin &0 -f 100000001", "Error: group number 100000001 of '-f' has more than 8 hex digits!\n", 0},
        {":{D}/a.bin &0 -k ffffffff", "Error: {D}/a.bin: group number ffffffff of '-k' is out of range!\n", 0},
        {":{D}/a.bin &0 -k 1 -k 1", "Error: {D}/a.bin: '-k' is given more than once!\n", 0},
        {":{D}/a.bin &0 -f 0 -k", "Error: {D}/a.bin: '-k' should be exclusive with '-f'!\n", 0},
        {":{D}/a.bin &0 " + std::string(2000, 'x'), "Error: line 1 is longer than 1999 characters!\n", 0},
        // ranges that would be misread: negative for an image outside a group, or signed
        {":{D}/a.bin &0 -l 0x80000000", "Error : '-l' value 0x80000000 is 2 GiB or more!\n", 0},
        {":{D}/a.bin &0 -l 0xffffffff -c", "Error : '-l' value 0xffffffff is 2 GiB or more!\n", 0},
        {":{D}/a.bin &0 -l -0x2000", lMsg, 0},
        {":{D}/a.bin &0 -k -l+0x2000", lMsg, 0},
        {":{D}/a.bin &0 -l -x10", lMsg, 0},
        // NUL bytes wherever they are in a line, which would end it early
        {nul + ":{D}/a.bin &0", "Error: line 1 holds a NUL byte!\n", 0},
        {image + ":{D}/a.bin &0" + nul + " -f", "Error: line 2 holds a NUL byte!\n", 1},
        {"$Size &400 #" + nul, "Error: line 1 holds a NUL byte!\n", 0},
        {":{D}/a.bin &0 #" + std::string(2100, 'c') + nul, "Error: line 1 holds a NUL byte!\n", 0},
        {":{D}/a.bin &0 " + std::string(2100, 'x') + nul, "Error: line 1 holds a NUL byte!\n", 0},
        {image + Wide("$Size &400\n", 2, false), "Error: line 2 holds a NUL byte!\n", 1},
        {"$" + nul + "Size &400", "Error: line 1 holds a NUL byte!\n", 0},
        // files of UTF-16 or UTF-32 characters, with a byte order mark or without
        {Wide("$Size &400\n", 2, false, "\xFF\xFE"), utf16, 0},
        {Wide("$Size &400\n", 2, true, "\xFE\xFF"), utf16, 0},
        {"\xFF\xFE:a.bin", utf16, 0},
        {Wide("$Size &400\n", 4, false, std::string("\xFF\xFE\0\0", 4)), utf32, 0},
        {Wide("$Size &400\n", 4, true, std::string("\0\0\xFE\xFF", 4)), utf32, 0},
        {Wide("$Size &400\n", 2, false), utf16, 0},
        {Wide("$Size &400\n", 2, true), utf16, 0},
        {Wide("$Size &400\n", 4, false), utf32, 0},
        {Wide("$Size &400\n", 4, true), utf32, 0},
    };
    const std::string formatText = FormatText();
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.text + "\n"), kParFormatError) << c.text;
        std::string tail = Fill(c.message) + formatText;
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << c.text;
        EXPECT_EQ(out.find("Error"), out.size() - tail.size()) << c.text;
        EXPECT_EQ(info.targetSize, 0u) << c.text;
        EXPECT_EQ(info.imageCount, c.imageCount) << c.text;
    }
    ASSERT_EQ(Read(Lines(10, image)), kParOk);
    EXPECT_EQ(info.imageCount, 10u);
}

TEST_F(ParReaderTest, NamedFilesThatCannotBeMeasuredEndTheRun) {
    const std::string longName(255, 'p');
    const struct {
        std::string text, out;
        bool pidMissing;
    } cases[] = {
        {":{D}/none.bin &0", "Error:open file {D}/none.bin failed\nOpen file {D}/none.bin fail!\n", false},
        {":{D} &0 -k", "Error:read file {D} failed\nOpen file {D} fail!\n", false},
        {":" + longName + " &0", "Error:open file " + longName + " failed\nOpen file " + longName + " fail!\n", false},
        {"%{D}/none.txt &7fff\n", "Error:open file {D}/none.txt failed\nOpen PID file {D}/none.txt fail!\n", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.text + "\n$Size &400\n"), kParFileMissing) << c.text;
        EXPECT_EQ(out, Fill(c.out)) << c.text;
        EXPECT_EQ(info.imageCount + info.targetSize + info.groupCount, 0u) << c.text;
        EXPECT_EQ(info.pidInfo != nullptr && info.pidInfo->missing == 1, c.pidMissing) << c.text;
    }
    int missingPar = Capture([&] { return ParseParInfo((dir / "none.par").c_str(), &info); });
    EXPECT_EQ(missingPar, kParOpenFailed);
    EXPECT_EQ(out, "Error : open Par file " + (dir / "none.par") + " failed!\n");
}

}  // namespace
