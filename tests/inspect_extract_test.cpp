// Morvik-inspect --extract and --svg: random layouts bound by the real
// Morvik come back byte for byte from the parts; the images that cannot
// are named; the picture renders and shows each kind in its colour.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "format/placement.h"
#include "support/image_model.h"
#include "support/random_layout.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// ---- the round trip ------------------------------------------------------------

// The placement rules the extractor reads a layout back with, worked out by
// hand: odd and even ends, a range one byte short of the record, and
// positions past 4 GiB, which must not wrap.
TEST(InspectExtract, PlacementRules) {
    // clang-format off
    struct Row {
        uint64_t dataStart, dataEnd, limit;
        bool last;
        uint64_t recordAt, leastRange, areaEnd;
        bool kept;  // no range (-l 0) is none to keep
    } rows[] = {
        {0x100, 0x200, 0, false, 0x200, 0x100, 0x200, false},
        {0x100, 0x200, 0, true, 0x200, 0x110, 0x210, false},
        {0x100, 0x201, 0, true, 0x202, 0x112, 0x212, false},
        {0x100, 0x201, 0x112, true, 0x202, 0x112, 0x212, true},
        {0x100, 0x201, 0x111, true, 0x202, 0x112, 0x211, false},
        {0x100, 0x201, 0x101, false, 0x202, 0x101, 0x201, true},
        {0x1000, 0x1001, 0x4000, true, 0x1002, 0x12, 0x5000, true},
        {0xfffffff0, 0xffffffff, 0, true, 0x100000000, 0x20, 0x100000010, false},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(Format("data 0x%llx..0x%llx, -l 0x%llx%s", (unsigned long long)r.dataStart,
                            (unsigned long long)r.dataEnd, (unsigned long long)r.limit, r.last ? ", last" : ""));
        EXPECT_EQ(morvik::FwPidRecordAt(r.dataEnd), r.recordAt);
        EXPECT_EQ(morvik::LeastRange(r.dataStart, r.dataEnd, r.last), r.leastRange);
        EXPECT_EQ(morvik::RangeIsKept(r.dataStart, r.dataEnd, r.limit, r.last), r.kept);
        EXPECT_EQ(morvik::AreaEnd(r.dataStart, r.dataEnd, r.limit, r.last), r.areaEnd);
    }
    EXPECT_EQ(morvik::KernelDataStart(0x8000), 0x8100u);
    EXPECT_EQ(morvik::HeaderStartOf(0x8100), 0x8000u);
    EXPECT_EQ(morvik::AreaStart(0x8100, true), 0x8000u);
    EXPECT_EQ(morvik::AreaStart(0x8100, false), 0x8100u);
}

TEST(InspectExtract, RandomLayoutsComeBackByteForByte) {
    std::mt19937 rng(18);
    int identical = 0, total = 0;
    for (int n = 0; n < 300; ++n) {
        Layout layout = RandomLayout(rng);
        BindFolder folder;
        for (const auto& [name, bytes] : layout.files) folder.Write(name, bytes);
        folder.Write("bind.par", layout.par);
        RunResult bind = folder.Bind({"-p", layout.fill});
        ASSERT_EQ(bind.status, 0) << layout.par << bind.out;
        RunResult extract = RunInspect({"--quiet", "--extract", folder / "parts", folder / "out.bin"});
        ASSERT_EQ(extract.status, 0) << layout.par << extract.out;
        RunOptions withBinder;
        withBinder.env = {std::string("MORVIK=") + MORVIK_BIN};
        RunResult rebind = RunProgram("/bin/sh", {"/bin/sh", folder / "parts/bind.sh"}, withBinder);
        ASSERT_EQ(rebind.status, 0) << rebind.out;
        std::string difference = FirstDifference(folder.Read("parts/rebuilt.bin"), folder.Read("out.bin"));
        EXPECT_EQ(difference, "") << layout.par << AsText(folder.Read("parts/recovered.PAR"));
        identical += difference.empty();
        ++total;
    }
    std::printf("round trip: %d of %d random layouts rebuilt byte for byte\n", identical, total);
    EXPECT_EQ(identical, total);
}

// ---- what cannot come back exactly ---------------------------------------------

const char* const kTenGroupImagesPar =
    "$Size &200\n%pid.txt &7fff\n"
    ":a.bin &8000 -k 0\n:b.bin &10000 -f 0\n:c.bin &18000 -f 0\n:d.bin &20000 -f 0\n:e.bin &28000 -f 0\n"
    ":f.bin &40000 -k 1\n:g.bin &48000 -f 1\n:h.bin &50000 -f 1\n:i.bin &58000 -f 1\n:j.bin &60000 -f 1\n";

struct NotExact {
    const char* name;
    const char* par;
    uint32_t patchAt;  // a byte changed after the bind (0: none)
    uint32_t cutTo;    // the image cut to this size (0: kept)
    int status;
    const char* says;
};

// clang-format off
const NotExact kNotExact[] = {
    {"damaged header", "$Size &40\n%pid.txt &7fff\n:a.bin &8000 -k\n", 0x8000 + 0x30, 0, 1,
     "header at 0x00008000: it does not verify"},
    {"size not in whole KiB", "$Size &40\n%pid.txt &7fff\n:a.bin &8000\n", 0, 0x9001, 1,
     "is not a multiple of 1 KiB"},
    {"eleven stretches", kTenGroupImagesPar, 0x30000, 0, 1, "cannot merge"},
};
// clang-format on

TEST(InspectExtract, SaysWhatItCannotReproduce) {
    for (const NotExact& row : kNotExact) {
        SCOPED_TRACE(row.name);
        BindFolder folder;
        folder.Write("pid.txt", PidFileText());
        for (char c = 'a'; c <= 'j'; ++c) folder.Write(std::string(1, c) + ".bin", PatternBytes(0x1000, c));
        folder.Write("bind.par", std::string(row.par));
        ASSERT_EQ(folder.Bind({"-p", "0xff"}).status, 0);
        Bytes image = folder.Read("out.bin");
        if (row.patchAt != 0) image[row.patchAt] ^= 0x5A;
        if (row.cutTo != 0) image.resize(row.cutTo);
        folder.Write("out.bin", image);
        RunResult r = RunInspect({"--quiet", "--extract", folder / "parts", folder / "out.bin"});
        EXPECT_EQ(r.status, row.status) << r.out;
        EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Round trip: NOT EXACT"), std::string::npos) << r.out;
        EXPECT_TRUE(folder.Exists("parts/recovered.PAR"));
    }
}

TEST(InspectExtract, RefusesAFolderThatHoldsFiles) {
    BindFolder folder;
    folder.Write("pid.txt", PidFileText());
    folder.Write("a.bin", PatternBytes(0x1000, 1));
    folder.Write("bind.par", std::string("$Size &40\n%pid.txt &7fff\n:a.bin &8000 -k\n"));
    ASSERT_EQ(folder.Bind().status, 0);
    ASSERT_EQ(mkdir((folder / "parts").c_str(), 0755), 0);
    folder.Write("parts/keep.txt", std::string("mine"));
    RunResult r = RunInspect({"--extract", folder / "parts", folder / "out.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r.err;
    EXPECT_FALSE(folder.Exists("parts/recovered.PAR"));
}

// A version is image bytes, the folder and the picture are named by the
// user: the text shows them escaped, JSON as \u escapes, and a name that is
// not UTF-8 also as its bytes in hex.
TEST(InspectExtract, VersionsAndNamesFromOutsideAreShownEscaped) {
    // clang-format off
    struct Outside {
        std::string version, shownVersion, jsonVersion;
        std::string name, shownName;  // of the folder; with ".svg", of the picture
        bool utf8;
    } rows[] = {
        {"\x1b[2J", "\\x1b[2J", "\\u001b[2J", "p\x07\xff", "p\\x07\\xff", false},
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J", "\\u009b2J", "p\xc2\x9b", "p\\xc2\\x9b", true},
    };
    // clang-format on
    for (const Outside& row : rows) {
        SCOPED_TRACE(row.shownName);
        BindFolder folder;
        folder.Write("pid.txt", PidFileText());
        folder.Write("a.bin", PatternBytes(0x1000, 1));
        folder.Write("bind.par", "$Size &40\n%pid.txt &7fff\n:a.bin &8000 -k -c -v " + row.version + "\n");
        ASSERT_EQ(folder.Bind().status, 0);
        const std::string shown = folder.dir.path + "/" + row.shownName, dir = folder / row.name, svg = dir + ".svg";
        RunResult text = RunInspect({"--extract", dir, "--svg", svg, folder / "out.bin"});
        RunResult json = RunInspect({"--json", "--extract", dir + "j", "--svg", svg + "j", folder / "out.bin"});
        for (const std::string& out : {text.out, json.out}) {
            EXPECT_EQ(out.find_first_of("\x07\x1b"), std::string::npos) << out;
            EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
        }
        EXPECT_NE(text.out.find("  " + row.shownVersion + "  yes  "), std::string::npos);
        EXPECT_EQ(MissingInOrder(text.out, {"Extraction into " + shown, "Layout picture: " + shown + ".svg"}), "");
        EXPECT_NE(text.out.find(":group-0x00008000-0.bin &8000 -k 0 -c -v " + row.shownVersion + "\n"),
                  std::string::npos);
        bool ok = false;
        ExpectMatchesSchema("morvik-inspect", json.out);
        Json doc = ParseJson(json.out, &ok);
        EXPECT_TRUE(ok) << json.out;
        EXPECT_NE(json.out.find("\"version\": \"" + row.jsonVersion + "\""), std::string::npos);
        EXPECT_EQ(doc["svgHex"].text, row.utf8 ? "" : HexOf(svg + "j"));
        EXPECT_EQ(doc["extraction"]["directoryHex"].text, row.utf8 ? "" : HexOf(dir + "j"));
    }
}

// ---- the picture ---------------------------------------------------------------

// An 8-bit RGB or RGBA non-interlaced PNG as rsvg-convert writes it, as RGB
// rows; empty when it is anything else.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

uint8_t Paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

Picture DecodePng(const Bytes& png) {
    Picture pic;
    Bytes idat;
    size_t channels = 0;
    for (size_t at = 8; at + 12 <= png.size();) {
        uint32_t length = png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
        const uint8_t* data = png.data() + at + 8;
        if (type == "IHDR") {
            pic.width = data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3];
            pic.height = data[4] << 24 | data[5] << 16 | data[6] << 8 | data[7];
            channels = data[9] == 6 ? 4 : data[9] == 2 ? 3 : 0;
            if (data[8] != 8 || data[12] != 0) return {};
        }
        if (type == "IDAT") idat.insert(idat.end(), data, data + length);
        at += 12 + length;
    }
    size_t stride = pic.width * channels;
    Bytes raw(pic.height * (stride + 1));
    uLongf size = raw.size();
    if (channels == 0 || uncompress(raw.data(), &size, idat.data(), idat.size()) != Z_OK) return {};
    Bytes prev(stride, 0), row(stride);
    for (uint32_t y = 0; y < pic.height; ++y) {
        const uint8_t* line = raw.data() + y * (stride + 1);
        for (size_t i = 0; i < stride; ++i) {
            int a = i >= channels ? row[i - channels] : 0, b = prev[i], c = i >= channels ? prev[i - channels] : 0;
            int pred[] = {0, a, b, (a + b) / 2, Paeth(a, b, c)};
            row[i] = static_cast<uint8_t>(line[1 + i] + pred[line[0] % 5]);
        }
        for (size_t x = 0; x < pic.width; ++x)
            pic.rgb.insert(pic.rgb.end(), &row[x * channels], &row[x * channels + 3]);
        prev = row;
    }
    return pic;
}

// The number in `attribute="..."` of the region rectangle that starts at `start`.
double RectAttribute(const std::string& svg, uint32_t start, const std::string& attribute) {
    size_t rect = svg.find(Format("data-start=\"%u\"", start));
    size_t at = svg.find(" " + attribute + "=\"", rect);
    return rect == std::string::npos ? -1 : std::stod(svg.substr(at + attribute.size() + 3));
}

struct KindColour {
    const char* kind;
    uint32_t start;
    uint8_t r, g, b;
};

TEST(InspectSvg, RendersWithEachKindInItsColour) {
    const char* renderer = "/usr/bin/rsvg-convert";
    if (access(renderer, X_OK) != 0) GTEST_SKIP() << "rsvg-convert (Debian package librsvg2-bin) is not installed";
    BindFolder folder;
    folder.Write("pid.txt", PidFileText());
    folder.Write("a.bin", PatternBytes(0x3000, 1));
    folder.Write("b.bin", PatternBytes(0x3000, 2));
    folder.Write("bind.par", std::string("$Size &40\n%pid.txt &7fff\n:b.bin &0\n:a.bin &8000 -k\n"));
    ASSERT_EQ(folder.Bind({"-p", "0xff"}).status, 0);
    ASSERT_EQ(RunInspect({"--quiet", "--svg", folder / "map.svg", folder / "out.bin"}).status, 0);
    RunResult render = RunProgram(renderer, {renderer, "-o", folder / "map.png", folder / "map.svg"});
    ASSERT_EQ(render.status, 0) << render.err;
    Picture pic = DecodePng(folder.Read("map.png"));
    ASSERT_GT(pic.width, 0u);
    std::string svg = AsText(folder.Read("map.svg"));
    const KindColour kinds[] = {
        {"kernel image", 0x8100, 0x2e, 0x8b, 0x57},
        {"other data", 0, 0x8a, 0x6f, 0xb5},
        {"fill", 0x3000, 0xe8, 0xe8, 0xe8},
    };
    for (const KindColour& k : kinds) {
        SCOPED_TRACE(k.kind);
        double x = RectAttribute(svg, k.start, "x") + RectAttribute(svg, k.start, "width") / 2;
        double y = RectAttribute(svg, k.start, "y") + RectAttribute(svg, k.start, "height") / 2;
        const uint8_t* px = &pic.rgb[(static_cast<size_t>(y) * pic.width + static_cast<size_t>(x)) * 3];
        EXPECT_EQ(Format("%02x%02x%02x", px[0], px[1], px[2]), Format("%02x%02x%02x", k.r, k.g, k.b));
    }
}

}  // namespace
}  // namespace morvik_test
