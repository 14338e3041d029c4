#include "sys/diagnostics.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace morvik {

namespace {

constexpr size_t kMessageSize = 2048;
constexpr size_t kQuotedLength = 100;

// `text` with every control character but the tab written as an escape, so
// that a carriage return or a newline in a path cannot break the line.
std::string Escaped(const char* text, size_t limit) {
    std::string shown;
    size_t i = 0;
    for (; text[i] != '\0' && i < limit; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (text[i] != '\0') shown += "...";
    return shown;
}

void Report(const char* file, uint32_t line, const char* severity, const char* format, va_list args) {
    char message[kMessageSize];
    std::vsnprintf(message, sizeof message, format, args);
    std::fprintf(stderr, "%s:%u: %s: %s\n", file, line, severity, Escaped(message, kMessageSize).c_str());
}

void ReportOnPath(const char* path, const char* severity, const char* format, va_list args) {
    char message[kMessageSize];
    std::vsnprintf(message, sizeof message, format, args);
    std::fprintf(stderr, "%s: %s: %s\n", Escaped(path, kMessageSize).c_str(), severity,
                 Escaped(message, kMessageSize).c_str());
}

}  // namespace

void VLocatedError(const char* file, uint32_t line, const char* format, va_list args) {
    Report(file, line, "error", format, args);
}

void VLocatedWarning(const char* file, uint32_t line, const char* format, va_list args) {
    Report(file, line, "warning", format, args);
}

void LocatedError(const char* file, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLocatedError(file, line, format, args);
    va_end(args);
}

void LocatedWarning(const char* file, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLocatedWarning(file, line, format, args);
    va_end(args);
}

void PathError(const char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ReportOnPath(path, "error", format, args);
    va_end(args);
}

void PathNote(const char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ReportOnPath(path, "note", format, args);
    va_end(args);
}

void QuoteLine(const char* file, uint32_t line, const char* text) {
    // The line's own newline is not part of what is shown.
    std::string body(text, std::strcspn(text, "\n"));
    std::string shown = Escaped(body.c_str(), kQuotedLength);
    std::fprintf(stderr, "%s:%u:     %s\n", file, line, shown.c_str());
}

}  // namespace morvik
