// Kernel shift, FW PID locations, limit and pad checks, overlaps, the output
// size, and the refusal of areas that would reach past 4 GiB.
#include "plan_fixture.h"

namespace {

using morvik::IMAGE_FW;
using morvik::IMAGE_KERNEL;
using morvik::IMAGE_NORMAL;
using morvik::PAD_00;
using morvik::PAD_FF;
using morvik::PAD_NONE;
using morvik_test::Img;
using morvik_test::PlanContext;

struct Case {
    const char* what;
    std::vector<Img> images;
    uint32_t targetSize;
    int32_t result;
    std::vector<std::string> lines;   // must appear in this order ('@' = image folder)
    std::vector<std::string> absent;  // must not appear
};

void ExpectLinesInOrder(const PlanContext& ctx, const Case& c, const std::string& out) {
    size_t at = 0;
    for (const std::string& line : c.lines) {
        size_t found = out.find(ctx.Paths(line), at);
        EXPECT_NE(found, std::string::npos) << c.what << ": missing '" << line << "' in\n" << out;
        if (found != std::string::npos) at = found + 1;
    }
    for (const std::string& line : c.absent)
        EXPECT_EQ(out.find(ctx.Paths(line)), std::string::npos) << c.what << ": unexpected " << line;
}

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        PlanContext ctx;
        ctx.AddAll(c.images);
        ctx.SetPid(0x1234);
        ctx.info.targetSize = c.targetSize;
        auto run = ctx.Plan();
        EXPECT_EQ(run.result, c.result) << c.what << "\n" << run.out;
        ExpectLinesInOrder(ctx, c, run.out);
        // The writer fills a range only where one survives.
        for (uint32_t i = 0; run.result == 0 && i < ctx.info.imageCount; ++i)
            EXPECT_TRUE(ctx.info.images[i]->limit != 0 || ctx.info.images[i]->pad == PAD_NONE) << c.what;
    }
}

TEST(PlanPlacement, KernelShiftPidLocationAndOverlap) {
    // clang-format off
    RunCases({
        {"lone kernel, even end",
         {{"k", 0x10000, 0x1000, IMAGE_KERNEL, 0}}, 0x200000, 0,
         {"PID_in_f for Group 0 is at 11100\n", "\nname @k\noffset 10100\nlength 1000\nl_size 0\ntype 2\n\n",
          "this_end 11110 , next_start 200000\n", "Target Size is overriden to 11110\n"}, {}},
        {"lone kernel, odd end rounds up",
         {{"k", 0x10000, 0x1001, IMAGE_KERNEL, 0}}, 0x200000, 0,
         {"PID_in_f for Group 0 is at 11102\n", "this_end 11112 , next_start 200000\n"}, {}},
        {"only the group's last image gets the PID and its 16 bytes",
         {{"k", 0x10000, 0x1000, IMAGE_KERNEL, 0}, {"f", 0x20000, 0x11, IMAGE_FW, 0}}, 0x200000, 0,
         {"PID_in_f for Group 0 is at 20012\n", "this_end 11100 , next_start 20000\n",
          "this_end 20022 , next_start 200000\n", "Target Size is overriden to 20022\n"},
         {"PID_in_f for Group 0 is at 11100"}},
        {"range ends exactly at the next kernel's header room",
         {{"b", 0, 0x100, IMAGE_NORMAL, -1, 0x10000, PAD_FF}, {"k", 0x10000, 0x10, IMAGE_KERNEL, 0}},
         0x200000, 0, {"this_end 10000 , next_start 10000\n"}, {"overlay"}},
        {"one byte into the header room",
         {{"b", 0, 0x100, IMAGE_NORMAL, -1, 0x10001, PAD_FF}, {"k", 0x10000, 0x10, IMAGE_KERNEL, 0}},
         0x200000, -1, {"this_end 10001 , next_start 10000\n", "Error : Image @b overlay with Image @k!\n"},
         {"Target Size", "FW_HEADER"}},
        {"last area ends at the target size: override keeps it",
         {{"k", 0x1F0000, 0xFEF0, IMAGE_KERNEL, 0}}, 0x200000, 0,
         {"this_end 200000 , next_start 200000\n", "Target Size is overriden to 200000\n"}, {}},
        {"no groups: size never overridden, PID line's location kept",
         {{"b", 0, 0x100}}, 0x200000, 0, {"this_end 100 , next_start 200000\n"},
         {"Target Size", "PID_in_f"}},
        {"last image past the output",
         {{"b", 0x1FFF00, 0x101}}, 0x200000, -1,
         {"this_end 200001 , next_start 200000\n",
          "Error : Image @b overlay with Image the end of the output (size 200000)!\n"}, {}},
        {"group -1 firmware is never last: no PID, no 16 bytes",
         {{"k", 0x10000, 0x10, IMAGE_KERNEL, 0}, {"f", 0x20000, 0x11, IMAGE_FW, -1}}, 0x200000, 0,
         {"PID_in_f for Group 0 is at 10110\n", "this_end 10120 , next_start 20000\n",
          "this_end 20011 , next_start 200000\n"}, {}},
    });
    // clang-format on
}

TEST(PlanPlacement, LimitAndPadChecks) {
    // clang-format off
    RunCases({
        {"normal image: range smaller than data, then the pad is dropped",
         {{"b", 0, 0x200, IMAGE_NORMAL, -1, 0x100, PAD_FF}}, 0x200000, 0,
         {"Error : Limit Size of @b is small than its Size, so '-l' option is ignored!\n",
          "Warn : Limit Size of @b is 0, so '-p' option is ignored!\n", "l_size 0\n",
          "this_end 200 , next_start 200000\n"}, {}},
        {"normal image: limit compares signed, 0x80000000 is below any size",
         {{"b", 0, 0x10, IMAGE_NORMAL, -1, 0x80000000u, PAD_NONE}}, 0x200000, 0,
         {"Error : Limit Size of @b is small than its Size, so '-l' option is ignored!\n"}, {"Warn"}},
        {"normal image: no limit, no pad, nothing said", {{"b", 0, 0x10}}, 0x200000, 0, {},
         {"Limit Size"}},
        {"normal image: pad without a limit", {{"b", 0, 0x10, IMAGE_NORMAL, -1, 0, PAD_00}}, 0x200000, 0,
         {"Warn : Limit Size of @b is 0, so '-p' option is ignored!\n"}, {"Error"}},
        {"group image: limit compares unsigned, 0x80000000 holds it",
         {{"k", 0, 0x10, IMAGE_KERNEL, 0, 0x80000000u, PAD_FF}}, 0x90000000u, 0,
         {"l_size 80000000\n", "this_end 80000100 , next_start 90000000\n"}, {"Limit Size"}},
        {"last of group: limit equal to its length lacks the 16 bytes",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0, 0x100, PAD_00}}, 0x200000, 0,
         {"Warn : Limit Size of @k is small than its Size, so '-l' option is ignored!\n",
          "Warn : Limit Size of @k is 0, so '-p' option is ignored!\n"}, {}},
        {"last of group: length + 16 on an even end is enough",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0, 0x110, PAD_00}}, 0x200000, 0,
         {"l_size 110\n", "this_end 10210 , next_start 200000\n"}, {"Limit Size"}},
        {"not last of group: limit equal to its length is enough",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0, 0x100, PAD_00}, {"f", 0x20000, 0x10, IMAGE_FW, 0}},
         0x200000, 0, {"l_size 100\n", "this_end 10200 , next_start 20000\n"}, {"Limit Size"}},
        {"last of group, odd end: length + 16 is one byte short",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0}, {"rootfs.bin", 0x12000, 0x801, IMAGE_FW, 0, 0x811, PAD_FF},
          {"next.bin", 0x12811, 0x10}},
         0x200000, -1,
         {"Warn : Limit Size of @rootfs.bin is small than its Size, so '-l' option is ignored!\n",
          "this_end 12812 , next_start 12811\n",
          "Error : Image @rootfs.bin overlay with Image @next.bin!\n"}, {}},
        {"last of group, odd end: the rounded record end is enough",
         {{"k", 0x10000, 0x100, IMAGE_KERNEL, 0}, {"rootfs.bin", 0x12000, 0x801, IMAGE_FW, 0, 0x812, PAD_FF},
          {"next.bin", 0x12812, 0x10}},
         0x200000, 0, {"l_size 812\n", "this_end 12812 , next_start 12812\n"}, {"Limit Size"}},
    });
    // clang-format on
}

TEST(PlanPlacement, AreasPastFourGiBAreRefused) {
    // clang-format off
    RunCases({
        {"data ends at the last address: the ordinary checks run",
         {{"b", 0xFFFFF000u, 0xFFF}}, 0x200000, -1, {"this_end ffffffff , next_start 200000\n"}, {"4 GiB"}},
        {"data ends at 4 GiB",
         {{"b", 0xFFFFF000u, 0x1000}}, 0x200000, -1,
         {"Error : Image @b runs past 4 GiB (area fffff000 to 100000000)!\n"}, {"this_end", "\nname"}},
        {"kernel shift wraps",
         {{"k", 0xFFFFFF80u, 0, IMAGE_KERNEL, 0}}, 0x200000, -1,
         {"Error : Image @k runs past 4 GiB (area ffffff80 to 100000090)!\n"}, {"PID_in_f"}},
        {"FW PID record crosses 4 GiB",
         {{"k", 0x80000000u, 0x10, IMAGE_KERNEL, 0}, {"f", 0xFFFFFF00u, 0xEF, IMAGE_FW, 0}}, 0x200000, -1,
         {"Error : Image @f runs past 4 GiB (area ffffff00 to 100000000)!\n"}, {"PID_in_f"}},
        {"FW PID record ends at the last address",
         {{"k", 0x80000000u, 0x10, IMAGE_KERNEL, 0}, {"f", 0xFFFFFF00u, 0xDF, IMAGE_FW, 0}}, 0x200000, -1,
         {"PID_in_f for Group 0 is at ffffffe0\n", "this_end fffffff0 , next_start 200000\n"}, {"4 GiB"}},
        {"reserved range of a group image",
         {{"k", 0x10000, 0x10, IMAGE_KERNEL, 0, 0xFFFFFF00u, PAD_FF}}, 0x200000, -1,
         {"PID_in_f for Group 0 is at 10110\n",
          "Error : Image @k runs past 4 GiB (area 10000 to 100010000)!\n"}, {"\nname"}},
        {"a normal range the signed test drops is no area",
         {{"b", 0x90000000u, 0x10, IMAGE_NORMAL, -1, 0x80000000u, PAD_NONE}}, 0x200000, -1,
         {"Error : Limit Size of @b", "this_end 90000010 , next_start 200000\n"}, {"4 GiB"}},
    });
    // clang-format on
}

}  // namespace
