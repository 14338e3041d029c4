#include "support/run_tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <utility>
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
    // Dispositions and mask as an interactive shell starts a command, whatever
    // the test runner inherited; SIGXFSZ too stays at its default, as after
    // "ulimit -f", so the program must deal with it itself.
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGXFSZ}) ::signal(signo, SIG_DFL);
    for (int signo : options.ignoredSignals) ::signal(signo, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.userId >= 0) {
        auto id = static_cast<uid_t>(options.userId);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(126);
    }
    if (options.fileSizeLimit >= 0) {
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

void StartProgram(Started& started, const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options) {
    // Output goes to temporary files, so a chatty child never blocks on a pipe.
    started.outFd = ::open((started.capture / "stdout").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    started.errFd = ::open((started.capture / "stderr").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    std::fflush(nullptr);
    started.pid = ::fork();
    if (started.pid == 0) ExecChild(program, args, options, started.outFd, started.errFd);
}

RunOptions ForMorvik(RunOptions options, const std::string& cwd) {
    options.cwd = cwd;
    bool setsPosix = false;
    for (const std::string& entry : options.env) setsPosix |= entry.rfind("POSIXLY_CORRECT=", 0) == 0;
    if (!setsPosix) options.unsetEnv.push_back("POSIXLY_CORRECT");
    return options;
}

std::vector<std::string> MorvikArgs(const std::vector<std::string>& args) {
    std::vector<std::string> full{MORVIK_BIN};
    full.insert(full.end(), args.begin(), args.end());
    return full;
}

}  // namespace

RunResult WaitFor(Started& started) {
    int wstatus = 0;
    ::waitpid(started.pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    ::lseek(started.outFd, 0, SEEK_SET);
    ::lseek(started.errFd, 0, SEEK_SET);
    result.out = ReadAllFrom(started.outFd);
    result.err = ReadAllFrom(started.errFd);
    ::close(started.outFd);
    ::close(started.errFd);
    return result;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    Started started;
    StartProgram(started, program, args, options);
    return WaitFor(started);
}

RunResult RunMorvik(const std::vector<std::string>& args, const std::string& cwd, RunOptions options) {
    return RunProgram(MORVIK_BIN, MorvikArgs(args), ForMorvik(std::move(options), cwd));
}

void StartMorvik(Started& started, const std::vector<std::string>& args, const std::string& cwd,
                 RunOptions options) {
    StartProgram(started, MORVIK_BIN, MorvikArgs(args), ForMorvik(std::move(options), cwd));
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
