// Cutting PAR lines into items, reading hex fields and measuring the files a
// PAR file names.
#include "par/line_items.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "sys/io.h"

namespace morvik {

namespace {

constexpr size_t kReadChunk = 1024;
// Sizes are kept in a signed 32-bit field: 2 GiB and more do not fit.
constexpr int64_t kMaxFileLength = 0x7FFFFFFF;

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Value of one hex digit, or -1 for any other character.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Stores one item of `length` characters; false (after the message) when the
// item area or the item table is full.
bool StoreItem(LineItems* items, const char* start, size_t length, size_t* fill) {
    if (items->itemCount >= kMaxItems) {
        std::printf("Error: too many items in one line, max item number is %d.\n", kMaxItems);
        return false;
    }
    if (*fill + length + 1 > kItemTextSize) {
        std::printf("Error : Item Buffer is Full!\n");
        return false;
    }
    char* slot = items->itemText + *fill;
    std::memcpy(slot, start, length);
    slot[length] = '\0';
    items->itemPtr[items->itemCount] = slot;
    items->itemSize[items->itemCount] = static_cast<int32_t>(length + 1);
    *fill += length + 1;
    ++items->itemCount;
    return true;
}

void Fail(MeasureFailure* failure, MeasureFailure::Kind kind, int error = 0) {
    if (failure == nullptr) return;
    failure->kind = kind;
    failure->error = error;
}

int32_t ReportOversize(const char* path, MeasureFailure* failure) {
    std::printf("Error:file %s is too large, max file size is 0x%llx bytes\n", path,
                static_cast<unsigned long long>(kMaxFileLength));
    Fail(failure, MeasureFailure::kTooLarge);
    return -1;
}

// Adds up what a descriptor yields until its end; -1 after a message on a
// read error or when the sum reaches 2 GiB.
int32_t MeasureByReading(int fd, const char* path, MeasureFailure* failure) {
    char chunk[kReadChunk];
    int64_t total = 0;
    for (;;) {
        ssize_t got = ReadFull(fd, chunk, sizeof chunk);
        if (got < 0) {
            Fail(failure, MeasureFailure::kRead, errno);
            std::printf("Error:read file %s failed\n", path);
            return -1;
        }
        total += got;
        if (total > kMaxFileLength) return ReportOversize(path, failure);
        if (static_cast<size_t>(got) < sizeof chunk) return static_cast<int32_t>(total);
    }
}

// A regular file's size from the file system. Files that report 0 (some
// generated files do, whatever they hold) are read to be sure.
int32_t MeasureDescriptor(int fd, const char* path, MeasureFailure* failure) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        if (st.st_size > kMaxFileLength) return ReportOversize(path, failure);
        return static_cast<int32_t>(st.st_size);
    }
    return MeasureByReading(fd, path, failure);
}

}  // namespace

void EmptyLineItems(LineItems* items) { std::memset(items, 0, sizeof *items); }

int ParseLineToItems(const char* text, LineItems* items) {
    // The text ends at its first newline; a carriage return stays in its item.
    size_t end = std::strcspn(text, "\n");
    if (end > kMaxLineText) {
        std::printf("Error: line is longer than %zu characters!\n", kMaxLineText + 1);
        return -1;
    }
    size_t fill = 0;
    size_t pos = 0;
    while (pos < end) {
        if (IsSeparator(text[pos])) {
            ++pos;
            continue;
        }
        size_t start = pos;
        while (pos < end && !IsSeparator(text[pos])) ++pos;
        if (!StoreItem(items, text + start, pos - start, &fill)) return -1;
    }
    return 0;
}

int Char2Hexi(uint32_t* result, const char* text, int32_t length) {
    *result = 0;
    for (int32_t i = 0; i < length; ++i) {
        int digit = HexDigit(text[i]);
        if (digit < 0) return -1;
        *result |= static_cast<uint32_t>(digit);
        if (i + 1 < length) *result <<= 4;
    }
    return 0;
}

int32_t get_file_length(const char* path, MeasureFailure* failure) {
    UniqueFd in = OpenForReading(path);
    if (in.fd < 0) {
        Fail(failure, MeasureFailure::kOpen, errno);
        std::printf("Error:open file %s failed\n", path);
        return -1;
    }
    // A FIFO or a device would give other bytes to each of the bind's reads,
    // or hang it: every input must be a file.
    if (IsStream(in.fd)) {
        std::printf("Error:file %s is not a regular file\n", path);
        Fail(failure, MeasureFailure::kNotAFile);
        return -1;
    }
    return MeasureDescriptor(in.fd, path, failure);
}

}  // namespace morvik
