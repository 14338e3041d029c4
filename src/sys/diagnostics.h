// Located diagnostics: one line on standard error per problem, in the form
// compilers use, so that editors and CI annotators find the PAR line:
//
//   ARMPARA.PAR:4: error: offset '&0x1000' is not plain hex: write '&1000' (no 0x)
//   ARMPARA.PAR:4:     :boot.bin &0x1000
//
// Standard output keeps the trace; nothing here writes to it. Control
// characters of a message or a quoted line are shown escaped ("\r"), so a
// diagnostic is always exactly one line.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace morvik {

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
void QuoteLine(const char* file, uint32_t line, const char* text);

// PATH: error: TEXT and PATH: note: TEXT -- about a file as a whole (an
// output path, say), where no line is concerned.
void PathError(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PathNote(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace morvik
