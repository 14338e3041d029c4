// FW_Header bytes as the planner builds them, its dump, and the failures of
// reading an image for its CRC-32.
#include <fcntl.h>
#include <unistd.h>

#include "plan_fixture.h"
#include "support/image_model.h"

namespace {

using morvik::IMAGE_FW;
using morvik::IMAGE_KERNEL;
using morvik::IMAGE_NORMAL;
using morvik_test::Bytes;
using morvik_test::Crc32;
using morvik_test::Img;
using morvik_test::PlanContext;
using morvik_test::ReadFile;
using morvik_test::WriteFile;

uint32_t FileCrc(const std::string& path) { return Crc32(ReadFile(path)); }

Bytes Le32(uint32_t v) {
    Bytes bytes(4);
    morvik_test::PutLe32(bytes, 0, v);
    return bytes;
}

Bytes HeaderBytes(const morvik::FW_Header* header) { return Bytes(header->raw, header->raw + morvik::kFwHeaderSize); }

// The worked example: a kernel declared at 0x20000, 0x1000 bytes, -v 1.00.
TEST(PlanHeader, LoneKernelBytesUnderBothFills) {
    struct Case {
        int32_t finalPad;
        uint8_t cksum;
        uint8_t bitmap;
    } cases[] = {{0, 1, 0x01}, {0, 0, 0x00}, {1, 1, 0xFF}, {1, 0, 0xFF}};
    for (const Case& c : cases) {
        PlanContext ctx;
        Img kernel{"kernel.bin", 0x20000, 0x1000, IMAGE_KERNEL, 0};
        kernel.version = "1.00";
        kernel.cksum = c.cksum;
        ctx.Add(kernel);
        ctx.SetPid();
        ctx.info.finalPad = c.finalPad;
        ASSERT_EQ(ctx.Plan().result, 0);
        const uint8_t fill = c.finalPad ? 0xFF : 0x00;
        Bytes expected(256, fill);
        auto put = [&](size_t at, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), expected.begin() + at); };
        put(4, {0x00, 0x11, 0x02, 0x00});  // FW PID location 0x21100
        put(12, {0x01, c.bitmap});
        put(16, {0x00, 0x01, 0x02, 0x00});  // offset 0x20100
        put(20, {0x00, 0x10, 0x00, 0x00});
        put(24, Le32(FileCrc(ctx.info.images[0]->name)));
        put(28, {0x31, 0x2E, 0x30, 0x30});
        EXPECT_EQ(HeaderBytes(ctx.info.fwHeader[0]), expected) << "pad " << c.finalPad << " -c " << int(c.cksum);
    }
}

TEST(PlanHeader, FullTraceOfALoneKernel) {
    PlanContext ctx;
    Img kernel{"kernel.bin", 0x20000, 0x1000, IMAGE_KERNEL, 0};
    kernel.version = "1.00";
    kernel.cksum = 1;
    ctx.Add(kernel);
    ctx.SetPid();
    auto run = ctx.Plan();
    char crc[16];
    std::snprintf(crc, sizeof crc, "%x", FileCrc(ctx.info.images[0]->name));
    EXPECT_EQ(run.out, ctx.Paths("PID_in_f for Group 0 is at 21100\n"
                                 "\nname @kernel.bin\noffset 20100\nlength 1000\nl_size 0\ntype 2\n\n"
                                 "this_end 21110 , next_start 200000\n"
                                 "Target Size is overriden to 21110\n"
                                 "Creating FW_HEADER for group 0.\n"
                                 "\nFW Header for Group 0\n"
                                 "\tImage Number of this Group: 1\n"
                                 "\tchecksum option bitmap 1\n"
                                 "\tpid offset for this group: 21100\n"
                                 "\tImage[0]: offset 20100, length 1000, checksum ") +
                           crc + ", version 1.00\nPasre Par Info Done!\n");
}

struct GroupExpectation {
    uint8_t bitmap;
    uint32_t pidOffset;
    std::vector<std::string> entries;  // image names in entry order
};

struct EntryCase {
    const char* what;
    std::vector<Img> images;
    int32_t finalPad;
    std::vector<GroupExpectation> groups;
};

// Entries hold offset, length, CRC-32 and version; everything else is fill.
void CheckHeader(const PlanContext& ctx, const EntryCase& c, int32_t g) {
    const GroupExpectation& want = c.groups[g];
    const morvik::FW_Header* header = ctx.info.fwHeader[g];
    ASSERT_NE(header, nullptr) << c.what;
    std::vector<morvik_test::HeaderEntry> entries;
    for (const std::string& name : want.entries) {
        const morvik::ImageInfo* image = nullptr;
        for (uint32_t i = 0; i < ctx.info.imageCount; ++i)
            if (ctx.dir / name == ctx.info.images[i]->name) image = ctx.info.images[i];
        ASSERT_NE(image, nullptr) << name;
        entries.push_back({image->offset, ReadFile(image->name), image->version, image->cksum != 0});
    }
    Bytes expected = morvik_test::UnsealedHeader(c.finalPad ? 0xFF : 0x00, want.pidOffset, entries);
    expected[13] = want.bitmap;  // the expectation states the bitmap on its own
    EXPECT_EQ(HeaderBytes(header), expected) << c.what << " group " << g;
}

Img With(Img img, const char* version, uint8_t cksum) {
    img.version = version;
    img.cksum = cksum;
    return img;
}

TEST(PlanHeader, EntriesBitmapAndPidOffset) {
    // clang-format off
    const EntryCase cases[] = {
        {"three images, only the second verified",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0}, With({"a", 0x20000, 0x40, IMAGE_FW, 0}, "2.01", 1),
          {"b", 0x30000, 0x55, IMAGE_FW, 0}},
         0, {{0x02, 0x30056, {"k", "a", "b"}}}},
        {"two groups, boot in neither, bitmap starts at the 0xFF fill",
         {{"boot", 0, 0x200}, With({"k0", 0x10000, 0x100, IMAGE_KERNEL, 0}, "v0.1", 1),
          {"k1", 0x40000, 0x300, IMAGE_KERNEL, 1}, {"fs0", 0x20000, 0x81, IMAGE_FW, 0},
          {"fs1", 0x50000, 0x10, IMAGE_FW, 1}},
         1, {{0xFF, 0x20082, {"k0", "fs0"}}, {0xFF, 0x50010, {"k1", "fs1"}}}},
        {"no -v under the 0xFF fill gives four zero bytes",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0}}, 1, {{0xFF, 0x10200, {"k"}}}},
        {"-c on the ninth and tenth entry sets no bit",
         {With({"k", 0x1000, 0x10, IMAGE_KERNEL, 0}, "", 1), {"f1", 0x2000, 0x10, IMAGE_FW, 0},
          {"f2", 0x3000, 0x10, IMAGE_FW, 0}, {"f3", 0x4000, 0x10, IMAGE_FW, 0},
          {"f4", 0x5000, 0x10, IMAGE_FW, 0}, {"f5", 0x6000, 0x10, IMAGE_FW, 0},
          {"f6", 0x7000, 0x10, IMAGE_FW, 0}, With({"f7", 0x8000, 0x10, IMAGE_FW, 0}, "", 1),
          With({"f8", 0x9000, 0x10, IMAGE_FW, 0}, "", 1), With({"f9", 0xA000, 0x10, IMAGE_FW, 0}, "", 1)},
         0, {{0x81, 0xA010, {"k", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"}}}},
        {"two kernels of group 1: group 0 is empty and keeps the PID line's location",
         {{"k1", 0x1000, 0x10, IMAGE_KERNEL, 1}, {"k2", 0x2000, 0x10, IMAGE_KERNEL, 1}}, 0,
         {{0x00, 0x1234, {}}, {0x00, 0x2110, {"k1", "k2"}}}},
        {"an empty image has CRC 0; group -1 is in no header",
         {{"k", 0x1000, 0x10, IMAGE_KERNEL, 0}, {"none", 0x1800, 0x10, IMAGE_FW, -1},
          {"empty", 0x2000, 0, IMAGE_FW, 0}},
         0, {{0x00, 0x2000, {"k", "empty"}}}},
        {"a file read in several pieces",
         {{"k", 0x1000, 0x10, IMAGE_KERNEL, 0}, {"big", 0x100000, (1 << 20) * 2 + 3, IMAGE_FW, 0}}, 0,
         {{0x00, 0x300004, {"k", "big"}}}},
    };
    // clang-format on
    for (const EntryCase& c : cases) {
        PlanContext ctx;
        ctx.AddAll(c.images);
        ctx.SetPid(0x1234);
        ctx.info.finalPad = c.finalPad;
        ctx.info.targetSize = 0x400000;
        auto run = ctx.Plan();
        ASSERT_EQ(run.result, 0) << c.what << "\n" << run.out;
        EXPECT_EQ(int(c.groups.size()), ctx.info.groupCount) << c.what;
        for (int32_t g = 0; g < ctx.info.groupCount; ++g) CheckHeader(ctx, c, g);
    }
}

TEST(PlanHeader, DumpShowsAnEmptyVersion) {
    PlanContext ctx;
    ctx.AddAll({{"k", 0x1000, 0x10, IMAGE_KERNEL, 0}});
    ctx.SetPid();
    ctx.info.finalPad = 1;
    auto run = ctx.Plan();
    EXPECT_NE(run.out.find(", version \nPasre Par Info Done!\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\tchecksum option bitmap ff\n"), std::string::npos) << run.out;
}

TEST(PlanHeader, ImageFileFailures) {
    // clang-format off
    struct Case {
        const char* what;
        Bytes fileBytes;  // what the second image's file holds when headers are built
        bool removeFile;
        int32_t result;
        std::string message;
    } cases[] = {
        {"file gone", {}, true, 3, "Error : open Par file @f failed!\n"},
        {"file shrank", Bytes(0x3F, 0xAA), false, -1, "read file @f fail! \n"},
        {"file grew", Bytes(0x80, 0xAA), false, -1, "Error : image @f changed during the bind!\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        PlanContext ctx;
        ctx.AddAll({{"k", 0x1000, 0x10, IMAGE_KERNEL, 0}, {"f", 0x2000, 0x40, IMAGE_FW, 0}});
        ctx.SetPid();
        if (c.removeFile)
            ::unlink((ctx.dir / "f").c_str());
        else
            WriteFile(ctx.dir / "f", c.fileBytes);
        auto run = ctx.Plan();
        EXPECT_EQ(run.result, c.result) << c.what;
        std::string message = ctx.Paths(c.message);
        ASSERT_GE(run.out.size(), message.size()) << c.what;
        EXPECT_EQ(run.out.substr(run.out.size() - message.size()), message) << c.what;
        ASSERT_NE(ctx.info.fwHeader[0], nullptr) << c.what;
        const uint8_t* raw = ctx.info.fwHeader[0]->raw;
        EXPECT_EQ(raw[morvik::kHdrImageNumber], 1) << c.what;
    }
}

// The header stage reads each group image once; in a bind the read puts its
// bytes at the image's offset in the output-to-be, made at the first read.
// Where none can be made the images are only checksummed; a copy that
// cannot be written is reported and fails the plan.
TEST(PlanHeader, GroupImagesGoIntoTheOutputAsTheyAreRead) {
    enum class Out { kBeside, kNoFolder, kFull };
    // clang-format off
    const struct {
        const char* name;
        Out out;
        int32_t result;
        bool copied;
    } cases[] = {
        {"a temporary file beside the output", Out::kBeside, 0, true},
        {"no temporary file can be made", Out::kNoFolder, 0, false},
        {"the output cannot be written", Out::kFull, -1, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlanContext ctx;
        ctx.AddAll({{"boot", 0, 0x100}, {"k", 0x1000, 0x10, IMAGE_KERNEL, 0}, {"f", 0x2000, 0x45000, IMAGE_FW, 0}});
        ctx.SetPid();
        const std::string path = ctx.dir / (c.out == Out::kNoFolder ? "missing/out.bin" : "out.bin");
        morvik::OutputFile out;
        out.path = path.c_str();
        morvik::IoBuffer buffer;
        morvik::GroupImageCopy copy{&out, &buffer};
        if (c.out == Out::kFull) {
            out.file.fd = ::open("/dev/full", O_WRONLY);
            copy.asked = copy.copied = true;
        }
        morvik::ImageReader reader = morvik::CopyingImageReader(&copy);
        morvik_test::PlanResult run = ctx.Plan(&reader);
        EXPECT_EQ(run.result, c.result) << run.out;
        if (c.out == Out::kFull) {
            EXPECT_NE(run.out.find("Error : Write output bin file(" + path + ") failed! (No space left on device)"),
                      std::string::npos)
                << run.out;
            continue;
        }
        EXPECT_EQ(copy.copied, c.copied);
        if (!c.copied) continue;
        Bytes bytes = ReadFile(out.tempPath);
        EXPECT_EQ(morvik_test::Slice(bytes, 0x1100, 0x10), ReadFile(ctx.dir / "k"));
        EXPECT_EQ(morvik_test::Slice(bytes, 0x2000, 0x45000), ReadFile(ctx.dir / "f"));
        EXPECT_EQ(morvik_test::Slice(bytes, 0, 0x100), Bytes(0x100, 0)) << "plain images are the writer's";
        morvik::DiscardOutputFile(&out);
    }
}

}  // namespace
