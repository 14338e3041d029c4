// The PID block (70 bytes ending at the boot PID location) and the 16-byte
// FW PID record behind the last image of each group.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/diagnostics.h"
#include "sys/io.h"
#include "write/layout.h"
#include "write/writer.h"

namespace morvik {

namespace {

uint8_t HexValue(char c) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    uint8_t digit = static_cast<uint8_t>(c - '0');
    return digit <= 9 ? digit : static_cast<uint8_t>(c - 0x37);
}

}  // namespace

void HexStr2Chrs(uint8_t* out, const char* text, uint16_t length) {
    for (uint32_t i = 0; i < length; i += 2) {
        // An odd length pairs the last digit with a NUL, as the text ends there.
        char second = i + 1 < length ? text[i + 1] : '\0';
        out[i / 2] = static_cast<uint8_t>(HexValue(text[i]) << 4 | HexValue(second));
    }
}

namespace {

// How many hex digits follow the PID's 112 in the file: the PID file of
// another product, most likely, or one with digits typed twice.
size_t HexDigitsBehind(int fd) {
    char rest[64];
    ssize_t got = ReadFull(fd, rest, sizeof rest);
    size_t count = 0;
    while (got > 0 && count < static_cast<size_t>(got) && std::isxdigit(static_cast<unsigned char>(rest[count])))
        ++count;
    return count;
}

void WarnDigitsBehind(ParInfo* info, const char* path, size_t count) {
    const bool strict = info->strict != 0;
    LocatedWarningOrError(strict, info->parPath, info->pidInfo->line,
                          "PID file '%s' holds more than 112 hex digits (%zu%s more): only the first 112 are used",
                          path, count, count == 64 ? " or" : "");
    if (strict) ++info->strictErrors;
}

}  // namespace

int MakePIDFormat(PidBlock* block, const char* path, ParInfo* info) {
    const PidInfo* where = info != nullptr ? info->pidInfo : nullptr;
    const char* parPath = info != nullptr ? info->parPath : nullptr;
    UniqueFd in = OpenForReading(path);
    if (in.fd < 0) {
        const int error = errno;
        std::printf("Error: open failed on %s PID file!\n", path);
        if (where != nullptr)
            LocatedError(parPath, where->line, "PID file '%s' cannot be opened any more: %s", path,
                         std::strerror(error));
        return 3;
    }
    char text[kPidHexChars + 1] = {};
    ssize_t got = ReadFull(in.fd, text, kPidHexChars);
    if (got < 0) {
        const int error = errno;
        std::printf("Error: %s format error!\n", path);
        if (where != nullptr)
            LocatedError(parPath, where->line, "PID file '%s' cannot be read: %s", path, std::strerror(error));
        return 3;
    }
    if (got != static_cast<ssize_t>(kPidHexChars)) {
        std::printf("Error: %s format error!\n", path);
        if (where != nullptr)
            LocatedError(parPath, where->line, "PID file '%s' has %zd characters: the PID is 112 hex digits", path,
                         got);
        return 3;
    }
    // Any other character, a NUL included (it would end the text early and
    // leave zeros where the PID belongs), would make a wrong PID.
    const size_t n = kPidHexChars;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (std::isxdigit(c)) continue;
        std::printf("Error: PID file %s: character %zu (0x%02x) is not a hex digit!\n", path, i + 1, c);
        if (where != nullptr)
            LocatedError(parPath, where->line, "PID file '%s': character %zu (0x%02x) is not a hex digit", path, i + 1,
                         c);
        return 3;
    }
    if (size_t behind = HexDigitsBehind(in.fd); behind > 0 && where != nullptr) WarnDigitsBehind(info, path, behind);
    std::memcpy(block->raw, kPidMagic, kPidMagicSize);
    HexStr2Chrs(block->raw + kPidMagicSize, text, static_cast<uint16_t>(n));
    std::memcpy(block->raw + kPidMagicSize + n / 2, kPidMagic, kPidMagicSize);
    return 0;
}

int MakePIDFormat(PidBlock* block, const char* path) { return MakePIDFormat(block, path, nullptr); }

bool LocatePID(int outFd, const PidBlock* block, uint32_t position) {
    uint32_t start = position + 1;
    return WriteAllAt(outFd, block->raw, kPidBlockSize, start);
}

bool putAnotherPID(int outFd, const PidBlock* block, uint32_t location) {
    FwPidRecord record = MakeFwPidRecord(block->raw);
    for (uint8_t byte : record.raw) std::printf("%x ", byte);
    std::printf("\n");
    return WriteAllAt(outFd, record.raw, kFwPidRecordSize, location);
}

namespace {

bool WriteFwPidRecords(int outFd, const ParInfo* info, const PidBlock* block) {
    for (const FwPidPlace& place : FwPidPlaces(info)) {
        // A group that got no location (it has no image of its own) gets no
        // record: position 0 is the bootloader's first bytes.
        if (place.at == 0) {
            std::printf("Warn : there would be no FW PID!\n");
            continue;
        }
        if (place.group < 0)
            std::printf("FW PID is at %x!\n", place.at);
        else
            std::printf("FW PID for group %d address is %x.\n", place.group, place.at);
        if (!putAnotherPID(outFd, block, place.at)) return false;
    }
    return true;
}

}  // namespace

bool WritePidData(const OutputFile& out, const ParInfo* info, const PidBlock* block) {
    const auto blockEnd = static_cast<uint32_t>(PidBlockAt(info->pidInfo) - 1);
    if (LocatePID(out.file.fd, block, blockEnd) && WriteFwPidRecords(out.file.fd, info, block)) return true;
    ReportWriteFailure(out.path);
    return false;
}

}  // namespace morvik
