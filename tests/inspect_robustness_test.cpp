// Morvik-inspect on files that are not what they should be: unbound,
// hostile, changing while they are read, or not regular files; and the
// pieces its single pass rests on: combining CRC-32s, the byte scans, and
// the findings and runs of markers and runs that straddle chunk borders.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "format/image_format.h"
#include "inspect/judge/checksums.h"
#include "inspect/judge/inspection.h"
#include "inspect/pass/scan_routes.h"
#include "support/image_model.h"
#include "support/json.h"
#include "support/schema.h"

namespace morvik_test {
namespace {

// crc32_combine, and its tabled form, against zlib's, including lengths
// far past what a buffer in a test can hold.
TEST(InspectRobustness, CrcCombineMatchesZlib) {
    Bytes data = PatternBytes(70000, 3);
    const uint32_t crcA = Crc32(data.data(), 1000), crcB = Crc32(data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(morvik::crc32_combine(crcA, crcB, data.size() - 1000), Crc32(data.data(), data.size()));
    for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{15}, uint64_t{4096}, uint64_t{65537}, uint64_t{1} << 31,
                            (uint64_t{1} << 32) + 7, (uint64_t{1} << 33) - 2, uint64_t{0x123456789ab}}) {
        const morvik::Crc32Shift shift = morvik::MakeCrc32Shift(length);
        for (uint32_t seed : {0u, 0xdeadbeefu, 0xffffffffu}) {
            uint32_t crc1 = Crc32(data.data(), seed % 97) ^ seed, crc2 = seed ^ 0x5a5a5a5au;
            uint32_t expected = static_cast<uint32_t>(::crc32_combine64(crc1, crc2, static_cast<z_off64_t>(length)));
            EXPECT_EQ(morvik::crc32_combine(crc1, crc2, length), expected) << length;
            EXPECT_EQ(morvik::crc32_combine_with(shift, crc1, crc2), expected) << length;
        }
    }
}

// Data with every kind of marker, damaged magics, a dense stretch of
// near misses, text, and runs, at offsets that straddle vector steps.
Bytes ScanData() {
    Bytes data = PatternBytes(6000, 9);
    const char* pieces[] = {"Tav", "tAvRiCk", "aVrIcK", "T`v", "Tar", "TAV", "xav", "hAVe", "T\xff\xff", "\x01\x02v"};
    size_t at = 5;
    for (int round = 0; round < 6; ++round)
        for (const char* piece : pieces) {
            std::memcpy(data.data() + at, piece, std::strlen(piece) + 1);  // with its NUL
            at += 37 + round;
        }
    for (size_t i = 3000; i < 3300; i += 2) std::memcpy(data.data() + i, "Ta", 2);
    std::memset(data.data() + 3500, 0x00, 200);
    std::memset(data.data() + 3800, 0xFF, 300);
    return data;
}

std::vector<uint32_t> NaiveMarkerStarts(const Bytes& data, size_t from, size_t to) {
    std::vector<uint32_t> out;
    for (size_t p = from; p < to; ++p) {
        int same = (data[p] == 'T') + (data[p + 1] == 'a' || data[p + 1] == 'A') +
                   (data[p + 2] == 'v' || data[p + 2] == 'V') + (data[p + 3] == 0);
        if (same >= 2) out.push_back(static_cast<uint32_t>(p));
    }
    return out;
}

using MarkerRoute = size_t (*)(const uint8_t*, size_t, size_t, uint32_t*, size_t, size_t*);

TEST(InspectRobustness, MarkerScanRoutesMatchANaiveSearch) {
    // clang-format off
    struct Route {
        const char* name;
        MarkerRoute find;
        bool available;
    } routes[] = {
        {"plain", morvik::FindMarkerStartsPlain, true},
        {"sse2", morvik::FindMarkerStartsSse2, true},
        {"avx2", morvik::FindMarkerStartsAvx2, morvik::ScanHasAvx2()},
        {"avx512", morvik::FindMarkerStartsAvx512, morvik::ScanHasAvx512()},
        {"dispatch", morvik::FindMarkerStarts, true},
    };
    // clang-format on
    const Bytes data = ScanData();
    const size_t ranges[][2] = {{0, 5990}, {1, 5990}, {63, 4000}, {2999, 3301}, {100, 163}, {7, 9}, {50, 50}};
    for (const Route& r : routes) {
        if (!r.available) continue;
        for (const auto& range : ranges)
            for (size_t capacity : {size_t{64}, size_t{100}, size_t{4096}}) {
                std::vector<uint32_t> found, hits(capacity);
                size_t next = range[0];
                while (next < range[1]) {
                    size_t count = r.find(data.data(), next, range[1], hits.data(), capacity, &next);
                    found.insert(found.end(), hits.begin(), hits.begin() + static_cast<long>(count));
                }
                EXPECT_EQ(found, NaiveMarkerStarts(data, range[0], range[1]))
                    << r.name << " [" << range[0] << ", " << range[1] << ") capacity " << capacity;
            }
    }
}

TEST(InspectRobustness, UniformBlockRoutesMatchANaiveSearch) {
    Bytes data = PatternBytes(4096, 5);
    std::memset(data.data() + 640, 0x00, 32);   // one block
    std::memset(data.data() + 1000, 0x00, 90);  // blocks 1024 and 1056
    std::memset(data.data() + 1760, 0xFF, 32);  // one block at an odd multiple of 32
    std::memset(data.data() + 2048, 0xFF, 512);
    data[2048 + 300] = 0xFE;                    // a hole in the 0xFF run
    std::memset(data.data() + 3000, 0xFF, 70);  // block 3008
    auto all = [&](size_t block, uint8_t byte) {
        for (size_t i = 0; i < 32; ++i)
            if (data[block + i] != byte) return false;
        return true;
    };
    using Next = size_t (*)(const uint8_t*, size_t, size_t, size_t);
    using End = size_t (*)(const uint8_t*, size_t, size_t, uint8_t);
    struct Route {
        const char* name;
        Next next;
        End end;
        bool available;
    } routes[] = {
        {"plain", morvik::NextUniformBlockPlain, morvik::EndOfUniformBlocksPlain, true},
        {"avx2", morvik::NextUniformBlockAvx2, morvik::EndOfUniformBlocksAvx2, morvik::ScanHasAvx2()},
        {"dispatch", morvik::NextUniformBlock, morvik::EndOfUniformBlocks, true},
    };
    for (const Route& r : routes) {
        if (!r.available) continue;
        for (size_t to : {size_t{4096}, size_t{3020}, size_t{1070}})
            for (size_t from = 0; from < to; from += 32) {
                for (size_t step : {size_t{32}, size_t{64}}) {
                    if (from % step != 0) continue;
                    size_t expect = from;
                    while (expect + 32 <= to && !all(expect, 0x00) && !all(expect, 0xFF)) expect += step;
                    if (expect + 32 > to) expect = to - to % 32;
                    EXPECT_EQ(r.next(data.data(), from, to, step), expect)
                        << r.name << " next from " << from << " to " << to << " step " << step;
                }
                for (uint8_t byte : {uint8_t{0x00}, uint8_t{0xFF}}) {
                    size_t end = from;
                    while (end + 32 <= to && all(end, byte)) end += 32;
                    if (end + 32 > to) end = to - to % 32;
                    EXPECT_EQ(r.end(data.data(), from, to, byte), end)
                        << r.name << " end of " << int(byte) << " from " << from;
                }
            }
    }
}

// Files without a sealed header and without a PID block.
TEST(InspectRobustness, NothingBoundIsNothingOk) {
    Bytes bound = BuildImage(0x3810, 0xFF, 0x7ff, {{0x1000, {{0x1100, PatternBytes(0x1001, 1), "1.00", true}}}});
    // clang-format off
    struct Case {
        const char* what;
        Bytes image;
        uint64_t sparse;  // a sparse file of this size instead
    } cases[] = {
        {"zeros", Bytes(100000, 0x00), 0},
        {"random bytes", PatternBytes(100000, 4), 0},
        {"0xff fill", Bytes(100000, 0xFF), 0},
        {"a bind cut off before its PID block", Bytes(bound.begin(), bound.begin() + 0x700), 0},
        {"a sparse file", {}, uint64_t{64} << 20},
    };
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir / "image.bin";
        WriteFile(path, c.image);
        if (c.sparse != 0) {
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.sparse)), 0);
        }
        RunResult text = RunInspect({"--quiet", path});
        EXPECT_EQ(text.status, 1) << c.what;
        EXPECT_NE(text.out.find("not a bound image"), std::string::npos) << c.what << "\n" << text.out;
        EXPECT_NE(text.out.find("Summary: FAILED"), std::string::npos) << c.what;
        RunResult json = RunInspect({"--json", path});
        bool ok = false;
        ExpectMatchesSchema("morvik-inspect", json.out);
        Json doc = ParseJson(json.out, &ok);
        EXPECT_TRUE(ok && !doc["ok"].flag && !doc["bound"].flag && json.status == 1) << c.what << json.out;
    }
}

// FIFOs, sockets and devices are refused at once; a FIFO without a writer
// would block a plain open forever (the test's timeout is the hang guard).
TEST(InspectRobustness, FilesThatAreNotRegularAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socketPath = dir / "socket";
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // clang-format off
    struct Case {
        std::string path;
        const char* named;
    } cases[] = {
        {dir / "fifo", "is not a regular file"},
        {"/dev/null", "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {socketPath, "Error : cannot open image"},
    };
    // clang-format on
    for (const Case& c : cases) {
        RunResult run = RunInspect({c.path});
        EXPECT_EQ(run.status, 2) << c.path;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << c.path << "\n" << run.err;
    }
    ::close(sock);
}

// The file changes between two chunks of the pass; the test makes the
// change itself between two steps.
TEST(InspectRobustness, FileThatChangesWhileReadIsAnError) {
    // clang-format off
    struct Case {
        const char* what;
        void (*change)(const std::string& path);
    } cases[] = {
        {"shrinks", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 300000), 0); }},
        {"shrinks to nothing", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }},
        {"grows", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 1100000), 0); }},
        {"is written over",
         [](const std::string& path) {
             // past the coarse clock tick of file times
             std::this_thread::sleep_for(std::chrono::milliseconds(30));
             WriteFile(path, PatternBytes(1 << 20, 77));
         }},
    };
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir / "image.bin";
        WriteFile(path, BuildImage(1 << 20, 0x00, 0x7ff, {}));
        morvik::ImageFile file;
        ASSERT_TRUE(morvik::OpenImage(path.c_str(), &file));
        morvik::Inspection inspection;
        morvik::InspectionRun run;
        morvik::StartInspection(&file, &inspection, &run);
        ASSERT_TRUE(morvik::InspectNextChunk(&run)) << c.what;
        c.change(path);
        while (morvik::InspectNextChunk(&run)) {
        }
        bool complete = file.error.empty() && morvik::FinishInspection(&run);
        EXPECT_FALSE(complete) << c.what;
        EXPECT_NE(file.error.find("changed while it was read"), std::string::npos) << c.what << ": " << file.error;
    }
}

// --checksums: the whole file hashed chunk by chunk along the pass, and
// each area read again after it, where a file that changed in between is
// an error as it is during the pass.
TEST(InspectRobustness, ChecksumsCrossChunksAndSeeAChangeAfterThePass) {
    const uint32_t chunk = morvik::kChunkSize;
    Group a{chunk - 100, {{chunk + 156, PatternBytes(2 * chunk + 5, 1), "A.00", true}}};
    const Bytes image = BuildImage(6 * chunk + 77, 0xFF, 5 * chunk + 30, {a});
    auto digest = [](const uint8_t* p, size_t n) {
        morvik::Sha256 hash;
        morvik::Sha256Init(&hash);
        morvik::Sha256Update(&hash, p, n);
        return morvik::Sha256Hex(morvik::Sha256Final(&hash));
    };
    // clang-format off
    struct Case {
        const char* what;
        off_t newSize;  // after the pass; -1 leaves the file as it is
    } cases[] = {{"unchanged", -1}, {"shrinks", 2 * chunk}, {"grows", 7 * chunk}};
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir / "image.bin";
        WriteFile(path, image);
        morvik::ImageFile file;
        morvik::Inspection in;
        morvik::Sha256 whole;
        std::string error;
        ASSERT_TRUE(morvik::InspectPath(path.c_str(), &file, &in, &error, {morvik::WatchWholeFile(&whole)})) << error;
        if (c.newSize >= 0) {
            ASSERT_EQ(::truncate(path.c_str(), c.newSize), 0);
        }
        bool ok = morvik::AddChecksums(&file, &whole, true, &in);
        if (c.newSize >= 0) {
            EXPECT_FALSE(ok) << c.what;
            EXPECT_NE(file.error.find("changed while it was read"), std::string::npos) << c.what << ": " << file.error;
            continue;
        }
        ASSERT_TRUE(ok) << file.error;
        EXPECT_EQ(in.sha256, digest(image.data(), image.size()));
        ASSERT_GE(in.regions.size(), 5u);
        for (const morvik::Region& r : in.regions) {
            EXPECT_EQ(r.sha256, digest(image.data() + r.start, r.length)) << "area at " << r.start;
        }
    }
}

// Headers, a PID block and FW PID records that straddle the chunks are
// found and verified.
TEST(InspectRobustness, ChunkBordersChangeNothing) {
    const uint32_t chunk = morvik::kChunkSize;
    Group a{chunk - 100,
            {{chunk + 156, PatternBytes(2 * chunk, 1), "A.00", true},
             {3 * chunk + 1000, PatternBytes(chunk - 1008, 2), "A.01", true}}};  // record at 4 chunks - 8
    Group b{9 * chunk - 3, {{9 * chunk + 253, PatternBytes(5000, 3), "B.00", false}}};
    Bytes image = BuildImage(20 * chunk, 0xFF, 5 * chunk + 30, {a, b});
    TempDir dir;
    std::string path = dir / "image.bin";
    WriteFile(path, image);
    morvik::Inspection in;
    morvik::ImageFile file;
    ASSERT_TRUE(morvik::OpenImage(path.c_str(), &file));
    morvik::InspectionRun run;
    morvik::StartInspection(&file, &in, &run);
    while (morvik::InspectNextChunk(&run)) {
    }
    ASSERT_TRUE(file.error.empty() && morvik::FinishInspection(&run)) << file.error;
    EXPECT_TRUE(in.failures.empty()) << in.failures.front();
    ASSERT_EQ(in.headers.size(), 2u);
    EXPECT_EQ(in.headers[1].entries[0].actual, Crc32(image.data() + 9 * chunk + 253, 5000));
    ASSERT_EQ(in.pidBlocks.size(), 1u);
    EXPECT_EQ(in.pidBlocks[0].at, 5 * chunk + 30 - 69);
    EXPECT_EQ(in.headers[0].record.at, 4 * chunk - 8);
    // The map tiles the file; runs hold their byte only, and no data region
    // holds a run of the minimum length.
    const uint64_t minRun = morvik::MinimumRun(image.size());
    uint64_t covered = 0;
    for (size_t i = 0; i < in.regions.size(); ++i) {
        const morvik::Region& r = in.regions[i];
        EXPECT_EQ(r.start, covered) << i;
        covered = r.start + r.length;
        uint64_t longest = 0, current = 0;
        for (uint64_t p = r.start; p < r.start + r.length; ++p) {
            bool fill = image[p] == 0xFF || image[p] == 0x00;
            current = fill && p > r.start && image[p] == image[p - 1] ? current + 1 : fill;
            longest = std::max(longest, current);
        }
        if (r.kind == morvik::RegionKind::Fill) {
            EXPECT_EQ(longest, r.length) << i;
        }
        if (r.kind == morvik::RegionKind::Data) {
            EXPECT_LT(longest, minRun) << i;
        }
    }
    EXPECT_EQ(covered, image.size());
}

// Runs of 0x00 / 0xFF that cross chunk borders, end or start at them,
// cover whole chunks or the whole file: the pass keeps exactly the runs a
// byte-by-byte search finds, and the running CRC at every block agrees
// with zlib.
TEST(InspectRobustness, RunsAndBlockCrcsAcrossChunkBordersAreExact) {
    const uint64_t chunk = morvik::kChunkSize, size = 6 * chunk, shortest = morvik::MinimumRun(size);
    struct Piece {
        uint64_t at, length;
        uint8_t byte;
    };
    struct Case {
        const char* what;
        uint64_t size;
        std::vector<Piece> pieces;
    };
    // clang-format off
    std::vector<Case> cases = {
        {"across one border", size, {{chunk - 7000, 9000, 0xFF}}},
        {"ending at a border, the next starting there", size, {{chunk - 4000, 4000, 0x00}, {chunk, 4000, 0xFF}}},
        {"one byte past a border", size, {{2 * chunk - 5000, 5001, 0x00}}},
        {"a few bytes before a border", size, {{3 * chunk - 5, 9000, 0xFF}}},
        {"over whole chunks", size, {{chunk - 1, 3 * chunk + 2, 0x00}}},
        {"broken by one byte at a border", size, {{chunk - 4000, 8000, 0x00}, {chunk, 1, 0x01}}},
        {"broken by the other byte at a border", size, {{chunk - 4000, 8000, 0x00}, {chunk - 1, 1, 0xFF}}},
        {"too short by one byte", size, {{chunk - 700, shortest - 1, 0xFF}}},
        {"just long enough, across a border", size, {{chunk - 700, shortest, 0x00}}},
        {"ending the file", size + 77, {{size - 3000, 3077, 0x00}}},
        {"the whole file", size + 77, {{0, size + 77, 0xFF}}},
        {"a file smaller than a block", 30, {{0, 30, 0x00}}},
        // 4 KiB files keep runs of 64 bytes and more
        {"64 bytes between two blocks looked at", 4096, {{1, 64, 0x00}}},
        {"95 bytes right after a run of the other byte", 4096, {{954, 70, 0x00}, {1024, 95, 0xFF}}},
        {"64 bytes right after a run of the other byte", 4096, {{954, 70, 0xFF}, {1024, 64, 0x00}}},
        // 95 KiB files keep runs of 95 bytes and more, 96 KiB files of 96
        {"95 bytes after the other byte, 95 KiB", 95 << 10, {{954, 70, 0x00}, {1024, 95, 0xFF}}},
        {"96 bytes after the other byte, 96 KiB", 96 << 10, {{954, 70, 0x00}, {1024, 96, 0xFF}}},
    };
    // clang-format on
    std::mt19937 random(11);
    for (int k = 0; k < 8; ++k) {
        Case c{"random pieces near borders", size, {}};
        for (int p = 0; p < 24; ++p) {
            uint64_t length = 1 + random() % (2 * chunk);
            uint64_t border = (1 + random() % 5) * chunk;
            uint64_t at = border - std::min(border, random() % (length + 1));
            c.pieces.push_back({at, std::min(length, size - at), static_cast<uint8_t>(random() % 3 ? 0x00 : 0xFF)});
        }
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        Bytes image = PatternBytes(c.size, 5);
        for (const Piece& p : c.pieces) std::fill_n(image.begin() + p.at, p.length, p.byte);
        const uint64_t minRun = morvik::MinimumRun(image.size());
        std::vector<morvik::ByteRun> expected;
        for (uint64_t at = 0, end; at < image.size(); at = end) {
            for (end = at + 1; end < image.size() && image[end] == image[at];) ++end;
            if ((image[at] == 0x00 || image[at] == 0xFF) && end - at >= minRun)
                expected.push_back(morvik::ByteRun{at, end - at, image[at]});
        }
        TempDir dir;
        std::string path = dir / "image.bin";
        WriteFile(path, image);
        {
            morvik::ImageFile file;
            ASSERT_TRUE(morvik::OpenImage(path.c_str(), &file));
            morvik::Inspection inspection;
            morvik::InspectionRun run;
            morvik::StartInspection(&file, &inspection, &run);
            const morvik::PassState& pass = run.pass;
            ASSERT_TRUE(morvik::ScanWholeFile(&run.pass)) << c.what;
            ASSERT_EQ(pass.runs.size(), expected.size()) << c.what;
            for (size_t r = 0; r < expected.size(); ++r) {
                EXPECT_EQ(pass.runs[r].start, expected[r].start) << c.what << " run " << r;
                EXPECT_EQ(pass.runs[r].length, expected[r].length) << c.what << " run " << r;
                EXPECT_EQ(pass.runs[r].byte, expected[r].byte) << c.what << " run " << r;
            }
            ASSERT_EQ(pass.blockCrcs.size(), image.size() / morvik::kCrcBlock + 1) << c.what;
            for (size_t b = 0; b < pass.blockCrcs.size(); ++b)
                EXPECT_EQ(pass.blockCrcs[b], Crc32(image.data(), b * morvik::kCrcBlock)) << c.what << " block " << b;
        }
    }
}

// Files built to make the work explode: every entry of 65 headers spanning
// the whole file, a file of header magics, a file of near misses. Each
// fails, quickly (the test's timeout is the hang guard; the benchmark
// script measures the first one at 256 MiB).
TEST(InspectRobustness, WorkBombsFailInBoundedTime) {
    // The headers go into the file that their entries cover, so that every
    // entry holds the CRC-32 of the file without them and fails.
    Bytes spanning = PatternBytes(2 << 20, 8);
    Bytes bomb = spanning;
    Bytes header = SealedHeader(0x00, 0, std::vector<HeaderEntry>(10, HeaderEntry{0, spanning, "1.00", true}));
    for (size_t k = 0; k < 65; ++k) Put(bomb, k * 30000, header);
    Bytes magics, nearMisses;
    for (int i = 0; i < 30000; ++i) {
        Bytes noise = PatternBytes(12, static_cast<uint32_t>(i));
        magics.insert(magics.end(), {'T', 'a', 'v', 0});
        magics.insert(magics.end(), noise.begin(), noise.end());
    }
    for (int i = 0; i < 600000; ++i) nearMisses.insert(nearMisses.end(), {'T', 'a'});
    // Headers with a damaged magic that point nowhere, in front of a FW PID
    // record that no header points to: more than can be kept for tracing.
    Bytes damaged = SealedHeader(0x00, 0, {{0, PatternBytes(16, 1), "1.00", true}});
    damaged[1] = 'b';
    Bytes untraceable = BuildImage(4200 * 256 + 0x1000, 0x00, 4200 * 256 + 0x7ff, {});
    for (size_t k = 0; k < 4200; ++k) Put(untraceable, k * 256, damaged);
    Put(untraceable, 4200 * 256 + 0x900, FwPidRecord());
    // clang-format off
    struct Case {
        const char* what;
        Bytes image;
        const char* named;
    } cases[] = {
        {"65 headers spanning the file", bomb, "more than 64 firmware headers found"},
        {"damaged headers in front of a record", untraceable, "more than 4096 possible damaged headers found"},
        {"header magics only", magics, "more than 4096 \"Tav\"+NUL markers found"},
        {"near misses only", nearMisses, "places that could start a marker found"},
    };
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        RunResult run = InspectBytes(dir, c.image);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_NE(run.out.find(c.named), std::string::npos) << c.what << "\n" << run.out.substr(0, 2000);
    }
    TempDir dir;
    RunResult run = InspectBytes(dir, bomb, {"--json"});
    bool ok = false;
    ExpectMatchesSchema("morvik-inspect", run.out);
    Json doc = ParseJson(run.out, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc["headers"].items.size(), 64u);
    EXPECT_EQ(doc["headers"][63]["entries"][9]["actual"].number, static_cast<double>(Crc32(bomb.data(), bomb.size())));

    // --checksums hashes overlapping areas up to twice the file, no more.
    run = InspectBytes(dir, bomb, {"--json", "--checksums"});
    ExpectMatchesSchema("morvik-inspect", run.out);
    doc = ParseJson(run.out, &ok);
    ASSERT_TRUE(ok);
    double hashed = 0;
    size_t leftOut = 0;
    for (const Json& r : doc["regions"].items) {
        if (r["sha256"].kind == Json::String)
            hashed += r["size"].number;
        else
            ++leftOut;
    }
    EXPECT_LE(hashed, 2.0 * static_cast<double>(bomb.size()));
    EXPECT_GT(hashed, 1.0 * static_cast<double>(bomb.size()));
    std::string note = "SHA-256 left out for " + std::to_string(leftOut) + " overlapping areas";
    EXPECT_NE(run.out.find(note), std::string::npos) << note << "\n" << run.out.substr(0, 2000);
}

}  // namespace
}  // namespace morvik_test
