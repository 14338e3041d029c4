// Morvik-inspect on images that the test lays down byte by byte, so that
// every position is known: clean layouts, one damaged byte at a time,
// "Tav" in image data, truncation, and the command line.
#include <gtest/gtest.h>

#include "inspect_fixture.h"

namespace inspect_test {
namespace {

using morvik_test::PatternBytes;
using morvik_test::TempDir;

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
    Json doc = ParseJson(run.out, &ok);
    EXPECT_TRUE(ok) << run.out;
    return doc;
}

TEST(InspectSynthetic, CleanImagesVerifyAndMapEveryRegion) {
    const std::vector<std::string> one = {"data", "pid-block", "fill", "header", "image", "fill",
                                          "image", "fill", "fw-pid-record"};
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

TEST(InspectSynthetic, EachDamagedByteIsCaughtAndNamed) {
    struct Case {
        const char* what;
        size_t at;
        const char* named;
    } cases[] = {
        {"kernel image byte", 0x1105, "header at 0x00001000: entry 0 (offset 0x00001100, length 0x00001001): CRC-32"},
        {"last byte of the firmware image", 0x37fe, "entry 1 (offset 0x00003000, length 0x000007ff): CRC-32"},
        {"magic", 0x1001, "header at 0x00001000: magic is 54 60 76 00"},
        {"pidOffset", 0x1004, "header at 0x00001000 does not verify"},
        {"headerChecksum", 0x100a, "header at 0x00001000 does not verify"},
        {"imageNumber", 0x100c, "header at 0x00001000 does not verify"},
        {"checksumBitmap", 0x100d, "header at 0x00001000 does not verify"},
        {"reserved byte 15", 0x100f, "header at 0x00001000: bytes 14 and 15"},
        {"entry version", 0x101c, "header at 0x00001000 does not verify"},
        {"unused entry slot", 0x10f0, "header at 0x00001000 does not verify"},
        {"FW PID word", 0x3801, "FW PID record at 0x00003800 (header at 0x00001000): PID words"},
        {"FW PID constant", 0x3806, "bytes 6-7 are"},
        {"FW PID tag", 0x380a, "tag is"},
        {"FW PID tail", 0x380f, "bytes 14-15 are"},
        {"PID block opening magic", 0x7ba, "PID block at 0x000007ba: opening magic"},
        {"PID block closing magic", 0x7fe, "PID block at 0x000007ba: closing magic"},
        {"PID byte the FW PID words come from", 0x7ba + 57, "PID words"},
    };
    for (uint8_t fill : {0x00, 0xFF}) {
        for (const Case& c : cases) {
            Bytes image = OneGroup(fill);
            image[c.at] ^= 0x01;
            TempDir dir;
            RunResult run = InspectBytes(dir, image);
            EXPECT_EQ(run.status, 1) << c.what << " fill " << int(fill);
            EXPECT_NE(run.out.find(c.named), std::string::npos) << c.what << "\n" << run.out;
            EXPECT_NE(run.out.find("Summary: FAILED"), std::string::npos) << c.what;
        }
    }
}

TEST(InspectSynthetic, CrcFailureShowsExpectedAndActualValues) {
    Bytes image = OneGroup(0x00);
    uint32_t expected = Crc(image.data() + 0x3000, 0x7ff);
    image[0x3400] ^= 0x80;
    uint32_t actual = Crc(image.data() + 0x3000, 0x7ff);
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
    for (const Case& c : cases) {
        Bytes data = c.bytes;
        if (c.what[0] == 'T') std::memcpy(data.data(), "Tav", 4);
        // Change the image file itself, so the header carries its CRC.
        Group g{0x1000, {{0x1100, PatternBytes(0x1001, 1), "1.00", true}, {0x3000, PatternBytes(0x7ff, 2), "1.01", false}}};
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
    struct Case {
        size_t size;
        const char* named;
    } cases[] = {
        {0x3808, "FW PID record at 0x00003800 (header at 0x00001000): runs past the end of the file"},
        {0x3100, "entry 1 (offset 0x00003000, length 0x000007ff) runs past the end of the file (size 0x00003100)"},
        {0x1080, "header at 0x00001000: cut off by the end of the file (128 of 256 bytes)"},
        {0x7d0, "PID block at 0x000007ba: cut off by the end of the file"},
        {0, "the file is empty"},
    };
    for (const Case& c : cases) {
        Bytes image = OneGroup(0xFF);
        image.resize(c.size);
        TempDir dir;
        RunResult run = InspectBytes(dir, image);
        EXPECT_EQ(run.status, 1) << c.size;
        EXPECT_NE(run.out.find(c.named), std::string::npos) << c.size << "\n" << run.out;
    }
}

TEST(InspectSynthetic, RecordWithoutGroupsIsCheckedAgainstThePidBlock) {
    Bytes image = NoGroups();
    Put(image, 0x3000, FwPidRecord(PidBlock()));
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
    struct Case {
        Bytes unit;
        const char* named;
    } cases[] = {
        {Text("tAvRiCk"), "more than 64 PID blocks found"},
        {header, "more than 64 firmware headers found"},
    };
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
    std::string image = dir / "image.bin";
    morvik_test::WriteFile(image, OneGroup(0x00));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        {{}, 2, "Error : no image file given", ""},
        {{image, image}, 2, "Error : give exactly one image file", ""},
        {{dir / "missing.bin"}, 2, "Error : cannot open image", ""},
        {{dir.path}, 2, "is not a regular file", ""},
        {{"--bogus", image}, 2, "Please type 'Morvik-inspect -h' for help!", "unrecognized option `--bogus'"},
        {{"-x", image}, 2, "Please type 'Morvik-inspect -h' for help!", "invalid option -- x"},
        {{"--help"}, 0, "Usage : Morvik-inspect [--json] [--quiet] IMAGE", ""},
        {{image, "--qu"}, 0, "Summary: OK", ""},
        {{"-q", image}, 0, "Summary: OK", ""},
    };
    for (const Case& c : cases) {
        RunResult run = RunInspect(c.args);
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.status, c.status) << shown;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << shown << "\n" << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << shown << "\n" << run.err;
    }
    // --quiet prints nothing but the summary when all is well.
    EXPECT_EQ(RunInspect({"--quiet", image}).out.find('\n'), RunInspect({"--quiet", image}).out.size() - 1);
}

}  // namespace
}  // namespace inspect_test
