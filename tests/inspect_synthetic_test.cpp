// Morvik-inspect on images that the test lays down byte by byte, so that
// every position is known: clean layouts, one damaged byte at a time,
// "Tav" in image data, truncation, and the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/image_model.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

// Group 0: header 0x1000, kernel 0x1100 (odd length), firmware image 0x3000
// ending at 0x37ff, so its FW PID record sits at the even 0x3800. A 2 KiB
// bootloader at 0 holds the PID block (0x7ba to 0x7ff).
Bytes OneGroup(uint8_t fill) {
    Group g{0x1000, {{0x1100, PatternBytes(0x1001, 1), "1.00", true}, {0x3000, PatternBytes(0x7ff, 2), "1.01", false}}};
    Bytes image = BuildImage(0x3810, fill, 0x7ff, {g});
    Bytes boot = PatternBytes(0x7ba, 3);
    Put(image, 0, boot);
    return image;
}

Bytes TwoGroups(uint8_t fill) {
    Group a{0x1000, {{0x1100, PatternBytes(0x700, 4), "A.00", true}, {0x2000, PatternBytes(0x300, 5), "A.01", true}}};
    Group b{0x3000, {{0x3100, PatternBytes(0x500, 6), "B.00", false}}};
    Bytes image = BuildImage(0x3610, fill, 0x7ff, {a, b});
    Put(image, 0, PatternBytes(0x7ba, 7));
    return image;
}

// No groups: a bootloader with the PID block, other data, fill 0xff.
Bytes NoGroups() {
    Bytes image = BuildImage(0x4000, 0xFF, 0x7ff, {});
    Put(image, 0, PatternBytes(0x7ba, 8));
    Put(image, 0x2000, PatternBytes(0x400, 9));
    return image;
}

// A sealed header with imageNumber 0 and pidOffset 0: a group that the bind
// gave no images and therefore no FW PID record.
Bytes EmptyGroupHeader() {
    Bytes image = NoGroups();
    Put(image, 0x1000, SealedHeader(0xFF, 0, {}));
    return image;
}

std::vector<std::string> RegionKinds(const Json& doc) {
    std::vector<std::string> kinds;
    for (const Json& r : doc["regions"].items) kinds.push_back(r["kind"].text);
    return kinds;
}

Json InspectJson(const TempDir& dir, const Bytes& image, int* status) {
    RunResult run = InspectBytes(dir, image, {"--json"});
    *status = run.status;
    bool ok = false;
    ExpectMatchesSchema("morvik-inspect", run.out);
    Json doc = ParseJson(run.out, &ok);
    EXPECT_TRUE(ok) << run.out;
    return doc;
}

TEST(InspectSynthetic, CleanImagesVerifyAndMapEveryRegion) {
    const std::vector<std::string> one = {"data", "pid-block", "fill", "header",       "image",
                                          "fill", "image",     "fill", "fw-pid-record"};
    // clang-format off
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> kinds;
        size_t headers;
    } cases[] = {
        {"one group, fill 00", OneGroup(0x00), one, 1},
        {"one group, fill ff", OneGroup(0xFF), one, 1},
        {"two groups", TwoGroups(0x00),
         {"data", "pid-block", "fill", "header", "image", "fill", "image", "fw-pid-record", "fill", "header",
          "image", "fw-pid-record"},
         2},
        {"no groups", NoGroups(), {"data", "pid-block", "fill", "data", "fill"}, 0},
        {"a header that lists no images", EmptyGroupHeader(),
         {"data", "pid-block", "fill", "header", "fill", "data", "fill"}, 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        int status = -1;
        Json doc = InspectJson(dir, c.image, &status);
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_TRUE(doc["ok"].flag) << c.name;
        EXPECT_EQ(RegionKinds(doc), c.kinds) << c.name;
        EXPECT_EQ(doc["headers"].items.size(), c.headers) << c.name;
        EXPECT_EQ(doc["pidBlock"]["bootPidLocation"].number, 0x7ff) << c.name;
    }
}

// The lines of the report's failure list.
std::vector<std::string> FailureLines(const std::string& out) {
    std::vector<std::string> lines = Lines(out), failures;
    auto at = std::find(lines.begin(), lines.end(), "Failures");
    for (++at; at < lines.end() && !at->empty(); ++at) failures.push_back(at->substr(2));
    return failures;
}

// The values a failure line quotes, worked out from the damaged image with
// the model, never read from the tool: {hdr} the header's stored and
// recomputed checksums, {crc0} and {crc1} an entry's stored and actual CRC,
// {fill} the fill byte and {b15} header byte 15.
std::string Expand(std::string line, const Bytes& image, uint8_t fill) {
    char text[96];
    auto replace = [&](const std::string& mark) {
        for (size_t at; (at = line.find(mark)) != std::string::npos;) line.replace(at, mark.size(), text);
    };
    std::snprintf(text, sizeof text, "headerChecksum 0x%08x, computed 0x%08x (fill 0x%02x)", Le32(image, 0x1008),
                  VerifierChecksum(Slice(image, 0x1000, 256), fill), fill);
    replace("{hdr}");
    std::snprintf(text, sizeof text, "CRC-32 expected 0x%08x, actual 0x%08x", Le32(image, 0x1018),
                  Crc32(Slice(image, 0x1100, 0x1001)));
    replace("{crc0}");
    std::snprintf(text, sizeof text, "CRC-32 expected 0x%08x, actual 0x%08x", Le32(image, 0x1030),
                  Crc32(Slice(image, 0x3000, 0x7ff)));
    replace("{crc1}");
    std::snprintf(text, sizeof text, "0x%02x", fill);
    replace("{fill}");
    std::snprintf(text, sizeof text, "0x%02x", image[0x100f]);
    replace("{b15}");
    return line;
}

TEST(InspectSynthetic, EachDamagedByteIsCaughtAndNamed) {
    const std::string hdr = "header at 0x00001000", rec = "FW PID record at 0x00003800 (header at 0x00001000)";
    const std::string pid = "PID block at 0x000007ba";
    // clang-format off
    struct Case {
        const char* what;
        size_t at;
        std::vector<std::string> lines;
        std::vector<std::string> underFF = {};  // more lines under the 0xFF fill
    } cases[] = {
        {"kernel image byte", 0x1105, {hdr + ": entry 0 (offset 0x00001100, length 0x00001001): {crc0}"}},
        {"last byte of the firmware image", 0x37fe,
         {hdr + ": entry 1 (offset 0x00003000, length 0x000007ff): {crc1}"}},
        {"magic", 0x1001, {hdr + ": magic is 54 60 76 00, not \"Tav\" and NUL"}},
        {"pidOffset", 0x1004,
         {hdr + " does not verify: {hdr}",
          "FW PID record at 0x00003801 (header at 0x00001000): runs past the end of the file"}},
        {"headerChecksum", 0x100a, {hdr + " does not verify: {hdr}"}},
        {"imageNumber", 0x100c, {hdr + " does not verify: {hdr}"},
         {hdr + ": entry 2 (offset 0xffffffff, length 0xffffffff) runs past the end of the file (size 0x00003810)"}},
        {"checksumBitmap", 0x100d, {hdr + " does not verify: {hdr}"}},
        {"reserved byte 15", 0x100f,
         {hdr + " does not verify: {hdr}", hdr + ": bytes 14 and 15 are {fill} {b15}, not the fill byte {fill}"}},
        {"entry version", 0x101c, {hdr + " does not verify: {hdr}"}},
        {"unused entry slot", 0x10f0, {hdr + " does not verify: {hdr}"}},
        {"FW PID word", 0x3801, {rec + ": PID words 3636 3a3b 4243, the PID block at 0x000007ba has 3637 3a3b 4243"}},
        {"FW PID constant", 0x3806, {rec + ": bytes 6-7 are 91 f7, expected 90 f7"}},
        {"FW PID tag", 0x380a, {rec + ": tag is 61 56 73 49 63 4b, expected \"aVrIcK\" (61 56 72 49 63 4b)"}},
        {"FW PID tail", 0x380f, {rec + ": bytes 14-15 are 00 01, expected 00 00"}},
        {"PID block opening magic", 0x7ba, {pid + ": opening magic is 75 41 76 52 69 43 6b, expected \"tAvRiCk\""}},
        {"PID block closing magic", 0x7fe, {pid + ": closing magic is 74 41 76 52 69 42 6b, expected \"tAvRiCk\""}},
        {"PID byte the FW PID words come from", 0x7ba + 57,
         {rec + ": PID words 3637 3a3b 4243, the PID block at 0x000007ba has 3637 3a3b 4343"}},
    };
    // clang-format on
    for (uint8_t fill : {0x00, 0xFF}) {
        for (const Case& c : cases) {
            Bytes image = OneGroup(fill);
            image[c.at] ^= 0x01;
            std::vector<std::string> expected;
            for (const std::string& line : c.lines) expected.push_back(Expand(line, image, fill));
            if (fill == 0xFF) expected.insert(expected.end(), c.underFF.begin(), c.underFF.end());
            TempDir dir;
            RunResult run = InspectBytes(dir, image);
            EXPECT_EQ(run.status, 1) << c.what << " fill " << int(fill);
            EXPECT_EQ(FailureLines(run.out), expected) << c.what << " fill " << int(fill) << "\n" << run.out;
            EXPECT_NE(run.out.find("Summary: FAILED"), std::string::npos) << c.what;
        }
    }
}

TEST(InspectSynthetic, CrcFailureShowsExpectedAndActualValues) {
    Bytes image = OneGroup(0x00);
    uint32_t expected = Crc32(image.data() + 0x3000, 0x7ff);
    image[0x3400] ^= 0x80;
    uint32_t actual = Crc32(image.data() + 0x3000, 0x7ff);
    TempDir dir;
    RunResult run = InspectBytes(dir, image);
    char line[200];
    std::snprintf(line, sizeof line,
                  "header at 0x00001000: entry 1 (offset 0x00003000, length 0x000007ff): CRC-32 expected 0x%08x, "
                  "actual 0x%08x\n",
                  expected, actual);
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Summary: FAILED, 1 failure"), std::string::npos) << run.out;
}

TEST(InspectSynthetic, MarkersInImageDataAreNoFalseAlarm) {
    Bytes zeros(60, 0x00), ones(60, 0xFF);
    // clang-format off
    struct Case {
        const char* what;
        size_t at;  // inside the bootloader (0x100) or the firmware image (0x3100)
        Bytes bytes;
    } cases[] = {
        {"Tav+NUL then zeros", 0x100, zeros},
        {"Tav+NUL then 0xff", 0x100, ones},
        {"Tav+NUL then random data", 0x100, PatternBytes(60, 11)},
        {"Tav+NUL inside a group image", 0x3100, PatternBytes(60, 12)},
        {"a lone tAvRiCk", 0x200, Text("tAvRiCk")},
        {"a lone aVrIcK", 0x300, Text("aVrIcK")},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes data = c.bytes;
        if (c.what[0] == 'T') std::memcpy(data.data(), "Tav", 4);
        // Change the image file itself, so the header carries its CRC.
        Group g{0x1000,
                {{0x1100, PatternBytes(0x1001, 1), "1.00", true}, {0x3000, PatternBytes(0x7ff, 2), "1.01", false}}};
        if (c.at >= 0x3000) std::memcpy(g.entries[1].data.data() + (c.at - 0x3000), data.data(), data.size());
        Bytes image = BuildImage(0x3810, 0x00, 0x7ff, {g});
        Put(image, 0, PatternBytes(0x7ba, 3));
        if (c.at < 0x3000) Put(image, c.at, data);
        TempDir dir;
        RunResult run = InspectBytes(dir, image, {});
        EXPECT_EQ(run.status, 0) << c.what << "\n" << run.out;
        EXPECT_NE(run.out.find("Summary: OK"), std::string::npos) << c.what;
    }
}

TEST(InspectSynthetic, TruncatedFilesFail) {
    const std::string record = "FW PID record at 0x00003800 (header at 0x00001000): runs past the end of the file";
    // clang-format off
    struct Case {
        size_t size;
        std::vector<std::string> lines;
    } cases[] = {
        {0x3808, {record}},
        {0x3100,
         {"header at 0x00001000: entry 1 (offset 0x00003000, length 0x000007ff) runs past the end of the file "
          "(size 0x00003100)",
          record}},
        {0x1080, {"header at 0x00001000: cut off by the end of the file (128 of 256 bytes)"}},
        {0x7d0, {"PID block at 0x000007ba: cut off by the end of the file"}},
        {0, {"the file is empty"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes image = OneGroup(0xFF);
        image.resize(c.size);
        TempDir dir;
        RunResult run = InspectBytes(dir, image);
        EXPECT_EQ(run.status, 1) << c.size;
        EXPECT_EQ(FailureLines(run.out), c.lines) << c.size << "\n" << run.out;
        // A file cut short holds nothing behind the image.
        EXPECT_EQ(run.out.find("follow the image's end"), std::string::npos) << c.size << "\n" << run.out;
    }
}

TEST(InspectSynthetic, RecordWithoutGroupsIsCheckedAgainstThePidBlock) {
    Bytes image = NoGroups();
    Put(image, 0x3000, FwPidRecord());
    TempDir dir;
    EXPECT_EQ(InspectBytes(dir, image).status, 0);
    image[0x3002] ^= 0x40;  // second PID word
    RunResult run = InspectBytes(dir, image);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("FW PID record at 0x00003000: PID words 3637 7a3b 4243, the PID block at 0x000007ba has "
                           "3637 3a3b 4243"),
              std::string::npos)
        << run.out;
}

TEST(InspectSynthetic, RepeatedMarkersAreBoundedAndFail) {
    Bytes header = SealedHeader(0x00, 0x100, {{0x100, PatternBytes(16, 1), "1.00", true}});
    // clang-format off
    struct Case {
        Bytes unit;
        const char* named;
    } cases[] = {
        {Text("tAvRiCk"), "more than 64 PID blocks found"},
        {header, "more than 64 firmware headers found"},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes image;
        for (int i = 0; i < 200; ++i) image.insert(image.end(), c.unit.begin(), c.unit.end());
        TempDir dir;
        RunResult run = InspectBytes(dir, image);
        EXPECT_EQ(run.status, 1) << c.named;
        EXPECT_NE(run.out.find(c.named), std::string::npos) << run.out.substr(run.out.size() - 300);
    }
}

TEST(InspectSynthetic, CommandLine) {
    TempDir dir;
    const std::string image = dir / "image.bin", prog = MORVIK_INSPECT_BIN;
    WriteFile(image, OneGroup(0x00));
    const std::string titled = dir / "x\x1b]0;t\x07\xff.bin";
    WriteFile(titled, OneGroup(0x00));
    const std::string kDiffWritesNothing =
        "Error : --diff compares two images as they are: leave out --checksums, --against, --fill, --extract, --svg, "
        "--ihex, "
        "--motorola and --base\n";
    // clang-format off
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string firstLine;  // of standard output, whole ("" when it is empty)
        std::string err;        // all of standard error: every error goes there
    } cases[] = {
        {{}, 2, "Usage : Morvik-inspect [OPTION]... IMAGE",
         "Error : no image file given\n"},
        {{image, image}, 2, "Usage : Morvik-inspect [OPTION]... IMAGE",
         "Error : give exactly one image file\n"},
        {{"--json"}, 2, "", "Error : no image file given\n"},
        {{dir / "missing.bin"}, 2, "",
         "Error : cannot open image " + dir / "missing.bin" + ": No such file or directory\n"},
        {{"--json", dir / "missing.bin"}, 2, "",
         "Error : cannot open image " + dir / "missing.bin" + ": No such file or directory\n"},
        {{"--checksums", dir / "missing.bin"}, 2, "",
         "Error : cannot open image " + dir / "missing.bin" + ": No such file or directory\n"},
        {{dir.path}, 2, "", "Error : " + dir.path + " is not a regular file\n"},
        {{"--bogus", image}, 2, "",
         prog + ": unrecognized option `--bogus'\nPlease type 'Morvik-inspect -h' for help!\n"},
        {{"-z", image}, 2, "", prog + ": invalid option -- z\nPlease type 'Morvik-inspect -h' for help!\n"},
        {{"--help"}, 0, "Usage : Morvik-inspect [OPTION]... IMAGE", ""},
        {{"--svg", dir / "no/such/map.svg", image}, 2, "",
         "Error : cannot write the picture " + dir / "no/such/map.svg" + ": No such file or directory\n"},
        {{titled}, 0, "Image " + dir.path + "/x\\x1b]0;t\\x07\\xff.bin: 14352 bytes (0x00003810), fill byte 0x00", ""},
        {{dir / "gone\x1b\xc2\x9b.bin"}, 2, "",
         "Error : cannot open image " + dir.path + "/gone\\x1b\\xc2\\x9b.bin: No such file or directory\n"},
        {{"--svg", dir / "no/\x1b.svg", image}, 2, "",
         "Error : cannot write the picture " + dir.path + "/no/\\x1b.svg: No such file or directory\n"},
        {{"--extract", image + "/\x9b", image}, 2, "",
         "Error : cannot use " + image + "/\\x9b as the folder for the parts: Not a directory\n"},
        {{"--\x1b", image}, 2, "",
         prog + ": unrecognized option `--\\x1b'\nPlease type 'Morvik-inspect -h' for help!\n"},
        {{image, "--qu"}, 0,
         "Summary: OK, everything verifies: 1 header, 2 group images, 1 PID block, 1 FW PID record", ""},
        {{"-q", image}, 0,
         "Summary: OK, everything verifies: 1 header, 2 group images, 1 PID block, 1 FW PID record", ""},
        {{"--diff", image, image}, 0,
         "old: " + image + ": Summary: OK, everything verifies: 1 header, 2 group images, 1 PID block, 1 FW PID record",
         ""},
        {{"--diff", image}, 2, "", "Error : --diff needs two image files, the old one and the new one\n"},
        {{"--diff", image, image, image}, 2, "", "Error : --diff needs two image files, the old one and the new one\n"},
        {{"--diff", "--svg", dir / "map.svg", image, image}, 2, "",
         kDiffWritesNothing},
        {{"--diff", "--extract", dir / "parts", image, image}, 2, "",
         kDiffWritesNothing},
        {{"--diff", "--ihex", dir / "f.hex", image, image}, 2, "", kDiffWritesNothing},
        {{"--diff", "--base", "0x8000000", image, image}, 2, "", kDiffWritesNothing},
        {{"--diff", "--against", dir / "board.PAR", image, image}, 2, "", kDiffWritesNothing},
        {{"--diff", "--checksums", image, image}, 2, "", kDiffWritesNothing},
        {{"--diff", "--json", image, dir / "missing.bin"}, 2, "",
         "Error : cannot open image " + dir / "missing.bin" + ": No such file or directory\n"},
        {{"--diff", dir.path, image}, 2, "", "Error : " + dir.path + " is not a regular file\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        RunResult run = RunInspect(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.status, c.status) << shown;
        std::vector<std::string> lines = Lines(run.out);
        EXPECT_EQ(lines.empty() ? "" : lines.front(), c.firstLine) << shown << "\n" << run.out;
        EXPECT_EQ(run.err, c.err) << shown;
    }
    // --quiet prints nothing but the summary when all is well.
    EXPECT_EQ(Lines(RunInspect({"--quiet", image}).out).size(), 1u);
}

}  // namespace
}  // namespace morvik_test
