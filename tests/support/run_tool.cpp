#include "support/run_tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <iterator>
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
