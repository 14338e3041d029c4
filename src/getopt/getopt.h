// The tool's own option scanner. Its state is process-wide and shared by the
// command-line scan and the scan of every PAR image line. The variables live
// in namespace morvik, apart from the C library's getopt variables; the
// scanner's own bookkeeping is in getopt_internal.h.
#pragma once

#include <cstdint>

namespace morvik {

struct LongOption {
    const char* name;  // without dashes; nullptr ends a table
    int32_t has_arg;   // 0 none, 1 required, 2 optional
    int32_t* flag;     // when set, val is stored here and the result is 0
    int32_t val;
};

constexpr int32_t no_argument = 0;
constexpr int32_t required_argument = 1;
constexpr int32_t optional_argument = 2;

extern char* optarg;
extern int optind;
extern int opterr;
extern int optopt;

// Scans the next option of argv. argv's pointers may be reordered in place
// (permute mode); the texts are never written.
int my_getopt(int argc, char** argv, const char* optstring, const LongOption* longopts);

int _getopt_internal(int argc, char** argv, const char* optstring, const LongOption* longopts, int* longind,
                     int long_only);

}  // namespace morvik
