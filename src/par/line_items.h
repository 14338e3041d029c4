// Cutting PAR image and PID lines into items, reading hex fields, and
// measuring the files a PAR file names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik {

constexpr size_t kItemTextSize = 4096;
constexpr int kMaxItems = 15;
constexpr size_t kMaxLineText = 511;  // characters after a line's first one

struct LineItems {
    char itemText[kItemTextSize];
    int32_t itemCount;
    char* itemPtr[kMaxItems];
    int32_t itemSize[kMaxItems];
};

void EmptyLineItems(LineItems* items);

// Cuts `text` (what follows a line's first character) into items at blanks,
// tabs and the newline. Returns 0, or -1 after printing why the line does not fit.
int ParseLineToItems(const char* text, LineItems* items);

// Reads `length` hex digits into *result; returns 0, or -1 at the first
// non-hex character, leaving the value of the digits before it shifted by 4.
int Char2Hexi(uint32_t* result, const char* text, int32_t length);

// Why a named file could not be measured.
struct MeasureFailure {
    enum Kind { kNone, kOpen, kNotAFile, kTooLarge, kRead } kind = kNone;
    int error = 0;  // errno of a failed open or read
};

// Size of the file in bytes, or -1 (after a message, and with the reason in
// *failure when it is given) when it cannot be opened or measured.
int32_t get_file_length(const char* path, MeasureFailure* failure = nullptr);

}  // namespace morvik
