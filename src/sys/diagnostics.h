// Located diagnostics: one line on standard error per problem, in the form
// compilers use, so that editors and CI annotators find the PAR line:
//
//   ARMPARA.PAR:4: error: offset '&0x1000' is not plain hex: write '&1000' (no 0x)
//   ARMPARA.PAR:4:     :boot.bin &0x1000
//
// Standard output keeps the trace; nothing here writes to it. The file name,
// the message and the quoted line are shown through Escaped, so a diagnostic
// is always exactly one line and no name can steer the terminal.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvik {

// Length of the well-formed UTF-8 sequence that starts at text[i] (1 for
// ASCII), or 0 when the bytes there are not one: a stray continuation byte,
// a cut-off sequence, an overlong form, a surrogate, or a code point past
// U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// True when all of `text` is well-formed UTF-8.
bool IsWellFormedUtf8(std::string_view text);

// `text` as it can be shown on a terminal: every control character (C0 with
// the tab, DEL, and C1 U+0080..U+009F even when validly encoded) and every
// byte that is not part of well-formed UTF-8 is written as an escape: "\r",
// "\n" and "\t" for those three, "\xNN" (lower-case hex) for each byte of
// the others, so a C1 character shows as "\xc2\x9b". A backslash is doubled,
// so that what is shown stands for exactly one byte string. All other
// UTF-8 (letters, CJK, emoji) stays as it is.
std::string Escaped(std::string_view text);

// FILE:LINE: error: TEXT
void LocatedError(const char* file, uint32_t line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// FILE:LINE: warning: TEXT
void LocatedWarning(const char* file, uint32_t line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The same with the arguments already gathered.
void VLocatedError(const char* file, uint32_t line, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
void VLocatedWarning(const char* file, uint32_t line, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// FILE:LINE:     TEXT -- the line an error is about, under it. Long lines
// are shown up to their first 100 characters and "...".
void QuoteLine(const char* file, uint32_t line, std::string_view text);

// FILE:LINE: note: TEXT -- what is done as designed but worth knowing.
void LocatedNote(const char* file, uint32_t line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// A warning, or an error where `asError`: a strict run stops on everything
// it would not do as written.
void VLocatedWarningOrError(bool asError, const char* file, uint32_t line, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));
void LocatedWarningOrError(bool asError, const char* file, uint32_t line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// PATH: error: TEXT, PATH: warning: TEXT and PATH: note: TEXT -- about a
// file as a whole (an output path, say), where no line is concerned. PATH
// may also be the program's name, for what concerns the run itself.
void PathError(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PathNote(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VPathError(const char* path, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
void VPathWarningOrError(bool asError, const char* path, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

}  // namespace morvik
