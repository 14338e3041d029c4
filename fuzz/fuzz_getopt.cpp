// The option scanner on vectors, option strings and long-option tables built
// from the input. The input is text, one field per line:
//
//   line 0: modes, any of
//           I  call _getopt_internal (with a longind slot) instead of my_getopt
//           L  long-only mode (implies I)
//           P  POSIXLY_CORRECT set to "1";  E  set to an empty value
//           N  no long-option table (unless the option string holds "W;")
//           Z  start every scan after the first with optind 0, not 1
//           Q  opterr 0
//   line 1: the short-option string
//   line 2: the long-option table: records separated by blanks, each
//           "name,H,V": H the has_arg digit (taken modulo 3), V the val
//           character (0 when missing); a name ending in '*' stores through
//           a flag (the '*' is not part of the name)
//   line 3 and on: one vector per line, elements separated by single blanks
//           (two blanks make an empty element); element 0 is the program name
//
// Every vector is scanned to its end, in a fresh heap copy that is freed
// after its scan, and every argument vector holds exactly argc pointers, so
// a read of a text or pointer that a scan no longer owns is caught. After
// each call the scanner's promises are checked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "getopt/getopt.h"

namespace {

using morvik::LongOption;
using morvik_fuzz::Fail;

constexpr size_t kMaxElements = 24;
constexpr size_t kMaxRecords = 8;
constexpr size_t kMaxScans = 6;

struct Modes {
    bool internal = false;
    bool longOnly = false;
    bool noTable = false;
    bool zeroRestart = false;
    bool quiet = false;
    const char* posix = nullptr;  // value of POSIXLY_CORRECT, or unset
};

Modes ReadModes(std::string_view line) {
    Modes m;
    for (char c : line) {
        switch (c) {
            case 'I':
                m.internal = true;
                break;
            case 'L':
                m.longOnly = m.internal = true;
                break;
            case 'P':
                m.posix = "1";
                break;
            case 'E':
                m.posix = "";
                break;
            case 'N':
                m.noTable = true;
                break;
            case 'Z':
                m.zeroRestart = true;
                break;
            case 'Q':
                m.quiet = true;
                break;
            default:
                break;
        }
    }
    return m;
}

// The long-option table and the storage its records point to.
struct Table {
    std::vector<std::string> names;
    std::vector<LongOption> records;
    int32_t flagSlot = 0;
};

void ReadTable(std::string_view line, Table* table) {
    std::vector<std::string> fields = morvik_fuzz::SplitKeepEmpty(line, ' ');
    if (fields.size() > kMaxRecords) fields.resize(kMaxRecords);
    table->names.reserve(fields.size());
    for (const std::string& field : fields) {
        if (field.empty()) continue;
        std::vector<std::string> parts = morvik_fuzz::SplitKeepEmpty(field, ',');
        std::string name = parts[0];
        bool flagged = !name.empty() && name.back() == '*';
        if (flagged) name.pop_back();
        int32_t hasArg = parts.size() > 1 && !parts[1].empty() ? (parts[1][0] - '0' + 30) % 3 : 0;
        int32_t val = parts.size() > 2 && !parts[2].empty() ? static_cast<unsigned char>(parts[2][0]) : 0;
        table->names.push_back(name);
        table->records.push_back({nullptr, hasArg, flagged ? &table->flagSlot : nullptr, val});
    }
    for (size_t i = 0; i < table->records.size(); ++i) table->records[i].name = table->names[i].c_str();
    table->records.push_back({nullptr, 0, nullptr, 0});
}

// One vector: each text in its own allocation, the pointer array exactly
// argc long.
struct Vector {
    std::vector<std::unique_ptr<char[]>> texts;
    std::vector<size_t> lengths;
    std::unique_ptr<char*[]> argv;
    int argc = 0;
};

void BuildVector(std::string_view line, Vector* v) {
    std::vector<std::string> words = morvik_fuzz::SplitKeepEmpty(line, ' ');
    if (words.size() > kMaxElements) words.resize(kMaxElements);
    v->argc = static_cast<int>(words.size());
    v->argv = std::make_unique<char*[]>(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        auto text = std::make_unique<char[]>(words[i].size() + 1);
        std::memcpy(text.get(), words[i].c_str(), words[i].size() + 1);
        v->argv[i] = text.get();
        v->lengths.push_back(words[i].size());
        v->texts.push_back(std::move(text));
    }
}

bool PointsIntoVector(const Vector& v, const char* p) {
    for (size_t i = 0; i < v.texts.size(); ++i) {
        const char* begin = v.texts[i].get();
        if (p >= begin && p <= begin + v.lengths[i]) return true;
    }
    return false;
}

bool ResultIsPossible(int result, const char* optstring, const Table& table, bool withTable) {
    if (result == -1 || result == 0 || result == 1 || result == '?' || result == ':' || result == 'W') return true;
    for (const char* p = optstring; *p != '\0'; ++p) {
        if (result == static_cast<int>(static_cast<signed char>(*p))) return true;
    }
    if (withTable) {
        for (const LongOption& r : table.records) {
            if (r.name != nullptr && r.flag == nullptr && r.val == result) return true;
        }
    }
    return false;
}

// The pointers after a scan are the pointers before it, reordered.
void CheckPermutation(const Vector& v, std::vector<char*> before) {
    std::vector<char*> after(v.argv.get(), v.argv.get() + v.argc);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (before != after) Fail("the vector is no longer a permutation of its elements");
    if (v.argc > 0 && v.argv[0] != v.texts[0].get()) Fail("element 0 was moved");
}

void CheckTextsUnchanged(const Vector& v, const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (std::memcmp(v.texts[i].get(), words[i].c_str(), words[i].size() + 1) != 0)
            Fail("the scanner wrote to an element's text");
    }
}

int CallScanner(const Modes& m, const Vector& v, const char* optstring, const LongOption* longopts, int* longind) {
    if (m.internal)
        return morvik::_getopt_internal(v.argc, v.argv.get(), optstring, longopts, longind, m.longOnly ? 1 : 0);
    return morvik::my_getopt(v.argc, v.argv.get(), optstring, longopts);
}

void ScanToEnd(const Modes& m, std::string_view line, const std::string& optstring, const Table& table,
               bool withTable) {
    Vector v;
    BuildVector(line, &v);
    std::vector<std::string> words;
    for (size_t i = 0; i < v.texts.size(); ++i) words.emplace_back(v.texts[i].get(), v.lengths[i]);
    std::vector<char*> before(v.argv.get(), v.argv.get() + v.argc);

    // Every call consumes an element or a character of one, so a scan ends
    // within this many calls.
    size_t bound = 2;
    for (size_t len : v.lengths) bound += len + 1;

    const LongOption* longopts = withTable ? table.records.data() : nullptr;
    for (size_t calls = 0;; ++calls) {
        if (calls > bound) Fail("the scan does not end");
        int longind = -1;
        int result;
        {
            morvik_fuzz::QuietStderr quiet;
            result = CallScanner(m, v, optstring.c_str(), longopts, &longind);
        }
        if (morvik::optind < 0 || morvik::optind > std::max(v.argc, 1)) Fail("optind left the vector");
        if (morvik::optarg != nullptr && !PointsIntoVector(v, morvik::optarg))
            Fail("optarg points outside the vector's texts");
        if (!ResultIsPossible(result, optstring.c_str(), table, withTable))
            Fail("a result that neither the option string nor the table can give");
        if (m.internal && longind != -1 && (longind < 0 || static_cast<size_t>(longind) + 1 >= table.records.size()))
            Fail("longind outside the table");
        if (result == -1) break;
    }
    CheckPermutation(v, before);
    CheckTextsUnchanged(v, words);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvik_fuzz::PrepareQuietStderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines = morvik_fuzz::SplitKeepEmpty(input, '\n');
    if (lines.size() < 4) return -1;
    Modes m = ReadModes(lines[0]);
    // Texts end at a NUL; an option string with one inside is just shorter.
    // The option character 0xFF would come back as -1 (results are signed
    // 8-bit values widened), which no caller can tell from the end of a
    // scan; the program's option strings never hold it, so neither do ours.
    std::string optstring(lines[1].c_str());
    std::erase(optstring, '\xff');
    Table table;
    ReadTable(lines[2], &table);
    bool withTable = !m.noTable || optstring.find("W;") != std::string::npos;

    if (m.posix != nullptr)
        ::setenv("POSIXLY_CORRECT", m.posix, 1);
    else
        ::unsetenv("POSIXLY_CORRECT");
    morvik::opterr = m.quiet ? 0 : 1;

    size_t scans = std::min(lines.size() - 3, kMaxScans);
    for (size_t s = 0; s < scans; ++s) {
        morvik::optind = (s == 0 || m.zeroRestart) ? 0 : 1;
        ScanToEnd(m, lines[3 + s], optstring, table, withTable);
    }
    ::unsetenv("POSIXLY_CORRECT");
    morvik::opterr = 1;
    return 0;
}
