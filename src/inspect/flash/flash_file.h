// Files for a flash programmer: the image as Intel HEX and as Motorola
// S-records, each byte at the image offset plus a base address.
//
// Erased NOR flash holds 0xFF, so a run of 0xFF need not be programmed. A
// converter that guesses gaps from byte values also drops header bytes that
// happen to be 0xFF, and the flashed result no longer verifies. These
// writers know the layout: they leave out only runs of 0xFF of at least
// kLeftOutRun bytes that lie outside every firmware header, PID block, FW
// PID record and group image, so that the file programmed into erased
// flash gives the image byte for byte. Only an image that verifies is
// written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "inspect/judge/findings.h"
#include "inspect/pass/image_file.h"

namespace morvik {

// Runs of 0xFF shorter than this are written: a gap costs an address
// record or two, more than the few bytes it saves.
constexpr uint64_t kLeftOutRun = 16;

// At most this many data bytes per record. Records also end where the
// address reaches a multiple of it, so that none crosses a 64 KiB boundary.
constexpr size_t kRecordBytes = 32;

// What --ihex, --motorola and --base ask for.
struct FlashRequest {
    const char* ihex = nullptr;      // Intel HEX file, "-" for standard output
    const char* motorola = nullptr;  // S-record file, "-" for standard output
    uint64_t base = 0;               // added to every image offset
    bool baseGiven = false;
};

inline bool FlashWanted(const FlashRequest& request) { return request.ihex != nullptr || request.motorola != nullptr; }
bool FlashOnStdout(const FlashRequest& request);

// Reads --base: 0x-hex (0X too) or decimal without a leading zero, at most
// 0xffffffff; false with `error` for anything else.
bool ParseFlashBase(const char* text, uint64_t* base, std::string* error);

// Refuses the flash files' paths before anything is read or made, and
// --base without a flash file: "" when all is well, else why not.
// `stdoutTaken` names what else writes to standard output ("--json",
// "--svg -"), nullptr when nothing does.
std::string RefuseFlashPaths(const FlashRequest& request, const char* image, const char* svg, const char* stdoutTaken,
                             bool stdoutClosed);

// A half-open byte range of the image.
struct ByteSpan {
    uint64_t start = 0;
    uint64_t end = 0;
};

// The bytes every flash file holds whatever their value: the headers (256
// bytes), PID blocks (70), FW PID records (16) and the data ranges the
// headers list, inside a file of the inspection's size; sorted and merged.
std::vector<ByteSpan> ProtectedSpans(const Inspection& inspection);

// What the writing did.
struct FlashResult {
    bool written = false;  // false: the image does not verify, nothing written
    uint64_t base = 0;
    uint64_t dataBytes = 0;  // bytes in data records
    uint64_t leftOut = 0;    // bytes of 0xFF left out
    uint64_t records = 0;    // data records in each file
    std::string ihex, motorola;
};

// One record's text with its line end: Intel HEX of `type` at the 16-bit
// `address`, or an S-record of `type` ('0' to '9') with an address of
// `addressBytes` bytes.
std::string IntelHexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t length);
std::string SRecord(char type, uint32_t address, size_t addressBytes, const uint8_t* data, size_t length);

// Writes the files the request names from `image` (the file the inspection
// read, still open), each into a temporary file beside it that takes its
// name once complete. An image that does not verify is not written: true
// with `result->written` false. false with `error` when the base puts the
// image past 4 GiB, a file cannot be written or the image changed.
bool WriteFlashFiles(const Inspection& inspection, ImageFile* image, const FlashRequest& request, FlashResult* result,
                     std::string* error);

// The one-line reason why nothing was written: "... not written: " and
// `why` ("the image does not verify").
std::string FlashNotWrittenText(const FlashRequest& request, const std::string& why);

// The files in the text report, and the value of the JSON member "flash".
void PrintFlashText(const FlashResult& result);
std::string FlashJson(const FlashResult& result);

}  // namespace morvik
