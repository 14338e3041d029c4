// The tool's own option scanner. Its state is process-wide and shared by the
// command-line scan and the scan of every PAR image line. The variables live
// in namespace morvik, apart from the C library's getopt variables.
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

constexpr int ORDER_STOP = 0;
constexpr int ORDER_PERMUTE = 1;
constexpr int ORDER_IN_PLACE = 2;

extern char* optarg;
extern int optind;
extern int opterr;
extern int optopt;

// The decoding position: the unread rest of the option element under way.
// None, or a position at the end of a text, means no element is under way.
extern char* nextchar;
// ORDER_STOP, ORDER_PERMUTE or ORDER_IN_PLACE, fixed when a scan is initialized.
extern int ordering;
// POSIXLY_CORRECT as read at initialization; only tested for being set.
extern const char* posixly_correct;
// Skipped non-option elements not yet moved: indices first_nonopt up to,
// not including, last_nonopt.
extern int first_nonopt;
extern int last_nonopt;
// 1 once the first scan of the process was initialized; never cleared.
extern int __getopt_initialized;

// Scans the next option of argv. argv's pointers may be reordered in place
// (permute mode); the texts are never written.
int my_getopt(int argc, char** argv, const char* optstring, const LongOption* longopts);

int _getopt_internal(int argc, char** argv, const char* optstring, const LongOption* longopts,
                     int* longind, int long_only);

// The rotation step of ORDER_PERMUTE: the skipped non-options
// (first_nonopt..last_nonopt) and the elements read since (last_nonopt..optind)
// trade places, each keeping its order; in place, no allocation.
void exchange(char** argv);

}  // namespace morvik
