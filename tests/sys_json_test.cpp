// The one JSON writer both tools write their documents with: strings that
// no terminal and no JSON reader takes for anything else, and the hex of a
// name that is not UTF-8 beside it.
#include <gtest/gtest.h>

#include <string>

#include "sys/json.h"

namespace {

TEST(SysJson, TextsAndNamesAreEscapedAsTheOutputRuleSays) {
    // clang-format off
    const struct { const char* what; std::string in; std::string text; std::string hex; } cases[] = {
        {"plain", "boot.bin", "\"boot.bin\"", ""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\"", ""},
        {"newline and tab", "a\nb\tc", "\"a\\nb\\tc\"", ""},
        {"other C0 and DEL", std::string("\x01\x1b\x7f", 3), "\"\\u0001\\u001b\\u007f\"", ""},
        {"NUL", std::string("a\0b", 3), "\"a\\u0000b\"", ""},
        {"C1 in UTF-8", "a\xc2\x9b" "b", "\"a\\u009bb\"", ""},
        {"UTF-8 stays", "é日🙂", "\"é日🙂\"", ""},
        {"not UTF-8: U+FFFD and the bytes in hex", "a\xff" "b", "\"a\\ufffdb\"", "61ff62"},
        {"a cut-off sequence", "\xe6\x97", "\"\\ufffd\\ufffd\"", "e697"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(morvik::JsonText(c.in), c.text);
        morvik::JsonObject object;
        morvik::JsonName(&object, "file", c.in);
        EXPECT_EQ(morvik::JsonDocument(object),
                  "{\"file\": " + c.text + (c.hex.empty() ? "" : ", \"fileHex\": \"" + c.hex + "\"") + "}\n");
    }
    EXPECT_EQ(morvik::JsonNumber(4294967296ull), "4294967296");
    EXPECT_EQ(morvik::JsonArray({morvik::JsonBool(true), morvik::JsonNull()}), "[true, null]");
}

}  // namespace
