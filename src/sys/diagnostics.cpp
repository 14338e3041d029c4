#include "sys/diagnostics.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace morvik {

namespace {

constexpr size_t kMessageSize = 2048;
constexpr size_t kQuotedCharacters = 100;

void AppendByteEscape(std::string* shown, unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    *shown += "\\x";
    *shown += kHex[byte >> 4];
    *shown += kHex[byte & 0xF];
}

// The length of the first `count` characters of `text`, a character being
// one well-formed UTF-8 sequence or one byte that is not part of one.
size_t CharactersLength(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t n = 0; n < count && i < text.size(); ++n) {
        size_t length = Utf8SequenceLength(text, i);
        i += length == 0 ? 1 : length;
    }
    return i;
}

void Report(const char* file, uint32_t line, const char* severity, const char* format, va_list args) {
    char message[kMessageSize];
    std::vsnprintf(message, sizeof message, format, args);
    std::fprintf(stderr, "%s:%u: %s: %s\n", Escaped(file).c_str(), line, severity, Escaped(message).c_str());
}

void ReportOnPath(const char* path, const char* severity, const char* format, va_list args) {
    char message[kMessageSize];
    std::vsnprintf(message, sizeof message, format, args);
    std::fprintf(stderr, "%s: %s: %s\n", Escaped(path).c_str(), severity, Escaped(message).c_str());
}

}  // namespace

size_t Utf8SequenceLength(std::string_view text, size_t i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return 1;
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || n > text.size() - i) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    auto d = static_cast<unsigned char>(text[i + 1]);
    if (c == 0xE0 && d < 0xA0) return 0;   // overlong
    if (c == 0xED && d >= 0xA0) return 0;  // surrogates
    if (c == 0xF0 && d < 0x90) return 0;   // overlong
    if (c == 0xF4 && d >= 0x90) return 0;  // past U+10FFFF
    return n;
}

bool IsWellFormedUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Escaped(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = Utf8SequenceLength(text, i);
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7F || n == 0) {
            AppendByteEscape(&shown, c);
            n = 1;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080..U+009F, the C1 controls: both bytes escaped.
            AppendByteEscape(&shown, c);
            AppendByteEscape(&shown, static_cast<unsigned char>(text[i + 1]));
        } else {
            shown.append(text, i, n);
        }
        i += n;
    }
    return shown;
}

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

void LocatedNote(const char* file, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Report(file, line, "note", format, args);
    va_end(args);
}

void VLocatedWarningOrError(bool asError, const char* file, uint32_t line, const char* format, va_list args) {
    Report(file, line, asError ? "error" : "warning", format, args);
}

void LocatedWarningOrError(bool asError, const char* file, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Report(file, line, asError ? "error" : "warning", format, args);
    va_end(args);
}

void VPathError(const char* path, const char* format, va_list args) { ReportOnPath(path, "error", format, args); }

void VPathWarningOrError(bool asError, const char* path, const char* format, va_list args) {
    ReportOnPath(path, asError ? "error" : "warning", format, args);
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

void QuoteLine(const char* file, uint32_t line, std::string_view text) {
    // The line's own newline is not part of what is shown.
    std::string_view body = text.substr(0, text.find('\n'));
    size_t shownLength = CharactersLength(body, kQuotedCharacters);
    std::string shown = Escaped(body.substr(0, shownLength));
    if (shownLength < body.size()) shown += "...";
    std::fprintf(stderr, "%s:%u:     %s\n", Escaped(file).c_str(), line, shown.c_str());
}

}  // namespace morvik
