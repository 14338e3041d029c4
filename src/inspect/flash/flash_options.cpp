// The flash files' options and places, and what the reports say of them.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "inspect/flash/flash_file.h"
#include "inspect/pass/text.h"
#include "sys/diagnostics.h"
#include "sys/json.h"
#include "sys/output_path.h"

namespace morvik {

namespace {

constexpr uint64_t kMaxBase = 0xFFFFFFFFull;

bool IsDash(const char* path) { return path != nullptr && std::strcmp(path, "-") == 0; }

// The digits of `text` in `radix` (10 or 16) up to kMaxBase; false at the
// first other character or when the value grows too large.
bool ReadDigits(const char* text, unsigned radix, uint64_t* value) {
    *value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        unsigned digit;
        if (*c >= '0' && *c <= '9')
            digit = static_cast<unsigned>(*c - '0');
        else if (radix == 16 && *c >= 'a' && *c <= 'f')
            digit = static_cast<unsigned>(*c - 'a' + 10);
        else if (radix == 16 && *c >= 'A' && *c <= 'F')
            digit = static_cast<unsigned>(*c - 'A' + 10);
        else
            return false;
        *value = *value * radix + digit;
        if (*value > kMaxBase) return false;
    }
    return *text != '\0';
}

// One flash file's path against the others and the image.
std::string RefuseOne(const char* path, const char* option, const char* what, const char* image,
                      const char* stdoutTaken, bool stdoutClosed) {
    if (IsDash(path)) {
        if (stdoutTaken != nullptr)
            return Format("%s - and %s both write to standard output: give the %s a file name", option, stdoutTaken,
                          what);
        if (stdoutClosed) return Format("standard output is closed: give the %s a file name", what);
        if (SameFile(STDOUT_FILENO, image)) return "standard output is the image being checked";
        return "";
    }
    OutputTarget target = ExamineOutputPath(path, what);
    if (target.kind == OutputKind::kRefused) {
        bool proc = target.kernelFiles != nullptr && std::strcmp(target.kernelFiles, "/proc") == 0;
        return Format("%s %s %s%s", what, path, target.reason.c_str(), proc ? "; write '-' for standard output" : "");
    }
    if (SameFile(path, image)) return Format("%s %s is the image being checked: give it a file of its own", what, path);
    return "";
}

}  // namespace

bool FlashOnStdout(const FlashRequest& request) { return IsDash(request.ihex) || IsDash(request.motorola); }

bool ParseFlashBase(const char* text, uint64_t* base, std::string* error) {
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    bool leadingZero = !hex && text[0] == '0' && text[1] != '\0';
    if (!leadingZero && ReadDigits(hex ? text + 2 : text, hex ? 16 : 10, base)) return true;
    *error =
        Format("--base %s: give the address as 0x-hex or as decimal without a leading zero, at most 0xffffffff", text);
    return false;
}

std::string RefuseFlashPaths(const FlashRequest& request, const char* image, const char* svg, const char* stdoutTaken,
                             bool stdoutClosed) {
    if (!FlashWanted(request))
        return request.baseGiven ? "--base places the flash files: give --ihex or --motorola with it" : "";
    if (IsDash(request.ihex) && IsDash(request.motorola))
        return "--ihex - and --motorola - both write to standard output: give one of them a file name";
    struct Named {
        const char* path;
        const char* option;
        const char* what;
    } const files[] = {{request.ihex, "--ihex", "Intel HEX file"}, {request.motorola, "--motorola", "S-record file"}};
    for (const Named& f : files) {
        if (f.path == nullptr) continue;
        std::string refusal = RefuseOne(f.path, f.option, f.what, image, stdoutTaken, stdoutClosed);
        if (!refusal.empty()) return refusal;
        if (IsDash(f.path)) continue;
        if (svg != nullptr && !IsDash(svg) && SamePlace(svg, f.path))
            return Format("%s %s is also the picture: give each a file of its own", f.what, f.path);
    }
    if (request.ihex != nullptr && request.motorola != nullptr && !IsDash(request.ihex) &&
        SamePlace(request.ihex, request.motorola))
        return Format("--ihex and --motorola both name %s: give each a file of its own", request.ihex);
    return "";
}

std::string FlashNotWrittenText(const FlashRequest& request, const std::string& why) {
    std::string files;
    if (request.ihex != nullptr) files = Format("Intel HEX file %s", request.ihex);
    if (request.ihex != nullptr && request.motorola != nullptr) files += " and ";
    if (request.motorola != nullptr) files += Format("S-record file %s", request.motorola);
    return files + " not written: " + why;
}

void PrintFlashText(const FlashResult& result) {
    if (!result.ihex.empty()) std::printf("Intel HEX file: %s\n", Escaped(result.ihex).c_str());
    if (!result.motorola.empty()) std::printf("S-record file: %s\n", Escaped(result.motorola).c_str());
    std::printf("Flash data at 0x%08llx: %llu bytes in %llu records, %llu bytes of 0xFF left out\n",
                static_cast<ull>(result.base), static_cast<ull>(result.dataBytes), static_cast<ull>(result.records),
                static_cast<ull>(result.leftOut));
}

std::string FlashJson(const FlashResult& result) {
    JsonObject m;
    if (!result.ihex.empty()) JsonName(&m, "ihex", result.ihex);
    if (!result.motorola.empty()) JsonName(&m, "motorola", result.motorola);
    JsonMember(&m, "base", JsonNumber(result.base));
    JsonMember(&m, "dataBytes", JsonNumber(result.dataBytes));
    JsonMember(&m, "records", JsonNumber(result.records));
    JsonMember(&m, "leftOut", JsonNumber(result.leftOut));
    return JsonValue(m);
}

}  // namespace morvik
