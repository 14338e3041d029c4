#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace morvik_fuzz {

namespace {

int savedStderr = -1;
int devNull = -1;
std::string scratchPath;

std::string Pattern(size_t n, uint32_t seed) {
    std::string bytes(n, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string PidText(bool upper) {
    std::string hex;
    for (int i = 0; i < 56; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", (i * 37 + 11) & 0xFF);
        hex += pair;
    }
    return hex;
}

std::string PidWithNul() {
    std::string text = PidText(false);
    text[100] = '\0';
    return text;
}

void WriteWhole(const char* name, const std::string& bytes) {
    int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("cannot write a fixture");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) Fail("cannot write a fixture");
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

// True when the file holds exactly `bytes`: reading a few small files from
// the page cache is much cheaper than writing them again.
bool HoldsExactly(const char* name, const std::string& bytes) {
    struct stat st;
    if (::lstat(name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<size_t>(st.st_size) != bytes.size()) return false;
    int fd = ::open(name, O_RDONLY);
    if (fd < 0) return false;
    std::string held(bytes.size(), '\0');
    size_t done = 0;
    while (done < held.size()) {
        ssize_t n = ::read(fd, held.data() + done, held.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == held.size() && held == bytes;
}

// Writes the fixtures that are missing or changed since they were written.
void WriteFixtures() {
    for (const Fixture& f : Fixtures()) {
        if (!HoldsExactly(f.name, f.bytes)) WriteWhole(f.name, f.bytes);
    }
    ::mkdir("dir", 0755);
}

void RemoveScratch() {
    if (scratchPath.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(scratchPath, ignored);
}

}  // namespace

const std::vector<Fixture>& Fixtures() {
    // clang-format off
    static const std::vector<Fixture> fixtures = {
        {"boot.bin", Pattern(0x1800, 1)},
        {"kernel.bin", Pattern(0x2345, 2)},
        {"rootfs.bin", Pattern(0x1a01, 3)},
        {"kernel-b.bin", Pattern(0x2210, 4)},
        {"rootfs-b.bin", Pattern(0x1c00, 5)},
        {"a.bin", Pattern(1, 6)},
        {"b.bin", Pattern(0x400, 7)},
        {"c.bin", Pattern(0x3ff, 8)},
        {"empty.bin", std::string()},
        {"pid.txt", PidText(false) + "\n"},
        {"PID.TXT", PidText(true)},
        {"pid111.txt", PidText(false).substr(0, 111)},
        {"pidnul.txt", PidWithNul()},
    };
    // clang-format on
    return fixtures;
}

std::string EnterScratchFolder() {
    std::string templ = std::filesystem::temp_directory_path().string() + "/morvik-fuzz-XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) Fail("mkdtemp failed");
    scratchPath = buffer.data();
    if (::chdir(scratchPath.c_str()) != 0) Fail("chdir to the scratch folder failed");
    WriteFixtures();
    std::atexit(RemoveScratch);
    return scratchPath;
}

void ResetScratchFolder() {
    static const std::set<std::string> keep = [] {
        std::set<std::string> names{".", "..", "dir"};
        for (const Fixture& f : Fixtures()) names.insert(f.name);
        return names;
    }();
    if (DIR* dir = ::opendir(".")) {
        std::vector<std::string> doomed;
        while (dirent* entry = ::readdir(dir)) {
            if (keep.count(entry->d_name) == 0) doomed.push_back(entry->d_name);
        }
        ::closedir(dir);
        for (const std::string& name : doomed) {
            std::error_code ignored;
            std::filesystem::remove_all(name, ignored);
        }
    }
    // "dir" must stay an empty folder; a run cannot replace it, but be sure.
    struct stat st;
    if (::lstat("dir", &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::error_code ignored;
        std::filesystem::remove_all("dir", ignored);
    }
    WriteFixtures();
}

void SilenceStdout() {
    std::fflush(stdout);
    int fd = ::open("/dev/null", O_WRONLY);
    if (fd < 0) Fail("cannot open /dev/null");
    ::dup2(fd, 1);
    ::close(fd);
    // Nothing the code under test does may wait on our standard input.
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) {
        ::dup2(in, 0);
        ::close(in);
    }
}

void PrepareQuietStderr() {
    savedStderr = ::dup(2);
    devNull = ::open("/dev/null", O_WRONLY);
    if (savedStderr < 0 || devNull < 0) Fail("cannot prepare the stderr redirection");
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(savedStderr)));
}

QuietStderr::QuietStderr() {
    std::fflush(stderr);
    ::dup2(devNull, 2);
}

QuietStderr::~QuietStderr() {
    std::fflush(stderr);
    ::dup2(savedStderr, 2);
}

bool NamesSpecialFiles(std::string_view text) {
    for (std::string_view root : {"/dev", "/proc", "/sys"}) {
        if (text.find(root) != std::string_view::npos) return true;
    }
    return false;
}

std::vector<std::string> SplitKeepEmpty(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void Fail(const char* what) {
    int fd = savedStderr >= 0 ? savedStderr : 2;
    std::string line = std::string("morvik fuzz invariant broken: ") + what + "\n";
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    std::abort();
}

}  // namespace morvik_fuzz
