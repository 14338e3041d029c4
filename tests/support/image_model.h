// An independent model of a bound output image, for the planner, bind and
// inspector tests.
//
// The tests say where everything goes (the positions are worked out by hand
// from the layout rules); these helpers lay the bytes down in the order the
// bind writes them (fill, reserved ranges, image data, PID block, FW PID
// records, firmware headers) and build the records from the byte formats.
// CRC-32 comes from zlib, never from the tool's own routine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/run_tool.h"

namespace morvik_test {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kPidBlockSize = 70;
constexpr uint32_t kFwPidRecordSize = 16;

uint32_t Crc32(const Bytes& data);
uint32_t Crc32(const uint8_t* data, size_t length);
uint32_t Le32(const Bytes& bytes, size_t at);
void PutLe32(Bytes& bytes, size_t at, uint32_t value);

// Copies `data` to `at`, growing `out` when the data runs past its end.
void Put(Bytes& out, uint32_t at, const Bytes& data);
void Fill(Bytes& out, uint32_t from, uint32_t count, uint8_t value);
Bytes Slice(const Bytes& bytes, size_t from, size_t count);
Bytes Text(const char* text);

// The PID file used by every bind: 112 hex digits in mixed case and a newline.
std::string PidFileText();
// The 56 bytes those digits stand for: 0x10, 0x11, ... 0x47.
Bytes PidBytes();
// "tAvRiCk", the 56 PID bytes, "tAvRiCk".
Bytes PidBlock();
// The three PID words, 0x90 0xF7, "aVrIcK", two zero bytes.
Bytes FwPidRecord();
// The trace line of a written FW PID record: each byte as "%x ".
std::string FwPidRecordLine();

struct HeaderEntry {
    uint32_t offset;  // where the image's first byte lands in the output
    Bytes data;       // the image file
    std::string version;
    bool cksum;
};

// A firmware header as the planner builds it: every byte the fill byte but
// the PID offset, the entries, their count and the verify bitmap.
Bytes UnsealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<HeaderEntry>& entries);
// The same header checksummed, then given its magic and checksum.
Bytes SealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<HeaderEntry>& entries);

// The checksum a device verifier computes for a header read from an image:
// CRC-32 with the magic and the checksum field replaced by the fill byte.
uint32_t VerifierChecksum(const Bytes& header, uint8_t fill);

// Where two images differ first, or "" when they are equal.
std::string FirstDifference(const Bytes& actual, const Bytes& expected);

std::string Hex(uint32_t value);

// printf into a string (up to 511 characters).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One image group of a hand-built image: its header's position and its
// images, the kernel being the one at headerAt + 256.
struct Group {
    uint32_t headerAt;
    std::vector<HeaderEntry> entries;
};

// An image of `size` bytes laid down in the bind's order: fill, the group
// images, the PID block ending at `pidEnd` (none when 0), each group's FW PID
// record at the even position behind its last image, the headers.
Bytes BuildImage(size_t size, uint8_t fill, uint32_t pidEnd, const std::vector<Group>& groups);

// A folder holding the inputs of one bind, and the bind run in it.
// The temporary files a bind of `output` keeps in `folder` while it runs
// (".out.bin.morvik-XXXXXX"): none should be left after it.
std::vector<std::string> TempFilesOf(const std::string& folder, const std::string& output = "out.bin");

struct BindFolder {
    morvik_test::TempDir dir;

    void Write(const std::string& name, const Bytes& bytes) const;
    void Write(const std::string& name, const std::string& text) const;
    Bytes Read(const std::string& name) const;
    bool Exists(const std::string& name) const;
    std::string operator/(const std::string& name) const { return dir / name; }

    // Runs "Morvik -i bind.par -o out.bin" plus `extra` in the folder.
    morvik_test::RunResult Bind(const std::vector<std::string>& extra = {}, long fileSizeLimit = -1) const;
    morvik_test::RunResult Bind(const std::vector<std::string>& extra, RunOptions options) const;
};

}  // namespace morvik_test
