// The files a bind writes beside its image: the dependency file of
// --makedeps, word for word, and the map of --map, member by member against
// values worked out by hand from the layout rules (CRC-32s from zlib, the
// header checksums from the independent image model). Every map is held to
// docs/morvik-map.schema.json. A failed bind leaves the image, the map and
// the dependency file as they were, and a path the output rule refuses
// makes nothing at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/image_model.h"
#include "support/json.h"
#include "support/run_tool.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

const fs::path kExamples = fs::path(MORVIK_SOURCE_DIR) / "examples";

std::string TextOf(const std::string& path) {
    Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A folder holding the bundled examples; `real` is the folder followed
// through its links, as the dependency file names it.
struct ExampleFolder {
    TempDir dir;
    std::string real;
    ExampleFolder() {
        for (const auto& entry : fs::directory_iterator(kExamples))
            if (entry.is_regular_file()) fs::copy_file(entry.path(), dir / entry.path().filename().string());
        real = fs::canonical(dir.path).string();
    }
    std::string operator/(const std::string& name) const { return dir / name; }
};

// `text` with every "{D}" replaced by `folder`.
std::string WithFolder(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, folder);
    return text;
}

// The temporary files a run left in `folder` (".NAME.morvik-XXXXXX").
std::vector<std::string> LeftTempFiles(const std::string& folder) {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.find(".morvik-") != std::string::npos) left.push_back(name);
    }
    return left;
}

// ---------------------------------------------------------------------------
// The dependency file
// ---------------------------------------------------------------------------

TEST(E2eSideFiles, DependencyFileWordForWord) {
    const std::string inputs =
        "{D}/ARMPARA.PAR {D}/boot.bin {D}/kernel.bin {D}/rootfs.bin {D}/pid.txt\n"
        "{D}/ARMPARA.PAR:\n{D}/boot.bin:\n{D}/kernel.bin:\n{D}/rootfs.bin:\n{D}/pid.txt:\n";
    const std::string dotted = ":./boot.bin &0 -l 0x8000\n:sub/../boot.bin &8000\n";
    // clang-format off
    const struct {
        const char* what;
        std::string folder;              // made in the example folder and run in; "" for the folder itself
        std::vector<std::string> args;   // the PAR file is in the folder it runs in
        std::string par;                 // written as the PAR file, when not ""
        std::string text;                // "{D}": the example folder; "" when refused
        std::string refusal = "";        // the end of the error then
    } cases[] = {
        {"plain names, the target as given", "", {"-o", "out.bin"}, "", "out.bin: " + inputs},
        {"a relative -o kept as given", "", {"-o", "./sub/../out.bin"}, "", "./sub/../out.bin: " + inputs},
        {"an absolute -o kept as given", "", {"-o", "{D}/sub/../out.bin"}, "", "{D}/sub/../out.bin: " + inputs},
        {"a blank, '#', '$' and ':' in the folder, the PAR file and the target", "my b#ard $1:2",
         {"-i", "my board.PAR", "-o", "out put#1$.bin"}, "",
         "out\\ put\\#1$$.bin: {D}/my\\ b\\#ard\\ $$1\\:2/my\\ board.PAR {D}/my\\ b\\#ard\\ $$1\\:2/boot.bin\n"
         "{D}/my\\ b\\#ard\\ $$1\\:2/my\\ board.PAR:\n{D}/my\\ b\\#ard\\ $$1\\:2/boot.bin:\n"},
        {"UTF-8 and the other plain characters", "é日+,@!{}~", {"-o", "(ä)-_.bin"}, "",
         "(ä)-_.bin: {D}/é日+,@!{}~/ARMPARA.PAR {D}/é日+,@!{}~/boot.bin\n"
         "{D}/é日+,@!{}~/ARMPARA.PAR:\n{D}/é日+,@!{}~/boot.bin:\n"},
        {"an image named twice, through dots and a folder: once, absolute", "", {"-o", "o.bin"},
         "$Size &40\n" + dotted, "o.bin: {D}/ARMPARA.PAR {D}/boot.bin\n{D}/ARMPARA.PAR:\n{D}/boot.bin:\n"},
        {"a newline in the target", "", {"-o", "out\n.bin"}, "", "", "'out\\n.bin' holds a newline"},
        {"a newline in the folder", "a\nb", {"-o", "o.bin"}, "", "", "holds a newline"},
        {"a tab", "", {"-o", "o\t.bin"}, "", "", "holds a tab"},
        {"a carriage return", "", {"-o", "o\r.bin"}, "", "", "holds a carriage return"},
        {"an escape character", "", {"-o", "o\x1b.bin"}, "", "", "holds the control character 0x1b"},
        {"a backslash", "", {"-o", "o\\.bin"}, "", "", "holds '\\\\'"},
        {"a wildcard", "", {"-o", "o*.bin"}, "", "", "holds '*'"},
        {"a variable assignment", "", {"-o", "o=1.bin"}, "", "", "holds '='"},
        {"a pattern", "", {"-o", "o%.bin"}, "", "", "holds '%'"},
        {"order-only prerequisites", "", {"-o", "o|p.bin"}, "", "", "holds '|'"},
        {"a quote", "", {"-o", "o'.bin"}, "", "", "holds '''"},
        {"a home folder", "", {"-o", "~o.bin"}, "", "", "starts with '~' (make reads a home folder there)"},
        {"a member of an archive", "", {"-o", "lib(o.bin)"}, "", "",
         "holds '(' and ends in ')' (make reads a member of an archive there)"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExampleFolder folder;
        std::string where = folder.real;
        if (!c.folder.empty()) {
            where += "/" + c.folder;
            fs::create_directory(where);
            const char* par = c.args.size() > 2 && c.args[0] == "-i" ? "my board.PAR" : "ARMPARA.PAR";
            WriteFile(where + "/" + par, "$Size &8\n:boot.bin &0\n");
            fs::copy_file(folder / "boot.bin", where + "/boot.bin");
        }
        fs::create_directory(where + "/sub");
        if (!c.par.empty()) WriteFile(where + "/ARMPARA.PAR", c.par);
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(WithFolder(arg, folder.real));
        args.insert(args.end(), {"--makedeps", "deps.d"});
        RunResult run = RunMorvik(args, where);
        if (!c.text.empty()) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(TextOf(where + "/deps.d"), WithFolder(c.text, folder.real));
            continue;
        }
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("Morvik: error: --makedeps: the name "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.refusal + ": make or ninja would not read it back"), std::string::npos) << run.err;
        EXPECT_FALSE(FileExists(where + "/deps.d"));
        EXPECT_FALSE(HasLine(run.out, "DONE!"));
        EXPECT_EQ(LeftTempFiles(where), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------
// The map
// ---------------------------------------------------------------------------

// A member of a parsed document by its path ("images/0/free"), or nullptr
// where there is none.
const Json* Find(const Json& document, const std::string& path) {
    const Json* at = &document;
    for (size_t from = 0; from <= path.size() && at != nullptr;) {
        size_t to = path.find('/', from);
        if (to == std::string::npos) to = path.size();
        const std::string step = path.substr(from, to - from);
        if (at->kind == Json::Array) {
            size_t i = std::stoul(step);
            at = i < at->items.size() ? &at->items[i] : nullptr;
        } else {
            auto member = at->members.find(step);
            at = member != at->members.end() ? &member->second : nullptr;
        }
        from = to + 1;
    }
    return at;
}

const Json& At(const Json& document, const std::string& path) {
    static const Json missing;
    const Json* at = Find(document, path);
    return at != nullptr ? *at : missing;
}

// A value as the rows write it: a number in decimal, a string as it is,
// null, true, false; "missing" for a member that is not there.
std::string Shown(const Json& value) {
    switch (value.kind) {
        case Json::Null:
            return "null";
        case Json::Bool:
            return value.flag ? "true" : "false";
        case Json::Number:
            return std::to_string(static_cast<long long>(value.number));
        case Json::String:
            return value.text;
        default:
            return "(an object or array)";
    }
}

// Binds in `folder` with `args` and --map map.json: the document, held to
// the schema; `ok` false when the bind or the parse failed.
Json BindMap(const std::string& folder, std::vector<std::string> args, bool* ok) {
    args.insert(args.end(), {"--map", "map.json"});
    RunResult run = RunMorvik(args, folder);
    *ok = run.status == 0 && FileExists(folder + "/map.json");
    EXPECT_TRUE(*ok) << run.out << run.err;
    if (!*ok) return Json();
    const std::string text = TextOf(folder + "/map.json");
    ExpectMatchesSchema("morvik-map", text);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one document on one line";
    Json document = ParseJson(text, ok);
    EXPECT_TRUE(*ok) << text;
    return document;
}

struct ImageRow {
    const char* file;
    uint32_t line;
    const char* role;
    int group;  // -1: null
    uint32_t imageOffset, dataOffset, length, areaEnd, limit;
    bool kept;
    int pad, free, percent;  // -1: null
    uint32_t gap;
};

struct EntryRow {
    const char* file;
    uint32_t offset, length;
    const char* version;
    bool cksum;  // -c on its line: verified at fill 0x00 (at 0xFF every entry is)
};

struct HeaderRow {
    uint32_t offset;
    uint32_t record;
    std::vector<EntryRow> entries;
};

std::string Null(int value) { return value < 0 ? "null" : std::to_string(value); }

void CheckImage(const Json& item, const ImageRow& row) {
    SCOPED_TRACE(row.file);
    const std::pair<const char*, std::string> members[] = {
        {"file", row.file},
        {"line", std::to_string(row.line)},
        {"role", row.role},
        {"group", Null(row.group)},
        {"imageOffset", std::to_string(row.imageOffset)},
        {"dataOffset", std::to_string(row.dataOffset)},
        {"length", std::to_string(row.length)},
        {"areaEnd", std::to_string(row.areaEnd)},
        {"limit", std::to_string(row.limit)},
        {"rangeKept", row.kept ? "true" : "false"},
        {"pad", Null(row.pad)},
        {"free", Null(row.free)},
        {"percentUsed", Null(row.percent)},
        {"gapToNext", std::to_string(row.gap)},
    };
    for (const auto& [member, value] : members) EXPECT_EQ(Shown(item[member]), value) << member;
}

// The header in the map against the independent model of the sealed
// header and against the bytes in the output.
void CheckHeader(const Json& item, int group, const HeaderRow& row, uint8_t fill, const ExampleFolder& folder,
                 const Bytes& output) {
    SCOPED_TRACE("header of group " + std::to_string(group));
    std::vector<HeaderEntry> model;
    for (const EntryRow& e : row.entries) model.push_back({e.offset, ReadFile(folder / e.file), e.version, e.cksum});
    const Bytes sealed = SealedHeader(fill, row.record, model);
    EXPECT_EQ(Shown(item["group"]), std::to_string(group));
    EXPECT_EQ(Shown(item["offset"]), std::to_string(row.offset));
    EXPECT_EQ(Shown(item["size"]), "256");
    EXPECT_EQ(Shown(item["kernel"]), row.entries[0].file);
    EXPECT_EQ(Shown(item["fwPidRecord"]), std::to_string(row.record));
    EXPECT_EQ(Shown(item["headerChecksum"]), std::to_string(Le32(sealed, 8)));
    EXPECT_EQ(Shown(item["checksumBitmap"]), std::to_string(sealed[13]));
    EXPECT_TRUE(Slice(output, row.offset, 256) == sealed) << "the output holds another header";
    ASSERT_EQ(item["entries"].items.size(), row.entries.size());
    for (size_t n = 0; n < row.entries.size(); ++n) {
        const EntryRow& e = row.entries[n];
        const Json& entry = item["entries"][n];
        SCOPED_TRACE(e.file);
        EXPECT_EQ(Shown(entry["index"]), std::to_string(n));
        EXPECT_EQ(Shown(entry["file"]), e.file);
        EXPECT_EQ(Shown(entry["offset"]), std::to_string(e.offset));
        EXPECT_EQ(Shown(entry["length"]), std::to_string(e.length));
        EXPECT_EQ(Shown(entry["checksum"]), std::to_string(Crc32(ReadFile(folder / e.file))));
        EXPECT_EQ(Shown(entry["version"]), e.version);
        EXPECT_EQ(Shown(entry["verify"]), e.cksum || fill == 0xFF ? "true" : "false");
    }
}

TEST(E2eSideFiles, MapsOfTheBundledExamples) {
    // The bootloader's 0x8000 range holds its 0x1800 bytes and the 70-byte
    // PID block (0x7fba..0x7fff): 0x67ba free, 18 percent used.
    const ImageRow boot11 = {"boot.bin", 11, "plain", -1, 0, 0, 0x1800, 0x8000, 0x8000, true, 0xff, 0x67ba, 18, 0};
    const ImageRow boot6 = {"boot.bin", 6, "plain", -1, 0, 0, 0x1800, 0x8000, 0x8000, true, 0xff, 0x67ba, 18, 0};
    // clang-format off
    const struct {
        const char* par;
        std::vector<std::string> pad;
        uint32_t size;
        std::vector<ImageRow> images;      // in PAR order
        std::vector<HeaderRow> headers;
        std::vector<uint32_t> records;     // of groups 0, 1
        uint64_t imageBytes, dataBytes, freeBytes, fillBytes;
    } cases[] = {
        {"ARMPARA.PAR", {}, 0x11a12,
         {boot11,
          {"kernel.bin", 16, "kernel", 0, 0x8000, 0x8100, 0x2345, 0xa445, 0, false, -1, -1, -1, 0x10000 - 0xa445},
          // The last image of the group: its area ends past the record at 0x11a02 (even).
          {"rootfs.bin", 17, "group image", 0, 0x10000, 0x10000, 0x1a01, 0x11a12, 0, false, -1, -1, -1, 0}},
         {{0x8000, 0x11a02, {{"kernel.bin", 0x8100, 0x2345, "1.00", true}, {"rootfs.bin", 0x10000, 0x1a01, "1.00", true}}}},
         {0x11a02},
         // 0x1800 + 0x2345 + 0x1a01 of images; 256 + 70 + 16 more written;
         // the gap 0xa445..0x10000 and the byte at 0x11a01 are fill.
         21830, 21830 + 342, 0x67ba, (0x10000 - 0xa445) + 1},
        {"ARMPARA.PAR", {"-p", "0xff"}, 0x11a12,
         {boot11,
          {"kernel.bin", 16, "kernel", 0, 0x8000, 0x8100, 0x2345, 0xa445, 0, false, -1, -1, -1, 0x10000 - 0xa445},
          {"rootfs.bin", 17, "group image", 0, 0x10000, 0x10000, 0x1a01, 0x11a12, 0, false, -1, -1, -1, 0}},
         {{0x8000, 0x11a02, {{"kernel.bin", 0x8100, 0x2345, "1.00", true}, {"rootfs.bin", 0x10000, 0x1a01, "1.00", true}}}},
         {0x11a02},
         21830, 21830 + 342, 0x67ba, (0x10000 - 0xa445) + 1},
        {"DUAL.PAR", {}, 0x29c10,
         {boot6,
          {"kernel.bin", 9, "kernel", 0, 0x8000, 0x8100, 0x2345, 0xa445, 0, false, -1, -1, -1, 0x10000 - 0xa445},
          {"rootfs.bin", 10, "group image", 0, 0x10000, 0x10000, 0x1a01, 0x11a12, 0, false, -1, -1, -1, 0x20000 - 0x11a12},
          {"kernel-b.bin", 13, "kernel", 1, 0x20000, 0x20100, 0x2210, 0x22310, 0, false, -1, -1, -1, 0x28000 - 0x22310},
          // 0x29c00 is even: the record follows the data at once.
          {"rootfs-b.bin", 14, "group image", 1, 0x28000, 0x28000, 0x1c00, 0x29c10, 0, false, -1, -1, -1, 0}},
         {{0x8000, 0x11a02, {{"kernel.bin", 0x8100, 0x2345, "1.00", true}, {"rootfs.bin", 0x10000, 0x1a01, "1.00", false}}},
          {0x20000, 0x29c00, {{"kernel-b.bin", 0x20100, 0x2210, "1.01", true}, {"rootfs-b.bin", 0x28000, 0x1c00, "1.01", false}}}},
         {0x11a02, 0x29c00},
         37718, 37718 + 2 * 256 + 70 + 2 * 16, 0x67ba, 0x29c10 - (37718 + 614) - 0x67ba},
        {"DUAL.PAR", {"-p", "0xff"}, 0x29c10,
         {boot6,
          {"kernel.bin", 9, "kernel", 0, 0x8000, 0x8100, 0x2345, 0xa445, 0, false, -1, -1, -1, 0x10000 - 0xa445},
          {"rootfs.bin", 10, "group image", 0, 0x10000, 0x10000, 0x1a01, 0x11a12, 0, false, -1, -1, -1, 0x20000 - 0x11a12},
          {"kernel-b.bin", 13, "kernel", 1, 0x20000, 0x20100, 0x2210, 0x22310, 0, false, -1, -1, -1, 0x28000 - 0x22310},
          {"rootfs-b.bin", 14, "group image", 1, 0x28000, 0x28000, 0x1c00, 0x29c10, 0, false, -1, -1, -1, 0}},
         {{0x8000, 0x11a02, {{"kernel.bin", 0x8100, 0x2345, "1.00", true}, {"rootfs.bin", 0x10000, 0x1a01, "1.00", false}}},
          {0x20000, 0x29c00, {{"kernel-b.bin", 0x20100, 0x2210, "1.01", true}, {"rootfs-b.bin", 0x28000, 0x1c00, "1.01", false}}}},
         {0x11a02, 0x29c00},
         37718, 37718 + 614, 0x67ba, 0x29c10 - (37718 + 614) - 0x67ba},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.par) + (c.pad.empty() ? "" : " -p 0xff"));
        ExampleFolder folder;
        std::vector<std::string> args{"-i", c.par, "-o", "out.bin"};
        args.insert(args.end(), c.pad.begin(), c.pad.end());
        bool ok = false;
        const Json map = BindMap(folder.dir.path, args, &ok);
        if (!ok) continue;
        const uint8_t fill = c.pad.empty() ? 0x00 : 0xFF;
        EXPECT_EQ(Shown(map["schemaVersion"]), "1");
        EXPECT_EQ(Shown(At(map, "output/file")), "out.bin");
        EXPECT_EQ(Shown(At(map, "output/size")), std::to_string(c.size));
        EXPECT_EQ(Shown(At(map, "output/fill")), std::to_string(fill));
        EXPECT_EQ(Shown(At(map, "par/file")), c.par);
        const Bytes output = ReadFile(folder / "out.bin");
        EXPECT_EQ(output.size(), c.size);
        ASSERT_EQ(map["images"].items.size(), c.images.size());
        for (size_t i = 0; i < c.images.size(); ++i) CheckImage(map["images"][i], c.images[i]);
        ASSERT_EQ(map["headers"].items.size(), c.headers.size());
        for (size_t g = 0; g < c.headers.size(); ++g)
            CheckHeader(map["headers"][g], static_cast<int>(g), c.headers[g], fill, folder, output);
        EXPECT_EQ(Shown(At(map, "pidBlock/file")), "pid.txt");
        EXPECT_EQ(Shown(At(map, "pidBlock/offset")), std::to_string(0x7fba));
        EXPECT_EQ(Shown(At(map, "pidBlock/bootPidLocation")), std::to_string(0x7fff));
        EXPECT_TRUE(Slice(output, 0x7fba, 7) == Text("tAvRiCk") && Slice(output, 0x7fba + 63, 7) == Text("tAvRiCk"))
            << "no PID block where the map says";
        ASSERT_EQ(map["fwPidRecords"].items.size(), c.records.size());
        for (size_t g = 0; g < c.records.size(); ++g) {
            EXPECT_EQ(Shown(map["fwPidRecords"][g]["group"]), std::to_string(g));
            EXPECT_EQ(Shown(map["fwPidRecords"][g]["offset"]), std::to_string(c.records[g]));
            const Bytes tail = {0x90, 0xF7, 'a', 'V', 'r', 'I', 'c', 'K', 0, 0};
            EXPECT_TRUE(Slice(output, c.records[g] + 6, 10) == tail) << "no FW PID record where the map says";
        }
        EXPECT_EQ(Shown(At(map, "totals/imageBytes")), std::to_string(c.imageBytes));
        EXPECT_EQ(Shown(At(map, "totals/dataBytes")), std::to_string(c.dataBytes));
        EXPECT_EQ(Shown(At(map, "totals/freeBytes")), std::to_string(c.freeBytes));
        EXPECT_EQ(Shown(At(map, "totals/fillBytes")), std::to_string(c.fillBytes));
        EXPECT_EQ(c.dataBytes + c.freeBytes + c.fillBytes, c.size) << "the row's totals do not add up";
    }
}

// Layouts of their own: each row names the members it is about.
TEST(E2eSideFiles, MapsOfRangesRecordsAndNames) {
    // clang-format off
    const struct {
        const char* what;
        std::string par;
        std::map<std::string, size_t> files;  // name: size in bytes (pattern bytes)
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> members;  // path: value
    } cases[] = {
        {"a range filled to the byte", "$Size &4\n:b.bin &0 -l 0x400\n:c.bin &800\n", {{"b.bin", 0x400}, {"c.bin", 0x10}},
         {}, {{"images/0/limit", "1024"}, {"images/0/rangeKept", "true"}, {"images/0/free", "0"},
              {"images/0/percentUsed", "100"}, {"images/0/pad", "0"}, {"images/0/areaEnd", "1024"},
              {"images/0/gapToNext", "1024"}, {"images/1/gapToNext", std::to_string(0x1000 - 0x810)},
              {"totals/freeBytes", "0"}, {"totals/dataBytes", "1040"}, {"totals/fillBytes", std::to_string(0x1000 - 1040)},
              {"pidBlock", "null"}, {"headers/0", "missing"}, {"fwPidRecords/0", "missing"}}},
        {"a range without -p holds the fill byte", "$Size &4\n:b.bin &0 -l 0x400\n", {{"b.bin", 0x3ff}},
         {"-p", "0xff"}, {{"images/0/pad", "255"}, {"images/0/free", "1"}, {"images/0/percentUsed", "99"},
                          {"output/fill", "255"}}},
        {"a range with -p 0x00 in an output of 0xFF", "$Size &4\n:b.bin &0 -l 0x800 -p 0x00\n", {{"b.bin", 0x400}},
         {"-p", "0xff"}, {{"images/0/pad", "0"}, {"images/0/free", "1024"}, {"images/0/percentUsed", "50"},
                          {"totals/freeBytes", "1024"}, {"totals/fillBytes", "2048"}}},
        {"a range too small is ignored", "$Size &4\n:b.bin &0 -l 0x100 -p 0xff\n", {{"b.bin", 0x400}}, {},
         {{"images/0/limit", "256"}, {"images/0/rangeKept", "false"}, {"images/0/pad", "null"},
          {"images/0/free", "null"}, {"images/0/percentUsed", "null"}, {"images/0/areaEnd", "1024"}}},
        // The least range of a group's last image: its data, the byte in front
        // of the even record, the record. Only that one byte is free.
        {"the group's last image in its least range", "$Size &40\n%pid.txt &7fff\n:k.bin &8000 -k -l 0x2356\n",
         {{"k.bin", 0x2345}, {"pid.txt", 0}}, {},
         {{"images/0/role", "kernel"}, {"images/0/group", "0"}, {"images/0/dataOffset", std::to_string(0x8100)},
          {"images/0/rangeKept", "true"}, {"images/0/free", "1"}, {"images/0/percentUsed", "99"},
          {"images/0/areaEnd", std::to_string(0x8100 + 0x2356)}, {"images/0/gapToNext", "0"},
          {"output/size", std::to_string(0x8100 + 0x2356)}, {"fwPidRecords/0/offset", std::to_string(0xa446)},
          {"headers/0/fwPidRecord", std::to_string(0xa446)}, {"headers/0/entries/0/verify", "false"},
          {"headers/0/entries/0/version", ""}}},
        {"no group: the PID line's own record", "$Size &8\n%pid.txt &1fff &1000\n:b.bin &0\n",
         {{"b.bin", 0x400}, {"pid.txt", 0}}, {},
         {{"headers/0", "missing"}, {"fwPidRecords/0/group", "null"}, {"fwPidRecords/0/offset", "4096"},
          {"fwPidRecords/1", "missing"}, {"pidBlock/offset", std::to_string(0x1fba)}, {"pidBlock/line", "2"},
          {"totals/dataBytes", std::to_string(0x400 + 70 + 16)}, {"totals/fillBytes", std::to_string(0x2000 - 0x456)}}},
        {"a PID block over image bytes counts once", "$Size &8\n%pid.txt &17ff\n:b.bin &0\n:c.bin &1800\n",
         {{"b.bin", 0x1800}, {"c.bin", 0x10}, {"pid.txt", 0}}, {},
         {{"totals/imageBytes", std::to_string(0x1810)}, {"totals/dataBytes", std::to_string(0x1810)},
          {"fwPidRecords/0", "missing"}}},
        {"a name that is not UTF-8 and one with a control character", "$Size &8\n:\xff.bin &0\n:c\x01.bin &1000\n",
         {{"\xff.bin", 0x10}, {"c\x01.bin", 0x10}}, {"-o", "o\x1b\xfe.bin"},
         {{"images/0/fileHex", "ff2e62696e"}, {"images/1/file", "c\x01.bin"}, {"images/1/fileHex", "missing"},
          {"output/fileHex", HexOf("o\x1b\xfe.bin")}, {"par/fileHex", "missing"}}},
        {"PAR order, not the order of the offsets", "$Size &8\n:c.bin &1000\n:b.bin &0\n",
         {{"b.bin", 0x10}, {"c.bin", 0x10}}, {},
         {{"images/0/file", "c.bin"}, {"images/0/line", "2"}, {"images/0/gapToNext", std::to_string(0x2000 - 0x1010)},
          {"images/1/file", "b.bin"}, {"images/1/gapToNext", std::to_string(0x1000 - 0x10)}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        uint32_t seed = 1;
        for (const auto& [name, size] : c.files)
            WriteFile(dir / name, name == "pid.txt" ? Bytes(Text(PidFileText().c_str())) : PatternBytes(size, seed++));
        WriteFile(dir / "ARMPARA.PAR", c.par);
        bool ok = false;
        const Json map = BindMap(dir.path, c.args, &ok);
        if (!ok) continue;
        for (const auto& [path, value] : c.members) {
            const Json* member = Find(map, path);
            EXPECT_EQ(member != nullptr ? Shown(*member) : "missing", value) << path;
        }
    }
}

// ---------------------------------------------------------------------------
// A failed bind, and the paths the output rule refuses
// ---------------------------------------------------------------------------

// Whatever fails, the image, the map and the dependency file are as they
// were, and no temporary file is left.
TEST(E2eSideFiles, AFailedBindLeavesTheOldImageMapAndDependencyFile) {
    // clang-format off
    const struct {
        const char* what;
        std::vector<std::string> args;                  // behind -i ARMPARA.PAR
        std::function<void(const ExampleFolder&)> change;
        long fileSizeLimit = -1;
    } cases[] = {
        {"an overlap in the PAR file", {},
         [](const ExampleFolder& f) { WriteFile(f / "ARMPARA.PAR", "$Size &80\n%pid.txt &7fff\n:boot.bin &0\n:kernel.bin &1000 -k\n"); }},
        {"a missing image", {}, [](const ExampleFolder& f) { fs::remove(f / "rootfs.bin"); }},
        {"a warning under --strict", {"--strict"},
         [](const ExampleFolder& f) { WriteFile(f / "ARMPARA.PAR", "$Size &80\n%pid.txt &7fff\n:boot.bin &0 -p 0xff\n"); }},
        {"the image past the file size limit", {}, nullptr, 0x8000},
        {"the map in a missing folder", {"--map", "missing/map.json"}, nullptr},
        {"the dependency file in a missing folder, once the map is written aside", {"--makedeps", "missing/deps.d"}, nullptr},
        {"a name the dependency file cannot hold", {"-o", "a;b.bin"}, nullptr},
        {"the output a folder", {"-o", "sub"}, [](const ExampleFolder& f) { fs::create_directory(f / "sub"); }},
    };
    // clang-format on
    const std::map<std::string, std::string> old = {
        {"ARMOut.BIN", "the old image"}, {"map.json", "the old map"}, {"deps.d", "the old dependency file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExampleFolder folder;
        for (const auto& [name, text] : old) WriteFile(folder / name, text);
        if (c.change) c.change(folder);
        // The later options win: the row's -o, --map or --makedeps.
        std::vector<std::string> args{"-i", "ARMPARA.PAR", "--map", "map.json", "--makedeps", "deps.d"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunOptions options;
        options.fileSizeLimit = c.fileSizeLimit;
        RunResult run = RunMorvik(args, folder.dir.path, options);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.err, "");
        for (const auto& [name, text] : old) EXPECT_EQ(TextOf(folder / name), text) << name;
        EXPECT_FALSE(FileExists(folder / "a;b.bin"));
        EXPECT_EQ(LeftTempFiles(folder.dir.path), std::vector<std::string>{});
    }
}

// A map or dependency file path that the output rule refuses, or that is
// an input, the image or the other file: status 1, why on standard error,
// and nothing new in the folder.
TEST(E2eSideFiles, PathsTheOutputRuleRefusesMakeNothing) {
    // clang-format off
    const struct {
        const char* what;
        std::vector<std::string> args;  // behind -i ARMPARA.PAR -o out.bin
        std::string error;              // a line of standard error
    } cases[] = {
        {"the map an image", {"--map", "kernel.bin"},
         "kernel.bin: error: is the same file as the input kernel.bin: give the map a path of its own"},
        {"the dependency file the PID file", {"--makedeps", "pid.txt"},
         "pid.txt: error: is the same file as the input pid.txt: give the dependency file a path of its own"},
        {"the map a link to the PAR file", {"--map", "par-link"},
         "par-link: error: is the same file as the input ARMPARA.PAR: give the map a path of its own"},
        {"the dependency file where the image goes", {"--makedeps", "sub/../out.bin"},
         "sub/../out.bin: error: is where the image goes too: give the dependency file a path of its own"},
        {"the map where the image is, through a link to its folder", {"--map", "here/out.bin"},
         "here/out.bin: error: is where the image goes too: give the map a path of its own"},
        {"the dependency file where the map goes", {"--map", "m.json", "--makedeps", "./m.json"},
         "./m.json: error: is where the map goes too: give the dependency file a path of its own"},
        {"the map a device", {"--map", "/dev/null"},
         "/dev/null: error: is a character device: write the map to a file and copy it to the device with dd or your "
         "flasher"},
        {"the dependency file in /proc", {"--makedeps", "/proc/self/fd/1"},
         "/proc/self/fd/1: error: is in /proc: a file there is a running process's descriptor or memory, not a file "
         "to replace"},
        {"the map a folder", {"--map", "sub"}, "sub: error: is a folder"},
        {"the map a link to a folder", {"--map", "here"}, "here: error: leads to ., a folder"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExampleFolder folder;
        fs::create_directory(folder / "sub");
        fs::create_symlink("ARMPARA.PAR", folder / "par-link");
        fs::create_symlink(".", folder / "here");
        std::vector<std::string> before;
        for (const auto& entry : fs::directory_iterator(folder.dir.path)) before.push_back(entry.path().string());
        std::vector<std::string> args{"-i", "ARMPARA.PAR", "-o", "out.bin"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult run = RunMorvik(args, folder.dir.path);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(HasLine(run.err, c.error)) << run.err;
        EXPECT_FALSE(HasLine(run.out, "DONE!"));
        std::vector<std::string> after;
        for (const auto& entry : fs::directory_iterator(folder.dir.path)) after.push_back(entry.path().string());
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, before) << "something was made";
    }
}

// The schema is strict enough to catch a map that is wrong in its shape.
TEST(E2eSideFiles, TheMapSchemaCatchesAWrongMap) {
    if (std::string why = WhySchemaCheckCannotRun(); !why.empty()) GTEST_SKIP() << why;
    ExampleFolder folder;
    RunResult run = RunMorvik({"-i", "ARMPARA.PAR", "-o", "out.bin", "--map", "map.json"}, folder.dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string good = TextOf(folder / "map.json");
    EXPECT_EQ(SchemaProblems("morvik-map", {good}), "");
    // clang-format off
    const struct { const char* what; std::string from, to; } wrongs[] = {
        {"a percent past 100", "\"percentUsed\": 18", "\"percentUsed\": 101"},
        {"an offset as text", "\"dataOffset\": 33024", "\"dataOffset\": \"0x8100\""},
        {"a role of its own", "\"role\": \"kernel\"", "\"role\": \"Kernel\""},
        {"a member missing", ", \"gapToNext\": 0}", "}"},
        {"a member too many", "\"line\": 11, ", "\"line\": 11, \"lines\": 1, "},
        {"another schema version", "\"schemaVersion\": 1", "\"schemaVersion\": 2"},
        {"a header of 255 bytes", "\"size\": 256", "\"size\": 255"},
        {"a negative length", "\"length\": 6144", "\"length\": -1"},
    };
    // clang-format on
    for (const auto& w : wrongs) {
        SCOPED_TRACE(w.what);
        std::string wrong = good;
        size_t at = wrong.find(w.from);
        ASSERT_NE(at, std::string::npos) << w.from;
        wrong.replace(at, w.from.size(), w.to);
        EXPECT_NE(SchemaProblems("morvik-map", {wrong}), "") << wrong;
    }
}

}  // namespace
}  // namespace morvik_test
