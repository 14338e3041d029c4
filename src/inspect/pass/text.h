// The few text helpers every room of the inspector writes its words with.
#pragma once

#include <cstdint>
#include <string>

namespace morvik {

// For printf's %llu and %llx.
using ull = unsigned long long;

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A file position as the reports show it: "0x" and at least 8 hex digits.
std::string Hex8(uint64_t value);

}  // namespace morvik
