// Complete binds that succeed: every byte of the output is compared with an
// image laid down independently from the format's rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "support/image_model.h"

namespace morvik_test {
namespace {

struct InputFile {
    std::string name;
    uint32_t size;
};

// One image as the writer places it: an optional reserved range of `limit`
// pad bytes (pad < 0: the range is not written), then the file's bytes.
struct Placement {
    std::string file;
    uint32_t at;
    uint32_t limit = 0;
    int pad = -1;
};

struct EntryPlan {
    std::string file;
    uint32_t offset;
    std::string version;
    bool cksum;
};

struct HeaderPlan {
    uint32_t at;
    uint32_t pidOffset;
    std::vector<EntryPlan> entries;
};

struct LayoutCase {
    std::string name;
    std::vector<std::string> padArgs;  // the fill option on the command line
    uint8_t fill;
    std::string par;
    std::vector<InputFile> inputs;
    uint32_t size;  // of the output
    std::vector<Placement> placed;
    int64_t pidEnd;  // last byte of the PID block, -1 for none
    std::vector<uint32_t> records;
    std::vector<HeaderPlan> headers;
    std::vector<std::string> trace;  // lines that must appear in this order
    std::string err = "";            // standard error: the diagnostics, if any
};

// The layout of a typical board: a bootloader with a 64 KiB range, a kernel
// whose header sits where the bootloader's range ends, a root file system.
const char* const kTypicalPar =
    "$Size &800\n"
    "%pid.txt &7fff\n"
    ":boot.bin &0 -l 0x10000 -p 0xff\n"
    ":kernel.bin &10000 -k -c -v 1.00\n"
    ":rootfs.bin &100000 -f\n";

const std::vector<InputFile> kTypicalInputs{{"boot.bin", 0x3000}, {"kernel.bin", 0x2345}, {"rootfs.bin", 0x1001}};

LayoutCase TypicalCase(const std::string& name, std::vector<std::string> padArgs, uint8_t fill) {
    LayoutCase c{
        name,
        std::move(padArgs),
        fill,
        kTypicalPar,
        kTypicalInputs,
        // rootfs ends at 0x101001, its record sits at the next even byte.
        0x101012,
        {{"boot.bin", 0, 0x10000, 0xFF}, {"kernel.bin", 0x10100}, {"rootfs.bin", 0x100000}},
        0x7fff,
        {0x101002},
        {{0x10000, 0x101002, {{"kernel.bin", 0x10100, "1.00", true}, {"rootfs.bin", 0x100000, "", false}}}},
        {"PID_in_f for Group 0 is at 101002", "this_end 10000 , next_start 10000", "Target Size is overriden to 101012",
         "Pasre Par Info Done!", "LocateFile:boot.bin", "LocateFile:kernel.bin", "LocateFile:rootfs.bin",
         "FW PID for group 0 address is 101002.", "fw header offset 10000", "DONE!"}};
    return c;
}

// Two groups; kernel-b keeps a reserved range that its own group's rootfs
// starts right behind, and -c sits on a different entry in each group.
const char* const kTwoGroupPar =
    "$Size &40\n"
    "%pid.txt &7fff\n"
    ":boot.bin &0 -l 0x4000 -p 0xff\n"
    ":kernel.bin &4000 -k 0 -c -v 1.00\n"
    ":rootfs.bin &6000 -f 0 -v 1.00\n"
    ":kernel-b.bin &8000 -k 1 -l 0x2000 -p 0xff -v 1.01\n"
    ":rootfs-b.bin &a100 -f 1 -c -v 1.01\n";

LayoutCase TwoGroupCase(const std::string& name, std::vector<std::string> padArgs, uint8_t fill) {
    return {name,
            std::move(padArgs),
            fill,
            kTwoGroupPar,
            {{"boot.bin", 0x1800},
             {"kernel.bin", 0x1234},
             {"rootfs.bin", 0x999},
             {"kernel-b.bin", 0x1111},
             {"rootfs-b.bin", 0x800}},
            0xa910,
            {{"boot.bin", 0, 0x4000, 0xFF},
             {"kernel.bin", 0x4100},
             {"rootfs.bin", 0x6000},
             {"kernel-b.bin", 0x8100, 0x2000, 0xFF},
             {"rootfs-b.bin", 0xa100}},
            0x7fff,
            {0x699a, 0xa900},
            {{0x4000, 0x699a, {{"kernel.bin", 0x4100, "1.00", true}, {"rootfs.bin", 0x6000, "1.00", false}}},
             {0x8000, 0xa900, {{"kernel-b.bin", 0x8100, "1.01", false}, {"rootfs-b.bin", 0xa100, "1.01", true}}}},
            {"PID_in_f for Group 0 is at 699a", "PID_in_f for Group 1 is at a900", "this_end a100 , next_start a100",
             "Target Size is overriden to a910", "FW PID for group 0 address is 699a.",
             "FW PID for group 1 address is a900.", "FW Header for Group 0", "fw header offset 4000",
             "FW Header for Group 1", "fw header offset 8000", "DONE!"}};
}

// No image group: the size line gives the output size, and the PID line
// alone says whether a FW PID record is written.
const char* const kNoGroupBody =
    "$Size &40\n"
    ":boot.bin &0 -l 0x4000 -p 0x00\n"
    ":data.bin &8000\n";

LayoutCase NoGroupCase(const std::string& name, const std::string& pidLine, int64_t pidEnd,
                       std::vector<uint32_t> records, std::vector<std::string> trace) {
    return {name,
            {"-p", "0xff"},
            0xFF,
            pidLine + kNoGroupBody,
            {{"boot.bin", 0x1000}, {"data.bin", 0x2345}},
            0x10000,
            {{"boot.bin", 0, 0x4000, 0x00}, {"data.bin", 0x8000}},
            pidEnd,
            std::move(records),
            {},
            std::move(trace)};
}

std::vector<LayoutCase> LayoutCases() {
    // clang-format off
    std::vector<LayoutCase> cases{
        TypicalCase("typical, default fill", {}, 0x00),
        TypicalCase("typical, -p 0x00", {"-p", "0x00"}, 0x00),
        TypicalCase("typical, -p 0xff", {"-p", "0xff"}, 0xFF),
        TypicalCase("typical, --pad=0xFF", {"--pad=0xFF"}, 0xFF),
        TwoGroupCase("two groups, fill 0x00", {}, 0x00),
        TwoGroupCase("two groups, fill 0xff", {"-p", "0xff"}, 0xFF),
        NoGroupCase("no group, FW PID location given", "%pid.txt &1fff &c000\n", 0x1fff, {0xc000},
                    {"FW PID is at c000!", "DONE!"}),
        NoGroupCase("no group, no FW PID location", "%pid.txt &1fff\n", 0x1fff, {},
                    {"Warn : there would be no FW PID!", "DONE!"}),
        NoGroupCase("no group, no PID line", "", -1, {}, {"Warn : No PID would be bind!", "DONE!"}),
    };
    // clang-format on

    // The same typical PAR file with its lines shuffled and commented:
    // the order of the lines must not matter.
    LayoutCase shuffled = TypicalCase("typical, lines in another order", {}, 0x00);
    shuffled.par =
        "# a board\n"
        ":rootfs.bin &100000 -f   # root file system\n"
        "\n"
        ":kernel.bin &10000 -k -c -v 1.00\n"
        "%pid.txt &7fff\n"
        ":boot.bin &0 -l 0x10000 -p 0xff\n"
        "$Size &800\n";
    cases.push_back(shuffled);

    // An even-ending last image of a group whose range holds it and its
    // record exactly; the next image starts right behind the record.
    cases.push_back({"last group image, range = length + 16",
                     {},
                     0x00,
                     "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 0x10000 -p 0xff\n:kernel.bin &10000 -k\n"
                     ":rootfs.bin &12000 -f -l 0x810 -p 0xff\n:next.bin &12810\n",
                     {{"boot.bin", 0x3000}, {"kernel.bin", 0x1000}, {"rootfs.bin", 0x800}, {"next.bin", 0x400}},
                     0x12c10,
                     {{"boot.bin", 0, 0x10000, 0xFF},
                      {"kernel.bin", 0x10100},
                      {"rootfs.bin", 0x12000, 0x810, 0xFF},
                      {"next.bin", 0x12810}},
                     0x7fff,
                     {0x12800},
                     {{0x10000, 0x12800, {{"kernel.bin", 0x10100, "", false}, {"rootfs.bin", 0x12000, "", false}}}},
                     {"this_end 12810 , next_start 12810", "Target Size is overriden to 12c10", "DONE!"}});

    // The lowest boot PID location that leaves room: the block covers
    // bytes 0 to 0x45 of the bootloader.
    cases.push_back({"PID block at the very start",
                     {},
                     0x00,
                     "$Size &10\n%pid.txt &45\n:boot.bin &0\n",
                     {{"boot.bin", 0x800}},
                     0x4000,
                     {{"boot.bin", 0}},
                     0x45,
                     {},
                     {},
                     {"Warn : there would be no FW PID!", "DONE!"},
                     "bind.par:2: note: PID block 0x0..0x45 lies over bytes of boot.bin (line 3, 0x0..0x7ff), which "
                     "it replaces\n"});
    return cases;
}

std::map<std::string, Bytes> WriteInputs(const BindFolder& folder, const LayoutCase& c) {
    std::map<std::string, Bytes> files;
    uint32_t seed = 1;
    for (const InputFile& input : c.inputs) {
        files[input.name] = PatternBytes(input.size, seed++);
        folder.Write(input.name, files[input.name]);
    }
    folder.Write("pid.txt", PidFileText());
    folder.Write("bind.par", c.par);
    return files;
}

// Lays the output down in the order the bind writes it.
Bytes ExpectedImage(const LayoutCase& c, const std::map<std::string, Bytes>& files) {
    Bytes out(c.size, c.fill);
    for (const Placement& p : c.placed) {
        if (p.pad >= 0) Fill(out, p.at, p.limit, static_cast<uint8_t>(p.pad));
        Put(out, p.at, files.at(p.file));
    }
    if (c.pidEnd >= 0) Put(out, static_cast<uint32_t>(c.pidEnd) - (kPidBlockSize - 1), PidBlock());
    for (uint32_t at : c.records) Put(out, at, FwPidRecord());
    for (const HeaderPlan& h : c.headers) {
        std::vector<HeaderEntry> entries;
        for (const EntryPlan& e : h.entries) entries.push_back({e.offset, files.at(e.file), e.version, e.cksum});
        Put(out, h.at, SealedHeader(c.fill, h.pidOffset, entries));
    }
    return out;
}

void ExpectHeadersVerify(const Bytes& out, const LayoutCase& c) {
    for (const HeaderPlan& h : c.headers) {
        SCOPED_TRACE("header at 0x" + Hex(h.at));
        Bytes header = Slice(out, h.at, kHeaderSize);
        ASSERT_EQ(header.size(), kHeaderSize);
        EXPECT_EQ(Slice(header, 0, 4), (Bytes{'T', 'a', 'v', 0x00}));
        EXPECT_EQ(Le32(header, 8), VerifierChecksum(header, c.fill));
        EXPECT_EQ(header[14], c.fill);
        EXPECT_EQ(header[15], c.fill);
        // The kernel entry points right behind the header itself.
        EXPECT_EQ(Le32(header, 16), h.at + kHeaderSize);
    }
}

TEST(E2eBind, LayoutsMatchTheFormatByteForByte) {
    for (const LayoutCase& c : LayoutCases()) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        std::map<std::string, Bytes> files = WriteInputs(folder, c);

        RunResult run = folder.Bind(c.padArgs);
        ASSERT_EQ(run.status, 0) << run.out;
        // A stray far write would make a huge sparse file: check before reading.
        ASSERT_EQ(std::filesystem::file_size(folder / "out.bin"), c.size);
        Bytes out = folder.Read("out.bin");
        EXPECT_EQ(FirstDifference(out, ExpectedImage(c, files)), "");
        ExpectHeadersVerify(out, c);
        EXPECT_EQ(MissingInOrder(run.out, c.trace), "") << run.out;
        EXPECT_EQ(Lines(run.out).back(), "DONE!");
        size_t recordLines = 0;
        for (const std::string& line : Lines(run.out)) recordLines += line == FwPidRecordLine();
        EXPECT_EQ(recordLines, c.records.size());
        EXPECT_EQ(run.err, c.err);
    }
}

// Everything the typical bind prints from its PID step to its end.
std::string TypicalTraceTail(uint8_t fill, const std::map<std::string, Bytes>& files, const Bytes& header) {
    const Bytes& kernel = files.at("kernel.bin");
    const Bytes& rootfs = files.at("rootfs.bin");
    return "FW PID for group 0 address is 101002.\n" + FwPidRecordLine() +
           "\n"
           "\n"
           "FW Header for Group 0\n"
           "\tImage Number of this Group: 2\n"
           "\tchecksum option bitmap " +
           Hex(fill == 0xFF ? 0xFF : 0x01) +
           "\n"
           "\tpid offset for this group: 101002\n"
           "\tmagic Tav\n"
           "\tchecksum of header " +
           Hex(Le32(header, 8)) +
           "\n"
           "\tImage[0]: offset 10100, length 2345, checksum " +
           Hex(Crc32(kernel)) +
           ", version 1.00\n"
           "\tImage[1]: offset 100000, length 1001, checksum " +
           Hex(Crc32(rootfs)) +
           ", version \n"
           "fw header offset 10000\n"
           "DONE!\n";
}

TEST(E2eBind, TypicalRunPrintsItsPidAndHeaderSectionsExactly) {
    for (const LayoutCase& c : {TypicalCase("fill 0x00", {}, 0x00), TypicalCase("fill 0xff", {"-p", "0xff"}, 0xFF)}) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        std::map<std::string, Bytes> files = WriteInputs(folder, c);
        RunResult run = folder.Bind(c.padArgs);
        ASSERT_EQ(run.status, 0) << run.out;

        Bytes expected = ExpectedImage(c, files);
        size_t tail = run.out.find("FW PID for group 0 address is");
        ASSERT_NE(tail, std::string::npos) << run.out;
        EXPECT_EQ(run.out.substr(tail), TypicalTraceTail(c.fill, files, Slice(expected, 0x10000, kHeaderSize)));
    }
}

// A stale output, larger than the new one and not writable, is replaced:
// the result has exactly the new size and the bind's permission bits.
TEST(E2eBind, StaleLargerOutputIsReplacedWithExactSizeAndMode0664) {
    LayoutCase c = TypicalCase("typical", {}, 0x00);
    BindFolder folder;
    std::map<std::string, Bytes> files = WriteInputs(folder, c);
    folder.Write("out.bin", Bytes(0x300000, 0xAB));
    ASSERT_EQ(::chmod((folder / "out.bin").c_str(), 0400), 0);

    RunResult run = folder.Bind();
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(FirstDifference(folder.Read("out.bin"), ExpectedImage(c, files)), "");
    struct stat st {};
    ASSERT_EQ(::stat((folder / "out.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

}  // namespace
}  // namespace morvik_test
