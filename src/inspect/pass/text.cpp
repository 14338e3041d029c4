#include "inspect/pass/text.h"

#include <cstdarg>
#include <cstdio>

namespace morvik {

std::string Format(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(n));
    return text;
}

std::string Hex8(uint64_t value) { return Format("0x%08llx", static_cast<ull>(value)); }

}  // namespace morvik
