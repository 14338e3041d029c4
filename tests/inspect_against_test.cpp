// Morvik-inspect --against: an image bound by the real Morvik passes
// against its PAR file; each kind of damage is named by its PAR line and
// file; a PAR file the binder refuses gives the binder's own diagnostics,
// status 2 and no file; an input that changes while it is compared stops
// the check.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>

#include "support/image_model.h"
#include "support/json.h"
#include "support/random_layout.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

RunResult InspectIn(const BindFolder& folder, std::vector<std::string> args, RunOptions options = {}) {
    options.cwd = folder.dir.path;
    args.insert(args.begin(), MORVIK_INSPECT_BIN);
    return RunProgram(MORVIK_INSPECT_BIN, args, options);
}

// The lines behind the inspection's own summary: the comparison's.
std::vector<std::string> AgainstLines(const std::string& out) {
    std::vector<std::string> lines = Lines(out);
    auto summary = std::find_if(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.rfind("Summary: ", 0) == 0; });
    return summary == lines.end() ? lines : std::vector<std::string>(summary + 1, lines.end());
}

// Every file of a folder with its bytes.
std::map<std::string, Bytes> Contents(const BindFolder& folder) {
    std::map<std::string, Bytes> files;
    DIR* dir = opendir(folder.dir.path.c_str());
    for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;)
        if (e->d_name[0] != '.') files[e->d_name] = folder.Read(e->d_name);
    if (dir != nullptr) closedir(dir);
    return files;
}

std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---- the bundled examples -------------------------------------------------------

const char* const kExampleFiles[] = {"ARMPARA.PAR",  "DUAL.PAR",   "boot.bin",     "kernel.bin",
                                     "kernel-b.bin", "rootfs.bin", "rootfs-b.bin", "pid.txt"};

// The names in the expected lines: {par}, {boot}, {kernel}, {rootfs},
// {pid}, {kernelB} ("FILE.PAR:LINE: name"), {size}, {grown}, {fill},
// {other} (the other fill byte), {flipped} (the fill byte ^ 0x5a), {pidHex}
// and {pidFlipped} (the PID, and with its fourth byte ^ 0x5a), {pidEdited}.
struct Example {
    const char* par;
    int boot, kernel, rootfs, pid, kernelB;
    uint32_t size;
};
const Example kExamples[] = {
    {"ARMPARA.PAR", 11, 16, 17, 8, 0, 0x11a12},
    {"DUAL.PAR", 6, 9, 10, 4, 13, 0x29c10},
};

struct Damage {
    const char* name;
    std::vector<uint32_t> flips;  // bytes of the image ^ 0x5a
    std::vector<uint32_t> ones;   // ... ^ 0x01
    int64_t resize = 0;           // bytes cut off (< 0) or added (> 0)
    const char* edit = "";        // an input changed after the bind
    bool otherFill = false;       // --fill gives the other byte
    bool dualOnly = false;
    bool exact = true;  // the lines are all the lines; else they occur in this order, a trailing '*' a prefix
    std::vector<std::string> lines;
};

// clang-format off
const Damage kDamages[] = {
    {"untouched", {}, {}, 0, "", false, false, true, {"Against {par}: the image is byte for byte what it binds"}},
    {"truncated", {}, {}, -0xa12, "", false, false, true,
     {"the image is 0x{cut} bytes, the PAR file makes {size}", "Against {par}: 1 difference"}},
    {"grown", {}, {}, 0x10, "", false, false, true,
     {"the image is {grown} bytes, the PAR file makes {size}", "Against {par}: 1 difference"}},
    {"bootloader", {0x10, 0x1f}, {}, 0, "", false, false, true,
     {"{boot}: 2 bytes differ from 0x10 to 0x1f", "Against {par}: 1 difference"}},
    {"pad of a reserved range", {0x7f00, 0x7f01, 0x7f02}, {}, 0, "", false, false, true,
     {"{boot}: 3 bytes of its reserved range differ from 0x7f00 to 0x7f02 (pad 0xff expected)",
      "Against {par}: 1 difference"}},
    {"header", {0x8010, 0x8013}, {}, 0, "", false, false, true,
     {"{kernel}: the firmware header at 0x8000: 2 bytes differ from 0x8010 to 0x8013", "Against {par}: 1 difference"}},
    {"second header", {0x200ff}, {}, 0, "", false, true, true,
     {"{kernelB}: the firmware header at 0x20000: 1 byte differs at 0x200ff", "Against {par}: 1 difference"}},
    {"kernel", {0x9000}, {}, 0, "", false, false, true,
     {"{kernel}: 1 byte differs at 0x9000", "Against {par}: 1 difference"}},
    {"rootfs", {0x10010, 0x101ff}, {}, 0, "", false, false, true,
     {"{rootfs}: 2 bytes differ from 0x10010 to 0x101ff", "Against {par}: 1 difference"}},
    {"PID bytes", {0x7fc4}, {}, 0, "", false, false, true,
     {"{pid}: the PID block differs (PID 0x{pidHex} expected, 0x{pidFlipped} found)", "Against {par}: 1 difference"}},
    {"PID magic", {0x7fba, 0x7fc4}, {}, 0, "", false, false, true,
     {"{pid}: the PID block at 0x7fba: 2 bytes differ from 0x7fba to 0x7fc4", "Against {par}: 1 difference"}},
    {"FW PID record", {0x11a0a}, {}, 0, "", false, false, true,
     {"{pid}: the FW PID record of group 0 at 0x11a02: 1 byte differs at 0x11a0a", "Against {par}: 1 difference"}},
    {"second FW PID record", {0x29c00, 0x29c0f}, {}, 0, "", false, true, true,
     {"{pid}: the FW PID record of group 1 at 0x29c00: 2 bytes differ from 0x29c00 to 0x29c0f",
      "Against {par}: 1 difference"}},
    {"fill", {0xb000, 0xb001, 0xb002}, {}, 0, "", false, false, true,
     {"fill at 0xb000..0xb002 is {flipped}, expected {fill}", "Against {par}: 1 difference"}},
    {"fill of mixed bytes", {0xb000, 0xc000}, {0xb001}, 0, "", false, false, true,
     {"fill at 0xb000..0xc000: 3 bytes differ, expected {fill}", "Against {par}: 1 difference"}},
    {"wrong --fill", {}, {}, 0, "", true, false, false,
     {"{kernel}: the firmware header at 0x8000: *", "fill at 0xa445..0xffff is {fill}, expected {other}",
      "the image was bound with -p {fill}: give --fill {fill}", "Against {par}: *"}},
    {"a different input", {}, {}, 0, "rootfs.bin", false, false, false,
     {"{kernel}: the firmware header at 0x8000: *", "{rootfs}: 1 byte differs at 0x10005", "Against {par}: 2 differences"}},
    {"a different PID", {}, {}, 0, "pid.txt", false, false, true,
     {"{pid}: the PID block differs (PID 0x{pidEdited} expected, 0x{pidHex} found)", "Against {par}: 1 difference"}},
};
// clang-format on

std::string Expand(std::string line, const std::map<std::string, std::string>& names) {
    for (const auto& [key, value] : names)
        for (size_t at; (at = line.find(key)) != std::string::npos;) line.replace(at, key.size(), value);
    return line;
}

std::map<std::string, std::string> NamesOf(const Example& e, const char* fill, const std::string& pid) {
    auto at = [&](int line, const char* file) { return Format("%s:%d: %s", e.par, line, file); };
    const bool ff = std::string(fill) == "0xff";
    std::string flipped = pid;
    flipped.replace(6, 2, Format("%02x", std::stoi(pid.substr(6, 2), nullptr, 16) ^ 0x5a));
    std::string edited = "0" + pid.substr(1);
    return {{"{par}", e.par},
            {"{boot}", at(e.boot, "boot.bin")},
            {"{kernelB}", at(e.kernelB, "kernel-b.bin")},
            {"{kernel}", at(e.kernel, "kernel.bin")},
            {"{rootfs}", at(e.rootfs, "rootfs.bin")},
            {"{pidHex}", pid},
            {"{pidFlipped}", flipped},
            {"{pidEdited}", edited},
            {"{pid}", at(e.pid, "pid.txt")},
            {"{size}", Format("0x%x", e.size)},
            {"{cut}", Format("%x", e.size - 0xa12)},
            {"{grown}", Format("0x%x", e.size + 0x10)},
            {"{fill}", ff ? "0xff" : "0x00"},
            {"{other}", ff ? "0x00" : "0xff"},
            {"{flipped}", ff ? "0xa5" : "0x5a"}};
}

void ExpectLines(const Damage& d, const std::vector<std::string>& got, const std::vector<std::string>& wanted) {
    if (d.exact) {
        EXPECT_EQ(got, wanted);
        return;
    }
    size_t next = 0;
    for (const std::string& line : got) {
        if (next == wanted.size()) break;
        const std::string& w = wanted[next];
        bool prefix = !w.empty() && w.back() == '*';
        if (prefix ? line.rfind(w.substr(0, w.size() - 1), 0) == 0 : line == w) ++next;
    }
    EXPECT_EQ(next, wanted.size()) << "missing: " << (next < wanted.size() ? wanted[next] : "") << "\nin:\n"
                                   << ::testing::PrintToString(got);
}

void WriteExamples(const BindFolder& folder) {
    for (const char* name : kExampleFiles)
        folder.Write(name, ReadFile(std::string(MORVIK_SOURCE_DIR) + "/examples/" + name));
}

void Damaged(const BindFolder& folder, const Damage& d) {
    Bytes image = folder.Read("out.bin");
    for (uint32_t at : d.flips) image[at] ^= 0x5a;
    for (uint32_t at : d.ones) image[at] ^= 0x01;
    if (d.resize < 0) image.resize(image.size() - static_cast<size_t>(-d.resize));
    if (d.resize > 0) image.resize(image.size() + static_cast<size_t>(d.resize), 0x5a);
    folder.Write("out.bin", image);
    if (std::string(d.edit) == "rootfs.bin") {
        Bytes rootfs = folder.Read("rootfs.bin");
        rootfs[5] ^= 0x5a;
        folder.Write("rootfs.bin", rootfs);
    }
    if (std::string(d.edit) == "pid.txt") {
        Bytes pid = folder.Read("pid.txt");
        pid[0] = '0';
        folder.Write("pid.txt", pid);
    }
}

TEST(InspectAgainst, TheExamplesPassAndEachDamageIsNamed) {
    const std::string pid =
        Lower(AsString(ReadFile(std::string(MORVIK_SOURCE_DIR) + "/examples/pid.txt")).substr(0, 112));
    for (const Example& e : kExamples) {
        for (const char* fill : {"0x00", "0xff"}) {
            for (const Damage& d : kDamages) {
                if (d.dualOnly && e.kernelB == 0) continue;
                SCOPED_TRACE(Format("%s bound with -p %s: %s", e.par, fill, d.name));
                BindFolder folder;
                WriteExamples(folder);
                ASSERT_EQ(RunMorvik({"-i", e.par, "-o", "out.bin", "-p", fill}, folder.dir.path).status, 0);
                Damaged(folder, d);
                const bool ff = std::string(fill) == "0xff";
                std::vector<std::string> args = {"--against", e.par, "out.bin"};
                // The default fill is left out once, given as 0x00 once.
                const bool giveFf = ff != d.otherFill;
                if (giveFf || d.otherFill) args.insert(args.begin() + 2, {"--fill", giveFf ? "0xFF" : "0x00"});
                if (ff) args.insert(args.begin(), "--quiet");
                RunResult r = InspectIn(folder, args);
                EXPECT_EQ(r.status, std::string(d.name) == "untouched" ? 0 : 1) << r.out << r.err;
                std::vector<std::string> wanted;
                for (const std::string& line : d.lines) wanted.push_back(Expand(line, NamesOf(e, fill, pid)));
                ExpectLines(d, AgainstLines(r.out), wanted);
                EXPECT_EQ(r.err, "");
            }
        }
    }
}

// Layouts where one write covers part of another: the description cuts it
// out, and the input is read past it.
TEST(InspectAgainst, WritesOverOthersAreComparedPiecewise) {
    // clang-format off
    const struct {
        const char* name;
        const char* par;
        uint32_t flip;
        const char* says;
    } rows[] = {
        {"a PID block over an image", "$Size &10\n%pid.txt &1045\n:boot.bin &0\n", 0x1046,
         "bind.par:3: boot.bin: 1 byte differs at 0x1046"},
        {"a PID block over its head", "$Size &10\n%pid.txt &45\n:boot.bin &0\n", 0x46,
         "bind.par:3: boot.bin: 1 byte differs at 0x46"},
        {"a range without a pad byte", "$Size &10\n%pid.txt &3fff\n:boot.bin &0 -l 0x2000\n", 0x1900,
         "fill at 0x1900 is 0x5a, expected 0x00"},
        {"a PID block in a padded range", "$Size &10\n%pid.txt &1fff\n:boot.bin &0 -l 0x3000 -p 0xff\n", 0x2000,
         "bind.par:3: boot.bin: 1 byte of its reserved range differs at 0x2000 (pad 0xff expected)"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BindFolder folder;
        WriteExamples(folder);
        folder.Write("bind.par", std::string(row.par));
        ASSERT_EQ(folder.Bind().status, 0);
        RunResult clean = InspectIn(folder, {"--quiet", "--against", "bind.par", "out.bin"});
        EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
        Bytes image = folder.Read("out.bin");
        image[row.flip] ^= 0x5a;
        folder.Write("out.bin", image);
        RunResult r = InspectIn(folder, {"--quiet", "--against", "bind.par", "out.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(AgainstLines(r.out), (std::vector<std::string>{row.says, "Against bind.par: 1 difference"}));
    }
}

// ---- PAR files the binder refuses ------------------------------------------------

struct Refused {
    const char* name;
    const char* from;  // replaced in ARMPARA.PAR ...
    const char* to;    // ... by this
    const char* file;  // a file written first ("name=text")
};

// clang-format off
const Refused kRefused[] = {
    {"a missing image", "rootfs.bin &10000", "nothere.bin &10000", ""},
    {"overlapping images", "rootfs.bin &10000", "rootfs.bin &9000", ""},
    {"an empty image", "rootfs.bin &10000", "empty.bin &10000", "empty.bin="},
    {"a short PID file", "%pid.txt", "%short.txt", "short.txt=0123456789"},
    {"a PID block outside the output", "%pid.txt &7fff", "%pid.txt &fffff", ""},
    {"no size line", "$Size &80", "", ""},
    {"a third kernel group mark", "-f -c", "-k 2 -c", ""},
};
// clang-format on

TEST(InspectAgainst, APARFileTheBinderRefusesGivesItsDiagnostics) {
    const std::string par = AsString(ReadFile(std::string(MORVIK_SOURCE_DIR) + "/examples/ARMPARA.PAR"));
    for (const Refused& row : kRefused) {
        SCOPED_TRACE(row.name);
        BindFolder folder;
        WriteExamples(folder);
        ASSERT_EQ(RunMorvik({"-i", "ARMPARA.PAR", "-o", "out.bin"}, folder.dir.path).status, 0);
        std::string text = par;
        text.replace(text.find(row.from), std::string(row.from).size(), row.to);
        folder.Write("bad.PAR", text);
        if (*row.file != '\0') {
            const std::string entry = row.file;  // "NAME=CONTENTS"
            folder.Write(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
        }
        RunResult bind = RunMorvik({"-i", "bad.PAR", "-o", "refused.bin"}, folder.dir.path);
        ASSERT_NE(bind.status, 0);
        ASSERT_NE(bind.err, "") << "the binder refuses without a word on standard error";
        const auto before = Contents(folder);
        RunResult r = InspectIn(folder, {"--against", "bad.PAR", "out.bin"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(
            r.err,
            bind.err + "Error : bad.PAR: the bind would be refused: there is nothing to check the image against\n");
        EXPECT_TRUE(Contents(folder) == before) << "the check wrote into the folder";
    }
}

// ---- inputs that change while they are compared ----------------------------------

TEST(InspectAgainst, AnInputThatChangesStopsTheCheck) {
    // clang-format off
    const struct {
        const char* change;  // see RunOptions::changeInput: the reader measures, the planner checksums group images
        const char* says;
    } rows[] = {
        {"rootfs.bin:3:truncate", "ARMPARA.PAR:17: error: image file 'rootfs.bin' is shorter now than the 0x1a01 bytes "
                                  "measured when its line was read: the image cannot be compared with it\n"},
        {"boot.bin:2:grow", "ARMPARA.PAR:11: error: image file 'boot.bin' is longer now than the 0x1800 bytes "
                            "measured when its line was read: the image cannot be compared with it\n"},
        {"kernel.bin:3:remove", "ARMPARA.PAR:16: error: image file 'kernel.bin' cannot be opened any more: No such file "
                                "or directory: the image cannot be compared with it\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.change);
        BindFolder folder;
        WriteExamples(folder);
        ASSERT_EQ(RunMorvik({"-i", "ARMPARA.PAR", "-o", "out.bin"}, folder.dir.path).status, 0);
        RunOptions options;
        options.changeInput = row.change;
        RunResult r = InspectIn(folder, {"--against", "ARMPARA.PAR", "out.bin"}, options);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, row.says);
        EXPECT_EQ(r.out, "");
    }
}

// ---- the options, JSON and the other outputs -------------------------------------

TEST(InspectAgainst, FillIsCheckedAndNeedsAgainst) {
    BindFolder folder;
    WriteExamples(folder);
    ASSERT_EQ(RunMorvik({"-i", "ARMPARA.PAR", "-o", "out.bin"}, folder.dir.path).status, 0);
    // clang-format off
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } rows[] = {
        {{"--fill", "0x00", "out.bin"}, 2, "Error : --fill gives the fill of the bind that --against compares with: "
                                           "give --against FILE.PAR too\n"},
        {{"--against", "ARMPARA.PAR", "--fill", "0x0f", "out.bin"}, 2,
         "Error : --fill value '0x0f' is none of 0x00, 0xff and 0xFF\n"},
        {{"--against", "ARMPARA.PAR", "--fill", "0xFF", "out.bin"}, 1, ""},
        {{"--against", "ARMPARA.PAR", "--fill", "0x00", "out.bin"}, 0, ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        RunResult r = InspectIn(folder, row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
    }
}

TEST(InspectAgainst, JsonNamesEachDifference) {
    BindFolder folder;
    WriteExamples(folder);
    ASSERT_EQ(RunMorvik({"-i", "DUAL.PAR", "-o", "out.bin", "-p", "0xff"}, folder.dir.path).status, 0);
    Bytes image = folder.Read("out.bin");
    image[0x7f00] = 0;
    image[0x12000] = 0;
    image.resize(0x29000);
    folder.Write("out.bin", image);
    RunResult r = InspectIn(folder, {"--json", "--against", "DUAL.PAR", "--fill", "0xff", "out.bin"});
    EXPECT_EQ(r.status, 1);
    ExpectMatchesSchema("morvik-inspect", r.out);
    bool ok = false;
    Json doc = ParseJson(r.out, &ok);
    ASSERT_TRUE(ok) << r.out;
    const Json& against = doc["against"];
    EXPECT_EQ(against["parFile"].text, "DUAL.PAR");
    EXPECT_EQ(against["fill"].number, 255);
    EXPECT_EQ(against["expectedSize"].number, 0x29c10);
    EXPECT_FALSE(against["matches"].flag);
    ASSERT_EQ(against["differences"].items.size(), 3u);
    const Json& size = against["differences"].items[0];
    EXPECT_EQ(size["kind"].text, "size");
    EXPECT_TRUE(size["line"].kind == Json::Null);
    EXPECT_EQ(size["text"].text, "the image is 0x29000 bytes, the PAR file makes 0x29c10");
    const Json& pad = against["differences"].items[1];
    EXPECT_EQ(pad["kind"].text, "rangePad");
    EXPECT_EQ(pad["line"].number, 6);
    EXPECT_EQ(pad["file"].text, "boot.bin");
    EXPECT_EQ(pad["start"].number, 0x7f00);
    EXPECT_EQ(pad["end"].number, 0x7f01);
    EXPECT_EQ(pad["bytes"].number, 1);
    const Json& fill = against["differences"].items[2];
    EXPECT_EQ(fill["kind"].text, "fill");
    EXPECT_TRUE(fill["file"].kind == Json::Null);
    EXPECT_EQ(fill["text"].text, "fill at 0x12000 is 0x00, expected 0xff");
    EXPECT_EQ(against["summary"].text, "Against DUAL.PAR: 3 differences");
}

// With the picture on standard output the lines go to standard error, as
// the failures do; --extract works as ever.
TEST(InspectAgainst, GoesWithThePictureAndTheParts) {
    BindFolder folder;
    WriteExamples(folder);
    ASSERT_EQ(RunMorvik({"-i", "ARMPARA.PAR", "-o", "out.bin"}, folder.dir.path).status, 0);
    Bytes image = folder.Read("out.bin");
    image[0x9000] ^= 1;
    folder.Write("out.bin", image);
    RunResult svg = InspectIn(folder, {"--svg", "-", "--against", "ARMPARA.PAR", "out.bin"});
    EXPECT_EQ(svg.status, 1);
    EXPECT_EQ(svg.out.rfind("<svg", 0) == 0 || svg.out.rfind("<?xml", 0) == 0, true);
    EXPECT_EQ(svg.err.rfind("ARMPARA.PAR:16: kernel.bin: 1 byte differs at 0x9000\nAgainst ARMPARA.PAR: 1 difference\n"
                            "header at 0x00008000: entry 0",
                            0),
              0u)
        << svg.err;
    RunResult parts = InspectIn(folder, {"--quiet", "--extract", "parts", "--against", "ARMPARA.PAR", "out.bin"});
    EXPECT_EQ(parts.status, 1);
    EXPECT_EQ(AgainstLines(parts.out).back(), "Against ARMPARA.PAR: 1 difference");
    EXPECT_TRUE(folder.Exists("parts/recovered.PAR"));
}

// ---- random layouts ----------------------------------------------------------------

TEST(InspectAgainst, RandomLayoutsPassAndOneChangedByteIsOneDifference) {
    std::mt19937 rng(27);
    for (int n = 0; n < 60; ++n) {
        Layout layout = RandomLayout(rng);
        SCOPED_TRACE(layout.par);
        BindFolder folder;
        for (const auto& [name, bytes] : layout.files) folder.Write(name, bytes);
        folder.Write("bind.par", layout.par);
        ASSERT_EQ(folder.Bind({"-p", layout.fill}).status, 0);
        RunResult clean = InspectIn(folder, {"--quiet", "--against", "bind.par", "--fill", layout.fill, "out.bin"});
        EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
        EXPECT_EQ(AgainstLines(clean.out),
                  std::vector<std::string>{"Against bind.par: the image is byte for byte what it binds"});
        Bytes image = folder.Read("out.bin");
        const uint32_t at = std::uniform_int_distribution<uint32_t>(0, static_cast<uint32_t>(image.size() - 1))(rng);
        image[at] ^= 0x01;
        folder.Write("out.bin", image);
        RunResult r = InspectIn(folder, {"--quiet", "--against", "bind.par", "--fill", layout.fill, "out.bin"});
        EXPECT_EQ(r.status, 1);
        std::vector<std::string> lines = AgainstLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[1], "Against bind.par: 1 difference");
        const std::string where = Format("0x%x", at);
        const bool named = lines[0].find(" at " + where) != std::string::npos ||
                           lines[0].find("fill at " + where) == 0 ||
                           lines[0].find("the PID block differs") != std::string::npos;
        EXPECT_TRUE(named) << lines[0] << " for 0x" << std::hex << at;
    }
}

}  // namespace
}  // namespace morvik_test
