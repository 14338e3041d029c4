// What reaches the terminal: the escaping of names, values and lines, byte
// class by byte class, and the quoted line of a located diagnostic, which is
// cut by characters.
#include <gtest/gtest.h>

#include <string>

#include "support/run_tool.h"
#include "sys/diagnostics.h"

namespace {

using namespace std::string_literals;

struct EscapeCase {
    const char* what;
    std::string text;
    std::string shown;
    bool wellFormed;  // all of `text` is UTF-8
};

TEST(SysEscaped, ControlsAndBytesOutsideUtf8AreEscapedTheRestKept) {
    // clang-format off
    const EscapeCase table[] = {
        {"plain ASCII", ":boot.bin &0 -l 0x8000", ":boot.bin &0 -l 0x8000", true},
        {"C0: ESC and BEL of a title sequence", "x\x1b]0;pwned\x07.bin", "x\\x1b]0;pwned\\x07.bin", true},
        {"C0: NUL inside the text", "a\0b"s, "a\\x00b", true},
        {"tab", "a\tb", "a\\tb", true},
        {"carriage return", "&7fff\r", "&7fff\\r", true},
        {"line feed", "a\nb", "a\\nb", true},
        {"DEL", "a\x7f", "a\\x7f", true},
        {"C1 CSI, validly encoded: both bytes", "\xc2\x9b"s + "31m", "\\xc2\\x9b31m", true},
        {"first and last C1; U+00A0 behind them is kept", "\xc2\x80\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9f\xc2\xa0",
         true},
        {"lone continuation byte", "a\x80"s + "b", "a\\x80b", false},
        {"C1 as a single Latin-1 byte", "\x9b"s + "31m", "\\x9b31m", false},
        {"0xff never starts a sequence", "\xff\xfe", "\\xff\\xfe", false},
        {"overlong two-byte '/'", "\xc0\xaf", "\\xc0\\xaf", false},
        {"overlong three-byte", "\xe0\x80\xaf", "\\xe0\\x80\\xaf", false},
        {"overlong four-byte", "\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf", false},
        {"surrogate U+D800", "\xed\xa0\x80", "\\xed\\xa0\\x80", false},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", false},
        {"U+10FFFF is the last one kept", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf", true},
        {"sequence cut off by the end", "\xe6\x97", "\\xe6\\x97", false},
        {"sequence cut off by ASCII", "\xe6\x97x", "\\xe6\\x97x", false},
        {"e-acute, CJK and an emoji are kept", "\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
         "\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80", true},
        {"backslash doubled: a name cannot pass for an escape", "a\\x1b", "a\\\\x1b", true},
    };
    // clang-format on
    for (const EscapeCase& c : table) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(morvik::Escaped(c.text), c.shown);
        EXPECT_EQ(morvik::IsWellFormedUtf8(c.text), c.wellFormed);
    }
}

TEST(SysEscaped, QuotedLineIsEscapedAndCutBehindACharacter) {
    const std::string a99(99, 'a');
    // clang-format off
    const struct {
        const char* what;
        std::string file;
        std::string line;
        std::string err;
    } table[] = {
        {"file, tab and carriage return; the newline is not shown", "b\x1b.PAR", ":boot.bin\t&0\r\n",
         "b\\x1b.PAR:2:     :boot.bin\\t&0\\r\n"},
        {"exactly 100 characters, the last one two bytes", "p.PAR", a99 + "\xc3\xa9\n",
         "p.PAR:2:     " + a99 + "\xc3\xa9\n"},
        {"longer: cut behind the 100th character, not inside it", "p.PAR", a99 + "\xc3\xa9z",
         "p.PAR:2:     " + a99 + "\xc3\xa9...\n"},
    };
    // clang-format on
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        auto captured = morvik_test::CaptureOutput([&] { morvik::QuoteLine(c.file.c_str(), 2, c.line.c_str()); });
        EXPECT_EQ(captured.err, c.err);
    }
}

}  // namespace
