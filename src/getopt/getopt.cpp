// The tool's own option scanner: one option per call, clustered short
// options, attached or separate arguments, long options with unique prefixes,
// "--" as the end of the options, and three ordering modes for the words that
// are not options. All state is process-wide: the driver's scan of the
// command line and the PAR reader's scan of every image line share it.
//
// Quirks kept on purpose, because the program's behaviour depends on them:
// - an optional argument of a short option ("::") is never attached text,
//   only the next element, and only when that does not begin with '-';
// - only the initializing call strips a leading '+' or '-' from the option
//   string; a new scan started with optind 1 reads it as an option character;
// - results are option characters as signed 8-bit values widened to int.
#include "getopt/getopt.h"
#include "getopt/getopt_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/diagnostics.h"

namespace morvik {

char* optarg = nullptr;
int optind = 1;
int opterr = 1;
int optopt = '?';

char* nextchar = nullptr;
int ordering = ORDER_STOP;
const char* posixly_correct = nullptr;
int first_nonopt = 0;
int last_nonopt = 0;
int __getopt_initialized = 0;

namespace {

// What one call works with. `optstring` is the working string: in the call
// that initializes, without its mode character.
struct ScanCall {
    int argc;
    char** argv;
    const char* optstring;
    const LongOption* longopts;
    int* longind;
    bool longOnly;
    bool printErrors;  // decided on the option string as passed
};

// The outcome of walking a long-option table for one name.
struct TableMatch {
    const LongOption* record;  // the exact match, else the first inexact one
    int index;
    bool exact;
    bool ambiguous;
};

// The widening every character result and optopt get: signed 8 bits to int.
int CharResult(char c) { return static_cast<int>(static_cast<int8_t>(c)); }

// First occurrence of c in the option string; the terminating NUL is never an
// option character.
const char* FindOptionChar(const char* optstring, char c) { return c == '\0' ? nullptr : std::strchr(optstring, c); }

// Option elements begin with '-' and have a second character; everything
// else (the empty text and a lone "-" included) is a non-option element.
bool IsNonOption(const char* element) { return element[0] != '-' || element[1] == '\0'; }

int MissingArgumentResult(const ScanCall& call) { return call.optstring[0] == ':' ? ':' : '?'; }

// The messages show every text of the vector, and an option character, through
// Escaped: an image path or an option with a control character in it must
// not reach the terminal as it is.
std::string Shown(const char* text) { return Escaped(text); }

std::string Shown(char c) { return Escaped(std::string_view(&c, 1)); }

void SkipToEndOfElement() { nextchar += std::strlen(nextchar); }

// Sets up a scan: mode, environment and the (empty) non-option block.
// Returns the option string without its mode character.
const char* InitializeScan(const char* optstring) {
    if (optind == 0) optind = 1;
    first_nonopt = last_nonopt = optind;
    nextchar = nullptr;
    posixly_correct = std::getenv("POSIXLY_CORRECT");
    if (optstring[0] == '-') {
        ordering = ORDER_IN_PLACE;
        ++optstring;
    } else if (optstring[0] == '+') {
        ordering = ORDER_STOP;
        ++optstring;
    } else {
        ordering = posixly_correct != nullptr ? ORDER_STOP : ORDER_PERMUTE;
    }
    __getopt_initialized = 1;
    return optstring;
}

bool ElementUnderWay(const ScanCall& call) { return nextchar != nullptr && *nextchar != '\0' && optind < call.argc; }

// Permute mode: move the block of skipped non-options behind the options
// read since, then step over the next run of non-options.
void PermuteBeforeNextElement(const ScanCall& call) {
    if (first_nonopt != last_nonopt && last_nonopt != optind) {
        exchange(call.argv);
    } else if (last_nonopt != optind) {
        first_nonopt = optind;
    }
    while (optind < call.argc && IsNonOption(call.argv[optind])) ++optind;
    last_nonopt = optind;
}

// "--" ends the options: everything behind it is left as non-options.
void TakeEndOfOptions(const ScanCall& call) {
    ++optind;
    if (first_nonopt != last_nonopt && last_nonopt != optind) {
        exchange(call.argv);
    } else if (first_nonopt == last_nonopt) {
        first_nonopt = optind;
    }
    last_nonopt = call.argc;
    optind = call.argc;
}

// Picks the element to decode next. True when the call's result is already
// decided (stored in *result); false when nextchar is set into a new option
// element.
bool ChooseNextElement(const ScanCall& call, int* result) {
    // A caller may have moved optind back.
    if (last_nonopt > optind) last_nonopt = optind;
    if (first_nonopt > optind) first_nonopt = optind;

    if (ordering == ORDER_PERMUTE) PermuteBeforeNextElement(call);
    if (optind < call.argc && std::strcmp(call.argv[optind], "--") == 0) TakeEndOfOptions(call);

    if (optind == call.argc) {
        // Point the caller at the leftover non-options, if any.
        if (first_nonopt != last_nonopt) optind = first_nonopt;
        nextchar = nullptr;
        *result = -1;
        return true;
    }
    char* element = call.argv[optind];
    if (IsNonOption(element)) {
        if (ordering == ORDER_IN_PLACE) {
            optarg = element;
            ++optind;
            *result = 1;
        } else {
            nextchar = nullptr;
            *result = -1;
        }
        return true;
    }
    bool doubleDash = call.longopts != nullptr && element[1] == '-';
    nextchar = element + (doubleDash ? 2 : 1);
    return false;
}

bool WantsLongOption(const ScanCall& call) {
    if (call.longopts == nullptr) return false;
    const char* element = call.argv[optind];
    if (element[1] == '-') return true;
    return call.longOnly && (element[2] != '\0' || FindOptionChar(call.optstring, element[1]) == nullptr);
}

bool SameMeaning(const LongOption& a, const LongOption& b) {
    return a.has_arg == b.has_arg && a.flag == b.flag && a.val == b.val;
}

// Walks the table in order for a name of `length` characters (a prefix
// match suffices). An exact match ends the walk and wins. With
// `everyInexactAmbiguous`, a second inexact match is always ambiguous;
// otherwise only when it means something else than the first one.
TableMatch FindLongOption(const LongOption* table, const char* name, size_t length, bool everyInexactAmbiguous) {
    TableMatch match{nullptr, -1, false, false};
    if (table == nullptr) return match;
    for (int i = 0; table[i].name != nullptr; ++i) {
        const LongOption& record = table[i];
        if (std::strncmp(record.name, name, length) != 0) continue;
        if (std::strlen(record.name) == length) {
            match = TableMatch{&record, i, true, match.ambiguous};
            break;
        }
        if (match.record == nullptr) {
            match.record = &record;
            match.index = i;
        } else if (everyInexactAmbiguous || !SameMeaning(*match.record, record)) {
            match.ambiguous = true;
        }
    }
    return match;
}

const char* NameEnd(const char* name) {
    const char* end = name;
    while (*end != '\0' && *end != '=') ++end;
    return end;
}

// The result of a recognized long option, once its argument is settled.
int FinishLongOption(const ScanCall& call, const TableMatch& match) {
    SkipToEndOfElement();
    if (call.longind != nullptr) *call.longind = match.index;
    if (match.record->flag != nullptr) {
        *match.record->flag = match.record->val;
        return 0;
    }
    return match.record->val;
}

// A value behind '=' for a long option that takes none. In the "-W" form the
// message names "-W" and optopt stays as it was.
int RefuseLongValue(const ScanCall& call, const LongOption& record, bool wForm) {
    const char* element = call.argv[optind - 1];
    if (call.printErrors) {
        if (wForm) {
            std::fprintf(stderr, "%s: option `-W %s' doesn't allow an argument\n", Shown(call.argv[0]).c_str(),
                         Shown(record.name).c_str());
        } else if (element[1] == '-') {
            std::fprintf(stderr, "%s: option `--%s' doesn't allow an argument\n", Shown(call.argv[0]).c_str(),
                         Shown(record.name).c_str());
        } else {
            std::fprintf(stderr, "%s: option `%c%s' doesn't allow an argument\n", Shown(call.argv[0]).c_str(),
                         element[0], Shown(record.name).c_str());
        }
    }
    SkipToEndOfElement();
    if (!wForm) optopt = record.val;
    return '?';
}

// The argument of a recognized long option (optind already past its
// element): the text behind '=' or, when one is required, the next element.
// The "-W" form leaves optopt alone on its errors.
int TakeLongOption(const ScanCall& call, const TableMatch& match, const char* nameEnd, bool wForm) {
    const LongOption& record = *match.record;
    if (*nameEnd == '=') {
        if (record.has_arg == no_argument) return RefuseLongValue(call, record, wForm);
        optarg = const_cast<char*>(nameEnd + 1);
    } else if (record.has_arg == required_argument) {
        if (optind >= call.argc) {
            if (call.printErrors) {
                std::fprintf(stderr, "%s: option `%s' requires an argument\n", Shown(call.argv[0]).c_str(),
                             Shown(call.argv[optind - 1]).c_str());
            }
            SkipToEndOfElement();
            if (!wForm) optopt = record.val;
            return MissingArgumentResult(call);
        }
        optarg = call.argv[optind++];
    }
    return FinishLongOption(call, match);
}

void ReportUnrecognized(const ScanCall& call) {
    if (!call.printErrors) return;
    const char* element = call.argv[optind];
    if (element[1] == '-') {
        std::fprintf(stderr, "%s: unrecognized option `--%s'\n", Shown(call.argv[0]).c_str(), Shown(nextchar).c_str());
    } else {
        std::fprintf(stderr, "%s: unrecognized option `%c%s'\n", Shown(call.argv[0]).c_str(), element[0],
                     Shown(nextchar).c_str());
    }
}

// Decodes the long option at nextchar. In long-only mode an element whose
// name matches nothing but whose first name character is a short option is
// left to the short-option decoder (*asShort set, nothing changed).
int DecodeLongOption(const ScanCall& call, bool* asShort) {
    const char* nameEnd = NameEnd(nextchar);
    size_t length = static_cast<size_t>(nameEnd - nextchar);
    TableMatch match = FindLongOption(call.longopts, nextchar, length, call.longOnly);

    if (match.ambiguous && !match.exact) {
        if (call.printErrors) {
            std::fprintf(stderr, "%s: option `%s' is ambiguous\n", Shown(call.argv[0]).c_str(),
                         Shown(call.argv[optind]).c_str());
        }
        SkipToEndOfElement();
        ++optind;
        optopt = 0;
        return '?';
    }
    if (match.record != nullptr) {
        ++optind;
        return TakeLongOption(call, match, nameEnd, false);
    }

    const char* element = call.argv[optind];
    if (call.longOnly && element[1] != '-' && FindOptionChar(call.optstring, *nextchar) != nullptr) {
        *asShort = true;
        return 0;
    }
    ReportUnrecognized(call);
    nextchar = const_cast<char*>("");
    ++optind;
    optopt = 0;
    return '?';
}

// "-W name" stands for the long option "name". The argument of "-W" becomes
// optarg, and stays optarg when the name fails.
int DecodeWForm(const ScanCall& call) {
    if (*nextchar != '\0') {
        optarg = nextchar;
        ++optind;
    } else if (optind >= call.argc) {
        if (call.printErrors) {
            std::fprintf(stderr, "%s: option requires an argument -- %c\n", Shown(call.argv[0]).c_str(), 'W');
        }
        optopt = 'W';
        return MissingArgumentResult(call);
    } else {
        optarg = call.argv[optind++];
    }
    nextchar = optarg;
    const char* nameEnd = NameEnd(nextchar);
    size_t length = static_cast<size_t>(nameEnd - nextchar);
    TableMatch match = FindLongOption(call.longopts, nextchar, length, true);

    if (match.ambiguous && !match.exact) {
        // The whole argument is shown, and the scan goes on with the element
        // behind it: nothing else is skipped.
        if (call.printErrors) {
            std::fprintf(stderr, "%s: option `-W %s' is ambiguous\n", Shown(call.argv[0]).c_str(),
                         Shown(optarg).c_str());
        }
        SkipToEndOfElement();
        return '?';
    }
    if (match.record == nullptr) {
        // Not ours: the caller gets 'W' and the argument.
        nextchar = nullptr;
        return 'W';
    }
    return TakeLongOption(call, match, nameEnd, true);
}

// "c:": the rest of the element, else the next element whatever it holds.
int TakeRequiredArgument(const ScanCall& call, char c) {
    int result = CharResult(c);
    if (*nextchar != '\0') {
        optarg = nextchar;
        ++optind;
    } else if (optind >= call.argc) {
        if (call.printErrors) {
            std::fprintf(stderr, "%s: option requires an argument -- %s\n", Shown(call.argv[0]).c_str(),
                         Shown(c).c_str());
        }
        optopt = CharResult(c);
        result = MissingArgumentResult(call);
    } else {
        optarg = call.argv[optind++];
    }
    nextchar = nullptr;
    return result;
}

// "c::": attached text is never the argument; it is decoded as further
// options of the same element. Only a next element that exists and does not
// begin with '-' is taken (an empty one included).
int TakeOptionalArgument(const ScanCall& call, char c) {
    if (*nextchar != '\0') return CharResult(c);
    if (optind < call.argc && call.argv[optind][0] != '-') optarg = call.argv[optind++];
    nextchar = nullptr;
    return CharResult(c);
}

int DecodeShortOption(const ScanCall& call) {
    char c = *nextchar++;
    const char* declared = FindOptionChar(call.optstring, c);
    if (*nextchar == '\0') ++optind;

    if (declared == nullptr || c == ':') {
        if (call.printErrors) {
            const char* word = posixly_correct != nullptr ? "illegal" : "invalid";
            std::fprintf(stderr, "%s: %s option -- %s\n", Shown(call.argv[0]).c_str(), word, Shown(c).c_str());
        }
        optopt = CharResult(c);
        return '?';
    }
    if (declared[0] == 'W' && declared[1] == ';') return DecodeWForm(call);
    if (declared[1] != ':') return CharResult(c);
    if (declared[2] == ':') return TakeOptionalArgument(call, c);
    return TakeRequiredArgument(call, c);
}

void SwapElements(char** argv, int first, int second, int count) {
    for (int i = 0; i < count; ++i) {
        char* kept = argv[first + i];
        argv[first + i] = argv[second + i];
        argv[second + i] = kept;
    }
}

}  // namespace

void exchange(char** argv) {
    int bottom = first_nonopt;
    int middle = last_nonopt;
    int top = optind;
    // Swap the shorter part with the far end of the longer one; the swapped-in
    // elements are then in place, and the rest is a smaller rotation.
    while (top > middle && middle > bottom) {
        int lower = middle - bottom;
        int upper = top - middle;
        if (upper > lower) {
            SwapElements(argv, bottom, top - lower, lower);
            top -= lower;
        } else {
            SwapElements(argv, bottom, middle, upper);
            bottom += upper;
        }
    }
    first_nonopt += optind - last_nonopt;
    last_nonopt = optind;
}

int _getopt_internal(int argc, char** argv, const char* optstring, const LongOption* longopts, int* longind,
                     int long_only) {
    if (optstring == nullptr) optstring = "";
    const bool printErrors = opterr != 0 && optstring[0] != ':';
    if (argc < 1) return -1;
    optarg = nullptr;
    // Outside 0..argc there is no element to look at; refuse rather than
    // read past the vector.
    if (optind < 0 || optind > argc) return -1;
    if (optind == 0 || __getopt_initialized == 0) optstring = InitializeScan(optstring);

    ScanCall call{argc, argv, optstring, longopts, longind, long_only != 0, printErrors};
    if (!ElementUnderWay(call)) {
        int result = -1;
        if (ChooseNextElement(call, &result)) return result;
    }
    if (WantsLongOption(call)) {
        bool asShort = false;
        int result = DecodeLongOption(call, &asShort);
        if (!asShort) return result;
    }
    return DecodeShortOption(call);
}

int my_getopt(int argc, char** argv, const char* optstring, const LongOption* longopts) {
    return _getopt_internal(argc, argv, optstring, longopts, nullptr, 0);
}

}  // namespace morvik
