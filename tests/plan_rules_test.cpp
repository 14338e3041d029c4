// Ordering of the image table and the precondition and image-group rules.
#include "plan_fixture.h"

namespace {

using morvik::IMAGE_FW;
using morvik::IMAGE_KERNEL;
using morvik::IMAGE_NORMAL;
using morvik_test::Img;
using morvik_test::PlanContext;

TEST(PlanOrder, StableSortOnSignedOffset) {
    // clang-format off
    struct Case {
        const char* what;
        std::vector<Img> images;  // PAR order
        std::vector<std::string> sorted;
    } cases[] = {
        {"reversed", {{"c", 0x300, 1}, {"b", 0x200, 1}, {"a", 0x100, 1}}, {"a", "b", "c"}},
        {"equal offsets keep PAR order",
         {{"x", 0x100, 1}, {"late", 0x400, 1}, {"y", 0x100, 1}, {"z", 0x100, 1}},
         {"x", "y", "z", "late"}},
        {"equal offsets among others",
         {{"p", 0x50, 1}, {"q", 0x10, 1}, {"r", 0x50, 1}, {"s", 0x10, 1}}, {"q", "s", "p", "r"}},
        {"0x80000000 sorts first", {{"low", 0x1000, 1}, {"high", 0x80000000u, 1}}, {"high", "low"}},
        {"negative order among themselves",
         {{"zero", 0, 1}, {"max", 0xFFFFFFFFu, 1}, {"min", 0x80000000u, 1}, {"pos", 0x7FFFFFFF, 1}},
         {"min", "max", "zero", "pos"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        PlanContext ctx;
        ctx.AddAll(c.images);
        ctx.info.targetSize = 0;  // stops right after the sort
        auto run = ctx.Plan();
        EXPECT_EQ(run.result, -1) << c.what;
        EXPECT_EQ(run.out, "Error : Final Image Target Size is not given!\n") << c.what;
        EXPECT_EQ(ctx.Order(), c.sorted) << c.what;
    }
}

TEST(PlanRules, PreconditionsAndGroupRules) {
    // clang-format off
    struct Case {
        const char* what;
        std::vector<Img> images;
        bool pid;
        uint32_t targetSize;
        int32_t result;
        std::string out;  // exact output for refusals, the first line for passes
    } cases[] = {
        {"no size outranks everything",
         {{"k", 0x1000, 16, IMAGE_KERNEL, 3}, {"f", 0x2000, 16, IMAGE_FW, 7}}, false, 0, -1,
         "Error : Final Image Target Size is not given!\n"},
        {"no PID, no group", {{"boot", 0, 16}}, false, 0x10000, 0, "Warn : No PID would be bind!\n"},
        {"no PID with a kernel", {{"k", 0x1000, 16, IMAGE_KERNEL, 0}}, false, 0x10000, -1,
         "Error : No PID found for format with FW_Header!\n"},
        {"no PID, a group image without kernel", {{"f", 0x1000, 16, IMAGE_FW, 0}}, false, 0x10000, -1,
         "Warn : No PID would be bind!\nError : Image Group 0 has no Image labeled by '-k'.\n"},
        {"firmware of a group beyond the count",
         {{"k", 0x1000, 16, IMAGE_KERNEL, 0}, {"f", 0x2000, 16, IMAGE_FW, 1}}, true, 0x10000, -1,
         "Error : Image Group 1 has no Image labeled by '-k'.\n"},
        {"single kernel in group 1", {{"k", 0x1000, 16, IMAGE_KERNEL, 1}}, true, 0x10000, -1,
         "Error : Certain Image Group has no Image labeled by '-k'.\n"},
        {"first violation in offset order, not PAR order",
         {{"f", 0x2000, 16, IMAGE_FW, 5}, {"k", 0x1000, 16, IMAGE_KERNEL, 4}}, true, 0x10000, -1,
         "Error : Certain Image Group has no Image labeled by '-k'.\n"},
        {"two kernels in group 0",
         {{"k1", 0x1000, 16, IMAGE_KERNEL, 0}, {"k2", 0x2000, 16, IMAGE_KERNEL, 0}}, true, 0x10000, -1,
         "Error : Image Group 0 has more than one image labeled by '-k'!\n"},
        {"two kernels in group 1: top-group mark skips the duplicate rule",
         {{"k1", 0x1000, 16, IMAGE_KERNEL, 1}, {"k2", 0x2000, 16, IMAGE_KERNEL, 1}}, true, 0x10000, 0,
         "PID_in_f for Group 1 is at 2110\n"},
        {"kernels in groups 0 and 1",
         {{"k1", 0x1000, 16, IMAGE_KERNEL, 0}, {"k2", 0x2000, 16, IMAGE_KERNEL, 1}}, true, 0x10000, 0,
         "PID_in_f for Group 0 is at 1110\n"},
        {"firmware of group -1 passes and is in no group",
         {{"k", 0x1000, 16, IMAGE_KERNEL, 0}, {"f", 0x2000, 16, IMAGE_FW, -1}}, true, 0x10000, 0,
         "PID_in_f for Group 0 is at 1110\n"},
        {"three -k marks",
         {{"k0", 0x1000, 16, IMAGE_KERNEL, 0}, {"k1", 0x2000, 16, IMAGE_KERNEL, 1},
          {"k2", 0x3000, 16, IMAGE_KERNEL, 2}},
         true, 0x10000, -1,
         "Error : 3 images are labeled by '-k', but at most 2 Image Groups are supported!\n"},
        {"no image lines", {}, false, 0x10000, 0,
         "Warn : No PID would be bind!\nPasre Par Info Done!\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        PlanContext ctx;
        ctx.AddAll(c.images);
        if (c.pid) ctx.SetPid(0x4321);
        ctx.info.targetSize = c.targetSize;
        auto run = ctx.Plan();
        EXPECT_EQ(run.result, c.result) << c.what << "\n" << run.out;
        if (c.result == 0) {
            EXPECT_EQ(run.out.substr(0, c.out.size()), c.out) << c.what << "\n" << run.out;
        } else {  // nothing beyond the sort has been changed
            EXPECT_EQ(run.out, c.out) << c.what;
            EXPECT_EQ(ctx.info.fwHeader[0], nullptr) << c.what;
            EXPECT_EQ(ctx.info.fwHeader[1], nullptr) << c.what;
            if (ctx.info.pidInfo) {
                EXPECT_EQ(ctx.info.pidInfo->fwLocation[0], 0x4321u) << c.what;
            }
        }
    }
}

TEST(PlanRules, LastImageOfGroupSkipsNormalAndMatchesFullGroupNumber) {
    PlanContext ctx;
    ctx.AddAll({{"k", 0x100, 1, IMAGE_KERNEL, 0},
                {"f", 0x200, 1, IMAGE_FW, 0},
                {"n", 0x300, 1, IMAGE_NORMAL, 0},
                {"wide", 0x400, 1, IMAGE_FW, 0x100},
                {"neg", 0x500, 1, IMAGE_FW, -1},
                {"g1", 0x600, 1, IMAGE_KERNEL, 1}});
    struct Case {
        uint8_t group;
        int32_t index;
    } cases[] = {{0, 1}, {1, 5}, {2, -1}, {0xFF, -1}};
    for (const Case& c : cases) EXPECT_EQ(morvik::IndexOfLastImgInGroup(&ctx.info, c.group), c.index);
    ctx.info.imageCount = 0;
    EXPECT_EQ(morvik::IndexOfLastImgInGroup(&ctx.info, 0), -1);
}

}  // namespace
