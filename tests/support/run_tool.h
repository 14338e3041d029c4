// Helpers for tests that run a built program in a temporary folder, read
// what it printed, or capture what a function of the tool prints.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace morvik_test {

// A fresh temporary folder, removed with everything in it on destruction.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

struct RunOptions {
    std::string cwd;                    // working folder ("" = current)
    std::vector<std::string> env;       // extra NAME=VALUE entries
    std::vector<std::string> unsetEnv;  // names removed from the environment
    long fileSizeLimit = -1;            // RLIMIT_FSIZE in bytes, -1 = unchanged
    // "NAME:N:ACTION": change the input NAME just before the tool opens it
    // for the N-th time (see input_changer.cpp); "" changes nothing.
    std::string changeInput;
    std::vector<int> ignoredSignals;  // set to SIG_IGN in the child (as nohup does)
    long userId = -1;                 // run as this user and group id (needs root), from a
                                      // copy of the program every user can reach
    std::vector<int> closedFds;       // standard streams closed in the child (as >&- does)
};

// Runs `program` with `args` (element 0 is the program itself).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

// Runs the built Morvik with `args` (without the program name) in `cwd`.
// POSIXLY_CORRECT is removed from its environment unless `options` sets it.
RunResult RunMorvik(const std::vector<std::string>& args, const std::string& cwd, RunOptions options = {});

// Runs the built Morvik-inspect with `args` (without the program name).
RunResult RunInspect(const std::vector<std::string>& args);
// Writes `image` to image.bin in `dir` and runs Morvik-inspect on it.
RunResult InspectBytes(const TempDir& dir, const std::vector<uint8_t>& image,
                       const std::vector<std::string>& options = {"--quiet"});

// Runs `step` with standard output and standard error (the descriptors, so
// printf and fprintf alike) sent to files, and returns what it printed.
struct Captured {
    std::string out;
    std::string err;
};
Captured CaptureOutput(const std::function<void()>& step);

// The lines of a program's output, without their newlines.
std::vector<std::string> Lines(const std::string& text);
bool HasLine(const std::string& text, const std::string& line);
// "" when `wanted` occur in `text` as whole lines in this order, else the
// first one missing.
std::string MissingInOrder(const std::string& text, const std::vector<std::string>& wanted);
// A program started and not yet waited for; the test may signal `pid`.
struct Started {
    pid_t pid = -1;
    TempDir capture;  // its standard output and error
    int outFd = -1;
    int errFd = -1;
};

// RunMorvik in two halves: start it, and later wait for its end.
void StartMorvik(Started& started, const std::vector<std::string>& args, const std::string& cwd,
                 RunOptions options = {});
RunResult WaitFor(Started& started);

// True when every folder from the root down to `path` lets other users
// pass: a child run as another user can reach it.
bool OthersCanReach(const std::string& path);

void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// n deterministic pseudo-random bytes from `seed`.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

}  // namespace morvik_test
