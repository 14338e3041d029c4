// The whole run, as main runs it, in a scratch folder. The input is text:
//
//   line 0: the arguments behind the program name, separated by single
//           blanks (two blanks make an empty argument); a first character
//           '!' sets POSIXLY_CORRECT for the run and is not an argument
//   the rest: the PAR text, written to ARMPARA.PAR (the default) and to
//           in.PAR
//
// Every '/' in an argument becomes '_', so every path a run can name is an
// entry of the scratch folder: a run can neither read nor write outside it.
// Output files are bounded by RLIMIT_FSIZE (writes past it fail, SIGXFSZ is
// ignored), and the folder is brought back to its fixtures before each run.
//
// After each run the target checks the output guard's promise: the PAR file
// that the run read is never written over, whatever -o, --map or --makedeps
// names.
#include <sys/resource.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bind/run.h"
#include "fuzz_support.h"
#include "getopt/getopt.h"

namespace {

using morvik_fuzz::Fail;

constexpr size_t kMaxArgs = 32;
constexpr rlim_t kMaxOutputBytes = 4u << 20;

void WriteText(const char* name, std::string_view text) {
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr) Fail("cannot write a PAR file");
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) Fail("cannot write a PAR file");
}

std::vector<std::string> ReadArguments(std::string_view line) {
    std::vector<std::string> args{"Morvik"};
    if (line.empty()) return args;
    for (std::string word : morvik_fuzz::SplitKeepEmpty(line, ' ')) {
        if (args.size() >= kMaxArgs) break;
        for (char& c : word) {
            if (c == '/') c = '_';
        }
        args.push_back(word);
    }
    return args;
}

// The driver's command line, as far as choosing the PAR file goes: the path
// a bind would read, or "" when the options end the run before any bind.
std::string ParPathOf(std::vector<std::string> args) {
    static const morvik::LongOption table[] = {
        {"pad", morvik::required_argument, nullptr, 'p'}, {"debug", morvik::no_argument, nullptr, 'd'},
        {"version", morvik::no_argument, nullptr, 'v'},   {"help", morvik::no_argument, nullptr, 'h'},
        {"parfmt", morvik::no_argument, nullptr, 'f'},    {"makedeps", morvik::required_argument, nullptr, 'D'},
        {"map", morvik::required_argument, nullptr, 'M'}, {nullptr, 0, nullptr, 0},
    };
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::string path = "ARMPARA.PAR";
    morvik_fuzz::QuietStderr quiet;
    morvik::optind = 0;
    for (;;) {
        int option = morvik::my_getopt(static_cast<int>(argv.size()), argv.data(), "i:o:p:dhvf", table);
        if (option == -1) return path;
        if (option == 'i') path = morvik::optarg;
        if (option == 'p') {
            std::string pad = morvik::optarg;
            if (pad != "0x00" && pad != "0xff" && pad != "0xFF") return "";
        }
        if (option != 'i' && option != 'o' && option != 'p' && option != 'd' && option != 'D' && option != 'M')
            return "";
    }
}

std::string Contents(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    std::fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvik_fuzz::SilenceStdout();
    morvik_fuzz::PrepareQuietStderr();
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
        kMaxOutputBytes, kMaxOutputBytes
    };
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) Fail("cannot bound the output size");
    morvik_fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (morvik_fuzz::NamesSpecialFiles(input)) return -1;
    size_t newline = input.find('\n');
    std::string_view argLine = input.substr(0, newline);
    std::string_view parText = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    bool posix = !argLine.empty() && argLine[0] == '!';
    if (posix) argLine.remove_prefix(1);

    // libFuzzer installs its own SIGXFSZ handler after start-up; a write
    // past the size bound must fail as a write error instead.
    std::signal(SIGXFSZ, SIG_IGN);
    morvik_fuzz::ResetScratchFolder();
    WriteText("ARMPARA.PAR", parText);
    WriteText("in.PAR", parText);

    std::vector<std::string> args = ReadArguments(argLine);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);  // as main receives it

    if (posix) ::setenv("POSIXLY_CORRECT", "1", 1);
    std::string parPath = ParPathOf(args);
    std::string parBefore = parPath.empty() ? std::string() : Contents(parPath);
    int status;
    {
        morvik_fuzz::QuietStderr quiet;
        status = morvik::RunMorvik(static_cast<int>(args.size()), argv.data());
    }
    ::unsetenv("POSIXLY_CORRECT");
    if (status != 0 && status != 1) Fail("exit status other than 0 and 1");
    if (!parPath.empty() && Contents(parPath) != parBefore) Fail("the run wrote over its own PAR file");
    return 0;
}
