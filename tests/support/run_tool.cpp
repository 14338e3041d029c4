#include "support/run_tool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvik_test {

TempDir::TempDir() {
    std::string templ = std::filesystem::temp_directory_path().string() + "/morvik-test-XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

namespace {

std::string ReadAllFrom(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

[[noreturn]] void ExecChild(const std::string& program, const std::vector<std::string>& args,
                            const RunOptions& options, int outFd, int errFd) {
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    for (const std::string& name : options.unsetEnv) ::unsetenv(name.c_str());
    for (const std::string& entry : options.env) {
        size_t eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    if (!options.changeInput.empty()) {
        ::setenv("LD_PRELOAD", MORVIK_INPUT_CHANGER, 1);
        ::setenv("MORVIK_CHANGE", options.changeInput.c_str(), 1);
        // Under AddressSanitizer the preloaded library comes before its runtime.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
        ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    }
    if (options.fileSizeLimit >= 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                            static_cast<rlim_t>(options.fileSizeLimit)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    // Output goes to temporary files, so a chatty child never blocks on a pipe.
    TempDir capture;
    std::string outPath = capture / "stdout", errPath = capture / "stderr";
    int outFd = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    int errFd = ::open(errPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) ExecChild(program, args, options, outFd, errFd);
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    ::lseek(outFd, 0, SEEK_SET);
    ::lseek(errFd, 0, SEEK_SET);
    result.out = ReadAllFrom(outFd);
    result.err = ReadAllFrom(errFd);
    ::close(outFd);
    ::close(errFd);
    return result;
}

RunResult RunMorvik(const std::vector<std::string>& args, const std::string& cwd, RunOptions options) {
    std::vector<std::string> full{MORVIK_BIN};
    full.insert(full.end(), args.begin(), args.end());
    options.cwd = cwd;
    bool setsPosix = false;
    for (const std::string& entry : options.env) setsPosix |= entry.rfind("POSIXLY_CORRECT=", 0) == 0;
    if (!setsPosix) options.unsetEnv.push_back("POSIXLY_CORRECT");
    return RunProgram(MORVIK_BIN, full, options);
}

RunResult RunInspect(const std::vector<std::string>& args) {
    std::vector<std::string> full{MORVIK_INSPECT_BIN};
    full.insert(full.end(), args.begin(), args.end());
    RunOptions options;
    options.unsetEnv.push_back("POSIXLY_CORRECT");
    return RunProgram(MORVIK_INSPECT_BIN, full, options);
}

RunResult InspectBytes(const TempDir& dir, const std::vector<uint8_t>& image,
                       const std::vector<std::string>& options) {
    std::string path = dir / "image.bin";
    WriteFile(path, image);
    std::vector<std::string> args = options;
    args.push_back(path);
    return RunInspect(args);
}

Captured CaptureOutput(const std::function<void()>& step) {
    TempDir capture;
    std::fflush(stdout);
    std::fflush(stderr);
    int saved[2] = {::dup(1), ::dup(2)};
    int files[2];
    for (int fd : {1, 2}) {
        files[fd - 1] = ::open((capture / std::to_string(fd)).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ::dup2(files[fd - 1], fd);
    }
    step();
    std::fflush(stdout);
    std::fflush(stderr);
    Captured captured;
    for (int fd : {1, 2}) {
        ::dup2(saved[fd - 1], fd);
        ::close(saved[fd - 1]);
        ::lseek(files[fd - 1], 0, SEEK_SET);
        (fd == 1 ? captured.out : captured.err) = ReadAllFrom(files[fd - 1]);
        ::close(files[fd - 1]);
    }
    return captured;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
    std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string MissingInOrder(const std::string& text, const std::vector<std::string>& wanted) {
    std::vector<std::string> lines = Lines(text);
    auto at = lines.begin();
    for (const std::string& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end()) return line;
        ++at;
    }
    return "";
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

}  // namespace morvik_test
