// Morvik-inspect --diff on images bound by the real Morvik from the bundled
// examples, each changed in one way: the exact lines, the JSON document and
// the status. CRC-32s come from zlib, header checksums from the images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "support/image_model.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

std::string Hx(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// One image: the bundled examples, its inputs changed, bound, its bytes
// changed after the bind.
struct Variant {
    const char* par;
    void (*inputs)(const std::string& folder);
    void (*image)(Bytes& image);
};

void NoChange(const std::string&) {}
void NoDamage(Bytes&) {}
void GrowRootfs(const std::string& folder) {
    Bytes rootfs = ReadFile(folder + "/rootfs.bin");
    Bytes more = PatternBytes(0x100, 7);
    rootfs.insert(rootfs.end(), more.begin(), more.end());
    WriteFile(folder + "/rootfs.bin", rootfs);
}
void NewRootfsVersion(const std::string& folder) {
    WriteFile(folder + "/ARMPARA.PAR",
              std::string("$Size &80\n%pid.txt &7fff\n:boot.bin &0 -l 0x8000 -p 0xff\n"
                          ":kernel.bin &8000 -k -c -v 1.00\n:rootfs.bin &10000 -f -c -v 1.01\n"));
}
void BootloaderByte(Bytes& image) { image[0x10] ^= 0x55; }
void RootfsByte(Bytes& image) { image[0x10010] ^= 0x55; }

const Variant kArm = {"ARMPARA.PAR", NoChange, NoDamage};

std::string Bind(const TempDir& dir, const std::string& name, const Variant& v) {
    const std::string folder = dir / name;
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(fs::path(MORVIK_SOURCE_DIR) / "examples"))
        fs::copy_file(entry.path(), folder + "/" + entry.path().filename().string());
    v.inputs(folder);
    RunResult run = RunMorvik({"-i", v.par, "-o", "out.bin", "-p", "0xff"}, folder);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    Bytes image = ReadFile(folder + "/out.bin");
    v.image(image);
    WriteFile(dir / (name + ".bin"), image);
    return dir / (name + ".bin");
}

// What the expectations need of the two images.
struct Pair {
    std::string oldPath, newPath, oldFolder, newFolder;
    Bytes oldImage, newImage;
};

uint32_t FileCrc(const std::string& path) { return Crc32(ReadFile(path)); }

size_t FirstDifferenceOffset(const Bytes& a, const Bytes& b) {
    size_t k = 0;
    while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
    return k;
}

struct DiffCase {
    const char* what;
    Variant before, after;
    int status;
    std::vector<std::string> (*quietLines)(const Pair& p);  // --quiet, behind the old: and new: lines
};

const char* const kOk = "Summary: OK, everything verifies: 1 header, 2 group images, 1 PID block, 1 FW PID record";

// clang-format off
const DiffCase kCases[] = {
    {"identical", kArm, kArm, 0,
     [](const Pair&) -> std::vector<std::string> { return {"Summary: identical, 0x11a12 bytes, 10 areas the same"}; }},
    {"a grown rootfs", kArm, {"ARMPARA.PAR", GrowRootfs, NoDamage}, 1,
     [](const Pair& p) -> std::vector<std::string> {
         uint32_t crc = FileCrc(p.newFolder + "/rootfs.bin");
         return {"changed: file: size 0x11a12 -> 0x11b12",
                 "changed: group 0 header at 0x8000: pidOffset 0x11a02 -> 0x11b02, headerChecksum " +
                     Hx(Le32(p.oldImage, 0x8008)) + " -> " + Hx(Le32(p.newImage, 0x8008)),
                 "changed: group 0 entry 1 at 0x10000: length 0x1a01 -> 0x1b01, checksum 0x3bb40e08 -> " + Hx(crc) +
                     ", CRC-32 0x3bb40e08 -> " + Hx(crc),
                 "moved: group 0 FW PID record at 0x11a02 -> 0x11b02",
                 "moved: fill 0xff at 0x11a01 -> 0x11b01",
                 "Summary: the images differ from 0x8005: 3 changed, 2 moved, 0 added, 0 removed, 5 same"};
     }},
    {"a changed version string", kArm, {"ARMPARA.PAR", NewRootfsVersion, NoDamage}, 1,
     [](const Pair& p) -> std::vector<std::string> {
         return {"changed: group 0 header at 0x8000: headerChecksum " + Hx(Le32(p.oldImage, 0x8008)) + " -> " +
                     Hx(Le32(p.newImage, 0x8008)),
                 "changed: group 0 entry 1 at 0x10000: version \"1.00\" -> \"1.01\"",
                 "Summary: the images differ from 0x8008: 2 changed, 0 moved, 0 added, 0 removed, 8 same"};
     }},
    {"a changed bootloader byte", kArm, {"ARMPARA.PAR", NoChange, BootloaderByte}, 1,
     [](const Pair& p) -> std::vector<std::string> {
         return {"changed: other data at 0x0: CRC-32 " + Hx(Crc32(p.oldImage.data(), 0x1800)) + " -> " +
                     Hx(Crc32(p.newImage.data(), 0x1800)),
                 "Summary: the images differ from 0x10: 1 changed, 0 moved, 0 added, 0 removed, 9 same"};
     }},
    {"a second group added", kArm, {"DUAL.PAR", NoChange, NoDamage}, 1,
     [](const Pair&) -> std::vector<std::string> {
         return {"changed: file: size 0x11a12 -> 0x29c10", "added: group 1 header at 0x20000",
                 "added: group 1 entry 0 at 0x20100", "added: group 1 entry 1 at 0x28000",
                 "added: group 1 FW PID record at 0x29c00", "added: fill 0xff at 0x11a12",
                 "added: fill 0xff at 0x22310",
                 "Summary: the images differ from 0x11a12: 1 changed, 0 moved, 6 added, 0 removed, 9 same"};
     }},
    {"the second group removed", {"DUAL.PAR", NoChange, NoDamage}, kArm, 1,
     [](const Pair&) -> std::vector<std::string> {
         return {"changed: file: size 0x29c10 -> 0x11a12", "removed: group 1 header at 0x20000",
                 "removed: group 1 entry 0 at 0x20100", "removed: group 1 entry 1 at 0x28000",
                 "removed: group 1 FW PID record at 0x29c00", "removed: fill 0xff at 0x11a12",
                 "removed: fill 0xff at 0x22310",
                 "Summary: the images differ from 0x11a12: 1 changed, 0 moved, 0 added, 6 removed, 9 same"};
     }},
    {"both damaged, and identical", {"ARMPARA.PAR", NoChange, RootfsByte}, {"ARMPARA.PAR", NoChange, RootfsByte}, 0,
     [](const Pair&) -> std::vector<std::string> { return {"Summary: identical, 0x11a12 bytes, 10 areas the same"}; }},
    {"one damaged", kArm, {"ARMPARA.PAR", NoChange, RootfsByte}, 1,
     [](const Pair& p) -> std::vector<std::string> {
         return {"changed: group 0 entry 1 at 0x10000: CRC-32 0x3bb40e08 -> " +
                     Hx(Crc32(p.newImage.data() + 0x10000, 0x1a01)),
                 "Summary: the images differ from 0x10010: 1 changed, 0 moved, 0 added, 0 removed, 9 same"};
     }},
};
// clang-format on

TEST(InspectDiff, EachChangeIsNamedWithBothValues) {
    for (const DiffCase& c : kCases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Pair p;
        p.oldPath = Bind(dir, "old", c.before);
        p.newPath = Bind(dir, "new", c.after);
        p.oldFolder = dir / "old";
        p.newFolder = dir / "new";
        p.oldImage = ReadFile(p.oldPath);
        p.newImage = ReadFile(p.newPath);

        RunResult quiet = RunInspect({"--diff", "--quiet", p.oldPath, p.newPath});
        EXPECT_EQ(quiet.status, c.status);
        EXPECT_EQ(quiet.err, "");
        std::vector<std::string> lines = Lines(quiet.out);
        ASSERT_GE(lines.size(), 2u) << quiet.out;
        EXPECT_EQ(lines[0].rfind("old: " + p.oldPath + ": Summary: ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("new: " + p.newPath + ": Summary: ", 0), 0u) << lines[1];
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.quietLines(p));

        // The full report adds a "same:" line for every other area, and
        // the document says the same as the text.
        RunResult full = RunInspect({"--diff", p.oldPath, p.newPath});
        RunResult json = RunInspect({"--diff", "--json", p.oldPath, p.newPath});
        EXPECT_EQ(full.status, c.status);
        EXPECT_EQ(json.status, c.status);
        ExpectMatchesSchema("morvik-inspect-diff", json.out);
        bool ok = false;
        Json doc = ParseJson(json.out, &ok);
        ASSERT_TRUE(ok) << json.out;
        std::vector<std::string> fullLines = Lines(full.out);
        ASSERT_EQ(fullLines.size(), doc["areas"].items.size() + 3) << full.out;
        EXPECT_EQ(doc["summary"].text, fullLines.back());
        EXPECT_EQ(doc["identical"].flag, c.status == 0);
        size_t same = 0;
        for (size_t k = 0; k < doc["areas"].items.size(); ++k) {
            const Json& area = doc["areas"][k];
            const std::string& line = fullLines[k + 2];
            EXPECT_EQ(line.rfind(area["status"].text + ": " + area["area"].text, 0), 0u) << line;
            if (area["status"].text == "same") {
                ++same;
                EXPECT_TRUE(area["changed"].items.empty()) << line;
            } else {
                EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
            }
        }
        EXPECT_EQ(doc["counts"]["same"].number, static_cast<double>(same));
        RunResult quietJson = RunInspect({"--diff", "--json", "--quiet", p.oldPath, p.newPath});
        ExpectMatchesSchema("morvik-inspect-diff", quietJson.out);
        Json quietDoc = ParseJson(quietJson.out, &ok);
        EXPECT_EQ(quietDoc["areas"].items.size(), lines.size() - 3);
        if (c.status == 0) {
            EXPECT_EQ(doc["firstDifference"].kind, Json::Null);
        } else {
            EXPECT_EQ(doc["firstDifference"].number,
                      static_cast<double>(FirstDifferenceOffset(p.oldImage, p.newImage)));
        }
    }
}

// The bytes are compared chunk by chunk (128 KiB) as the two passes read
// them: a difference on either side of a chunk border, files that end at
// one or just past it, and the last byte of a file.
TEST(InspectDiff, FirstDifferenceIsExactAcrossChunkBorders) {
    const size_t kChunk = size_t{128} << 10;
    // clang-format off
    const struct {
        size_t oldSize, newSize;
        long flip;  // the byte changed in the new file, -1 for none
        long first;  // the first difference, -1 for identical
    } rows[] = {
        {3 * kChunk, 3 * kChunk, -1, -1},
        {3 * kChunk, 3 * kChunk, long(kChunk) - 1, long(kChunk) - 1},
        {3 * kChunk, 3 * kChunk, long(kChunk), long(kChunk)},
        {3 * kChunk + 5, 3 * kChunk + 5, long(3 * kChunk + 4), long(3 * kChunk + 4)},
        {2 * kChunk, 2 * kChunk + 1, -1, long(2 * kChunk)},
        {2 * kChunk + 1, 2 * kChunk, -1, long(2 * kChunk)},
        {kChunk + 7, 3 * kChunk, -1, long(kChunk + 7)},
        {3 * kChunk, kChunk + 7, 5, 5},
        {0, 1, -1, 0},
    };
    // clang-format on
    TempDir dir;
    const Bytes bytes = PatternBytes(3 * kChunk + 5, 31);
    for (const auto& row : rows) {
        Bytes before(bytes.begin(), bytes.begin() + long(row.oldSize));
        Bytes after(bytes.begin(), bytes.begin() + long(row.newSize));
        if (row.flip >= 0) after[size_t(row.flip)] ^= 0x20;
        WriteFile(dir / "old.bin", before);
        WriteFile(dir / "new.bin", after);
        RunResult run = RunInspect({"--diff", "--json", dir / "old.bin", dir / "new.bin"});
        SCOPED_TRACE(std::to_string(row.oldSize) + " " + std::to_string(row.newSize) + " " + std::to_string(row.flip));
        EXPECT_EQ(run.status, row.first < 0 ? 0 : 1) << run.err;
        bool ok = false;
        Json doc = ParseJson(run.out, &ok);
        ASSERT_TRUE(ok) << run.out;
        EXPECT_EQ(doc["identical"].flag, row.first < 0);
        if (row.first >= 0) {
            EXPECT_EQ(doc["firstDifference"].number, double(row.first));
        }
    }
}

}  // namespace
}  // namespace morvik_test
