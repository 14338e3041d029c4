#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "par/line_items.h"
#include "support/run_tool.h"

namespace {

using morvik_test::TempDir;

std::string Words(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "w ";
    return text;
}

TEST(LineItemsTest, CutsTextAtBlanksTabsAndTheFirstNewline) {
    const std::vector<std::string> fifteen(15, "w");
    const struct {
        std::string text;
        int result;
        std::vector<std::string> items;
    } cases[] = {
        {"boot.bin &0\n", 0, {"boot.bin", "&0"}},
        {"\t boot.bin \t &0 \n", 0, {"boot.bin", "&0"}},
        {"a.bin &100", 0, {"a.bin", "&100"}},
        {"\n", 0, {}},
        {"", 0, {}},
        {"   ", 0, {}},
        {"a.bin &100\r\n", 0, {"a.bin", "&100\r"}},
        {"a b\nc d", 0, {"a", "b"}},
        {Words(15), 0, fifteen},
        {Words(16), -1, fifteen},  // refused; the items before stay
        {std::string(511, 'x') + "\n", 0, {std::string(511, 'x')}},
        {std::string(512, 'x'), -1, {}},
    };
    for (const auto& c : cases) {
        morvik::LineItems items;
        morvik::EmptyLineItems(&items);
        EXPECT_EQ(morvik::ParseLineToItems(c.text.c_str(), &items), c.result) << c.text;
        std::vector<std::string> got(items.itemPtr, items.itemPtr + items.itemCount);
        EXPECT_EQ(got, c.items) << c.text;
        for (int i = 0; i < items.itemCount; ++i) EXPECT_EQ(items.itemSize[i], static_cast<int32_t>(got[i].size() + 1));
    }
}

TEST(LineItemsTest, HexFieldsKeepTheirPartialValueOnFailure) {
    const struct {
        std::string text;
        int result;
        uint32_t value;
    } cases[] = {
        {"fF", 0, 0xFF},
        {"ffffffff", 0, 0xFFFFFFFF},
        {"", 0, 0},
        {"0x10", -1, 0},
        {"1z", -1, 0x10},
        {"12z", -1, 0x120},
        {"z", -1, 0},
        {"123456789", 0, 0x23456789},
        {std::string("a\0b", 3), -1, 0xA0},
    };
    for (const auto& c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(morvik::Char2Hexi(&value, c.text.data(), static_cast<int32_t>(c.text.size())), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(LineItemsTest, MeasuresWhatReadingWouldYieldAndRefusesWhatDoesNotFit) {
    TempDir dir;
    morvik_test::WriteFile(dir / "empty", std::string());
    morvik_test::WriteFile(dir / "one", std::string("a"));
    morvik_test::WriteFile(dir / "chunks", std::string(3000, 'b'));
    for (const char* sparse : {"max", "big"}) morvik_test::WriteFile(dir / sparse, std::string());
    ASSERT_EQ(::truncate((dir / "max").c_str(), 0x7FFFFFFF), 0);
    ASSERT_EQ(::truncate((dir / "big").c_str(), 0x80000000), 0);
    const struct {
        std::string path;
        int32_t length;
    } cases[] = {
        {dir / "empty", 0},
        {dir / "one", 1},
        {dir / "chunks", 3000},
        {dir / "max", 0x7FFFFFFF},
        {dir / "big", -1},
        {dir / "missing", -1},
        {dir.path, -1},     // opens, but a folder cannot be read
        {"/dev/null", -1},  // a device, not a file
        // reports no size to the file system, yet has content
        {"/proc/self/cmdline", static_cast<int32_t>(morvik_test::ReadFile("/proc/self/cmdline").size())},
    };
    for (const auto& c : cases) EXPECT_EQ(morvik::get_file_length(c.path.c_str()), c.length) << c.path;
}

}  // namespace
