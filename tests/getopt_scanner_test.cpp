// The option scanner, case by case: each case gives the vector, the option
// string and long table, the expected (result, optarg, optopt) sequence up to
// the final -1, the final optind and vector order, and the exact messages on
// standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "getopt/getopt.h"
#include "getopt/getopt_internal.h"
#include "support/run_tool.h"

namespace {

using morvik::LongOption;

constexpr const char* kPar = "l:p:cv:k::f::";
constexpr const char* kBind = "i:o:p:dhvf";
constexpr int kAny = INT_MIN;  // optopt not checked for this step

const LongOption kBindLong[] = {
    {"pad", 1, nullptr, 'p'},  {"debug", 0, nullptr, 'd'},  {"version", 0, nullptr, 'v'},
    {"help", 0, nullptr, 'h'}, {"parfmt", 0, nullptr, 'f'}, {nullptr, 0, nullptr, 0},
};

// For long-only mode: "de" is a prefix of two names with the same meaning.
const LongOption kOnlyLong[] = {
    {"pad", 1, nullptr, 'p'},  {"debug", 0, nullptr, 'D'}, {"decode", 0, nullptr, 'D'},
    {"xray", 2, nullptr, 'X'}, {nullptr, 0, nullptr, 0},
};

// For the "-W" form: "de" and "d" are ambiguous there, even between records
// that mean the same.
const LongOption kWLong[] = {
    {"pad", 1, nullptr, 'p'},  {"debug", 0, nullptr, 'D'}, {"dump", 0, nullptr, 'U'},
    {"deep", 0, nullptr, 'D'}, {nullptr, 0, nullptr, 0},
};

struct Step {
    int result;
    const char* arg = nullptr;  // expected optarg text; nullptr = none
    int optopt = kAny;
};

struct ScanCase {
    const char* what;
    std::vector<std::string> argv;
    const char* optstring;
    const LongOption* longopts;
    std::vector<Step> steps;  // every result before the final -1
    int finalOptind;
    std::vector<std::string> finalOrder;  // empty: the vector is unchanged
    std::string messages = "";
    const char* posixly = nullptr;  // POSIXLY_CORRECT value at initialization
    int longOnly = 0;
    int opterr = 1;
};

// Owns the texts; `argv` is the pointer vector the scanner reorders.
struct Vector {
    std::vector<std::string> texts;
    std::vector<char*> argv;

    explicit Vector(const std::vector<std::string>& words) : texts(words) {
        for (std::string& t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
    bool PointsInto(const char* p) const {
        for (const std::string& t : texts) {
            if (p >= t.data() && p <= t.data() + t.size()) return true;
        }
        return false;
    }
    std::vector<std::string> Order() const { return std::vector<std::string>(argv.begin(), argv.end() - 1); }
};

// Sets or removes POSIXLY_CORRECT for one scope.
struct PosixlyScope {
    explicit PosixlyScope(const char* value) {
        if (value == nullptr) {
            ::unsetenv("POSIXLY_CORRECT");
        } else {
            ::setenv("POSIXLY_CORRECT", value, 1);
        }
    }
    ~PosixlyScope() { ::unsetenv("POSIXLY_CORRECT"); }
};

std::string Show(int result, const char* arg, int optopt) {
    std::string s = "result " + std::to_string(result);
    s += arg == nullptr ? " no-arg" : " arg \"" + std::string(arg) + "\"";
    if (optopt != kAny) s += " optopt " + std::to_string(optopt);
    return s;
}

// Scans until -1 (at most a few calls more than expected) and describes
// each call the way the expected steps are described.
std::vector<std::string> ScanAll(const ScanCase& c, Vector& v, const char* optstring) {
    std::vector<Step> expected = c.steps;
    expected.push_back({-1});
    std::vector<std::string> seen;
    for (size_t i = 0; i < expected.size() + 3; ++i) {
        int result = morvik::_getopt_internal(v.argc(), v.argv.data(), optstring, c.longopts, nullptr, c.longOnly);
        if (morvik::optarg != nullptr) {
            EXPECT_TRUE(v.PointsInto(morvik::optarg)) << c.what << ": optarg is not in the vector";
        }
        int optopt = i < expected.size() && expected[i].optopt != kAny ? morvik::optopt : kAny;
        seen.push_back(Show(result, morvik::optarg, optopt));
        if (result == -1) break;
    }
    return seen;
}

std::vector<std::string> Describe(const std::vector<Step>& steps) {
    std::vector<std::string> out;
    for (const Step& s : steps) out.push_back(Show(s.result, s.arg, s.optopt));
    out.push_back(Show(-1, nullptr, kAny));
    return out;
}

void RunCase(const ScanCase& c) {
    SCOPED_TRACE(c.what);
    PosixlyScope env(c.posixly);
    Vector v(c.argv);
    morvik::optind = 0;  // a full initialization
    morvik::opterr = c.opterr;
    morvik::optopt = '?';
    std::vector<std::string> seen;
    std::string messages = morvik_test::CaptureOutput([&] { seen = ScanAll(c, v, c.optstring); }).err;
    morvik::opterr = 1;

    EXPECT_EQ(Describe(c.steps), seen);
    EXPECT_EQ(c.finalOptind, morvik::optind);
    EXPECT_EQ(c.finalOrder.empty() ? c.argv : c.finalOrder, v.Order());
    EXPECT_EQ(c.messages, messages);
}

void RunTable(const std::vector<ScanCase>& table) {
    for (const ScanCase& c : table) RunCase(c);
}

TEST(GetoptScanner, PermutationMovesNonOptionsBehindTheOptions) {
    // clang-format off
    RunTable({
        {"optional argument taken, offset word moved", {"img", "&100", "-k", "1"}, kPar, nullptr,
         {{'k', "1"}}, 3, {"img", "-k", "1", "&100"}},
        {"two blocks of non-options", {"img", "&100", "-k", "1", "junk", "-c"}, kPar, nullptr,
         {{'k', "1"}, {'c'}}, 4, {"img", "-k", "1", "-c", "&100", "junk"}},
        {"words between options", {"prog", "x", "y", "-d", "z", "-o", "out", "w"}, kBind, kBindLong,
         {{'d'}, {'o', "out"}}, 4, {"prog", "-d", "-o", "out", "x", "y", "z", "w"}},
        {"long block of words, short block of options",
         {"prog", "a", "-i", "in", "b", "c", "d", "-d"}, kBind, kBindLong,
         {{'i', "in"}, {'d'}}, 4, {"prog", "-i", "in", "-d", "a", "b", "c", "d"}},
        {"-- in front of an option", {"prog", "a", "--", "-d"}, kBind, kBindLong, {}, 2,
         {"prog", "--", "a", "-d"}},
        {"-- after options and words", {"prog", "a", "-d", "--", "b"}, kBind, kBindLong, {{'d'}}, 3,
         {"prog", "-d", "--", "a", "b"}},
        {"a lone dash is a word", {"prog", "-", "-d"}, kBind, kBindLong, {{'d'}}, 2,
         {"prog", "-d", "-"}},
        {"an empty element is a word", {"prog", "", "-d"}, kBind, kBindLong, {{'d'}}, 2,
         {"prog", "-d", ""}},
        {"required argument is never moved", {"prog", "w", "-o", "-d", "v"}, kBind, kBindLong,
         {{'o', "-d"}}, 3, {"prog", "-o", "-d", "w", "v"}},
        {"an option character is its signed byte", {"prog", "w", "-\xe9"}, "\xe9", nullptr,
         {{-23}}, 2, {"prog", "-\xe9", "w"}},
    });
    // clang-format on
}

TEST(GetoptScanner, OptionalArgumentIsOnlyTheNextNonDashElement) {
    // clang-format off
    RunTable({
        {"-k1: attached text is a further option", {"img", "&100", "-k1"}, kPar, nullptr,
         {{'k', nullptr}, {'?', nullptr, '1'}}, 2, {"img", "-k1", "&100"},
         "img: invalid option -- 1\n"},
        {"-k last", {"img", "&100", "-k"}, kPar, nullptr, {{'k'}}, 2, {"img", "-k", "&100"}},
        {"-k before an option", {"img", "&100", "-k", "-c"}, kPar, nullptr, {{'k'}, {'c'}}, 3,
         {"img", "-k", "-c", "&100"}},
        {"-kc", {"img", "&100", "-kc"}, kPar, nullptr, {{'k'}, {'c'}}, 2, {"img", "-kc", "&100"}},
        {"-ck 2", {"img", "&100", "-ck", "2"}, kPar, nullptr, {{'c'}, {'k', "2"}}, 3,
         {"img", "-ck", "2", "&100"}},
        {"-k before a lone dash", {"img", "&100", "-k", "-"}, kPar, nullptr, {{'k'}}, 2,
         {"img", "-k", "&100", "-"}},
        {"-k before an empty element", {"img", "&100", "-k", ""}, kPar, nullptr, {{'k', ""}}, 3,
         {"img", "-k", "", "&100"}},
        {"required arguments attached and apart", {"img", "&100", "-l0x100", "-p", "0xff"}, kPar,
         nullptr, {{'l', "0x100"}, {'p', "0xff"}}, 4, {"img", "-l0x100", "-p", "0xff", "&100"}},
    });
    // clang-format on
}

TEST(GetoptScanner, LongOptionsAndPrefixes) {
    // clang-format off
    RunTable({
        {"unique prefix", {"prog", "--par"}, kBind, kBindLong, {{'f'}}, 2, {}},
        {"value behind =", {"prog", "--pad=0xff"}, kBind, kBindLong, {{'p', "0xff"}}, 2, {}},
        {"value as next element", {"prog", "--pad", "0xff"}, kBind, kBindLong, {{'p', "0xff"}}, 3, {}},
        {"empty value behind =", {"prog", "--pad="}, kBind, kBindLong, {{'p', ""}}, 2, {}},
        {"next element taken whatever it is", {"prog", "--pad", "--debug"}, kBind, kBindLong,
         {{'p', "--debug"}}, 3, {}},
        {"only the first = splits", {"prog", "--pad=a=b"}, kBind, kBindLong, {{'p', "a=b"}}, 2, {}},
        {"long options between words", {"prog", "a", "--debug", "b", "--pad", "x"}, kBind,
         kBindLong, {{'d'}, {'p', "x"}}, 4, {"prog", "--debug", "--pad", "x", "a", "b"}},
        {"optional long argument only behind =", {"prog", "--xr", "w", "--xray=1"}, "", kOnlyLong,
         {{'X'}, {'X', "1"}}, 3, {"prog", "--xr", "--xray=1", "w"}},
        {"same meaning is not ambiguous", {"prog", "--de"}, "", kOnlyLong, {{'D'}}, 2, {}},
        {"without a table --x is short options", {"prog", "--d"}, "d-", nullptr, {{'-'}, {'d'}}, 2, {}},
    });
    // clang-format on
}

TEST(GetoptScanner, ErrorsMessagesAndOptopt) {
    // clang-format off
    RunTable({
        {"ambiguous prefix", {"prog", "--pa"}, kBind, kBindLong, {{'?', nullptr, 0}}, 2, {},
         "prog: option `--pa' is ambiguous\n"},
        {"ambiguous prefix with a value", {"prog", "--pa=1"}, kBind, kBindLong,
         {{'?', nullptr, 0}}, 2, {}, "prog: option `--pa=1' is ambiguous\n"},
        {"empty name is a prefix of all", {"prog", "--=x"}, kBind, kBindLong, {{'?', nullptr, 0}},
         2, {}, "prog: option `--=x' is ambiguous\n"},
        {"missing long argument", {"prog", "--pad"}, kBind, kBindLong, {{'?', nullptr, 'p'}}, 2,
         {}, "prog: option `--pad' requires an argument\n"},
        {"value for a long option without argument", {"prog", "--de=1"}, kBind, kBindLong,
         {{'?', nullptr, 'd'}}, 2, {}, "prog: option `--debug' doesn't allow an argument\n"},
        {"unknown long option", {"prog", "--x=1"}, kBind, kBindLong, {{'?', nullptr, 0}}, 2, {},
         "prog: unrecognized option `--x=1'\n"},
        {"unknown character in a cluster", {"prog", "-dx"}, kBind, kBindLong,
         {{'d'}, {'?', nullptr, 'x'}}, 2, {}, "prog: invalid option -- x\n"},
        {"missing short argument", {"prog", "-i"}, kBind, kBindLong, {{'?', nullptr, 'i'}}, 2, {},
         "prog: option requires an argument -- i\n"},
        {"missing argument in an image line", {"img", "&100", "-l"}, kPar, nullptr,
         {{'?', nullptr, 'l'}}, 2, {"img", "-l", "&100"},
         "img: option requires an argument -- l\n"},
        {"colon is never an option", {"prog", "-:"}, kBind, kBindLong, {{'?', nullptr, ':'}}, 2,
         {}, "prog: invalid option -- :\n"},
        {"success leaves optopt alone", {"prog", "-x", "-d"}, kBind, kBindLong,
         {{'?', nullptr, 'x'}, {'d', nullptr, 'x'}}, 3, {}, "prog: invalid option -- x\n"},
        {"the scan goes on after an error", {"prog", "--x", "a", "-d"}, kBind, kBindLong,
         {{'?', nullptr, 0}, {'d'}}, 3, {"prog", "--x", "-d", "a"},
         "prog: unrecognized option `--x'\n"},
        {"leading colon: silent, missing is ':'", {"prog", "-b"}, ":ab:", nullptr,
         {{':', nullptr, 'b'}}, 2, {}, ""},
        {"leading colon: unknown is '?'", {"prog", "-x", "--pad"}, ":ab:", kBindLong,
         {{'?', nullptr, 'x'}, {':', nullptr, 'p'}}, 3, {}, ""},
        {"opterr 0: same results, no messages", {"prog", "-x", "--pa", "-i"}, kBind, kBindLong,
         {{'?', nullptr, 'x'}, {'?', nullptr, 0}, {'?', nullptr, 'i'}}, 4, {}, "", nullptr, 0, 0},
        {"an image path with a title sequence is shown escaped", {"img\x1b]0;t\x07.bin", "&0", "-x"}, kPar,
         nullptr, {{'?', nullptr, 'x'}}, 2, {"img\x1b]0;t\x07.bin", "-x", "&0"},
         "img\\x1b]0;t\\x07.bin: invalid option -- x\n"},
        {"a control option character as \\xNN", {"prog", "-\x1b"}, kBind, kBindLong, {{'?', nullptr, 27}}, 2, {},
         "prog: invalid option -- \\x1b\n"},
        {"an option byte above 0x7f as \\xNN", {"prog", "-\x9b"}, kBind, kBindLong, {{'?', nullptr, -101}}, 2, {},
         "prog: invalid option -- \\x9b\n"},
        {"a control option character without its argument", {"prog", "-\x01"}, "\x01:", nullptr,
         {{'?', nullptr, 1}}, 2, {}, "prog: option requires an argument -- \\x01\n"},
        {"unknown long name: C1 escaped, other UTF-8 kept", {"prog", "--\xc3\xa9t\xc3\xa9\xc2\x9b"}, kBind,
         kBindLong, {{'?', nullptr, 0}}, 2, {}, "prog: unrecognized option `--\xc3\xa9t\xc3\xa9\\xc2\\x9b'\n"},
        {"ambiguous element with a byte outside UTF-8", {"prog", "--pa=\xff"}, kBind, kBindLong,
         {{'?', nullptr, 0}}, 2, {}, "prog: option `--pa=\\xff' is ambiguous\n"},
    });
    // clang-format on
}

TEST(GetoptScanner, PosixlyCorrect) {
    // clang-format off
    RunTable({
        {"empty value stops at the first word", {"prog", "a", "-d"}, kBind, kBindLong, {}, 1, {},
         "", ""},
        {"image line options are not seen", {"img", "&100", "-k", "1"}, kPar, nullptr, {}, 1, {},
         "", "1"},
        {"options in front of the word still act", {"prog", "-d", "a", "-h"}, kBind, kBindLong,
         {{'d'}}, 2, {}, "", "1"},
        {"illegal instead of invalid", {"prog", "-x"}, kBind, kBindLong, {{'?', nullptr, 'x'}}, 2,
         {}, "prog: illegal option -- x\n", ""},
        {"illegal for a colon", {"prog", "-:"}, kBind, kBindLong, {{'?', nullptr, ':'}}, 2, {},
         "prog: illegal option -- :\n", "1"},
        {"a mode character overrides it", {"prog", "a", "-d"}, "-dh", nullptr, {{1, "a"}, {'d'}},
         3, {}, "", "1"},
        {"'+' stops without it", {"prog", "a", "-d"}, "+dh", nullptr, {}, 1, {}, "", nullptr},
    });
    // clang-format on
}

TEST(GetoptScanner, InPlaceMode) {
    // clang-format off
    RunTable({
        {"words come back as 1", {"prog", "a", "-d", "b", "-o", "out", "c"}, "-dho:", nullptr,
         {{1, "a"}, {'d'}, {1, "b"}, {'o', "out"}, {1, "c"}}, 7, {}},
        {"-- leaves the rest", {"prog", "a", "--", "-d"}, "-dh", nullptr, {{1, "a"}}, 3, {}},
        {"empty and lone dash are words", {"prog", "", "-"}, "-d", nullptr, {{1, ""}, {1, "-"}},
         3, {}},
        {"':' behind the mode character in the initializing call",
         {"prog", "-a"}, "-:a:", nullptr, {{':', nullptr, 'a'}}, 2, {},
         "prog: option requires an argument -- a\n"},
    });
    // clang-format on
}

TEST(GetoptScanner, LongOnlyMode) {
    // clang-format off
    RunTable({
        {"single dash long name", {"prog", "-pad", "7"}, "dp:x", kOnlyLong, {{'p', "7"}}, 3, {},
         "", nullptr, 1},
        {"one known character is short, not the ambiguous name d", {"prog", "-d"}, "dp:x",
         kOnlyLong, {{'d'}}, 2, {}, "", nullptr, 1},
        {"prefix of a long name", {"prog", "-deb"}, "dp:x", kOnlyLong, {{'D'}}, 2, {}, "",
         nullptr, 1},
        {"no name: short option, the rest tried again as a name", {"prog", "-xpa", "7"}, "dp:x",
         kOnlyLong, {{'x'}, {'p', "7"}}, 3, {}, "", nullptr, 1},
        {"every second prefix match is ambiguous", {"prog", "-de"}, "dp:x", kOnlyLong,
         {{'?', nullptr, 0}}, 2, {}, "prog: option `-de' is ambiguous\n", nullptr, 1},
        {"unknown single character", {"prog", "-q"}, "dp:x", kOnlyLong, {{'?', nullptr, 0}}, 2, {},
         "prog: unrecognized option `-q'\n", nullptr, 1},
        {"unknown name", {"prog", "-zz=1"}, "dp:x", kOnlyLong, {{'?', nullptr, 0}}, 2, {},
         "prog: unrecognized option `-zz=1'\n", nullptr, 1},
        {"value refused, single dash", {"prog", "-debug=1"}, "dp:x", kOnlyLong,
         {{'?', nullptr, 'D'}}, 2, {}, "prog: option `-debug' doesn't allow an argument\n",
         nullptr, 1},
        {"missing argument shows the element", {"prog", "-pa"}, "dp:x", kOnlyLong,
         {{'?', nullptr, 'p'}}, 2, {}, "prog: option `-pa' requires an argument\n", nullptr, 1},
    });
    // clang-format on
}

TEST(GetoptScanner, WForm) {
    // clang-format off
    RunTable({
        {"name=value apart", {"prog", "-W", "pad=3"}, "dW;", kWLong, {{'p', "3"}}, 3, {}},
        {"attached name, argument apart", {"prog", "-Wpad", "3"}, "dW;", kWLong, {{'p', "3"}}, 3, {}},
        {"exact name: optarg stays the argument of -W", {"prog", "-W", "debug"}, "dW;", kWLong,
         {{'D', "debug"}}, 3, {}},
        {"unknown name comes back as W", {"prog", "-W", "zzz=1", "-d"}, "dW;", kWLong,
         {{'W', "zzz=1"}, {'d'}}, 4, {}},
        {"no table: W with its argument", {"prog", "-W", "pad"}, "dW;", nullptr, {{'W', "pad"}}, 3, {}},
        {"-W last", {"prog", "-W"}, "dW;", kWLong, {{'?', nullptr, 'W'}}, 2, {},
         "prog: option requires an argument -- W\n"},
        {"missing argument of the named option; optopt unchanged", {"prog", "-x", "-W", "pad"},
         "dW;", kWLong, {{'?', nullptr, 'x'}, {'?', "pad", 'x'}}, 4, {},
         "prog: invalid option -- x\nprog: option `pad' requires an argument\n"},
        {"value refused", {"prog", "-W", "debug=1"}, "dW;", kWLong, {{'?', "debug=1", '?'}}, 3, {},
         "prog: option `-W debug' doesn't allow an argument\n"},
        {"same meaning is still ambiguous; scan goes on behind it", {"prog", "-W", "de", "-d"},
         "dW;", kWLong, {{'?', "de", '?'}, {'d'}}, 4, {}, "prog: option `-W de' is ambiguous\n"},
        {"ambiguous attached name with value", {"prog", "-Wd=2", "-d"}, "dW;", kWLong,
         {{'?', "d=2"}, {'d'}}, 3, {}, "prog: option `-W d=2' is ambiguous\n"},
        {"ambiguous name with a tab in its value", {"prog", "-W", "d=\t", "-d"}, "dW;", kWLong,
         {{'?', "d=\t"}, {'d'}}, 4, {}, "prog: option `-W d=\\t' is ambiguous\n"},
    });
    // clang-format on
}

// Two scans in a row: the first initializes, the second starts with optind
// 1 (no initialization) or 0 (a full one).
struct TwoScans {
    const char* what;
    const char* firstString;
    const char* posixlyAtFirst;
    int secondStart;
    const char* secondString;
    const char* posixlyAtSecond;
    std::vector<std::string> argv;
    std::vector<Step> steps;
    int finalOptind;
    std::string messages = "";
};

TEST(GetoptScanner, NewScanKeepsTheFirstInitialization) {
    // clang-format off
    const std::vector<TwoScans> table = {
        {"permute mode stays; '+' is an option character", "dh", nullptr, 1, "+dh", nullptr,
         {"prog", "a", "-d+"}, {{'d'}, {'+'}}, 2, {}},
        {"stop mode stays", "+dh", nullptr, 1, "dh", nullptr, {"prog", "a", "-d"}, {}, 1},
        {"optind 0 chooses the mode again", "+dh", nullptr, 0, "dh", nullptr, {"prog", "a", "-d"},
         {{'d'}}, 2, {}},
        {"'-' is an option character, not in-place mode", "dh", nullptr, 1, "-dh", nullptr,
         {"prog", "a", "-d-"}, {{'d'}, {'-'}}, 2, {}},
        {"environment set later is not read", "dh", nullptr, 1, "dh", "1",
         {"prog", "a", "-x", "-d"}, {{'?', nullptr, 'x'}, {'d'}}, 3, "prog: invalid option -- x\n"},
        {"environment removed later is not read", "dh", "1", 1, "dh", nullptr,
         {"prog", "-x", "a", "-d"}, {{'?', nullptr, 'x'}}, 2, "prog: illegal option -- x\n"},
        {"optind 0 reads the environment again", "dh", nullptr, 0, "dh", "",
         {"prog", "a", "-d"}, {}, 1},
        {"':' behind '+' only in the initializing call", "+:a:", nullptr, 1, "+:a:", nullptr,
         {"prog", "-a"}, {{'?', nullptr, 'a'}}, 2, "prog: option requires an argument -- a\n"},
    };
    // clang-format on
    for (const TwoScans& t : table) {
        SCOPED_TRACE(t.what);
        {
            PosixlyScope env(t.posixlyAtFirst);
            Vector first({"first", "-h"});
            morvik::optind = 0;
            morvik::opterr = 0;
            while (morvik::my_getopt(first.argc(), first.argv.data(), t.firstString, nullptr) != -1) {
            }
            morvik::opterr = 1;
        }
        PosixlyScope env(t.posixlyAtSecond);
        ScanCase c{t.what, t.argv, t.secondString, nullptr, t.steps, t.finalOptind, {}, t.messages};
        Vector v(c.argv);
        morvik::optind = t.secondStart;
        morvik::optopt = '?';
        std::vector<std::string> seen;
        EXPECT_EQ(t.messages, morvik_test::CaptureOutput([&] { seen = ScanAll(c, v, c.optstring); }).err);
        EXPECT_EQ(Describe(c.steps), seen);
        EXPECT_EQ(t.finalOptind, morvik::optind);
    }
}

TEST(GetoptScanner, NewScanInTheSameMemoryStartsAtElementOne) {
    // The PAR reader cuts every line into the same item buffer. After the
    // first scan ends, the old decoding position (behind "-c") lies inside
    // the new texts, here on the 'x' of "-x"; the new scan must not read it.
    char texts[32] = {};
    std::memcpy(texts, "a.bin\0&0\0-c\0", 12);
    char* first[] = {texts, texts + 6, texts + 9, nullptr};
    morvik::optind = 0;
    ASSERT_EQ('c', morvik::my_getopt(3, first, kPar, nullptr));
    ASSERT_EQ(-1, morvik::my_getopt(3, first, kPar, nullptr));

    std::memcpy(texts, "img\0&1\0-c\0-xkz\0", 15);
    char* second[] = {texts, texts + 4, texts + 7, texts + 10, nullptr};
    morvik::optind = 1;
    morvik::opterr = 0;
    std::vector<int> results;
    for (int r; (r = morvik::my_getopt(4, second, kPar, nullptr)) != -1 && results.size() < 8;) {
        results.push_back(r);
    }
    morvik::opterr = 1;
    EXPECT_EQ((std::vector<int>{'c', '?', 'k', '?'}), results);
    EXPECT_EQ(3, morvik::optind);
}

TEST(GetoptScanner, NoElementsChangesNothing) {
    char word[] = "-d";
    char* argv[] = {word, nullptr};
    morvik::optarg = word;
    morvik::optopt = 'q';
    morvik::optind = 5;
    EXPECT_EQ(-1, morvik::my_getopt(0, argv, kBind, nullptr));
    EXPECT_EQ(word, morvik::optarg);
    EXPECT_EQ(5, morvik::optind);
    EXPECT_EQ('q', morvik::optopt);
}

TEST(GetoptScanner, OptindOutsideTheVectorIsRefused) {
    char prog[] = "prog", d[] = "-d";
    char* argv[] = {prog, d, nullptr};
    for (int start : {-1, 3, 40}) {
        morvik::optind = start;
        EXPECT_EQ(-1, morvik::my_getopt(2, argv, kBind, nullptr)) << start;
        EXPECT_EQ(start, morvik::optind);
    }
}

TEST(GetoptScanner, ExchangeIsAStableRotation) {
    // Every split of every vector of up to 9 elements against std::rotate.
    for (int n = 1; n <= 9; ++n) {
        for (int bottom = 1; bottom <= n; ++bottom) {
            for (int middle = bottom; middle <= n; ++middle) {
                for (int top = middle; top <= n; ++top) {
                    std::vector<std::string> words(n);
                    for (int i = 0; i < n; ++i) words[i] = std::to_string(i);
                    Vector v(words);
                    std::vector<std::string> expected = words;
                    std::rotate(expected.begin() + bottom, expected.begin() + middle, expected.begin() + top);
                    morvik::first_nonopt = bottom;
                    morvik::last_nonopt = middle;
                    morvik::optind = top;
                    morvik::exchange(v.argv.data());
                    ASSERT_EQ(expected, v.Order()) << n << " " << bottom << " " << middle << " " << top;
                    ASSERT_EQ(bottom + top - middle, morvik::first_nonopt);
                    ASSERT_EQ(top, morvik::last_nonopt);
                }
            }
        }
    }
}

}  // namespace
