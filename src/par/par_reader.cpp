// The PAR file reader: one pass over the file, one line at a time, filling
// the bind context and echoing what it stored.
#include "par/par_reader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "getopt/getopt.h"
#include "sys/diagnostics.h"
#include "par/line_items.h"

namespace morvik {

namespace {

// A line keeps at most 1999 characters. A longer physical line is still one
// line: its rest is read and dropped, and unless the long part is a comment
// (or the line is skipped anyway) the line is refused.
constexpr int kLineBufferSize = 2000;
// A PAR file that is not a regular file (a pipe, a device) is read up to this
// many bytes; past it the reading fails rather than going on for ever.
constexpr uint64_t kMaxStreamedParBytes = uint64_t{1} << 20;
constexpr const char* kImageOptions = "l:p:cv:k::f::";
constexpr const char* kSeparator = "---------------------------------------\n";
// The largest size line value whose size in bytes fits 32 bits.
constexpr uint32_t kMaxSizeKiB = 0x3FFFFF;
// The smallest '-l' value that reads as negative when held as a signed
// 32-bit number: 2 GiB.
constexpr uint32_t kNegativeRange = 0x80000000;

struct ReaderState {
    ParInfo* info;
    const char* path;  // the PAR file, as diagnostics name it
    LineItems items;   // emptied before the first line
    int pidLines = 0;
    uint32_t lineNumber = 0;              // the line being read
    char lineText[kLineBufferSize] = "";  // that line as read, its comment included
    size_t lineLength = 0;                // its bytes (it may hold NUL bytes)
    uint32_t sizeLine = 0;                // the last size line so far (0: none)
    uint32_t sizeKiB = 0;                 // and the size it gave
    bool fileMissing = false;             // the reading stopped at a file a line names
};

// The PAR file being read, one physical line at a time.
struct ParSource {
    FILE* file;
    uint32_t lineNumber = 0;
    uint64_t bytes = 0;
    uint64_t byteLimit = UINT64_MAX;
    // The last line read: the line is handled as a C string from here on, so
    // its NUL bytes are known only through these two.
    size_t kept = 0;       // bytes in the line buffer, NUL bytes included
    size_t firstNul = 0;   // column of its first NUL byte, in bytes from 1 (0: none)
    int readError = 0;     // why a read failed (errno), 0 at the end of the file
    bool sawCrlf = false;  // a line ended in a carriage return and a newline
};

enum class LineRead { kLine, kLongLine, kEnd, kTooBig };

// The group marks one image line has given so far: an image is either the
// kernel of its group or another image of it, and a second -k would count a
// group that does not exist.
struct GroupMarks {
    bool kernel = false;
    bool firmware = false;
};

// ---- diagnostics on standard error ----

// An error about the line being read, and the line itself under it.
__attribute__((format(printf, 2, 3))) void LineError(const ReaderState& state, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLocatedError(state.path, state.lineNumber, format, args);
    va_end(args);
    QuoteLine(state.path, state.lineNumber, std::string_view(state.lineText, state.lineLength));
}

// A warning about the line being read: the run goes on. Under --strict it
// is an error, and the reading stops behind the line.
__attribute__((format(printf, 2, 3))) void LineWarning(const ReaderState& state, const char* format, ...) {
    const bool strict = state.info->strict != 0;
    va_list args;
    va_start(args, format);
    VLocatedWarningOrError(strict, state.path, state.lineNumber, format, args);
    va_end(args);
    if (strict) ++state.info->strictErrors;
}

bool EndsInCarriageReturn(const char* text) {
    size_t length = std::strlen(text);
    return length != 0 && text[length - 1] == '\r';
}

// A carriage return is no separator: in a file with CR LF line ends it
// stays part of every line's last word.
void ReportCarriageReturn(const ReaderState& state, const char* what, const char* text) {
    LineError(state, "%s '%s' ends in a carriage return: the file has CRLF line ends; save it with LF line ends", what,
              text);
}

void ReportTooManyDigits(const ReaderState& state, const char* what, const char* text) {
    LineError(state, "%s '%s' has more than 8 hex digits: it does not fit 32 bits", what, text);
}

// The closing steps of every format error: the line format text, and the
// reading stops (false), failing the run.
bool FormatError() {
    ShowParFormatUsage();
    return false;
}

bool FormatError(const char* message) {
    std::printf("%s\n", message);
    return FormatError();
}

bool IsHexDigit(char c) {
    uint32_t ignored = 0;
    return Char2Hexi(&ignored, &c, 1) == 0;
}

char FirstNonHex(const char* text) {
    while (IsHexDigit(*text)) ++text;
    return *text;
}

bool HasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// A value of more than 8 significant hex digits does not fit 32 bits; the
// hex reader would keep only the last 8, so such a field is refused instead.
// Leading zeros do not count.
bool Fits32Bits(const char* digits) {
    while (*digits == '0') ++digits;
    size_t count = 0;
    while (IsHexDigit(digits[count])) ++count;
    return count <= 8;
}

bool TooManyDigits(const char* format, const char* text) {
    std::printf(format, text);
    return FormatError();
}

// Reads the hex field of an item that starts with a mark character ('&')
// which is dropped unchecked.
bool ReadMarkedHex(uint32_t* value, const char* item) {
    const char* digits = item + 1;
    return Char2Hexi(value, digits, static_cast<int32_t>(std::strlen(digits))) == 0;
}

bool LaterItemIsMarked(const ReaderState& state, int index) {
    for (int i = index + 1; i < state.items.itemCount; ++i) {
        if (state.items.itemPtr[i][0] == '&') return true;
    }
    return false;
}

// Says why item `index` (an offset or a PID location) is not '&' and hex
// digits, naming the usual causes.
void ExplainBadHexField(const ReaderState& state, int index, const char* what) {
    const char* item = state.items.itemPtr[index];
    const char* digits = item[0] == '&' ? item + 1 : item;
    if (EndsInCarriageReturn(item)) return ReportCarriageReturn(state, what, item);
    if (HasHexPrefix(digits)) {
        return LineError(state, "%s '%s' is not plain hex: write '&%s' (no 0x)", what, item, digits + 2);
    }
    if (item[0] != '&' && index == 1 && LaterItemIsMarked(state, index)) {
        return LineError(state, "the path ends at a blank: '%s' is read as the path and '%s' as the %s",
                         state.items.itemPtr[0], item, what);
    }
    if (item[0] != '&') {
        return LineError(state, "%s '%s' does not start with '&': write '&' and hex digits, as '&8000'", what, item);
    }
    LineError(state, "%s '%s' is not hex: '%c' is not a hex digit", what, item, FirstNonHex(digits));
}

// An offset or PID location: hex, and at most 8 significant digits. Its
// first character is dropped unchecked; when that is not the '&', what is
// read is most likely not what was meant.
bool ReadOffsetField(ReaderState& state, uint32_t* value, int index, const char* what) {
    const char* item = state.items.itemPtr[index];
    if (!ReadMarkedHex(value, item)) {
        ExplainBadHexField(state, index, what);
        return FormatError("Error: Offset should be in Hex!");
    }
    if (!Fits32Bits(item + 1)) {
        ReportTooManyDigits(state, what, item);
        return TooManyDigits("Error: Offset %s has more than 8 hex digits!\n", item);
    }
    if (item[0] != '&' && item[0] != '\0') {
        LineWarning(state, "%s '%s' has no '&': its first character is dropped and it reads as 0x%x", what, item,
                    *value);
    }
    return true;
}

// ---- image line options ----

void ExplainBadLimit(const ReaderState& state, const char* arg) {
    const char* x = std::strchr(arg, 'x');
    if (EndsInCarriageReturn(arg)) return ReportCarriageReturn(state, "'-l' value", arg);
    if (x == nullptr) return LineError(state, "'-l' value '%s' is not 0x and hex digits, as '-l 0x8000'", arg);
    LineError(state, "'-l' value '%s' is not hex after its 'x': '%c' is not a hex digit", arg, FirstNonHex(x + 1));
}

// A '-' or '+' and nothing but zeros up to the 'x' ('-0x2000', '+x10'): a
// size is never negative, and the sign would be dropped without a word.
bool HasSignedLimit(const char* arg, const char* x) {
    if (arg[0] != '-' && arg[0] != '+') return false;
    const char* c = arg + 1;
    while (c < x && *c == '0') ++c;
    return c == x;
}

// The value is the text after the argument's first 'x'; what stands in
// front of the 'x' is not looked at, but for a sign.
bool TakeLimit(ReaderState& state, ImageInfo* image, const char* arg) {
    const char* x = arg != nullptr ? std::strchr(arg, 'x') : nullptr;
    if (x == nullptr || !ReadMarkedHex(&image->limit, x)) {
        ExplainBadLimit(state, arg != nullptr ? arg : "");
        return FormatError("Error : '-l' option must be followed a hex value!");
    }
    if (!Fits32Bits(x + 1)) {
        ReportTooManyDigits(state, "'-l' value", arg);
        return TooManyDigits("Error : '-l' value %s has more than 8 hex digits!\n", arg);
    }
    if (HasSignedLimit(arg, x)) {
        LineError(state, "'-l' value '%s' has a sign: write the size as 0x%s", arg, x + 1);
        return FormatError("Error : '-l' option must be followed a hex value!");
    }
    image->givenLimit = image->limit;
    return true;
}

// The planner holds the range of an image outside a group against the
// image's length as a signed number: from 0x80000000 on it reads as
// negative, the range is dropped and the images in it no longer count as
// overlapping. Whether the image is in a group is known only once the whole
// line is scanned ('-l' may come before '-k' or '-f').
bool CheckPlainImageRange(const ReaderState& state, const ImageInfo* image, const char* limitText) {
    if (image->type != IMAGE_NORMAL || image->limit < kNegativeRange) return true;
    LineError(state,
              "'-l' value '%s' is 2 GiB or more: the range of an image outside a group must be below 0x80000000 bytes",
              limitText);
    std::printf("Error : '-l' value %s is 2 GiB or more!\n", limitText);
    return FormatError();
}

// A value that is not one of the three is ignored with a warning; one that
// is only made so by a carriage return (CR LF line ends) is refused, as
// ignoring it would silently leave the range without its pad byte.
bool TakePad(ReaderState& state, ImageInfo* image, const char* arg) {
    if (arg == nullptr) return true;
    if (std::strcmp(arg, "0x00") == 0) {
        image->pad = PAD_00;
    } else if (std::strcmp(arg, "0xff") == 0 || std::strcmp(arg, "0xFF") == 0) {
        image->pad = PAD_FF;
    } else if (EndsInCarriageReturn(arg)) {
        ReportCarriageReturn(state, "'-p' value", arg);
        return FormatError("Error : '-p' value of an image ends in a carriage return!");
    } else {
        LineWarning(state, "'-p' value '%s' is ignored: the pad byte is written 0x00, 0xff or 0xFF", arg);
    }
    return true;
}

bool TakeVersion(ReaderState& state, ImageInfo* image, const char* arg) {
    if (arg == nullptr || std::strlen(arg) != sizeof image->version - 1) {
        const char* text = arg != nullptr ? arg : "";
        if (EndsInCarriageReturn(text))
            ReportCarriageReturn(state, "'-v' value", text);
        else
            LineError(state, "'-v' value '%s' has %zu characters: a version has exactly 4, as '1.00'", text,
                      std::strlen(text));
        return FormatError("Error: '-v' option must be followed with a string of 4 bytes!");
    }
    std::memcpy(image->version, arg, sizeof image->version);
    return true;
}

// The optional group number: a bad digit leaves whatever partial value the
// hex reader got so far ('1z' is 0x10, a typo the planner's group rules
// catch). A number that does not fit 32 bits, or one that reads as negative,
// would make the image a member of no group at all, so both are refused.
bool TakeGroupNumber(ReaderState& state, ImageInfo* image, const char* arg, char option) {
    uint32_t value = 0;
    bool hex = true;
    if (arg != nullptr) {
        hex = Char2Hexi(&value, arg, static_cast<int32_t>(std::strlen(arg))) == 0;
        if (!Fits32Bits(arg)) {
            ReportTooManyDigits(state, "group number", arg);
            std::printf("Error: group number %s of '-%c' has more than 8 hex digits!\n", arg, option);
            return FormatError();
        }
    }
    if (static_cast<int32_t>(value) < 0) {
        LineError(state, "group number '%s' of '-%c' reads as negative: image groups are 0 and 1", arg, option);
        std::printf("Error: %s: group number %x of '-%c' is out of range!\n", image->name, value, option);
        return FormatError();
    }
    if (!hex) LineWarning(state, "group number '%s' of '-%c' is not hex: it reads as 0x%x", arg, option, value);
    image->groupId = static_cast<int32_t>(value);
    return true;
}

bool RefuseKernelAndFirmware(ReaderState& state, const ImageInfo* image) {
    LineError(state, "'-k' and '-f' on one line: an image is either its group's kernel or another image of it");
    std::printf("Error: %s: '-k' should be exclusive with '-f'!\n", image->name);
    return FormatError();
}

bool TakeKernelMark(ReaderState& state, ImageInfo* image, GroupMarks& marks) {
    if (!TakeGroupNumber(state, image, optarg, 'k')) return false;
    if (marks.firmware) return RefuseKernelAndFirmware(state, image);
    if (marks.kernel) {
        LineError(state, "'-k' is given twice: an image is the kernel of one group");
        std::printf("Error: %s: '-k' is given more than once!\n", image->name);
        return FormatError();
    }
    marks.kernel = true;
    ++state.info->groupCount;
    image->type = IMAGE_KERNEL;
    return true;
}

bool TakeFirmwareMark(ReaderState& state, ImageInfo* image, GroupMarks& marks) {
    if (!TakeGroupNumber(state, image, optarg, 'f')) return false;
    if (marks.kernel) return RefuseKernelAndFirmware(state, image);
    marks.firmware = true;
    image->type = IMAGE_FW;
    return true;
}

// The scanner has complained on standard error about an option it could
// not take; this says where, and what becomes of it.
void WarnAboutScannedOption(const ReaderState& state) {
    if (optopt == 'l' || optopt == 'p' || optopt == 'v') {
        return LineWarning(state, "option '-%c' has no value and is ignored", optopt);
    }
    if (optopt == '\r') {
        return LineWarning(state,
                           "the carriage return at the end of the line is read as an option and ignored: the "
                           "file has CRLF line ends; save it with LF line ends");
    }
    LineWarning(state, "unknown option '-%c' is ignored: the image options are -l, -p, -v, -c, -k and -f", optopt);
}

// Acts on one scanner result; false when it ends the reading.
bool ActOnImageOption(ReaderState& state, ImageInfo* image, GroupMarks& marks, int option) {
    switch (option) {
        case 'l':
            return TakeLimit(state, image, optarg);
        case 'p':
            return TakePad(state, image, optarg);
        case 'v':
            return TakeVersion(state, image, optarg);
        case 'c':
            image->cksum = 1;
            return true;
        case 'k':
            return TakeKernelMark(state, image, marks);
        case 'f':
            return TakeFirmwareMark(state, image, marks);
        case '?':
            WarnAboutScannedOption(state);
            std::printf("Unknown options!\n");
            return true;
        case ':':
            std::printf("Missing option params!\n");
            return true;
        default:
            std::printf("Come to default!\n");
            return true;
    }
}

// An option word that carries its group number attached ('-f1', '-k01'):
// the number is never taken from there, its digits are read as further
// options, and the image would land in another group than meant. The
// values of -l, -p and -v are passed over; '-fc' and '-kf' stay options.
bool RefuseAttachedGroupNumber(const ReaderState& state, const ImageInfo* image) {
    for (int i = 2; i < state.items.itemCount; ++i) {
        const char* item = state.items.itemPtr[i];
        if (std::strcmp(item, "-l") == 0 || std::strcmp(item, "-p") == 0 || std::strcmp(item, "-v") == 0) {
            ++i;
            continue;
        }
        if (item[0] != '-' || (item[1] != 'k' && item[1] != 'f') || item[2] == '\0') continue;
        if (std::strchr("lpcvkf", item[2]) != nullptr || FirstNonHex(item + 2) != '\0') continue;
        LineError(state, "group number '%s' is attached to '-%c' and would be read as options: write '-%c %s'",
                  item + 2, item[1], item[1], item + 2);
        std::printf("Error: %s: group number of '-%c' is attached: write '-%c %s'!\n", image->name, item[1], item[1],
                    item + 2);
        return FormatError();
    }
    return true;
}

// Item 0 (the image path) stands where a program name would, so the
// scanner's complaints begin with it. optind 1 starts a new scan without
// re-initializing, so the ordering mode of the command-line scan holds.
bool ScanImageOptions(ReaderState& state, ImageInfo* image) {
    optind = 1;
    GroupMarks marks;
    const char* limitText = nullptr;  // the last '-l' value taken, as written
    for (;;) {
        int option = my_getopt(state.items.itemCount, state.items.itemPtr, kImageOptions, nullptr);
        if (option == -1) return CheckPlainImageRange(state, image, limitText);
        if (option == 'l') limitText = optarg;
        if (!ActOnImageOption(state, image, marks, option)) return false;
    }
}

void EchoImage(const ImageInfo* image) {
    std::printf("%s", kSeparator);
    std::printf("\ttype: %d\n", image->type);
    std::printf("\tname: %s\n", image->name);
    std::printf("\taddr: %x\n", image->offset);
    std::printf("\tleng: %x\n", static_cast<uint32_t>(image->length));
    std::printf("\tlimit: %x\n", image->limit);
    std::printf("\tpad: %d\n", image->pad);
    std::printf("\tgroup id: %d\n", image->groupId);
    std::printf("\tcksum: %d\n", image->cksum);
    std::printf("\tver: %s\n", image->version);
    std::printf("%s", kSeparator);
}

// The tokenizer refused the line: it is too long, or has too many words
// (within the length limit its item area cannot fill).
void ExplainItemFailure(const ReaderState& state, const char* text) {
    size_t length = std::strcspn(text, "\n") + 1;
    if (length > kMaxLineText + 1) {
        return LineError(state, "line has %zu characters before any comment: at most %zu fit", length,
                         kMaxLineText + 1);
    }
    LineError(state, "line has more than %d words: the path, the offset and at most %d option words fit", kMaxItems,
              kMaxItems - 2);
}

bool FitsNameField(const ReaderState& state, const char* what, const char* path) {
    if (std::strlen(path) <= kMaxPathLength) return true;
    LineError(state, "%s path has %zu characters: at most %zu fit", what, std::strlen(path), kMaxPathLength);
    return false;
}

// A file a line names is looked for from the current folder, not from the
// PAR file's: where it is missing there but lies beside the PAR file, that
// is most likely what was meant.
void NoteBesideParFile(const ReaderState& state, const char* path) {
    const char* slash = std::strrchr(state.path, '/');
    if (path[0] == '/' || slash == nullptr) return;
    std::string beside = std::string(state.path, static_cast<size_t>(slash - state.path) + 1) + path;
    struct stat st;
    char here[4096];
    if (::stat(beside.c_str(), &st) != 0 || ::getcwd(here, sizeof here) == nullptr) return;
    LocatedNote(state.path, state.lineNumber,
                "paths in the PAR file resolve from the current folder (%s); '%s' exists beside the PAR file", here,
                beside.c_str());
}

// Measures a file the line names; -1 after saying why it cannot be used.
int32_t MeasureNamedFile(const ReaderState& state, const char* what, const char* path) {
    MeasureFailure failure;
    int32_t length = get_file_length(path, &failure);
    switch (failure.kind) {
        case MeasureFailure::kNone:
            break;
        case MeasureFailure::kOpen:
            LineError(state, "%s file '%s' cannot be opened: %s", what, path, std::strerror(failure.error));
            if (failure.error == ENOENT) NoteBesideParFile(state, path);
            break;
        case MeasureFailure::kNotAFile:
            LineError(state, "%s file '%s' is not a regular file (a FIFO, socket or device): it is not read", what,
                      path);
            break;
        case MeasureFailure::kTooLarge:
            LineError(state, "%s file '%s' is 2 GiB or larger: at most 0x7fffffff bytes fit", what, path);
            break;
        case MeasureFailure::kRead:
            LineError(state, "%s file '%s' cannot be read: %s", what, path, std::strerror(failure.error));
            break;
    }
    return length;
}

void SetImageDefaults(ImageInfo* image) {
    image->offset = 0;
    image->type = IMAGE_NORMAL;
    image->version[0] = '\0';
    image->cksum = 0;
    image->limit = 0;
    image->givenLimit = 0;
    image->pad = PAD_NONE;
    image->groupId = -1;
}

// Image and PID lines alike: the text behind the line's first character,
// cut into items.
bool CutItems(ReaderState& state, const char* text) {
    if (ParseLineToItems(text, &state.items) == 0) return true;
    ExplainItemFailure(state, text);
    return FormatError();
}

// Item 0, the path of the file the line names, into `name`.
bool TakePath(ReaderState& state, const char* what, char* name) {
    const char* path = state.items.itemPtr[0];
    if (!FitsNameField(state, what, path)) {
        std::printf("Error: %s path is longer than %zu characters!\n", what, kMaxPathLength);
        return FormatError();
    }
    std::strcpy(name, path);
    return true;
}

// Fills the image record from the line's items; false when the line ends
// the reading.
bool FillImage(ReaderState& state, ImageInfo* image, const char* text) {
    if (!CutItems(state, text)) return false;
    if (state.items.itemCount < 2) {
        LineError(state, "image line needs a path and an '&offset': write ':PATH &OFFSET [options]'");
        return FormatError("Error: BIN file line format error!");
    }
    if (!TakePath(state, "image file", image->name) || !ReadOffsetField(state, &image->offset, 1, "offset"))
        return false;
    image->length = MeasureNamedFile(state, "image", image->name);
    if (image->length == -1) {
        std::printf("Open file %s fail!\n", image->name);
        state.fileMissing = true;
        return false;
    }
    if (state.items.itemCount > 2) return RefuseAttachedGroupNumber(state, image) && ScanImageOptions(state, image);
    return true;
}

// A record is stored in its slot as soon as it exists but counts only once
// its line was read completely.
bool ReadImageLine(ReaderState& state, const char* text) {
    ParInfo* info = state.info;
    if (info->imageCount >= kMaxImages) {
        LineError(state, "one image line too many: at most %u images can be bound", kMaxImages);
        std::printf("Error: too many bin files, max bin file number is %d.\n", static_cast<int>(kMaxImages));
        return FormatError();
    }
    auto* image = static_cast<ImageInfo*>(std::calloc(1, sizeof(ImageInfo)));
    if (image == nullptr) {
        std::printf("Can not get Memory for creating ImageInfo!\n");
        return false;
    }
    info->images[info->imageCount] = image;
    SetImageDefaults(image);
    image->line = state.lineNumber;
    if (!FillImage(state, image, text)) return false;
    EchoImage(image);
    EmptyLineItems(&state.items);
    ++info->imageCount;
    return true;
}

// ---- PID line ----

bool FillPid(ReaderState& state, PidInfo* pid, const char* text) {
    if (!CutItems(state, text)) return false;
    if (state.items.itemCount < 2) {
        LineError(state, "PID line needs a path and an '&location': write '%%PATH &LOCATION [&FW_LOCATION]'");
        return FormatError("Error: PID file line format error!");
    }
    if (!TakePath(state, "PID file", pid->name) || !ReadOffsetField(state, &pid->bootLocation, 1, "PID location"))
        return false;
    if (state.items.itemCount > 2) {
        if (!ReadOffsetField(state, &pid->fwLocation[0], 2, "FW PID location")) return false;
    }
    // Only whether the PID file opens matters here; its size is not kept.
    if (MeasureNamedFile(state, "PID", pid->name) == -1) {
        pid->missing = 1;
        std::printf("Open PID file %s fail!\n", pid->name);
        state.fileMissing = true;
        return false;
    }
    return true;
}

// The record is attached before its line is read and stays attached when
// the line fails, so the context releases it.
bool ReadPidLine(ReaderState& state, const char* text) {
    if (++state.pidLines > 1) {
        LineError(state, "a second PID line: line %u names the PID file already", state.info->pidInfo->line);
        return FormatError("Error: more than one pid files!");
    }
    auto* pid = static_cast<PidInfo*>(std::calloc(1, sizeof(PidInfo)));
    if (pid == nullptr) {
        std::printf("Can not get Memory for creating PidInfo!\n");
        return false;
    }
    state.info->pidInfo = pid;
    pid->line = state.lineNumber;
    if (!FillPid(state, pid, text)) return false;
    std::printf("PID info :\n");
    std::printf("\tPID file %s's first location is 0x%x, second location is 0x%x\n", pid->name, pid->bootLocation,
                pid->fwLocation[0]);
    std::printf("%s", kSeparator);
    EmptyLineItems(&state.items);
    return true;
}

// ---- size line ----

bool IsSizeBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

enum class SizeParse { kOk, kNoMatch, kTooLong, kNegative };

// Reads the number of a size line: blanks, an optional sign (a '-' negates
// modulo 2^32), an optional 0x prefix, then hex digits up to the first other
// character. More than 8 significant digits do not fit 32 bits.
SizeParse ReadSizeNumber(const char* text, uint32_t* value) {
    while (IsSizeBlank(*text)) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    bool sawDigit = false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        sawDigit = true;  // "0x" with nothing behind it reads as 0
        text += 2;
    }
    uint32_t result = 0;
    int significant = 0;
    for (; IsHexDigit(*text); ++text) {
        sawDigit = true;
        uint32_t digit = 0;
        Char2Hexi(&digit, text, 1);
        if (significant == 0 && digit == 0) continue;
        if (++significant > 8) return SizeParse::kTooLong;
        result = (result << 4) | digit;
    }
    if (!sawDigit) return SizeParse::kNoMatch;
    // A '-' would wrap the size to some 4 GiB: refused rather than negated.
    if (negative && result != 0) return SizeParse::kNegative;
    *value = result;
    return SizeParse::kOk;
}

// '$', a label of one or more characters other than '&', the '&', a number.
SizeParse ParseSizeLine(const char* line, uint32_t* value) {
    const char* label = line + 1;
    size_t labelLength = std::strcspn(label, "&");
    if (labelLength == 0 || label[labelLength] != '&') return SizeParse::kNoMatch;
    return ReadSizeNumber(label + labelLength + 1, value);
}

// What part of '$LABEL &SIZE' a size line that does not match lacks.
const char* MissingSizePart(const char* line) {
    size_t labelLength = std::strcspn(line + 1, "&");
    if (line[1 + labelLength] != '&') return "has no '&'";
    if (labelLength == 0) return "has no label between '$' and '&'";
    return "has no hex number after its '&'";
}

bool RefuseSizeLine(const ReaderState& state, const char* line, SizeParse parsed) {
    if (parsed == SizeParse::kNoMatch) {
        LineError(state, "size line %s: write it as '$Size &80' (the size in KiB, hex)", MissingSizePart(line));
        return FormatError("Error: SIZE line format error!");
    }
    if (parsed == SizeParse::kTooLong) {
        LineError(state, "size has more than 8 hex digits: it does not fit 32 bits");
        return FormatError("Error: SIZE value has more than 8 hex digits!");
    }
    LineError(state, "size is negative: write it without a '-'");
    return FormatError("Error: SIZE value must not be negative!");
}

bool ReadSizeLine(ReaderState& state, const char* line) {
    uint32_t size = 0;
    SizeParse parsed = ParseSizeLine(line, &size);
    if (parsed != SizeParse::kOk) return RefuseSizeLine(state, line, parsed);
    // The unit is 1 KiB; a size of 4 GiB or more would lose its high bits.
    if (size > kMaxSizeKiB) {
        LineError(state, "size 0x%x KiB is 4 GiB or more: at most 0x%x KiB fit", size, kMaxSizeKiB);
        std::printf("Error: SIZE value 0x%x KiB is 4 GiB or more!\n", size);
        return FormatError();
    }
    if (state.sizeLine != 0) {
        LineWarning(state, "size line replaces the size 0x%x KiB of line %u: the last size line counts", state.sizeKiB,
                    state.sizeLine);
    }
    state.sizeLine = state.lineNumber;
    state.sizeKiB = size;
    state.info->targetSize = size << 10;
    std::printf("Size info :\n");
    std::printf("\tTarget file default size is 0x%x.\n", state.info->targetSize);
    std::printf("%s", kSeparator);
    return true;
}

// ---- dispatch ----

// Blank lines, comments and indented lines are skipped without a word on
// standard output.
bool IsSkippedLineStart(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '\t'; }

// An indented line is skipped whatever follows; one that would be read
// without its indentation is most likely meant to be read.
void WarnIndentedLine(const ReaderState& state, const char* line) {
    const char* text = line + std::strspn(line, " \t");
    if (*text != ':' && *text != '%' && *text != '$') return;
    std::string shown(text);
    while (!shown.empty() && std::strchr(" \t\n", shown.back()) != nullptr) shown.pop_back();
    LineWarning(state, "indented line is skipped: '%s'", shown.c_str());
}

void WarnUnknownLineStart(const ReaderState& state, const char* line) {
    if (std::strncmp(line, "\xEF\xBB\xBF", 3) == 0) {
        return LineWarning(state, "line starts with a UTF-8 byte order mark and is skipped: save the file without one");
    }
    auto byte = static_cast<unsigned char>(line[0]);
    char shown[16];
    if (byte >= 0x21 && byte <= 0x7E)
        std::snprintf(shown, sizeof shown, "'%c'", line[0]);
    else
        std::snprintf(shown, sizeof shown, "byte 0x%02x", byte);
    LineWarning(state,
                "line starts with %s, which begins no kind of line (':' image, '%%' PID, '$' size, '#' comment): it "
                "is skipped",
                shown);
}

void WarnUnknownLine(char first) {
    auto byte = static_cast<unsigned char>(first);
    if (byte >= 0x21 && byte <= 0x7E) {
        std::printf("Warning: Unknown magic header charactor '%c' in your par file, ignore it!\n", first);
    } else {
        // Widened as a signed byte: 0x80 and above print as ffffff80 and up.
        auto widened = static_cast<int32_t>(static_cast<int8_t>(byte));
        std::printf("Warning: Unknown magic header charactor 0x%x in your par file, ignore it!\n",
                    static_cast<uint32_t>(widened));
    }
}

bool ReadLine(ReaderState& state, char* line) {
    if (char* comment = std::strchr(line, '#')) *comment = '\0';
    switch (line[0]) {
        case ':':
            return ReadImageLine(state, line + 1);
        case '%':
            return ReadPidLine(state, line + 1);
        case '$':
            return ReadSizeLine(state, line);
        default:
            if (IsSkippedLineStart(line[0])) {
                WarnIndentedLine(state, line);
            } else {
                WarnUnknownLine(line[0]);
                WarnUnknownLineStart(state, line);
            }
            return true;
    }
}

// The long rule between the sections of the format text.
void PrintRule() {
    constexpr int kRuleWidth = 130;
    for (int i = 0; i < kRuleWidth; ++i) std::putchar('-');
    std::putchar('\n');
}

// The next byte of the file. A read interrupted by a signal is no error:
// it is tried again, so that no line is lost to it. Another read error ends
// the file with its reason in `*error`.
int NextByte(FILE* file, int* error) {
    for (;;) {
        errno = 0;
        int c = std::getc(file);
        if (c != EOF || !std::ferror(file)) return c;
        if (errno != EINTR) {
            *error = errno;
            return c;
        }
        std::clearerr(file);
    }
}

// The next physical line, its first 1999 characters in `line`. kLongLine:
// the line was longer and its long part is not a comment. Every byte counts
// towards the limit, NUL bytes included; the first NUL byte is noted
// wherever it lies, in the dropped rest of a long line too.
LineRead NextLine(ParSource& src, char* line) {
    size_t kept = 0;
    size_t column = 0;
    bool cut = false;
    int c = EOF;
    src.firstNul = 0;
    while ((c = NextByte(src.file, &src.readError)) != EOF) {
        if (++src.bytes > src.byteLimit) return LineRead::kTooBig;
        ++column;
        if (c == '\0' && src.firstNul == 0) src.firstNul = column;
        if (kept < kLineBufferSize - 1)
            line[kept++] = static_cast<char>(c);
        else if (c != '\n')
            cut = true;
        if (c == '\n') break;
    }
    if (kept == 0 && c == EOF) return LineRead::kEnd;
    line[kept] = '\0';
    src.kept = kept;
    ++src.lineNumber;
    if (!cut) return LineRead::kLine;
    bool commentIsLong = std::strchr(line, '#') != nullptr;
    return commentIsLong || IsSkippedLineStart(line[0]) ? LineRead::kLine : LineRead::kLongLine;
}

// The line about to be read, for the diagnostics about it.
void NoteLine(ReaderState& state, const ParSource& src, const char* line) {
    state.lineNumber = src.lineNumber;
    std::strcpy(state.lineText, line);
    state.lineLength = std::strlen(line);
}

// The UTF width (32 or 16) that a byte order mark at the start of the file
// gives, else 0. FF FE also begins the UTF-32 mark FF FE 00 00, so the
// four-byte marks are tried first.
int MarkedUtfWidth(const char* line, size_t kept) {
    auto startsWith = [&](const char* mark, size_t length) {
        return kept >= length && std::memcmp(line, mark, length) == 0;
    };
    if (startsWith("\xFF\xFE\0\0", 4) || startsWith("\0\0\xFE\xFF", 4)) return 32;
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) return 16;
    return 0;
}

// Whether the bytes are ASCII characters saved in units of `width` bytes:
// in every unit the byte at `at` is the character and is not NUL, and the
// others are NUL. At least two characters (one and the newline) make the
// pattern.
bool HasWideUnits(const char* line, size_t kept, size_t width, size_t at) {
    size_t characters = 0;
    for (size_t i = 0; i < kept; ++i) {
        bool characterByte = i % width == at;
        if ((line[i] == '\0') == characterByte) return false;
        if (characterByte) ++characters;
    }
    return characters >= 2;
}

// The UTF width (32 or 16) whose pattern of NUL bytes the line has, in
// either byte order, else 0.
int UnmarkedUtfWidth(const char* line, size_t kept) {
    for (size_t width : {size_t{4}, size_t{2}}) {
        if (HasWideUnits(line, kept, width, 0) || HasWideUnits(line, kept, width, width - 1)) {
            return static_cast<int>(width * 8);
        }
    }
    return 0;
}

// The line as the diagnostic quotes it, NUL bytes and all (they are shown
// escaped, as other control characters are).
void NoteLineWithNuls(ReaderState& state, const ParSource& src, const char* line) {
    std::memcpy(state.lineText, line, src.kept + 1);
    state.lineLength = src.kept;
}

bool RefuseUtfFile(const ReaderState& state, int width, bool marked) {
    if (marked) {
        LineError(state, "the PAR file is UTF-%d (it starts with a byte order mark): save it as ASCII or UTF-8", width);
    } else {
        LineError(state, "the PAR file looks like UTF-%d (%s beside each character): save it as ASCII or UTF-8", width,
                  width == 16 ? "a NUL byte" : "three NUL bytes");
    }
    std::printf("Error: Par file %s is UTF-%d text, not ASCII or UTF-8!\n", state.path, width);
    return FormatError();
}

// A PAR file is ASCII or UTF-8 text. The lines are handled as C strings, so
// whatever follows a NUL byte (an option, a group mark, a pad byte) would be
// dropped without a word and a line starting with one skipped as blank: a
// line holding one is refused, and a file of UTF-16 or UTF-32 characters,
// which holds them everywhere, is named as such at its first line.
bool RefuseNonText(ReaderState& state, const ParSource& src, const char* line) {
    if (src.lineNumber == 1) {
        if (int width = MarkedUtfWidth(line, src.kept)) {
            NoteLineWithNuls(state, src, line);
            return RefuseUtfFile(state, width, true);
        }
    }
    if (src.firstNul == 0) return true;
    NoteLineWithNuls(state, src, line);
    if (src.lineNumber == 1) {
        if (int width = UnmarkedUtfWidth(line, src.kept)) return RefuseUtfFile(state, width, false);
    }
    LineError(state, "line %u holds a NUL byte at column %zu: is this a text file?", src.lineNumber, src.firstNul);
    std::printf("Error: line %u holds a NUL byte!\n", src.lineNumber);
    return FormatError();
}

// A file with CR LF line ends is said once, at its first such line,
// wherever the carriage return lands (on a value it is refused on its own).
void WarnCrlfOnce(ReaderState& state, ParSource& src, const char* line) {
    if (src.sawCrlf || std::strstr(line, "\r\n") == nullptr) return;
    src.sawCrlf = true;
    LineWarning(state,
                "the file has CRLF line ends: a carriage return stays in each line's last word; save it with LF "
                "line ends");
}

// Under --strict a warning stops the reading behind its line.
bool StrictAllows(const ReaderState& state) {
    if (state.info->strictErrors == 0) return true;
    std::printf("Error : a warning stops the bind under --strict!\n");
    return false;
}

bool ReadAllLines(ReaderState& state, ParSource& src, const char* path) {
    char line[kLineBufferSize];
    for (;;) {
        LineRead read = NextLine(src, line);
        if (read == LineRead::kLine || read == LineRead::kLongLine) {
            NoteLine(state, src, line);
            if (!RefuseNonText(state, src, line)) return false;
        }
        switch (read) {
            case LineRead::kEnd:
                return true;
            case LineRead::kTooBig:
                LocatedError(path, src.lineNumber + 1,
                             "the PAR file is not a regular file and goes on past 1 MiB: "
                             "it is read up to 1 MiB only");
                std::printf("Error : Par file %s is larger than 1 MiB!\n", path);
                return false;
            case LineRead::kLongLine:
                LineError(state, "line is longer than %d characters, and its long part is not a comment",
                          kLineBufferSize - 1);
                std::printf("Error: line %u is longer than %d characters!\n", src.lineNumber, kLineBufferSize - 1);
                return FormatError();
            case LineRead::kLine:
                WarnCrlfOnce(state, src, line);
                if (!ReadLine(state, line) || !StrictAllows(state)) return false;
        }
    }
}

}  // namespace

int ParseParInfo(const char* path, ParInfo* info) {
    FILE* par = std::fopen(path, "r");
    if (par == nullptr) {
        int error = errno;
        std::printf("Error : open Par file %s failed!\n", path);
        PathError(path, "the PAR file cannot be opened: %s", std::strerror(error));
        return kParOpenFailed;
    }
    std::snprintf(info->parPath, sizeof info->parPath, "%s", path);
    ReaderState state;
    state.info = info;
    state.path = path;
    EmptyLineItems(&state.items);
    ParSource src{par};
    struct stat st;
    if (::fstat(::fileno(par), &st) == 0 && !S_ISREG(st.st_mode)) src.byteLimit = kMaxStreamedParBytes;
    // Every line handler says whether the reading goes on; one that stops
    // it has printed why.
    int result = ReadAllLines(state, src, path) ? kParOk : state.fileMissing ? kParFileMissing : kParFormatError;
    // A read error (a folder given as the PAR file, an I/O error) is not the
    // end of the file: lines after it would be silently lost.
    if (result == kParOk && std::ferror(par)) {
        std::printf("Error : read Par file %s failed!\n", path);
        PathError(path, "the PAR file cannot be read: %s", std::strerror(src.readError));
        result = kParOpenFailed;
    }
    std::fclose(par);
    return result;
}

void ShowParFormatUsage() {
    std::printf("Usage : Par File Line Format.\n");
    std::printf("\tLine Start with [:|%%|$]\n");
    PrintRule();
    std::printf(
        "format 1 - :Image \t&offset_in_hex  [-l range_hex_size [-p 0x00|0xff] [-v x.xx] "
        "[-c] [-k [number_in_hex]]|[-f [number_in_hex]]\n");
    std::printf("\t\toffset_in_hex - hex but without prefix '0x'\n");
    std::printf("\t\t-l,\thex_value(with prefix '0x'), give the range used for Image in output file.\n");
    std::printf("\t\t-p,\tpad value for Image, only valid if '-l' option is used.\n");
    std::printf("\t\t-c,\tfor FW image only, used to set bitmap in FW_Header, the bitmap would be used\n");
    std::printf("\t\t\tfor bootloader to decide checking image checksum or not.\n");
    std::printf("\t\t-v,\tset Image version in FW_Header.\n");
    std::printf(
        "\t\t-k,\tfor FW image only, indicating Image has kernel in, and should be exclusive "
        "with '-f'\n");
    std::printf(
        "\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or "
        "Multi-Image.\n");
    std::printf(
        "\t\t-f,\tfor FW image only, indicating Image is FW image but is not Kernel, and "
        "should be exclusive with '-k'\n");
    std::printf(
        "\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or "
        "Multi-Image.\n");
    PrintRule();
    std::printf("format 2 - %%Pid  &pid_offset_in_boot &pid_offset_in_fw\n");
    std::printf("\t\tpid_offset_in_boot - hex but without prefix '0x'\n");
    std::printf("\t\tpid_offset_in_fw   - hex but without prefix '0x'\n");
    std::printf(
        "\t\tNOTE: if there is no image with option '-k' or '-f', it is allowed no %%PID in "
        "par file!\n");
    PrintRule();
    std::printf("format 3 - $Size  &size_in_hex\n");
    std::printf("\t\tsize_in_hex - size unit is 1K.\n");
    std::printf("\t\tNOTE: necessary given in Par file!\n");
    PrintRule();
}

}  // namespace morvik
