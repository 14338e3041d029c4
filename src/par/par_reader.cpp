// The PAR file reader: one pass over the file, one line at a time, filling
// the bind context and echoing what it stored.
#include "par/par_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/stat.h>

#include "getopt/getopt.h"
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

struct ReaderState {
    ParInfo* info;
    LineItems items;
    int pidLines;
};

// The PAR file being read, one physical line at a time.
struct ParSource {
    FILE* file;
    uint32_t lineNumber = 0;
    uint64_t bytes = 0;
    uint64_t byteLimit = UINT64_MAX;
};

enum class LineRead { kLine, kLongLine, kEnd, kTooBig };

// The group marks one image line has given so far: an image is either the
// kernel of its group or another image of it, and a second -k would count a
// group that does not exist.
struct GroupMarks {
    bool kernel = false;
    bool firmware = false;
};

// The closing steps of every format error: the line format text, and the run
// is failed.
std::optional<int> FormatError() {
    ShowParFormatUsage();
    return kParFormatError;
}

std::optional<int> FormatError(const char* message) {
    std::printf("%s\n", message);
    return FormatError();
}

bool IsHexDigit(char c) {
    uint32_t ignored = 0;
    return Char2Hexi(&ignored, &c, 1) == 0;
}

// A value of more than 8 significant hex digits does not fit 32 bits; the
// hex reader would keep only the last 8, so such a field is refused instead.
// Leading zeros do not count.
bool Fits32Bits(const char* digits) {
    while (*digits == '0') ++digits;
    size_t count = 0;
    while (IsHexDigit(digits[count])) ++count;
    return count <= 8;
}

std::optional<int> TooManyDigits(const char* format, const char* text) {
    std::printf(format, text);
    return FormatError();
}

// Reads the hex field of an item that starts with a mark character ('&')
// which is dropped unchecked.
bool ReadMarkedHex(uint32_t* value, const char* item) {
    const char* digits = item + 1;
    return Char2Hexi(value, digits, static_cast<int32_t>(std::strlen(digits))) == 0;
}

// An offset or PID location: hex, and at most 8 significant digits.
std::optional<int> ReadOffsetField(uint32_t* value, const char* item) {
    if (!ReadMarkedHex(value, item)) return FormatError("Error: Offset should be in Hex!");
    if (!Fits32Bits(item + 1)) return TooManyDigits("Error: Offset %s has more than 8 hex digits!\n", item);
    return std::nullopt;
}

bool FitsNameField(const char* path) { return std::strlen(path) <= kMaxPathLength; }

// ---- image line options ----

// The value is the text after the argument's first 'x'; what stands in
// front of the 'x' is not looked at.
std::optional<int> TakeLimit(ImageInfo* image, const char* arg) {
    const char* x = arg != nullptr ? std::strchr(arg, 'x') : nullptr;
    if (x == nullptr || !ReadMarkedHex(&image->limit, x))
        return FormatError("Error : '-l' option must be followed a hex value!");
    if (!Fits32Bits(x + 1)) return TooManyDigits("Error : '-l' value %s has more than 8 hex digits!\n", arg);
    return std::nullopt;
}

void TakePad(ImageInfo* image, const char* arg) {
    if (arg == nullptr) return;
    if (std::strcmp(arg, "0x00") == 0)
        image->pad = PAD_00;
    else if (std::strcmp(arg, "0xff") == 0 || std::strcmp(arg, "0xFF") == 0)
        image->pad = PAD_FF;
}

std::optional<int> TakeVersion(ImageInfo* image, const char* arg) {
    if (arg == nullptr || std::strlen(arg) != sizeof image->version - 1)
        return FormatError("Error: '-v' option must be followed with a string of 4 bytes!");
    std::memcpy(image->version, arg, sizeof image->version);
    return std::nullopt;
}

// The optional group number: a bad digit leaves whatever partial value the
// hex reader got so far ('1z' is 0x10, a typo the planner's group rules
// catch). A number that does not fit 32 bits, or one that reads as negative,
// would make the image a member of no group at all, so both are refused.
std::optional<int> TakeGroupNumber(ImageInfo* image, const char* arg, char option) {
    uint32_t value = 0;
    if (arg != nullptr) {
        Char2Hexi(&value, arg, static_cast<int32_t>(std::strlen(arg)));
        if (!Fits32Bits(arg)) {
            std::printf("Error: group number %s of '-%c' has more than 8 hex digits!\n", arg, option);
            return FormatError();
        }
    }
    if (static_cast<int32_t>(value) < 0) {
        std::printf("Error: %s: group number %x of '-%c' is out of range!\n", image->name, value, option);
        return FormatError();
    }
    image->groupId = static_cast<int32_t>(value);
    return std::nullopt;
}

std::optional<int> TakeKernelMark(ReaderState& state, ImageInfo* image, GroupMarks& marks) {
    if (std::optional<int> stop = TakeGroupNumber(image, optarg, 'k')) return stop;
    if (marks.firmware) {
        std::printf("Error: %s: '-k' should be exclusive with '-f'!\n", image->name);
        return FormatError();
    }
    if (marks.kernel) {
        std::printf("Error: %s: '-k' is given more than once!\n", image->name);
        return FormatError();
    }
    marks.kernel = true;
    ++state.info->groupCount;
    image->type = IMAGE_KERNEL;
    return std::nullopt;
}

std::optional<int> TakeFirmwareMark(ImageInfo* image, GroupMarks& marks) {
    if (std::optional<int> stop = TakeGroupNumber(image, optarg, 'f')) return stop;
    if (marks.kernel) {
        std::printf("Error: %s: '-k' should be exclusive with '-f'!\n", image->name);
        return FormatError();
    }
    marks.firmware = true;
    image->type = IMAGE_FW;
    return std::nullopt;
}

// Acts on one scanner result: nothing to go on scanning, else the result
// that ends the reading.
std::optional<int> ActOnImageOption(ReaderState& state, ImageInfo* image, GroupMarks& marks, int option) {
    switch (option) {
        case 'l':
            return TakeLimit(image, optarg);
        case 'p':
            TakePad(image, optarg);
            return std::nullopt;
        case 'v':
            return TakeVersion(image, optarg);
        case 'c':
            image->cksum = 1;
            return std::nullopt;
        case 'k':
            return TakeKernelMark(state, image, marks);
        case 'f':
            return TakeFirmwareMark(image, marks);
        case '?':
            std::printf("Unknown options!\n");
            return std::nullopt;
        case ':':
            std::printf("Missing option params!\n");
            return std::nullopt;
        default:
            std::printf("Come to default!\n");
            return std::nullopt;
    }
}

// Item 0 (the image path) stands where a program name would, so the
// scanner's complaints begin with it. optind 1 starts a new scan without
// re-initializing, so the ordering mode of the command-line scan holds.
std::optional<int> ScanImageOptions(ReaderState& state, ImageInfo* image) {
    optind = 1;
    GroupMarks marks;
    for (;;) {
        int option = my_getopt(state.items.itemCount, state.items.itemPtr, kImageOptions, nullptr);
        if (option == -1) return std::nullopt;
        if (std::optional<int> stop = ActOnImageOption(state, image, marks, option)) return stop;
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

void SetImageDefaults(ImageInfo* image) {
    image->offset = 0;
    image->type = IMAGE_NORMAL;
    image->version[0] = '\0';
    image->cksum = 0;
    image->limit = 0;
    image->pad = PAD_NONE;
    image->groupId = -1;
}

// Fills the image record from the line's items: nothing when it is
// complete, else the result that ends the reading.
std::optional<int> FillImage(ReaderState& state, ImageInfo* image, const char* text) {
    if (ParseLineToItems(text, &state.items) != 0) return FormatError();
    if (state.items.itemCount < 2) return FormatError("Error: BIN file line format error!");
    const char* path = state.items.itemPtr[0];
    if (!FitsNameField(path)) {
        std::printf("Error: image file path is longer than %zu characters!\n", kMaxPathLength);
        return FormatError();
    }
    std::strcpy(image->name, path);
    if (std::optional<int> stop = ReadOffsetField(&image->offset, state.items.itemPtr[1])) return stop;
    image->length = get_file_length(image->name);
    if (image->length == -1) {
        std::printf("Open file %s fail!\n", image->name);
        return kParFileMissing;
    }
    if (state.items.itemCount > 2) return ScanImageOptions(state, image);
    return std::nullopt;
}

// A record is stored in its slot as soon as it exists but counts only once
// its line was read completely.
std::optional<int> ReadImageLine(ReaderState& state, const char* text) {
    ParInfo* info = state.info;
    if (info->imageCount >= kMaxImages) {
        std::printf("Error: too many bin files, max bin file number is %d.\n",
                    static_cast<int>(kMaxImages));
        return FormatError();
    }
    auto* image = static_cast<ImageInfo*>(std::calloc(1, sizeof(ImageInfo)));
    if (image == nullptr) {
        std::printf("Can not get Memory for creating ImageInfo!\n");
        return kParFormatError;
    }
    info->images[info->imageCount] = image;
    SetImageDefaults(image);
    if (std::optional<int> stop = FillImage(state, image, text)) return stop;
    EchoImage(image);
    EmptyLineItems(&state.items);
    ++info->imageCount;
    return std::nullopt;
}

// ---- PID line ----

std::optional<int> FillPid(ReaderState& state, PidInfo* pid, const char* text) {
    if (ParseLineToItems(text, &state.items) != 0) return FormatError();
    if (state.items.itemCount < 2) return FormatError("Error: PID file line format error!");
    const char* path = state.items.itemPtr[0];
    if (!FitsNameField(path)) {
        std::printf("Error: PID file path is longer than %zu characters!\n", kMaxPathLength);
        return FormatError();
    }
    std::strcpy(pid->name, path);
    if (std::optional<int> stop = ReadOffsetField(&pid->bootLocation, state.items.itemPtr[1])) return stop;
    if (state.items.itemCount > 2) {
        if (std::optional<int> stop = ReadOffsetField(&pid->fwLocation[0], state.items.itemPtr[2])) return stop;
    }
    // Only whether the PID file opens matters here; its size is not kept.
    if (get_file_length(pid->name) == -1) {
        pid->missing = 1;
        std::printf("Open PID file %s fail!\n", pid->name);
        return kParFileMissing;
    }
    return std::nullopt;
}

// The record is attached before its line is read and stays attached when
// the line fails, so the context releases it.
std::optional<int> ReadPidLine(ReaderState& state, const char* text) {
    if (++state.pidLines > 1) return FormatError("Error: more than one pid files!");
    auto* pid = static_cast<PidInfo*>(std::calloc(1, sizeof(PidInfo)));
    if (pid == nullptr) {
        std::printf("Can not get Memory for creating PidInfo!\n");
        return kParFormatError;
    }
    state.info->pidInfo = pid;
    if (std::optional<int> stop = FillPid(state, pid, text)) return stop;
    std::printf("PID info :\n");
    std::printf("\tPID file %s's first location is 0x%x, second location is 0x%x\n", pid->name,
                pid->bootLocation, pid->fwLocation[0]);
    std::printf("%s", kSeparator);
    EmptyLineItems(&state.items);
    return std::nullopt;
}

// ---- size line ----

bool IsSizeBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

std::optional<int> ReadSizeLine(ReaderState& state, const char* line) {
    uint32_t size = 0;
    SizeParse parsed = ParseSizeLine(line, &size);
    if (parsed == SizeParse::kNoMatch) return FormatError("Error: SIZE line format error!");
    if (parsed == SizeParse::kTooLong)
        return FormatError("Error: SIZE value has more than 8 hex digits!");
    if (parsed == SizeParse::kNegative) return FormatError("Error: SIZE value must not be negative!");
    // The unit is 1 KiB; a size of 4 GiB or more would lose its high bits.
    if (size > kMaxSizeKiB) {
        std::printf("Error: SIZE value 0x%x KiB is 4 GiB or more!\n", size);
        return FormatError();
    }
    state.info->targetSize = size << 10;
    std::printf("Size info :\n");
    std::printf("\tTarget file default size is 0x%x.\n", state.info->targetSize);
    std::printf("%s", kSeparator);
    return std::nullopt;
}

// ---- dispatch ----

// Blank lines, comments and indented lines are skipped without a word.
bool IsSkippedLineStart(char c) {
    return c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '\t';
}

void WarnUnknownLine(char first) {
    auto byte = static_cast<unsigned char>(first);
    if (byte >= 0x21 && byte <= 0x7E) {
        std::printf("Warning: Unknown magic header charactor '%c' in your par file, ignore it!\n",
                    first);
    } else {
        // Widened as a signed byte: 0x80 and above print as ffffff80 and up.
        auto widened = static_cast<int32_t>(static_cast<int8_t>(byte));
        std::printf("Warning: Unknown magic header charactor 0x%x in your par file, ignore it!\n",
                    static_cast<uint32_t>(widened));
    }
}

std::optional<int> ReadLine(ReaderState& state, char* line) {
    if (char* comment = std::strchr(line, '#')) *comment = '\0';
    switch (line[0]) {
        case ':':
            return ReadImageLine(state, line + 1);
        case '%':
            return ReadPidLine(state, line + 1);
        case '$':
            return ReadSizeLine(state, line);
        default:
            if (!IsSkippedLineStart(line[0])) WarnUnknownLine(line[0]);
            return std::nullopt;
    }
}

// The long rule between the sections of the format text.
void PrintRule() {
    constexpr int kRuleWidth = 130;
    for (int i = 0; i < kRuleWidth; ++i) std::putchar('-');
    std::putchar('\n');
}

// The next physical line, its first 1999 characters in `line`. kLongLine:
// the line was longer and its long part is not a comment. Every byte counts
// towards the limit, NUL bytes included.
LineRead NextLine(ParSource& src, char* line) {
    size_t kept = 0;
    bool cut = false;
    int c = EOF;
    while ((c = std::getc(src.file)) != EOF) {
        if (++src.bytes > src.byteLimit) return LineRead::kTooBig;
        if (kept < kLineBufferSize - 1)
            line[kept++] = static_cast<char>(c);
        else if (c != '\n')
            cut = true;
        if (c == '\n') break;
    }
    if (kept == 0 && c == EOF) return LineRead::kEnd;
    line[kept] = '\0';
    ++src.lineNumber;
    if (!cut) return LineRead::kLine;
    bool commentIsLong = std::strchr(line, '#') != nullptr;
    return commentIsLong || IsSkippedLineStart(line[0]) ? LineRead::kLine : LineRead::kLongLine;
}

std::optional<int> ReadAllLines(ReaderState& state, ParSource& src, const char* path) {
    char line[kLineBufferSize];
    for (;;) {
        switch (NextLine(src, line)) {
            case LineRead::kEnd:
                return std::nullopt;
            case LineRead::kTooBig:
                std::printf("Error : Par file %s is larger than 1 MiB!\n", path);
                return kParFormatError;
            case LineRead::kLongLine:
                std::printf("Error: line %u is longer than %d characters!\n", src.lineNumber, kLineBufferSize - 1);
                return FormatError();
            case LineRead::kLine:
                if (std::optional<int> stop = ReadLine(state, line)) return stop;
        }
    }
}

}  // namespace

int ParseParInfo(const char* path, ParInfo* info) {
    FILE* par = std::fopen(path, "r");
    if (par == nullptr) {
        std::printf("Error : open Par file %s failed!\n", path);
        return kParOpenFailed;
    }
    ReaderState state;
    state.info = info;
    EmptyLineItems(&state.items);
    state.pidLines = 0;

    ParSource src{par};
    struct stat st;
    if (::fstat(::fileno(par), &st) == 0 && !S_ISREG(st.st_mode)) src.byteLimit = kMaxStreamedParBytes;
    int result = ReadAllLines(state, src, path).value_or(kParOk);
    // A read error (a folder given as the PAR file, an I/O error) is not the
    // end of the file: lines after it would be silently lost.
    if (result == kParOk && std::ferror(par)) {
        std::printf("Error : read Par file %s failed!\n", path);
        result = kParOpenFailed;
    }
    std::fclose(par);
    return result;
}

void ShowParFormatUsage() {
    std::printf("Usage : Par File Line Format.\n");
    std::printf("\tLine Start with [:|%%|$]\n");
    PrintRule();
    std::printf("format 1 - :Image \t&offset_in_hex  [-l range_hex_size [-p 0x00|0xff] [-v x.xx] "
                "[-c] [-k [number_in_hex]]|[-f [number_in_hex]]\n");
    std::printf("\t\toffset_in_hex - hex but without prefix '0x'\n");
    std::printf("\t\t-l,\thex_value(with prefix '0x'), give the range used for Image in output file.\n");
    std::printf("\t\t-p,\tpad value for Image, only valid if '-l' option is used.\n");
    std::printf("\t\t-c,\tfor FW image only, used to set bitmap in FW_Header, the bitmap would be used\n");
    std::printf("\t\t\tfor bootloader to decide checking image checksum or not.\n");
    std::printf("\t\t-v,\tset Image version in FW_Header.\n");
    std::printf("\t\t-k,\tfor FW image only, indicating Image has kernel in, and should be exclusive "
                "with '-f'\n");
    std::printf("\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or "
                "Multi-Image.\n");
    std::printf("\t\t-f,\tfor FW image only, indicating Image is FW image but is not Kernel, and "
                "should be exclusive with '-k'\n");
    std::printf("\t\t\tthis option could follow number(0, 1, 2...), used when Dual Image or "
                "Multi-Image.\n");
    PrintRule();
    std::printf("format 2 - %%Pid  &pid_offset_in_boot &pid_offset_in_fw\n");
    std::printf("\t\tpid_offset_in_boot - hex but without prefix '0x'\n");
    std::printf("\t\tpid_offset_in_fw   - hex but without prefix '0x'\n");
    std::printf("\t\tNOTE: if there is no image with option '-k' or '-f', it is allowed no %%PID in "
                "par file!\n");
    PrintRule();
    std::printf("format 3 - $Size  &size_in_hex\n");
    std::printf("\t\tsize_in_hex - size unit is 1K.\n");
    std::printf("\t\tNOTE: necessary given in Par file!\n");
    PrintRule();
}

}  // namespace morvik
