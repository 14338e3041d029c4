#include "support/run_tool.h"

#include <algorithm>
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
#include <map>
#include <sstream>
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

[[noreturn]] void ExecChild(const std::string& program, const std::vector<std::string>& args, const RunOptions& options,
                            int outFd, int errFd) {
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    for (int fd : options.closedFds) ::close(fd);
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
        struct rlimit limit {
            static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

// A copy of `program` in a folder of its own that every user may enter, for
// a child that runs as another user: the build folder may lie where only
// its owner can reach it. Made once per program and test process.
std::string CopyOthersCanRun(const std::string& program) {
    static std::map<std::string, std::string> copies;
    static TempDir folder;
    auto known = copies.find(program);
    if (known != copies.end()) return known->second;
    ::chmod(folder.path.c_str(), 0755);
    std::string copy = folder / std::filesystem::path(program).filename().string();
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    ::chmod(copy.c_str(), 0755);
    return copies[program] = copy;
}

void StartProgram(Started& started, const std::string& given, const std::vector<std::string>& args,
                  const RunOptions& options) {
    const std::string program = options.userId >= 0 ? CopyOthersCanRun(given) : given;
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

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    Started started;
    StartProgram(started, program, args, options);
    return WaitFor(started);
}

RunResult RunMorvik(const std::vector<std::string>& args, const std::string& cwd, RunOptions options) {
    return RunProgram(MORVIK_BIN, MorvikArgs(args), ForMorvik(std::move(options), cwd));
}

void StartMorvik(Started& started, const std::vector<std::string>& args, const std::string& cwd, RunOptions options) {
    StartProgram(started, MORVIK_BIN, MorvikArgs(args), ForMorvik(std::move(options), cwd));
}

RunResult RunInspect(const std::vector<std::string>& args) {
    std::vector<std::string> full{MORVIK_INSPECT_BIN};
    full.insert(full.end(), args.begin(), args.end());
    RunOptions options;
    options.unsetEnv.push_back("POSIXLY_CORRECT");
    return RunProgram(MORVIK_INSPECT_BIN, full, options);
}

RunResult InspectBytes(const TempDir& dir, const std::vector<uint8_t>& image, const std::vector<std::string>& options) {
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

bool OthersCanReach(const std::string& path) {
    for (std::filesystem::path at = std::filesystem::weakly_canonical(path);; at = at.parent_path()) {
        struct stat st {};
        if (::stat(at.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
        if (at == at.parent_path()) return true;
    }
}

}  // namespace morvik_test
