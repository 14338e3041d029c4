#include "e2e_image_model.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace morvik_e2e {

uint32_t Crc32(const Bytes& data) {
    return static_cast<uint32_t>(::crc32(0L, data.data(), static_cast<uInt>(data.size())));
}

uint32_t Le32(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes.at(at)) | static_cast<uint32_t>(bytes.at(at + 1)) << 8 |
           static_cast<uint32_t>(bytes.at(at + 2)) << 16 | static_cast<uint32_t>(bytes.at(at + 3)) << 24;
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

void Put(Bytes& out, uint32_t at, const Bytes& data) {
    if (out.size() < at + data.size()) out.resize(at + data.size(), 0x00);
    std::copy(data.begin(), data.end(), out.begin() + at);
}

void Fill(Bytes& out, uint32_t from, uint32_t count, uint8_t value) {
    Put(out, from, Bytes(count, value));
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    if (from >= bytes.size()) return {};
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

Bytes PidBytes() { return morvik_test::PatternBytes(56, 0x51D); }

std::string PidFileText() {
    std::string text;
    Bytes pid = PidBytes();
    for (size_t i = 0; i < pid.size(); ++i) {
        char digits[3];
        // Both digit cases must give the same bytes.
        std::snprintf(digits, sizeof digits, i % 2 == 0 ? "%02X" : "%02x", pid[i]);
        text += digits;
    }
    return text + "\n";
}

Bytes PidBlock() {
    const std::string magic = "tAvRiCk";
    Bytes block(magic.begin(), magic.end());
    Bytes pid = PidBytes();
    block.insert(block.end(), pid.begin(), pid.end());
    block.insert(block.end(), magic.begin(), magic.end());
    return block;
}

Bytes FwPidRecord() {
    Bytes block = PidBlock();
    Bytes record{block[45], block[46], block[49], block[50], block[57], block[58], 0x90, 0xF7};
    const std::string tag = "aVrIcK";
    record.insert(record.end(), tag.begin(), tag.end());
    record.push_back(0x00);
    record.push_back(0x00);
    return record;
}

std::string FwPidRecordLine() {
    std::string line;
    for (uint8_t byte : FwPidRecord()) line += Hex(byte) + " ";
    return line;
}

Bytes SealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<HeaderEntry>& entries) {
    Bytes header(kHeaderSize, fill);
    PutLe32(header, 4, pidOffset);
    header[12] = static_cast<uint8_t>(entries.size());
    uint8_t bitmap = fill;
    for (size_t n = 0; n < entries.size(); ++n) {
        const HeaderEntry& entry = entries[n];
        size_t base = 16 + 24 * n;
        PutLe32(header, base, entry.offset);
        PutLe32(header, base + 4, static_cast<uint32_t>(entry.data.size()));
        PutLe32(header, base + 8, Crc32(entry.data));
        for (size_t i = 0; i < 4; ++i)
            header[base + 12 + i] = i < entry.version.size() ? static_cast<uint8_t>(entry.version[i]) : 0x00;
        if (entry.cksum && n < 8) bitmap = static_cast<uint8_t>(bitmap | 1u << n);
    }
    header[13] = bitmap;
    uint32_t checksum = Crc32(header);
    header[0] = 'T';
    header[1] = 'a';
    header[2] = 'v';
    header[3] = 0x00;
    PutLe32(header, 8, checksum);
    return header;
}

uint32_t VerifierChecksum(const Bytes& header, uint8_t fill) {
    Bytes copy = header;
    for (size_t i : {0, 1, 2, 3, 8, 9, 10, 11}) copy.at(i) = fill;
    return Crc32(copy);
}

std::string FirstDifference(const Bytes& actual, const Bytes& expected) {
    size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i])
            return "first difference at 0x" + Hex(static_cast<uint32_t>(i)) + ": got 0x" + Hex(actual[i]) +
                   ", expected 0x" + Hex(expected[i]);
    }
    if (actual.size() != expected.size())
        return "size 0x" + Hex(static_cast<uint32_t>(actual.size())) + ", expected 0x" +
               Hex(static_cast<uint32_t>(expected.size()));
    return "";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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

bool HasLine(const std::string& text, const std::string& line) {
    std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

void BindFolder::Write(const std::string& name, const Bytes& bytes) const {
    morvik_test::WriteFile(dir / name, bytes);
}

void BindFolder::Write(const std::string& name, const std::string& text) const {
    morvik_test::WriteFile(dir / name, text);
}

Bytes BindFolder::Read(const std::string& name) const { return morvik_test::ReadFile(dir / name); }

bool BindFolder::Exists(const std::string& name) const { return morvik_test::FileExists(dir / name); }

morvik_test::RunResult BindFolder::Bind(const std::vector<std::string>& extra, long fileSizeLimit) const {
    std::vector<std::string> args{"-i", "bind.par", "-o", "out.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    morvik_test::RunOptions options;
    options.fileSizeLimit = fileSizeLimit;
    return morvik_test::RunMorvik(args, dir.path, options);
}

}  // namespace morvik_e2e
