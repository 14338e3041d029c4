// Shared plumbing of the fuzz targets: a scratch folder with the files a
// PAR text may name, quiet standard streams, and input splitting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvik_fuzz {

// One file the scratch folder holds for every input.
struct Fixture {
    const char* name;
    std::string bytes;
};

// The fixture set: images of assorted sizes (odd, even, a whole KiB, one
// byte, empty), PID files (valid, upper case, one byte short, a NUL inside)
// and the folder "dir", which opens but cannot be read.
const std::vector<Fixture>& Fixtures();

// Creates a fresh scratch folder under the system's temporary folder,
// writes the fixtures into it and makes it the working folder. The folder is
// removed when the process exits normally. Returns its path.
std::string EnterScratchFolder();

// Removes every entry of the working folder that is not a fixture and
// rewrites every fixture, so that one input cannot change what the next one
// sees (a run may replace an image with its output, or leave outputs
// behind).
void ResetScratchFolder();

// Sends fd 1 to /dev/null for the whole process: the tool's trace is large.
void SilenceStdout();

// Standard error is where libFuzzer and the sanitizers report, so it is
// silenced only around a call of the code under test. Sanitizer reports are
// sent to a saved copy of the real standard error, so a finding inside the
// silenced stretch is still printed.
struct QuietStderr {
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
};
void PrepareQuietStderr();  // once, at start-up

// True when the text names a device, process or system file: the targets
// skip such inputs, because reading /dev/zero or /dev/stdin to their end
// would hang the fuzzer rather than test the tool.
bool NamesSpecialFiles(std::string_view text);

// Splits `text` at every `separator`; empty pieces are kept.
std::vector<std::string> SplitKeepEmpty(std::string_view text, char separator);

// Stops the process with a message on standard error: a broken invariant
// is a finding like a crash.
[[noreturn]] void Fail(const char* what);

}  // namespace morvik_fuzz
