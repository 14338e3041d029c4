// Morvik-inspect --ihex, --motorola and --base: the bundled examples, bound
// with either fill, come back byte for byte through srec_cat and objcopy
// and through a parser here that holds each record to its format; exactly
// the long 0xFF runs outside the headers, PID blocks, FW PID records and
// group images are left out; what cannot be written writes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "inspect/flash/flash_file.h"
#include "support/image_model.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

uint64_t HexValue(const std::string& line, size_t at, size_t digits) {
    return std::stoull(line.substr(at, digits), nullptr, 16);
}

// The bytes of a record line after its start code, or false when they are
// not pairs of upper-case hex digits.
bool RecordBytes(const std::string& line, size_t from, Bytes* bytes) {
    if ((line.size() - from) % 2 != 0 || line.find_first_not_of("0123456789ABCDEF", from) != std::string::npos)
        return false;
    for (size_t i = from; i < line.size(); i += 2) bytes->push_back(static_cast<uint8_t>(HexValue(line, i, 2)));
    return true;
}

// What a flash file says: the image it programs (0xFF where it writes
// nothing) and which bytes it writes.
struct Programmed {
    Bytes image;
    std::vector<bool> written;
    std::string problem;  // the first broken rule, "" when there is none
};

// Puts one data record into `p`, holding it to the rules both formats share.
void PutData(Programmed* p, uint64_t address, uint64_t base, const uint8_t* data, size_t length) {
    if (length == 0 || length > 32) p->problem = "a data record of " + std::to_string(length) + " bytes";
    if (address >> 16 != (address + length - 1) >> 16) p->problem = "a record crosses 64 KiB at " + Hex(address);
    for (size_t i = 0; i < length && p->problem.empty(); ++i) {
        uint64_t at = address + i - base;
        if (address + i < base || at >= p->image.size()) p->problem = "a byte outside the image at " + Hex(address + i);
        if (p->problem.empty() && p->written[at]) p->problem = "a byte written twice at " + Hex(address + i);
        if (!p->problem.empty()) return;
        p->image[at] = data[i];
        p->written[at] = true;
    }
}

Programmed ReadIntelHex(const std::string& text, uint64_t base, size_t size) {
    Programmed p{Bytes(size, 0xFF), std::vector<bool>(size, false), ""};
    int64_t upper = -1;
    bool ended = false;
    for (const std::string& line : Lines(text)) {
        Bytes b;
        if (ended || line.empty() || line[0] != ':' || !RecordBytes(line, 1, &b) || b.size() < 5 ||
            b[0] + 5u != b.size()) {
            p.problem = "not an Intel HEX record, or one after the end: " + line;
            return p;
        }
        uint8_t sum = 0;
        for (uint8_t byte : b) sum = static_cast<uint8_t>(sum + byte);
        uint32_t address = b[1] << 8 | b[2];
        if (sum != 0) p.problem = "bad checksum: " + line;
        if (b[3] == 0x04 && (b[0] != 2 || address != 0 || (b[4] << 8 | b[5]) == upper)) p.problem = "odd 04: " + line;
        if (b[3] == 0x04) upper = b[4] << 8 | b[5];
        if (b[3] == 0x00 && upper < 0) p.problem = "data before the first 04 record: " + line;
        if (b[3] == 0x00 && p.problem.empty()) PutData(&p, uint64_t(upper) << 16 | address, base, &b[4], b[0]);
        if (b[3] == 0x01) ended = line == ":00000001FF";
        if (b[3] != 0x00 && b[3] != 0x01 && b[3] != 0x04) p.problem = "unexpected record type: " + line;
        if (!p.problem.empty()) return p;
    }
    if (!ended) p.problem = "no end record";
    return p;
}

Programmed ReadSRecords(const std::string& text, uint64_t base, size_t size, const std::string& header) {
    Programmed p{Bytes(size, 0xFF), std::vector<bool>(size, false), ""};
    std::vector<std::string> lines = Lines(text);
    uint64_t records = 0;
    for (size_t n = 0; n < lines.size() && p.problem.empty(); ++n) {
        const std::string& line = lines[n];
        Bytes b;
        if (line.size() < 4 || line[0] != 'S' || !RecordBytes(line, 2, &b) || b[0] + 1u != b.size()) {
            p.problem = "not an S-record: " + line;
            return p;
        }
        uint8_t sum = 0;
        for (uint8_t byte : b) sum = static_cast<uint8_t>(sum + byte);
        if (sum != 0xFF) p.problem = "bad checksum: " + line;
        char type = line[1];
        bool first = n == 0, last = n + 1 == lines.size();
        if ((type == '0') != first || (type == '7') != last) p.problem = "S0 not first or S7 not last: " + line;
        if (type == '0' && std::string(b.begin() + 3, b.end() - 1) != header) p.problem = "S0 header: " + line;
        if (type == '3') PutData(&p, HexValue(line, 4, 8), base, &b[5], b.size() - 6);
        records += type == '3';
        if (type == '5' && (b.size() != 4 || HexValue(line, 4, 4) != records)) p.problem = "S5 count: " + line;
        if (type == '7' && (b.size() != 6 || HexValue(line, 4, 8) != base)) p.problem = "S7 not the base: " + line;
        if (std::string("0357").find(type) == std::string::npos) p.problem = "unexpected record type: " + line;
    }
    return p;
}

// The bytes a flash file must leave out: the runs of at least 16 bytes of
// 0xFF outside the ranges the report lists.
std::vector<bool> LeftOutBytes(const Bytes& image, const Json& report) {
    std::vector<bool> kept(image.size(), false);
    auto keep = [&](double start, double length) {
        for (size_t i = static_cast<size_t>(start); i < start + length && i < image.size(); ++i) kept[i] = true;
    };
    for (const Json& h : report["headers"].items) {
        keep(h["offset"].number, kHeaderSize);
        for (const Json& e : h["entries"].items) keep(e["offset"].number, e["length"].number);
    }
    for (const Json& b : report["pidBlocks"].items) keep(b["offset"].number, kPidBlockSize);
    for (const Json& r : report["fwPidRecords"].items) keep(r["offset"].number, kFwPidRecordSize);
    std::vector<bool> out(image.size(), false);
    for (size_t i = 0, run = 0; i <= image.size(); ++i) {
        bool candidate = i < image.size() && image[i] == 0xFF && !kept[i];
        run = candidate ? run + 1 : run;
        if (!candidate && run >= 16)
            for (size_t j = i - run; j < i; ++j) out[j] = true;
        if (!candidate) run = 0;
    }
    return out;
}

std::string FirstWrongByte(const Programmed& p, const std::vector<bool>& leftOut) {
    for (size_t i = 0; i < leftOut.size(); ++i)
        if (p.written[i] == leftOut[i]) return Hex(static_cast<uint32_t>(i)) + (leftOut[i] ? " written" : " left out");
    return "";
}

// The converters that read the files back, as Debian's srecord and
// binutils install them; "" when all are there.
std::string MissingConverter() {
    for (const char* tool : {"/usr/bin/srec_cat", "/usr/bin/srec_info", "/usr/bin/objcopy"})
        if (access(tool, X_OK) != 0) return std::string(tool) + " (Debian's srecord and binutils) is not installed";
    return "";
}

// The image that each converter makes of `file`, 0xFF where it writes
// nothing; checks that srec_info reads it.
std::vector<std::pair<std::string, Bytes>> Converted(const TempDir& dir, const std::string& file, bool intel,
                                                     uint64_t base, size_t size, size_t lowest) {
    std::string format = intel ? "-intel" : "-motorola", bin = dir / "converted.bin";
    std::vector<std::pair<std::string, Bytes>> images;
    RunResult info = RunProgram("/usr/bin/srec_info", {"srec_info", file, format});
    EXPECT_EQ(info.status, 0) << info.err;
    RunResult cat = RunProgram("/usr/bin/srec_cat", {"srec_cat", file, format, "-offset", "-" + std::to_string(base),
                                                     "-fill", "0xff", "0", std::to_string(size), "-o", bin, "-binary"});
    EXPECT_EQ(cat.status, 0) << cat.err;
    images.push_back({"srec_cat", ReadFile(bin)});
    // objcopy writes from the lowest address written to the highest.
    RunResult objcopy = RunProgram("/usr/bin/objcopy", {"objcopy", "-I", intel ? "ihex" : "srec", "-O", "binary",
                                                        "--gap-fill", "0xff", file, bin});
    EXPECT_EQ(objcopy.status, 0) << objcopy.err;
    Bytes copied(lowest, 0xFF), read = ReadFile(bin);
    copied.insert(copied.end(), read.begin(), read.end());
    copied.resize(std::max(copied.size(), size), 0xFF);
    images.push_back({"objcopy", copied});
    return images;
}

TEST(InspectFlash, ExamplesComeBackByteForByte) {
    std::string missing = MissingConverter();
    if (!missing.empty()) GTEST_SKIP() << missing;
    // clang-format off
    struct Row { const char* par; const char* fill; const char* base; uint64_t address; };
    const Row rows[] = {
        {"ARMPARA.PAR", "0xff", "0",          0},
        {"ARMPARA.PAR", "0x00", "0x08000000", 0x08000000},
        {"DUAL.PAR",    "0xff", "0X1fff0",    0x1FFF0},  // records start off the 32-byte grid
        {"DUAL.PAR",    "0x00", "268435456",  0x10000000},
        {"ARMPARA.PAR", "0xff", "4294895086", 0xFFFEE5EE},  // the last byte at 0xffffffff
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.par) + " -p " + row.fill + " --base " + row.base);
        TempDir dir;
        std::string image = dir / "out.bin", hex = dir / "f.hex", srec = dir / "f.s37";
        ASSERT_EQ(RunMorvik({"-i", row.par, "-o", image, "-p", row.fill}, MORVIK_SOURCE_DIR "/examples").status, 0);
        RunResult run = RunInspect({"--ihex", hex, "--motorola", srec, "--base", row.base, image});
        RunResult json = RunInspect({"--json", "--base", row.base, "--ihex", dir / "j.hex", image});
        RunResult onStdout = RunInspect({"--base", row.base, "--motorola", "-", image});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(MissingInOrder(run.out, {"Intel HEX file: " + hex, "S-record file: " + srec}), "");
        EXPECT_EQ(onStdout.out, AsString(ReadFile(srec))) << "--motorola - writes what the file holds";
        bool ok = false;
        Json report = ParseJson(json.out, &ok);
        ASSERT_TRUE(ok);
        ExpectMatchesSchema("morvik-inspect", json.out);
        Bytes bytes = ReadFile(image);
        std::vector<bool> leftOut = LeftOutBytes(bytes, report);
        EXPECT_EQ(report["flash"]["leftOut"].number, std::count(leftOut.begin(), leftOut.end(), true));
        EXPECT_EQ(report["flash"]["base"].number, row.address);
        Programmed fromHex = ReadIntelHex(AsString(ReadFile(hex)), row.address, bytes.size());
        Programmed fromSrec = ReadSRecords(AsString(ReadFile(srec)), row.address, bytes.size(), "out.bin");
        for (const Programmed* p : {&fromHex, &fromSrec}) {
            EXPECT_EQ(p->problem, "");
            EXPECT_EQ(FirstDifference(p->image, bytes), "");
            EXPECT_EQ(FirstWrongByte(*p, leftOut), "");
        }
        // The 0xFF bytes of a header are written as the others (with fill 0xFF, its unused bytes).
        uint32_t header = static_cast<uint32_t>(report["headers"][0]["offset"].number), headerFf = 0;
        for (uint32_t i = header; i < header + kHeaderSize; ++i) headerFf += bytes[i] == 0xFF && fromHex.written[i];
        if (std::string(row.fill) == "0xff") {
            EXPECT_GT(headerFf, 100u) << "the header's 0xFF bytes are written";
        }
        size_t lowest = 0;
        while (!fromHex.written[lowest]) ++lowest;
        for (bool intel : {true, false})
            for (const auto& [tool, converted] :
                 Converted(dir, intel ? hex : srec, intel, row.address, bytes.size(), lowest))
                EXPECT_EQ(FirstDifference(converted, bytes), "") << tool << (intel ? " of Intel HEX" : " of S-records");
    }
}

// What cannot be written writes nothing, and says so on one line: a base
// that is not a number of a form taken or puts the image past 4 GiB, two
// files on standard output, an image that does not verify.
TEST(InspectFlash, RefusalsWriteNothing) {
    TempDir dir;
    std::string image = dir / "out.bin", hex = dir / "f.hex", srec = dir / "f.s37";
    ASSERT_EQ(RunMorvik({"-i", "ARMPARA.PAR", "-o", image, "-p", "0xff"}, MORVIK_SOURCE_DIR "/examples").status, 0);
    Bytes damaged = ReadFile(image);
    damaged[0x8100] ^= 1;  // the kernel's first byte: its CRC-32 no longer verifies
    WriteFile(dir / "bad.bin", damaged);
    // The example with absolute paths, checked without --fill: the 0xff image is not what it binds.
    const std::string ex = MORVIK_SOURCE_DIR "/examples/", par = dir / "abs.PAR";
    WriteFile(par, Text(("$Size &80\n%" + ex + "pid.txt &7fff\n:" + ex + "boot.bin &0 -l 0x8000 -p 0xff\n:" + ex +
                         "kernel.bin &8000 -k -c -v 1.00\n:" + ex + "rootfs.bin &10000 -f -c -v 1.00\n")
                            .c_str()));
    const std::string base = "Error : --base ";
    const std::string forms = ": give the address as 0x-hex or as decimal without a leading zero, at most 0xffffffff";
    // clang-format off
    struct Row { std::vector<std::string> args; int status; std::string err; };
    const Row rows[] = {
        {{"--base", "0x", "--ihex", hex},          2, base + "0x" + forms},
        {{"--base", "0x1g", "--ihex", hex},        2, base + "0x1g" + forms},
        {{"--base", "010", "--ihex", hex},         2, base + "010" + forms},  // octal to some, decimal to others
        {{"--base", "-1", "--ihex", hex},          2, base + "-1" + forms},
        {{"--base", " 1", "--ihex", hex},          2, base + " 1" + forms},
        {{"--base", "1k", "--ihex", hex},          2, base + "1k" + forms},
        {{"--base", "4294967296", "--ihex", hex},  2, base + "4294967296" + forms},
        {{"--base", "0x100000000", "--ihex", hex}, 2, base + "0x100000000" + forms},
        {{"--base", "4294895087", "--ihex", hex},  2, base + "0xfffee5ef puts the image's last byte at 0x100000000, "
                                        "past the 4 GiB that records can address"},
        {{"--base", "0xffffffff", "--ihex", hex},  2, base + "0xffffffff puts the image's last byte at 0x100011a10, "
                                        "past the 4 GiB that records can address"},
        {{"--base", "8", "--json"}, 2, "Error : --base places the flash files: give --ihex or --motorola with it", },
        {{"--ihex", "-", "--motorola", "-"}, 2,
         "Error : --ihex - and --motorola - both write to standard output: give one of them a file name"},
        {{"--ihex", "-", "--json", "--motorola", srec}, 2,
         "Error : --ihex - and --json both write to standard output: give the Intel HEX file a file name"},
        {{"--motorola", "-", "--svg", "-", "--ihex", hex}, 2,
         "Error : --motorola - and --svg - both write to standard output: give the S-record file a file name"},
        {{"--ihex", hex, "--motorola", dir.path + "/./f.hex"}, 2,
         "Error : --ihex and --motorola both name " + hex + ": give each a file of its own"},
        {{"--ihex", image}, 2,
         "Error : Intel HEX file " + image + " is the image being checked: give it a file of its own"},
        {{"--quiet", "--ihex", hex, "--motorola", srec, "BAD"}, 1,
         "Error : Intel HEX file " + hex + " and S-record file " + srec + " not written: the image does not verify"},
        {{"--motorola", "-", "BAD"}, 1, "Error : S-record file - not written: the image does not verify"},
        {{"--against", par, "--ihex", hex}, 1,
         "Error : Intel HEX file " + hex + " not written: the image is not what " + par + " binds"},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        if (args.back() == "BAD")
            args.back() = dir / "bad.bin";
        else
            args.push_back(image);
        SCOPED_TRACE(args[0] + " " + args[1]);
        RunResult run = RunInspect(args);
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(Lines(run.err).at(0), row.err);
        EXPECT_EQ((run.out + run.err).find("Summary: FAILED") != std::string::npos, row.args.back() == "BAD");
        EXPECT_FALSE(FileExists(hex) || FileExists(srec));
        EXPECT_EQ(TempFilesOf(dir.path, "f.hex"), std::vector<std::string>{});
        EXPECT_TRUE(row.args[1] != "-" || run.out.empty()) << "a flash file on standard output: nothing else there";
    }
}

// Records as the formats define them, with the checksums worked out by hand.
TEST(InspectFlash, RecordsFollowTheFormats) {
    const Bytes data = {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01, 0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};
    const Bytes upper = {0x08, 0x00}, name = Text("HDR");
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {morvik::IntelHexRecord(0x00, 0x0100, data.data(), data.size()),
         ":10010000214601360121470136007EFE09D2190140\n"},
        {morvik::IntelHexRecord(0x04, 0, upper.data(), 2),    ":020000040800F2\n"},
        {morvik::IntelHexRecord(0x01, 0, nullptr, 0),         ":00000001FF\n"},
        {morvik::SRecord('0', 0, 2, name.data(), name.size()), "S00600004844521B\n"},
        {morvik::SRecord('3', 0xFFFFFFF0, 4, data.data(), 1), "S306FFFFFFF021EB\n"},
        {morvik::SRecord('5', 3, 2, nullptr, 0),               "S5030003F9\n"},
        {morvik::SRecord('6', 0x10000, 3, nullptr, 0),         "S604010000FA\n"},
        {morvik::SRecord('7', 0x08000000, 4, nullptr, 0),      "S70508000000F2\n"},
    };
    // clang-format on
    for (const auto& [made, wanted] : rows) EXPECT_EQ(made, wanted);
}

}  // namespace
}  // namespace morvik_test
