// Morvik-inspect on images bound by the real Morvik: clean one- and
// two-group images, one damaged byte at a time, an image with no groups,
// "Tav" in image data, truncation, and the JSON document.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "support/image_model.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

const char* const kPidText =
    "0123456789abcdefFEDCBA98765432100011223344556677"
    "8899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0a1b2c3d4e5f6a7b8";

const char* const kOneGroupPar =
    "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 0x8000 -p 0xff\n"
    ":kernel.bin &8000 -k -c -v 1.00\n:rootfs.bin &10000 -f -c -v 1.00\n";
const char* const kTwoGroupPar =
    "$Size &100\n%pid.txt &7fff\n:boot.bin &0 -l 0x8000 -p 0xff\n"
    ":kernel.bin &8000 -k 0 -c -v 1.00\n:rootfs.bin &10000 -f 0 -v 1.00\n"
    ":kernel-b.bin &20000 -k 1 -c -v 1.01\n:rootfs-b.bin &28000 -f 1 -v 1.01\n";
const char* const kNoGroupPar = "$Size &40\n%pid.txt &7fff &a000\n:boot.bin &0 -l 0x8000 -p 0xff\n:data.bin &c000\n";
const char* const kNoGroupLongPadPar =
    "$Size &40\n%pid.txt &7fff &a000\n:boot.bin &0 -l 0x8000 -p 0xff\n:kernel.bin &c000\n";

// Writes the inputs, binds `par` with `pad`, and returns the output path.
std::string Bind(const TempDir& dir, const char* par, const char* pad, const Bytes& kernel = PatternBytes(0x2345, 21)) {
    WriteFile(dir / "pid.txt", std::string(kPidText) + "\n");
    WriteFile(dir / "boot.bin", PatternBytes(0x1800, 20));
    WriteFile(dir / "kernel.bin", kernel);
    WriteFile(dir / "rootfs.bin", PatternBytes(0x1a01, 22));
    WriteFile(dir / "kernel-b.bin", PatternBytes(0x2210, 23));
    WriteFile(dir / "rootfs-b.bin", PatternBytes(0x1c00, 24));
    WriteFile(dir / "data.bin", PatternBytes(0x400, 25));
    WriteFile(dir / "board.par", std::string(par));
    RunResult run = RunMorvik({"-i", "board.par", "-o", "out.bin", "-p", pad}, dir.path);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("DONE!"), std::string::npos) << run.out;
    return dir / "out.bin";
}

Json InspectJsonFile(const std::string& path, int* status) {
    RunResult run = RunInspect({"--json", path});
    *status = run.status;
    bool ok = false;
    ExpectMatchesSchema("morvik-inspect", run.out);
    Json doc = ParseJson(run.out, &ok);
    EXPECT_TRUE(ok) << run.out;
    return doc;
}

std::string Hex8(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(v));
    return text;
}

struct Bound {
    const char* name;
    const char* par;
    const char* pad;
    std::vector<std::string> kinds;
    size_t trailing = 0;  // random bytes appended behind the bound image
};

// clang-format off
const Bound kBound[] = {
    {"one group, fill 00", kOneGroupPar, "0x00",
     {"data", "byte-run", "pid-block", "header", "image", "fill", "image", "fill", "fw-pid-record"}},
    {"one group, fill ff", kOneGroupPar, "0xff",
     {"data", "fill", "pid-block", "header", "image", "fill", "image", "fill", "fw-pid-record"}},
    {"two groups", kTwoGroupPar, "0x00",
     {"data", "byte-run", "pid-block", "header", "image", "fill", "image", "fill", "fw-pid-record", "fill",
      "header", "image", "fill", "image", "fw-pid-record"}},
    {"no groups", kNoGroupPar, "0x00",
     {"data", "byte-run", "pid-block", "fill", "fw-pid-record", "fill", "data", "fill"}},
    {"no groups, the pad byte covering more than the fill", kNoGroupLongPadPar, "0x00",
     {"data", "byte-run", "pid-block", "fill", "fw-pid-record", "fill", "data", "fill"}},
    {"one group, 100000 random bytes behind it", kOneGroupPar, "0xff",
     {"data", "fill", "pid-block", "header", "image", "fill", "image", "fill", "fw-pid-record", "data"}, 100000},
    {"two groups, one byte behind them", kTwoGroupPar, "0x00",
     {"data", "byte-run", "pid-block", "header", "image", "fill", "image", "fill", "fw-pid-record", "fill",
      "header", "image", "fill", "image", "fw-pid-record", "data"}, 1},
    {"no groups, random bytes behind: the end is not known", kNoGroupPar, "0x00",
     {"data", "byte-run", "pid-block", "fill", "fw-pid-record", "fill", "data", "fill", "data"}, 5000},
};
// clang-format on

// Bytes behind the end of an image with headers are noted in every report,
// never failed: "Note: 0x186a0 bytes follow the image's end at 0x11a12".
void ExpectTrailingNote(const Bound& b, const std::string& out, const Json& doc) {
    const bool grouped = std::string(b.par).find(" -k") != std::string::npos;
    const uint64_t size = ReadFile(out).size(), end = size - b.trailing;
    EXPECT_EQ(doc["imageEnd"].kind, grouped ? Json::Number : Json::Null) << b.name;
    EXPECT_EQ(doc["bytesAfterImage"].kind, grouped ? Json::Number : Json::Null) << b.name;
    if (grouped) {
        EXPECT_EQ(doc["imageEnd"].number, static_cast<double>(end)) << b.name;
        EXPECT_EQ(doc["bytesAfterImage"].number, static_cast<double>(b.trailing)) << b.name;
    }
    char note[96];
    std::snprintf(note, sizeof note, "Note: 0x%llx bytes follow the image's end at 0x%llx",
                  static_cast<unsigned long long>(b.trailing), static_cast<unsigned long long>(end));
    const bool noted = grouped && b.trailing > 0;
    for (const char* mode : {"--quiet", "--svg=-"}) {
        RunResult run = RunInspect({mode, out});
        EXPECT_EQ(run.status, 0) << b.name << " " << mode;
        EXPECT_EQ(run.out.find(note) != std::string::npos, noted) << b.name << " " << mode << "\n" << run.out;
        EXPECT_EQ(run.out.find("follow the image's end") != std::string::npos, noted) << b.name << " " << mode;
    }
}

TEST(InspectBind, CleanImagesVerifyAndTheMapListsEveryRegion) {
    for (const Bound& b : kBound) {
        TempDir dir;
        std::string out = Bind(dir, b.par, b.pad);
        if (b.trailing > 0) {
            Bytes image = ReadFile(out), tail = PatternBytes(b.trailing, 26);
            image.insert(image.end(), tail.begin(), tail.end());
            WriteFile(out, image);
        }
        int status = -1;
        Json doc = InspectJsonFile(out, &status);
        EXPECT_EQ(status, 0) << b.name;
        std::vector<std::string> kinds;
        for (const Json& r : doc["regions"].items) kinds.push_back(r["kind"].text);
        EXPECT_EQ(kinds, b.kinds) << b.name;
        const Bytes bytes = ReadFile(out);
        for (const Json& r : doc["regions"].items) {
            size_t start = static_cast<size_t>(r["start"].number), size = static_cast<size_t>(r["size"].number);
            EXPECT_EQ(r["crc32"].number, static_cast<double>(Crc32(bytes.data() + start, size)))
                << b.name << " " << start;
        }
        ExpectTrailingNote(b, out, doc);

        RunResult text = RunInspect({out});
        EXPECT_EQ(text.status, 0) << b.name;
        for (const Json& r : doc["regions"].items) {
            std::string row = Hex8(static_cast<uint64_t>(r["start"].number)) + "  " +
                              Hex8(static_cast<uint64_t>(r["end"].number) - 1);
            EXPECT_NE(text.out.find(row), std::string::npos) << b.name << " " << row;
            EXPECT_NE(text.out.find(r["label"].text), std::string::npos) << b.name;
        }
    }
}

TEST(InspectBind, JsonValuesMatchTheInputs) {
    TempDir dir;
    std::string out = Bind(dir, kOneGroupPar, "0xff");
    int status = -1;
    Json doc = InspectJsonFile(out, &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(doc["ok"].flag);
    EXPECT_EQ(doc["size"].number, static_cast<double>(ReadFile(out).size()));
    EXPECT_EQ(doc["fill"].number, 255);
    const Json& h = doc["headers"][0];
    EXPECT_EQ(h["offset"].number, 0x8000);
    EXPECT_EQ(h["state"].text, "sealed");
    const char* files[] = {"kernel.bin", "rootfs.bin"};
    const double offsets[] = {0x8100, 0x10000};
    for (size_t n = 0; n < 2; ++n) {
        Bytes data = ReadFile(dir / files[n]);
        const Json& e = h["entries"][n];
        EXPECT_EQ(e["offset"].number, offsets[n]);
        EXPECT_EQ(e["length"].number, static_cast<double>(data.size()));
        EXPECT_EQ(e["checksum"].number, static_cast<double>(Crc32(data.data(), data.size())));
        EXPECT_EQ(e["version"].text, "1.00");
        EXPECT_TRUE(e["verify"].flag);
    }
    EXPECT_EQ(h["fwPidRecord"]["offset"].number, (0x10000 + 0x1a01 + 1) & ~1);
    EXPECT_EQ(h["fwPidRecord"]["words"][0].text, "6978");  // PID bytes 38 and 39
    std::string pid = kPidText;
    for (char& c : pid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(doc["pidBlock"]["pid"].text, pid);
    EXPECT_EQ(doc["pidBlock"]["bootPidLocation"].number, 0x7fff);
    EXPECT_TRUE(doc["failures"].items.empty());
}

TEST(InspectBind, EachDamagedByteIsCaughtAndNamed) {
    struct Damage {
        const char* what;
        size_t (*at)(const Json& doc);
        std::string (*named)(const Json& doc);
    };
    // clang-format off
    const Damage damages[] = {
        {"inside the kernel image",
         [](const Json& d) { return size_t(d["headers"][0]["entries"][0]["offset"].number) + 77; },
         [](const Json& d) { return "header at " + Hex8(size_t(d["headers"][0]["offset"].number)) + ": entry 0"; }},
        {"inside the last image of the group",
         [](const Json& d) {
             const Json& e = d["headers"][0]["entries"][d["headers"][0]["entries"].items.size() - 1];
             return size_t(e["offset"].number + e["length"].number) - 1;
         },
         [](const Json&) { return std::string(": CRC-32 expected"); }},
        {"header magic", [](const Json& d) { return size_t(d["headers"][0]["offset"].number) + 2; },
         [](const Json&) { return std::string("magic is 54 61 72 00"); }},
        {"header pidOffset", [](const Json& d) { return size_t(d["headers"][0]["offset"].number) + 5; },
         [](const Json&) { return std::string("does not verify: headerChecksum"); }},
        {"header imageNumber", [](const Json& d) { return size_t(d["headers"][0]["offset"].number) + 12; },
         [](const Json&) { return std::string("does not verify: headerChecksum"); }},
        {"header entry length", [](const Json& d) { return size_t(d["headers"][0]["offset"].number) + 16 + 5; },
         [](const Json&) { return std::string("does not verify: headerChecksum"); }},
        {"FW PID record word", [](const Json& d) { return size_t(d["fwPidRecords"][0]["offset"].number) + 3; },
         [](const Json&) { return std::string("PID words"); }},
        {"FW PID record tag", [](const Json& d) { return size_t(d["fwPidRecords"][0]["offset"].number) + 13; },
         [](const Json&) { return std::string("tag is"); }},
        {"PID block magic", [](const Json& d) { return size_t(d["pidBlock"]["offset"].number) + 66; },
         [](const Json& d) {
             return "PID block at " + Hex8(size_t(d["pidBlock"]["offset"].number)) + ": closing magic";
         }},
        {"PID byte of a FW PID word", [](const Json& d) { return size_t(d["pidBlock"]["offset"].number) + 50; },
         [](const Json&) { return std::string("PID words"); }},
    };
    // clang-format on
    for (const Bound& b : kBound) {
        if (std::string(b.name).rfind("no groups", 0) == 0) continue;
        TempDir dir;
        std::string out = Bind(dir, b.par, b.pad);
        int status = -1;
        Json doc = InspectJsonFile(out, &status);
        Bytes clean = ReadFile(out);
        for (const Damage& d : damages) {
            Bytes image = clean;
            image[d.at(doc)] ^= 0x04;
            RunResult run = InspectBytes(dir, image);
            EXPECT_EQ(run.status, 1) << b.name << ": " << d.what;
            EXPECT_NE(run.out.find(d.named(doc)), std::string::npos) << b.name << ": " << d.what << "\n" << run.out;
        }
    }
}

TEST(InspectBind, NoGroupsTavInDataAndTruncation) {
    TempDir dir;
    std::string out = Bind(dir, kNoGroupPar, "0x00");
    int status = -1;
    Json doc = InspectJsonFile(out, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(doc["headers"].items.empty());
    EXPECT_EQ(doc["fwPidRecords"][0]["offset"].number, 0xa000);
    EXPECT_TRUE(doc["fwPidRecords"][0]["pidMatches"].flag);

    // A kernel whose data holds "Tav" and NUL twice, once followed by zeros.
    Bytes kernel = PatternBytes(0x2345, 21);
    std::memcpy(kernel.data() + 0x100, "Tav\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    std::memcpy(kernel.data() + 0x1000, "Tav", 4);
    TempDir tav;
    RunResult run = RunInspect({Bind(tav, kOneGroupPar, "0x00", kernel)});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("2 \"Tav\"+NUL in image data do not look like a header; ignored"), std::string::npos);

    Bytes cut = ReadFile(Bind(tav, kTwoGroupPar, "0xff"));
    cut.resize(0x29000);  // inside group 1's second image
    run = InspectBytes(tav, cut);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("header at 0x00020000: entry 1 (offset 0x00028000, length 0x00001c00) runs past the end"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("FW PID record at 0x00029c00 (header at 0x00020000): runs past the end"), std::string::npos);
}

// sha256sum of each [start, end) of `bytes`, in one run of it.
std::vector<std::string> Sha256sumOf(const TempDir& dir, const Bytes& bytes,
                                     const std::vector<std::pair<uint64_t, uint64_t>>& pieces) {
    std::vector<std::string> args = {"/usr/bin/sha256sum"};
    for (const auto& [start, end] : pieces) {
        args.push_back(dir / ("piece" + std::to_string(args.size())));
        WriteFile(args.back(), Bytes(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end)));
    }
    RunResult run = RunProgram(args[0], args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> digests;
    for (const std::string& line : Lines(run.out)) digests.push_back(line.substr(0, 64));
    EXPECT_EQ(digests.size(), pieces.size()) << run.out;
    digests.resize(pieces.size());
    return digests;
}

// The whole file's digest and each area's, in the JSON document and the
// text report; the text otherwise as without --checksums, --quiet keeping
// the whole file's alone.
TEST(InspectBind, ChecksumsAreTheSha256OfTheFileAndOfEachArea) {
    for (const Bound& b : kBound) {
        TempDir dir;
        const std::string out = Bind(dir, b.par, b.pad);
        const Bytes image = ReadFile(out);
        RunResult json = RunInspect({"--checksums", "--json", out});
        EXPECT_EQ(json.status, 0) << b.name << json.err;
        ExpectMatchesSchema("morvik-inspect", json.out);
        bool ok = false;
        Json doc = ParseJson(json.out, &ok);
        ASSERT_TRUE(ok) << json.out;
        std::vector<std::pair<uint64_t, uint64_t>> pieces = {{0, image.size()}};
        for (const Json& r : doc["regions"].items)
            pieces.emplace_back(static_cast<uint64_t>(r["start"].number), static_cast<uint64_t>(r["end"].number));
        const std::vector<std::string> expected = Sha256sumOf(dir, image, pieces);
        EXPECT_EQ(doc["sha256"].text, expected[0]) << b.name;
        std::vector<std::string> rows = {"SHA-256 of the file: " + expected[0], "SHA-256 of each area"};
        std::string areaSection = "\nSHA-256 of each area\n";
        for (size_t i = 0; i < doc["regions"].items.size(); ++i) {
            const Json& r = doc["regions"][i];
            EXPECT_EQ(r["sha256"].text, expected[i + 1]) << b.name << " region " << i;
            rows.push_back("  " + Hex8(pieces[i + 1].first) + "  " + Hex8(pieces[i + 1].second - 1) + "  " +
                           expected[i + 1] + "  " + r["label"].text);
        }

        RunResult plain = RunInspect({out});
        RunResult text = RunInspect({"--checksums", out});
        EXPECT_EQ(text.status, plain.status) << b.name;
        EXPECT_EQ(MissingInOrder(text.out, rows), "") << b.name << "\n" << text.out;
        std::string without = text.out;
        without.erase(without.find(rows[0]), rows[0].size() + 1);
        size_t section = without.find(areaSection);
        ASSERT_NE(section, std::string::npos) << text.out;
        without.erase(section, without.find("\n\n", section + 1) + 1 - section);
        EXPECT_EQ(without, plain.out) << b.name;

        RunResult quiet = RunInspect({"--checksums", "--quiet", out});
        EXPECT_EQ(quiet.out, rows[0] + "\n" + RunInspect({"--quiet", out}).out) << b.name;
        RunResult quietJson = RunInspect({"--checksums", "--quiet", "--json", out});
        ExpectMatchesSchema("morvik-inspect", quietJson.out);
        Json quietDoc = ParseJson(quietJson.out, &ok);
        EXPECT_EQ(quietDoc["sha256"].text, expected[0]) << b.name;
        EXPECT_EQ(quietDoc["regions"].kind, Json::Null) << b.name;
        EXPECT_EQ(RunInspect({"--json", out}).out.find("sha256"), std::string::npos) << b.name;
    }
}

TEST(InspectBind, JsonIsWellFormedForAwkwardNamesAndQuietMode) {
    TempDir dir;
    Bytes image = ReadFile(Bind(dir, kTwoGroupPar, "0x00"));
    image[0x10010] ^= 1;  // a failure, so that failure texts are in the document
    struct Awkward {
        std::string name;
        std::string shown;  // in the text report
        bool utf8;          // else "fileHex" holds the path's bytes
    };
    // clang-format off
    const Awkward names[] = {
        {"we\"ird\\name\t.bin", "we\"ird\\\\name\\t.bin", true},
        {"bad\xff\xfe utf8 \xc3\xa9.bin", "bad\\xff\\xfe utf8 \xc3\xa9.bin", false},
        {"title\x1b]0;t\x07.bin", "title\\x1b]0;t\\x07.bin", true},
        {"title\x1b]0;t\x07 \xff.bin", "title\\x1b]0;t\\x07 \\xff.bin", false},
    };
    // clang-format on
    for (const Awkward& a : names) {
        const std::string path = dir / a.name;
        WriteFile(path, image);
        for (bool quiet : {false, true}) {
            RunResult run = RunInspect(quiet ? std::vector<std::string>{"--json", "-q", path}
                                             : std::vector<std::string>{"--json", path});
            bool ok = false;
            ExpectMatchesSchema("morvik-inspect", run.out);
            Json doc = ParseJson(run.out, &ok);
            EXPECT_TRUE(ok) << run.out;
            EXPECT_EQ(run.status, 1);
            EXPECT_FALSE(doc["ok"].flag);
            EXPECT_EQ(doc["failures"].items.size(), 1u);
            EXPECT_EQ(doc["regions"].kind, quiet ? Json::Null : Json::Array);
            if (a.utf8) {
                EXPECT_EQ(doc["file"].text, path);
                EXPECT_EQ(doc["fileHex"].kind, Json::Null);
            } else {
                EXPECT_EQ(doc["fileHex"].text, HexOf(path));
            }
            EXPECT_EQ(run.out.find_first_of("\x07\x1b"), std::string::npos) << run.out;
        }
        RunResult text = RunInspect({path});
        const std::string first = "Image " + dir.path + "/" + a.shown + ": " + std::to_string(image.size()) + " bytes";
        EXPECT_EQ(text.out.rfind(first, 0), 0u) << text.out.substr(0, 200);
        EXPECT_EQ(text.out.find_first_of("\x07\x1b"), std::string::npos) << text.out;
    }
    for (const char* malformed : {"{\"a\": [1, 2,]}", "{\"a\" 1}", "[\"\xff\"]", "{} {}", "[\"\\x\"]"}) {
        bool ok = true;
        ParseJson(malformed, &ok);
        EXPECT_FALSE(ok) << "the checker itself must reject " << malformed;
    }
}

}  // namespace
}  // namespace morvik_test
