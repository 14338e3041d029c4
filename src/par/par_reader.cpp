// The PAR file reader: one pass over the file, one line at a time, filling
// the bind context and echoing what it stored.
#include "par/par_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "getopt/getopt.h"
#include "par/line_items.h"

namespace morvik {

namespace {

// fgets takes at most this many characters per read; a longer line comes in
// pieces, and each piece is handled as a line of its own.
constexpr int kLineBufferSize = 2000;
constexpr const char* kImageOptions = "l:p:cv:k::f::";
constexpr const char* kSeparator = "---------------------------------------\n";

struct ReaderState {
    ParInfo* info;
    LineItems items;
    int pidLines;
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

// Reads the hex field of an item that starts with a mark character ('&')
// which is dropped unchecked.
bool ReadMarkedHex(uint32_t* value, const char* item) {
    const char* digits = item + 1;
    return Char2Hexi(value, digits, static_cast<int32_t>(std::strlen(digits))) == 0;
}

bool FitsNameField(const char* path) { return std::strlen(path) <= kMaxPathLength; }

// ---- image line options ----

// The value is the text after the argument's first 'x'; what stands in
// front of the 'x' is not looked at.
std::optional<int> TakeLimit(ImageInfo* image, const char* arg) {
    const char* x = arg != nullptr ? std::strchr(arg, 'x') : nullptr;
    if (x == nullptr || !ReadMarkedHex(&image->limit, x))
        return FormatError("Error : '-l' option must be followed a hex value!");
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

// The optional group number is not checked: a bad digit leaves whatever
// partial value the hex reader got so far.
int32_t GroupNumber(const char* arg) {
    if (arg == nullptr) return 0;
    uint32_t value = 0;
    Char2Hexi(&value, arg, static_cast<int32_t>(std::strlen(arg)));
    return static_cast<int32_t>(value);
}

// Acts on one scanner result: nothing to go on scanning, else the result
// that ends the reading.
std::optional<int> ActOnImageOption(ReaderState& state, ImageInfo* image, int option) {
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
            image->groupId = GroupNumber(optarg);
            ++state.info->groupCount;
            image->type = IMAGE_KERNEL;
            return std::nullopt;
        case 'f':
            image->groupId = GroupNumber(optarg);
            image->type = IMAGE_FW;
            return std::nullopt;
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
    for (;;) {
        int option = my_getopt(state.items.itemCount, state.items.itemPtr, kImageOptions, nullptr);
        if (option == -1) return std::nullopt;
        if (std::optional<int> stop = ActOnImageOption(state, image, option)) return stop;
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
    if (!ReadMarkedHex(&image->offset, state.items.itemPtr[1]))
        return FormatError("Error: Offset should be in Hex!");
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
    if (!ReadMarkedHex(&pid->bootLocation, state.items.itemPtr[1]))
        return FormatError("Error: Offset should be in Hex!");
    if (state.items.itemCount > 2 && !ReadMarkedHex(&pid->fwLocation[0], state.items.itemPtr[2]))
        return FormatError("Error: Offset should be in Hex!");
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

bool IsHexDigit(char c) {
    uint32_t ignored = 0;
    return Char2Hexi(&ignored, &c, 1) == 0;
}

enum class SizeParse { kOk, kNoMatch, kTooLong };

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
    *value = negative ? 0u - result : result;
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
    // The unit is 1 KiB; bits shifted out of 32 are lost on purpose.
    state.info->targetSize = size << 10;
    std::printf("Size info :\n");
    std::printf("\tTarget file default size is 0x%x.\n", state.info->targetSize);
    std::printf("%s", kSeparator);
    return std::nullopt;
}

// ---- dispatch ----

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
        case '\0':
        case '\n':
        case '\r':
        case ' ':
        case '\t':
            return std::nullopt;
        default:
            WarnUnknownLine(line[0]);
            return std::nullopt;
    }
}

// The long rule between the sections of the format text.
void PrintRule() {
    constexpr int kRuleWidth = 130;
    for (int i = 0; i < kRuleWidth; ++i) std::putchar('-');
    std::putchar('\n');
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

    char line[kLineBufferSize];
    std::optional<int> stop;
    while (!stop && std::fgets(line, sizeof line, par) != nullptr) stop = ReadLine(state, line);
    int result = stop.value_or(kParOk);
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
