// Taking a bound image apart: its group images and other data as files, its
// PID as a PID file, and a PAR file with the bind command that rebuilds the
// image from them byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/placement.h"
#include "inspect/judge/findings.h"
#include "inspect/pass/image_file.h"
#include "inspect/report/report.h"

namespace morvik {

// The recovered PAR file may name at most this many images.
constexpr size_t kMaxParImages = 10;

// One image line of the recovered PAR file and the file that holds its bytes.
struct ExtractedPart {
    std::string file;
    uint64_t dataStart = 0;  // the file holds the image's bytes [dataStart, dataEnd)
    uint64_t dataEnd = 0;
    uint64_t rangeEnd = 0;  // end of the reserved range; dataEnd when there is none
    int pad = -1;           // the range's pad byte; -1 leaves the fill byte there
    int group = -1;         // 0 or 1 for a group image
    bool kernel = false;    // its PAR offset is the header's, 0x100 in front of the data
    bool lastOfGroup = false;
    uint64_t header = 0;  // group images: the header's position and the entry's index
    uint32_t entry = 0;
    uint8_t version[kFwVersionSize] = {};
    bool versionGiven = false;
    bool verify = false;  // -c
};

// The plan of a recipe and what became of it.
struct Extraction {
    std::string directory;
    uint8_t fill = 0;
    std::vector<ExtractedPart> parts;  // in offset order
    bool hasPid = false;
    uint64_t pidEnd = 0;  // the boot PID location: the block's last byte
    uint8_t pid[kPidBytes] = {};
    uint64_t fwLocation = 0;  // without groups: the FW PID record, 0 for none
    uint64_t sizeKiB = 0;
    std::vector<std::string> files;     // written into the directory, in order
    std::vector<std::string> problems;  // what the recipe does not reproduce, and why
};

inline uint64_t ParOffset(const ExtractedPart& part) { return AreaStart(part.dataStart, part.kernel); }

// The part's reserved range as its PAR line gives it (-l), 0 for none.
inline uint64_t RangeOf(const ExtractedPart& part) {
    return part.rangeEnd > part.dataEnd ? part.rangeEnd - part.dataStart : 0;
}

// Works out the recipe for `inspection` from its findings and its map;
// anything it cannot reproduce goes into `out->problems`.
void PlanExtraction(const Inspection& inspection, Extraction* out);

// The PAR line of one part, the text of the recovered PAR file and of the
// bind script.
std::string ParLine(const ExtractedPart& part);
std::string RecoveredPar(const Extraction& extraction);
std::string BindScript(const Extraction& extraction);

// Refuses a folder for the parts before anything is read or made: an
// existing one must be empty, this user's, and writable by no one else.
// true when it may be used (or is still to be made), else false with `error`.
bool CheckExtractFolder(const char* directory, std::string* error);

// Plans the recipe for the image that `inspection` describes and writes its
// files into `directory` (created when missing, refused when it holds
// anything), copying the parts from `image`: the file the inspection read,
// still open. true when the files are written; the recipe rebuilds the image
// exactly when `out->problems` is empty. false with `error` set when nothing
// usable could be written, or the image changed while the parts were copied.
bool ExtractImage(const Inspection& inspection, ImageFile* image, const char* directory, Extraction* out,
                  std::string* error);

// The extraction in the text report, and as the value of the JSON member
// "extraction".
void PrintExtractionText(const Extraction& extraction, const ReportOptions& options);
std::string ExtractionJson(const Extraction& extraction);

}  // namespace morvik
