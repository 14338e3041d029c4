// What a build machine or a careless script does around a bind: closed
// standard streams, output paths that are links to devices, to /proc or to
// folders, a picture written over the image it shows, folders that others
// can write, hard links, leftovers of killed binds. Each row asserts the
// exit status and message, that the old output (or the image under check)
// is byte for byte as before, and that nothing new appeared beside a refused
// target. Device nodes are made by the test in its own folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "support/image_model.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

const Bytes kOldOutput = PatternBytes(0x3000, 42);

// The bundled example's inputs, its PAR file as bind.par.
void WriteExample(const BindFolder& folder) {
    const fs::path examples = fs::path(MORVIK_SOURCE_DIR) / "examples";
    for (const char* name : {"boot.bin", "kernel.bin", "rootfs.bin", "pid.txt"})
        folder.Write(name, ReadFile((examples / name).string()));
    folder.Write("bind.par", ReadFile((examples / "ARMPARA.PAR").string()));
}

// What the example binds into, by a plain run in a folder of its own.
const Bytes& ExampleImage() {
    static const Bytes image = [] {
        BindFolder folder;
        WriteExample(folder);
        EXPECT_EQ(folder.Bind({"-p", "0xff"}).status, 0);
        return folder.Read("out.bin");
    }();
    return image;
}

// The folder's entries: kind and, for regular files, size and CRC-32.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + ":" + std::to_string(st.st_rdev);
        if (S_ISLNK(st.st_mode)) what += ">" + fs::read_symlink(entry.path()).string();
        if (S_ISREG(st.st_mode)) {
            Bytes bytes = ReadFile(entry.path().string());
            what += ": " + std::to_string(bytes.size()) + " bytes, CRC " + Hex(Crc32(bytes));
        }
        entries[entry.path().filename().string()] = what;
    }
    return entries;
}

// Rewrites bind.par: `edit` gets its text and returns the new one.
bool EditPar(const BindFolder& folder, const std::function<std::string(std::string)>& edit) {
    Bytes par = folder.Read("bind.par");
    folder.Write("bind.par", edit(std::string(par.begin(), par.end())));
    return true;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

bool MakeNode(const BindFolder& folder, const std::string& name, mode_t type, unsigned major, unsigned minor) {
    return ::mknod((folder / name).c_str(), type | 0600, makedev(major, minor)) == 0;
}

bool MakeSocket(const BindFolder& folder, const std::string& name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder / name;
    if (fd < 0 || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    bool made = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return made;
}

// What a row expects at the output path afterwards.
enum class After {
    kAsBefore,  // the folder holds exactly what it held (the old out.bin included)
    kNewImage,  // `output` holds the example's image; nothing else is new or changed
};

struct BindCase {
    std::string name;
    std::function<bool(const BindFolder&)> setup;  // false: the machine cannot make it (skipped)
    std::vector<std::string> args;                 // behind "-i bind.par -o out.bin -p 0xff"
    std::vector<int> closed = {};                  // standard streams closed
    int status = 1;
    std::string says = "";  // a line of standard output or error, whole
    After after = After::kAsBefore;
    std::string output = "out.bin";
};

bool HasLineIn(const RunResult& run, const std::string& line) {
    return line.empty() || HasLine(run.out, line) || HasLine(run.err, line);
}

void ExpectFolderAfter(const BindCase& c, const BindFolder& folder, const std::map<std::string, std::string>& before) {
    std::map<std::string, std::string> after = Snapshot(folder.dir.path);
    if (c.after == After::kNewImage) {
        EXPECT_TRUE(folder.Read(c.output) == ExampleImage()) << "not the example's image";
        if (before.count(c.output) != 0)
            after[c.output] = before.at(c.output);
        else
            after.erase(c.output);
    }
    for (const auto& [name, what] : after) EXPECT_EQ(before.count(name), 1u) << "new entry " << name;
    for (const auto& [name, what] : before) EXPECT_EQ(after[name], what) << name << " changed";
}

TEST(E2eOutputSafety, BindAroundCarelessUse) {
    auto none = [](const BindFolder&) { return true; };
    const std::string proc = "Error : Output path so leads into /proc, refusing to write there!";
    const std::string notFile = " exists and is not a regular file, refusing to replace it!";
    const std::string dd = "write the image to a file and copy it to the device with dd or your flasher";
    // One case a few lines.
    // clang-format off
    const std::vector<BindCase> cases{
        {"standard output closed: the trace cannot land in the image", none, {}, {1}, 0, "", After::kNewImage},
        {"standard error closed with a warning to print",
         [](const BindFolder& f) {
             Bytes par = ReadFile(f / "bind.par");
             f.Write("bind.par", "X an unknown line\n" + std::string(par.begin(), par.end()));
             return true;
         },
         {}, {2}, 0, "", After::kNewImage},
        {"both closed", none, {}, {1, 2}, 0, "", After::kNewImage},
        {"a NUL byte in a line would drop the rest of it",
         [](const BindFolder& f) {
             return EditPar(f, [](std::string par) {
                 return Replaced(par, ":rootfs.bin &10000", std::string(":rootfs.bin &10000\0", 19));
             });
         },
         {}, {}, 1, "Error: line 17 holds a NUL byte!"},
        {"a UTF-16 PAR file",
         [](const BindFolder& f) {
             return EditPar(f, [](const std::string& par) {
                 std::string wide = "\xFF\xFE";
                 for (char c : par) wide += std::string{c, '\0'};
                 return wide;
             });
         },
         {}, {}, 1, "Error: Par file bind.par is UTF-16 text, not ASCII or UTF-8!"},
        {"a range of 2 GiB outside a group would be read as negative",
         [](const BindFolder& f) {
             return EditPar(f, [](std::string par) { return Replaced(par, "-l 0x8000", "-l 0x80000000"); });
         },
         {}, {}, 1, "Error : '-l' value 0x80000000 is 2 GiB or more!"},
        {"a range with a sign",
         [](const BindFolder& f) {
             return EditPar(f, [](std::string par) { return Replaced(par, "-l 0x8000", "-l -0x8000"); });
         },
         {}, {}, 1, "bind.par:11: error: '-l' value '-0x8000' has a sign: write the size as 0x8000"},
        {"control characters in a name reach standard error escaped",
         [](const BindFolder& f) {
             f.Write("root\x1b]0;pwned\x07.bin", f.Read("rootfs.bin"));
             return EditPar(f, [](std::string par) {
                 return Replaced(par, ":rootfs.bin &10000  -f", ":root\x1b]0;pwned\x07.bin &10000 -x -f");
             });
         },
         {}, {}, 0, "root\\x1b]0;pwned\\x07.bin: invalid option -- x", After::kNewImage},
        {"a link into /proc, as /dev/stdout is",
         [](const BindFolder& f) { return ::symlink("/proc/self/fd/1", (f / "so").c_str()) == 0; }, {"-o", "so"}, {},
         1, proc},
        {"a link into /proc through a folder link, as /dev/fd/1 is",
         [](const BindFolder& f) { return ::symlink("/proc/self/fd", (f / "fd").c_str()) == 0; }, {"-o", "fd/1"}, {},
         1, "Error : Output path fd/1 leads into /proc, refusing to write there!"},
        {"a link into /sys, where a file is a setting of the machine",
         [](const BindFolder& f) { return ::symlink("/sys/not-a-file-of-a-test", (f / "sysl").c_str()) == 0; },
         {"-o", "sysl"}, {}, 1, "Error : Output path sysl leads into /sys, refusing to write there!"},
        {"a link to a block device, as /dev/disk/by-id/ holds",
         [](const BindFolder& f) {
             return MakeNode(f, "card", S_IFBLK, 7, 200) && ::symlink("card", (f / "by-id").c_str()) == 0;
         },
         {"-o", "by-id"}, {}, 1, "by-id: error: leads to card, a block device: " + dd},
        {"a character device itself", [](const BindFolder& f) { return MakeNode(f, "tty", S_IFCHR, 1, 3); },
         {"-o", "tty"}, {}, 1, "tty: error: is a character device: " + dd},
        {"a link to a folder",
         [](const BindFolder& f) {
             return ::mkdir((f / "d").c_str(), 0755) == 0 && ::symlink("d", (f / "dl").c_str()) == 0;
         },
         {"-o", "dl"}, {}, 1, "Error : Output path dl" + notFile},
        {"a link to a FIFO",
         [](const BindFolder& f) {
             return ::mkfifo((f / "p").c_str(), 0600) == 0 && ::symlink("p", (f / "pl").c_str()) == 0;
         },
         {"-o", "pl"}, {}, 1, "pl: error: leads to p, a FIFO"},
        {"a socket", [](const BindFolder& f) { return MakeSocket(f, "s"); }, {"-o", "s"}, {}, 1,
         "s: error: is a socket"},
        {"- is a file named -", none, {"-o", "-"}, {}, 0, "Out File : -", After::kNewImage, "-"},
        {"a link that leads nowhere is replaced",
         [](const BindFolder& f) { return ::symlink("nowhere.bin", (f / "dangling").c_str()) == 0; },
         {"-o", "dangling"}, {}, 0, "DONE!", After::kNewImage, "dangling"},
        {"another hard link keeps the old image, and says so",
         [](const BindFolder& f) { return ::link((f / "out.bin").c_str(), (f / "tftp.bin").c_str()) == 0; }, {}, {},
         0, "out.bin: note: the old file had 1 other hard link; it keeps the old contents, not the new file",
         After::kNewImage},
    };
    // clang-format on
    for (const BindCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        WriteExample(folder);
        folder.Write("out.bin", kOldOutput);
        if (!c.setup(folder)) {
            std::printf("[  SKIP    ] %s: this machine cannot make it (%s)\n", c.name.c_str(), std::strerror(errno));
            continue;
        }
        auto before = Snapshot(folder.dir.path);
        RunOptions options;
        options.closedFds = c.closed;
        std::vector<std::string> args{"-p", "0xff"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult run = folder.Bind(args, options);

        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_TRUE(HasLineIn(run, c.says)) << run.out << run.err;
        EXPECT_EQ(run.err.find_first_of("\x1b\x07\r"), std::string::npos) << "a raw control character: " << run.err;
        ExpectFolderAfter(c, folder, before);
    }
}

// A killed bind leaves its temporary file; the next bind of the same output
// removes it, and nothing that could still be in use or is not its own.
TEST(E2eOutputSafety, LeftoversOfKilledBindsGoAndNothingElse) {
    enum Kind { kFile, kFinishedFile, kLink, kFolder };  // a finished file has its final mode
    // clang-format off
    // clang-format off
    const struct {
        std::string name;
        Kind kind;
        int age;          // seconds since it was last written
        bool locked;      // a running bind holds it
        bool otherUser;   // needs root to make
        bool removed;
    } leftovers[] = {
        {".out.bin.morvik-Ab12Cd", kFile, 120, false, false, true},
        {".out.bin.morvik-Zz99zz", kFile, 600000, false, false, true},
        {".out.bin.morvik-young1", kFile, 0, false, false, false},
        {".out.bin.morvik-Held01", kFile, 120, true, false, false},
        {".out.bin.morvik-Other1", kFile, 120, false, true, false},
        {".other.bin.morvik-Ab12Cd", kFile, 120, false, false, false},
        {".out.bin.morvik-Link01", kLink, 120, false, false, false},
        {".out.bin.morvik-Dir001", kFolder, 120, false, false, false},
        {".out.bin.morvik-toolong", kFile, 120, false, false, false},
        {".out.bin.morvik-Ab1", kFile, 120, false, false, false},
        {".out.bin.morvik-backup", kFinishedFile, 120, false, false, false},
    };
    // clang-format on
    // clang-format on
    const bool root = ::geteuid() == 0;
    BindFolder folder;
    WriteExample(folder);
    std::vector<int> held;
    for (const auto& l : leftovers) {
        if (l.otherUser && !root) continue;
        const std::string path = folder / l.name;
        if (l.kind == kFile || l.kind == kFinishedFile) {
            folder.Write(l.name, kOldOutput);
            ASSERT_EQ(::chmod(path.c_str(), l.kind == kFile ? 0600 : 0644), 0);
        }
        if (l.kind == kLink) {
            ASSERT_EQ(::symlink("out.bin", path.c_str()), 0);
        }
        if (l.kind == kFolder) {
            ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
        }
        if (l.otherUser) {
            ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
        }
        if (l.locked) {
            held.push_back(::open(path.c_str(), O_RDWR));
            ASSERT_EQ(::flock(held.back(), LOCK_EX), 0);
        }
        struct timespec times[2] = {{std::time(nullptr) - l.age, 0}, {std::time(nullptr) - l.age, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << l.name;
    }
    RunResult run = folder.Bind({"-p", "0xff"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(folder.Read("out.bin") == ExampleImage());
    for (const auto& l : leftovers) {
        if (l.otherUser && !root) continue;
        struct stat st {};
        EXPECT_EQ(::lstat((folder / l.name).c_str(), &st) != 0, l.removed) << l.name;
    }
    for (int fd : held) ::close(fd);
}

struct InspectCase {
    std::string name;
    std::function<bool(const BindFolder&)> setup;
    std::vector<std::string> args;  // run in the folder, which holds image.bin
    std::vector<int> closed;
    int status;
    std::string says;                    // a line of standard output or error, whole
    std::set<std::string> created = {};  // new entries the run may make
    std::set<std::string> changed = {};  // entries the run may rewrite
    bool svgOnStdout = false;            // standard output is the picture and nothing else
    std::string change = "";             // see RunOptions::changeInput
};

void ExpectInspectFolder(const InspectCase& c, const BindFolder& folder,
                         const std::map<std::string, std::string>& before) {
    std::map<std::string, std::string> after = Snapshot(folder.dir.path);
    for (const auto& [name, what] : before) {
        if (c.changed.count(name) == 0) {
            EXPECT_EQ(after[name], what) << name << " changed";
        }
    }
    for (const auto& [name, what] : after) {
        if (before.count(name) != 0) continue;
        EXPECT_EQ(c.created.count(name), 1u) << "new entry " << name;
        struct stat st {};
        ::lstat((folder / name).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            EXPECT_EQ(st.st_mode & 022, 0u) << name << " can be written by others";
        }
    }
}

TEST(E2eOutputSafety, InspectAroundCarelessUse) {
    auto none = [](const BindFolder&) { return true; };
    auto folderWithMode = [](mode_t mode) {
        return [mode](const BindFolder& f) {
            return ::mkdir((f / "parts").c_str(), 0700) == 0 && ::chmod((f / "parts").c_str(), mode) == 0;
        };
    };
    const std::string proc =
        "Error : picture so leads into /proc (/proc/self/fd/1): a file there is a running "
        "process's descriptor or memory, not a file to replace; write '-' for standard output";
    // clang-format off
    const std::vector<InspectCase> cases{
        {"control characters in the image's name are shown escaped",
         [](const BindFolder& f) {
             f.Write("x\x1b]0;pwned\x07\xff.bin", f.Read("image.bin"));
             return true;
         },
         {"x\x1b]0;pwned\x07\xff.bin"}, {}, 0,
         "Image x\\x1b]0;pwned\\x07\\xff.bin: 72210 bytes (0x00011a12), fill byte 0xff"},
        {"--svg through a link into /proc, as /dev/stdout is",
         [](const BindFolder& f) { return ::symlink("/proc/self/fd/1", (f / "so").c_str()) == 0; },
         {"--svg", "so", "image.bin"}, {}, 2, proc},
        {"--svg onto the image being checked", none, {"--svg", "image.bin", "image.bin"}, {}, 2,
         "Error : picture image.bin is the image being checked: give it a file of its own"},
        {"--svg onto a hard link of the image",
         [](const BindFolder& f) { return ::link((f / "image.bin").c_str(), (f / "map.svg").c_str()) == 0; },
         {"--svg", "map.svg", "image.bin"}, {}, 2,
         "Error : picture map.svg is the image being checked: give it a file of its own"},
        {"--svg onto a block device node", [](const BindFolder& f) { return MakeNode(f, "sdb", S_IFBLK, 7, 201); },
         {"--svg", "sdb", "image.bin"}, {}, 2,
         "Error : picture sdb is a block device: write the picture to a file and copy it to the device with dd or "
         "your flasher"},
        {"--svg through a link to a folder",
         [](const BindFolder& f) {
             return ::mkdir((f / "d").c_str(), 0755) == 0 && ::symlink("d", (f / "dl").c_str()) == 0;
         },
         {"--svg", "dl", "image.bin"}, {}, 2, "Error : picture dl leads to d, a folder"},
        {"--svg - puts the picture alone on standard output", none, {"--svg", "-", "image.bin"}, {}, 0, "", {}, {},
         true},
        {"--svg - on a damaged image: the failures on standard error",
         [](const BindFolder& f) {
             Bytes image = f.Read("image.bin");
             image[0x10000] ^= 0x5A;
             f.Write("image.bin", image);
             return true;
         },
         {"--svg", "-", "image.bin"}, {}, 1,
         "Summary: FAILED, 1 failure: 1 header, 2 group images, 1 PID block, 1 FW PID record", {}, {}, true},
        {"--svg - with standard output closed: the picture would go nowhere", none, {"--svg", "-", "image.bin"}, {1},
         2, "Error : standard output is closed: give the picture a file name"},
        {"a refused --extract folder is found before the picture is written",
         [](const BindFolder& f) {
             f.Write("map.svg", std::string("old"));
             return ::mkdir((f / "parts").c_str(), 0700) == 0 && ::symlink("x", (f / "parts/keep").c_str()) == 0;
         },
         {"--svg", "map.svg", "--extract", "parts", "image.bin"}, {}, 2,
         "Error : folder parts is not empty; give a new or an empty folder for the parts"},
        {"--svg - with --json", none, {"--json", "--svg", "-", "image.bin"}, {}, 2,
         "Error : --svg - and --json both write to standard output: give the picture a file name"},
        {"--extract -", none, {"--extract", "-", "image.bin"}, {}, 2,
         "Error : --extract writes files into a folder, not onto standard output (write ./- for a folder named -)"},
        {"--extract into a folder others can write", folderWithMode(0777), {"--extract", "parts", "image.bin"}, {}, 2,
         "Error : folder parts can be written by other users (mode 0777): give a new folder, or an empty one only "
         "you can write (chmod go-w)"},
        {"--extract into a folder its group can write", folderWithMode(0770), {"--extract", "parts", "image.bin"}, {},
         2,
         "Error : folder parts can be written by other users (mode 0770): give a new folder, or an empty one only "
         "you can write (chmod go-w)"},
        {"--extract into an empty folder of one's own", folderWithMode(0700), {"--extract", "parts", "image.bin"}, {},
         0, "Round trip: bind.sh rebuilds the image byte for byte", {}, {"parts"}},
        {"--extract into a new folder", none, {"--extract", "parts", "image.bin"}, {}, 0,
         "Round trip: bind.sh rebuilds the image byte for byte", {"parts"}},
        {"--extract through a link to an empty folder of one's own",
         [](const BindFolder& f) {
             return ::mkdir((f / "d").c_str(), 0700) == 0 && ::symlink("d", (f / "parts").c_str()) == 0;
         },
         {"--extract", "parts", "image.bin"}, {}, 2,
         "Error : cannot use parts as the folder for the parts: Not a directory"},
        // The parts are copied through the descriptor the check read: a
        // second open of the image, where a same-size rewrite would slip in
        // between the check and the copy, never comes.
        {"--extract opens the image once", none, {"--extract", "parts", "image.bin"}, {}, 0,
         "Round trip: bind.sh rebuilds the image byte for byte", {"parts"}, {}, false, "image.bin:2:rewrite"},
        {"standard output closed", none, {"--svg", "map.svg", "image.bin"}, {1}, 0, "", {"map.svg"}},
        {"an old picture with another hard link keeps it",
         [](const BindFolder& f) {
             f.Write("map.svg", std::string("old"));
             return ::link((f / "map.svg").c_str(), (f / "keep.svg").c_str()) == 0;
         },
         {"--svg", "map.svg", "image.bin"}, {}, 0,
         "map.svg: note: the old file had 1 other hard link; it keeps the old contents, not the new file", {},
         {"map.svg"}},
        {"--ihex through a link into /proc",
         [](const BindFolder& f) { return ::symlink("/proc/self/fd/1", (f / "so").c_str()) == 0; },
         {"--ihex", "so", "image.bin"}, {}, 2,
         "Error : Intel HEX file so leads into /proc (/proc/self/fd/1): a file there is a running process's "
         "descriptor or memory, not a file to replace; write '-' for standard output"},
        {"--motorola onto a hard link of the image",
         [](const BindFolder& f) { return ::link((f / "image.bin").c_str(), (f / "f.s37").c_str()) == 0; },
         {"--motorola", "f.s37", "image.bin"}, {}, 2,
         "Error : S-record file f.s37 is the image being checked: give it a file of its own"},
        {"--ihex and --svg on one file", none, {"--svg", "f.hex", "--ihex", "./f.hex", "image.bin"}, {}, 2,
         "Error : Intel HEX file ./f.hex is also the picture: give each a file of its own"},
        {"--ihex - puts the file on standard output", none, {"--ihex", "-", "image.bin"}, {}, 0, ":00000001FF"},
        {"--ihex - with standard output closed", none, {"--ihex", "-", "image.bin"}, {1}, 2,
         "Error : standard output is closed: give the Intel HEX file a file name"},
        {"--ihex opens the image once", none, {"--ihex", "f.hex", "image.bin"}, {}, 0, "Intel HEX file: f.hex",
         {"f.hex"}, {}, false, "image.bin:2:rewrite"},
        {"an old S-record file with another hard link keeps it",
         [](const BindFolder& f) {
             f.Write("f.s37", std::string("old"));
             return ::link((f / "f.s37").c_str(), (f / "keep.s37").c_str()) == 0;
         },
         {"--motorola", "f.s37", "image.bin"}, {}, 0,
         "f.s37: note: the old file had 1 other hard link; it keeps the old contents, not the new file", {},
         {"f.s37"}},
    };
    // clang-format on
    for (const InspectCase& c : cases) {
        SCOPED_TRACE(c.name);
        BindFolder folder;
        folder.Write("image.bin", ExampleImage());
        if (!c.setup(folder)) {
            std::printf("[  SKIP    ] %s: this machine cannot make it (%s)\n", c.name.c_str(), std::strerror(errno));
            continue;
        }
        auto before = Snapshot(folder.dir.path);
        RunOptions options;
        options.cwd = folder.dir.path;
        options.closedFds = c.closed;
        options.changeInput = c.change;
        std::vector<std::string> args{MORVIK_INSPECT_BIN};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult run = RunProgram(MORVIK_INSPECT_BIN, args, options);

        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_TRUE(HasLineIn(run, c.says)) << run.out << run.err;
        EXPECT_EQ((run.out + run.err).find_first_of("\x1b\x07"), std::string::npos) << "a raw control character";
        if (c.svgOnStdout) {
            EXPECT_EQ(run.out.rfind("<?xml", 0), 0u) << run.out.substr(0, 200);
            EXPECT_EQ(run.out.find("</svg>\n"), run.out.size() - 7) << "more than the picture on standard output";
        }
        ExpectInspectFolder(c, folder, before);
        if (c.created.count("map.svg") != 0 || c.changed.count("map.svg") != 0) {
            EXPECT_EQ(folder.Read("map.svg")[0], '<');
        }
    }
}

}  // namespace
}  // namespace morvik_test
