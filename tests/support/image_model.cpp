#include "support/image_model.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace morvik_test {

uint32_t Crc32(const uint8_t* data, size_t length) { return static_cast<uint32_t>(::crc32_z(0L, data, length)); }

uint32_t Crc32(const Bytes& data) { return Crc32(data.data(), data.size()); }

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

void Fill(Bytes& out, uint32_t from, uint32_t count, uint8_t value) { Put(out, from, Bytes(count, value)); }

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    if (from >= bytes.size()) return {};
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes PidBytes() {
    Bytes pid;
    for (uint8_t i = 0; i < 56; ++i) pid.push_back(static_cast<uint8_t>(0x10 + i));
    return pid;
}

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

Bytes UnsealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<HeaderEntry>& entries) {
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
    return header;
}

Bytes SealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<HeaderEntry>& entries) {
    Bytes header = UnsealedHeader(fill, pidOffset, entries);
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

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

Bytes BuildImage(size_t size, uint8_t fill, uint32_t pidEnd, const std::vector<Group>& groups) {
    Bytes out(size, fill);
    for (const Group& g : groups)
        for (const HeaderEntry& e : g.entries) Put(out, e.offset, e.data);
    if (pidEnd != 0) Put(out, pidEnd - (kPidBlockSize - 1), PidBlock());
    std::vector<uint32_t> records;
    for (const Group& g : groups) {
        uint32_t end = 0;
        for (const HeaderEntry& e : g.entries)
            end = std::max<uint32_t>(end, e.offset + static_cast<uint32_t>(e.data.size()));
        records.push_back((end + 1) & ~1u);
        Put(out, records.back(), FwPidRecord());
    }
    for (size_t i = 0; i < groups.size(); ++i)
        Put(out, groups[i].headerAt, SealedHeader(fill, records[i], groups[i].entries));
    return out;
}

void BindFolder::Write(const std::string& name, const Bytes& bytes) const { WriteFile(dir / name, bytes); }

void BindFolder::Write(const std::string& name, const std::string& text) const { WriteFile(dir / name, text); }

Bytes BindFolder::Read(const std::string& name) const { return ReadFile(dir / name); }

bool BindFolder::Exists(const std::string& name) const { return FileExists(dir / name); }

RunResult BindFolder::Bind(const std::vector<std::string>& extra, long fileSizeLimit) const {
    RunOptions options;
    options.fileSizeLimit = fileSizeLimit;
    return Bind(extra, options);
}

RunResult BindFolder::Bind(const std::vector<std::string>& extra, RunOptions options) const {
    std::vector<std::string> args{"-i", "bind.par", "-o", "out.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunMorvik(args, dir.path, options);
}

std::vector<std::string> TempFilesOf(const std::string& folder, const std::string& output) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("." + output + ".morvik-", 0) == 0) names.push_back(name);
    }
    return names;
}

}  // namespace morvik_test
