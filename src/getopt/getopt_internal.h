// The option scanner's own bookkeeping, process-wide like its public
// variables. Only the scanner and its tests use these.
#pragma once

namespace morvik {

constexpr int ORDER_STOP = 0;
constexpr int ORDER_PERMUTE = 1;
constexpr int ORDER_IN_PLACE = 2;

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

// The rotation step of ORDER_PERMUTE: the skipped non-options
// (first_nonopt..last_nonopt) and the elements read since (last_nonopt..optind)
// trade places, each keeping its order; in place, no allocation.
void exchange(char** argv);

}  // namespace morvik
