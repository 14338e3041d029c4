// Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] [--checksums] [--against FILE.PAR [--fill 0x00|0xff]]
//                [--ihex FILE] [--motorola FILE] [--base ADDR] IMAGE
// Morvik-inspect --diff [--json] [--quiet] OLD NEW
// Exit status: 0 everything verifies, 1 something does not (or the parts
// cannot rebuild the image exactly, or the image is not what the PAR file
// binds), 2 usage error, unreadable file, a file that changed while it was
// read, parts, picture or flash files that cannot be written, or a PAR file
// the binder refuses.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "getopt/getopt.h"
#include "inspect/against/against.h"
#include "inspect/diff/diff.h"
#include "inspect/extract/extract.h"
#include "inspect/flash/flash_file.h"
#include "inspect/judge/checksums.h"
#include "inspect/judge/inspection.h"
#include "inspect/pass/text.h"
#include "inspect/report/report.h"
#include "morvik_version.h"
#include "sys/diagnostics.h"
#include "sys/output_path.h"

namespace morvik {

namespace {

// The exit statuses of the tool, decided in Run and main alone.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // something does not verify, or the parts do not rebuild the image exactly
constexpr int kExitUsage = 2;   // usage error, unreadable or changing file, outputs that cannot be written

// Long options without a short form.
constexpr int32_t kOptIhex = 0x100, kOptMotorola = 0x101, kOptBase = 0x102;
constexpr int kOptDiff = 0x100 + 'D';
constexpr int kAgainstOption = 0x103, kFillOption = 0x104, kOptChecksums = 0x105;

// clang-format off
const LongOption inspect_longopts[] = {
    {"json", no_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"extract", required_argument, nullptr, 'x'},
    {"svg", required_argument, nullptr, 's'},
    {"diff", no_argument, nullptr, kOptDiff},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"ihex", required_argument, nullptr, kOptIhex},
    {"motorola", required_argument, nullptr, kOptMotorola},
    {"base", required_argument, nullptr, kOptBase},
    {"against", required_argument, nullptr, kAgainstOption},
    {"fill", required_argument, nullptr, kFillOption},
    {"checksums", no_argument, nullptr, kOptChecksums},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

void ShowInspectUsage() {
    std::printf("Usage : Morvik-inspect [OPTION]... IMAGE\n");
    std::printf("        Morvik-inspect --diff [--json] [--quiet] OLD NEW\n");
    std::printf("Verify a bound image and print its layout map, or compare two images area by area.\n");
    std::printf("\n");
    std::printf("\t-j, --json\t\tprint the findings as one JSON document\n");
    std::printf("\t-q, --quiet\t\tprint only failures and the summary\n");
    std::printf("\t-x, --extract DIR\twrite the parts, recovered.PAR and bind.sh into DIR (new or empty)\n");
    std::printf("\t-s, --svg FILE\t\tdraw the layout map as an SVG picture into FILE (- for standard output)\n");
    std::printf("\t    --checksums\t\tadd the SHA-256 of the file and of each area of the map\n");
    std::printf("\t    --against FILE.PAR\tcheck that the image is byte for byte what binding FILE.PAR makes\n");
    std::printf("\t    --fill 0x00|0xff\tthe fill the image was bound with (default 0x00)\n");
    std::printf("\t    --ihex FILE\t\twrite an image that verifies as Intel HEX into FILE (- for standard output)\n");
    std::printf("\t    --motorola FILE\twrite an image that verifies as S-records into FILE (- for standard output)\n");
    std::printf("\t    --base ADDR\t\tflash address of the image's first byte, 0x-hex or decimal (default 0)\n");
    std::printf("\t    --diff\t\tcompare image OLD with image NEW: each area same, changed, moved, added or removed\n");
    std::printf("\t-h, --help\t\tdisplay this help and exit\n");
    std::printf("\t-V, --version\t\tprint the version and exit\n");
    std::printf("\n");
    std::printf("Exit status: 0 everything verifies, 1 something does not, 2 usage error or unreadable file.\n");
    std::printf("With --against: 1 also when the image is not what FILE.PAR binds, 2 when the binder refuses it.\n");
    std::printf("With --diff: 0 the files are identical byte for byte, 1 they differ, 2 as above.\n");
}

// The project version, and the commit when built from a git checkout.
void ShowInspectVersion() {
    if (*kSourceCommit != '\0')
        std::printf("Morvik-inspect %s (commit %s)\n", kProjectVersion, kSourceCommit);
    else
        std::printf("Morvik-inspect %s\n", kProjectVersion);
}

// What the command line asks for besides the report.
struct Outputs {
    const char* extractDir = nullptr;
    const char* svgFile = nullptr;
    FlashRequest flash;
    bool diff = false;                 // compare two images instead
    bool stdoutArrivedClosed = false;  // what "-" would write goes nowhere
    bool checksums = false;            // the SHA-256 of the file and of its areas
    bool shown = false;                // --help or --version was printed: nothing else runs
    const char* againstPar = nullptr;  // --against
    const char* fillGiven = nullptr;   // --fill, as given
    uint8_t fill = 0x00;
};

// Every error goes to standard error, so that standard output holds only
// the report (the JSON document, the picture) or nothing.
void PrintError(const std::string& error) { std::fprintf(stderr, "Error : %s\n", Escaped(error).c_str()); }

bool ScanBase(const char* text, uint64_t* base) {
    std::string error;
    if (ParseFlashBase(text, base, &error)) return true;
    PrintError(error);
    return false;
}

// Reads the options; false after a message when one is wrong.
bool ScanOptions(int argc, char** argv, ReportOptions* options, Outputs* outputs) {
    for (;;) {
        int option = my_getopt(argc, argv, "jqx:s:hV", inspect_longopts);
        switch (option) {
            case -1:
                return true;
            case 'j':
                options->json = true;
                break;
            case 'q':
                options->quiet = true;
                break;
            case 'x':
                outputs->extractDir = optarg;
                break;
            case 's':
                outputs->svgFile = optarg;
                break;
            case kOptIhex:
                outputs->flash.ihex = optarg;
                break;
            case kOptMotorola:
                outputs->flash.motorola = optarg;
                break;
            case kOptBase:
                if (!ScanBase(optarg, &outputs->flash.base)) return false;
                outputs->flash.baseGiven = true;
                break;
            case kOptDiff:
                outputs->diff = true;
                break;
            case kOptChecksums:
                outputs->checksums = true;
                break;
            case 'h':
                ShowInspectUsage();
                outputs->shown = true;
                return true;
            case 'V':
                ShowInspectVersion();
                outputs->shown = true;
                return true;
            case kAgainstOption:
                outputs->againstPar = optarg;
                break;
            case kFillOption:
                outputs->fillGiven = optarg;
                if (ParseFillValue(optarg, &outputs->fill)) break;
                std::fprintf(stderr, "Error : --fill value '%s' is none of 0x00, 0xff and 0xFF\n",
                             Escaped(optarg).c_str());
                return false;
            default:
                std::fprintf(stderr, "Please type 'Morvik-inspect -h' for help!\n");
                return false;
        }
    }
}

// Standard output carries the picture for "--svg -", a flash file for "--ihex -" or "--motorola -".
bool PictureOnStdout(const Outputs& outputs) { return outputs.svgFile != nullptr && IsStandardOutput(outputs.svgFile); }
bool FileOnStdout(const Outputs& outputs) { return PictureOnStdout(outputs) || FlashOnStdout(outputs.flash); }

// Where /dev/stdout and /dev/fd/1 lead.
bool IsProc(const OutputTarget& target) {
    return target.kernelFiles != nullptr && std::string(target.kernelFiles) == "/proc";
}

// The picture's path, looked at before anything is read or made.
std::string RefusePicturePath(const char* svg, const char* image, bool json, bool stdoutClosed) {
    if (IsStandardOutput(svg)) {
        if (json) return "--svg - and --json both write to standard output: give the picture a file name";
        if (stdoutClosed) return "standard output is closed: give the picture a file name";
        if (SameFile(STDOUT_FILENO, image)) return "standard output is the image being checked";
        return "";
    }
    OutputTarget target = ExamineOutputPath(svg, "picture");
    if (target.kind == OutputKind::kRefused)
        return Format("picture %s %s%s", svg, target.reason.c_str(),
                      IsProc(target) ? "; write '-' for standard output" : "");
    if (SameFile(svg, image)) return Format("picture %s is the image being checked: give it a file of its own", svg);
    return "";
}

std::string RefuseOutputs(const Outputs& outputs, const char* image, bool json) {
    if (outputs.fillGiven != nullptr && outputs.againstPar == nullptr)
        return "--fill gives the fill of the bind that --against compares with: give --against FILE.PAR too";
    if (outputs.extractDir != nullptr && IsStandardOutput(outputs.extractDir))
        return "--extract writes files into a folder, not onto standard output (write ./- for a folder named -)";
    std::string error;
    if (outputs.extractDir != nullptr && !CheckExtractFolder(outputs.extractDir, &error)) return error;
    if (outputs.svgFile != nullptr)
        error = RefusePicturePath(outputs.svgFile, image, json, outputs.stdoutArrivedClosed);
    if (!error.empty()) return error;
    const char* stdoutTaken = json ? "--json" : PictureOnStdout(outputs) ? "--svg -" : nullptr;
    return RefuseFlashPaths(outputs.flash, image, outputs.svgFile, stdoutTaken, outputs.stdoutArrivedClosed);
}

// Writes the picture and the parts that the options ask for, and their
// JSON members into `members`; false after a message when one cannot be
// written.
// Flash files only of an image that verifies and, with --against, is what
// its PAR file binds: a flash programmer must never get a wrong image.
bool WriteFlash(const Inspection& inspection, ImageFile* image, const Outputs& outputs, bool matchesPar,
                FlashResult* flash, JsonObject* members) {
    if (!FlashWanted(outputs.flash)) return true;
    if (!matchesPar) {
        PrintError(FlashNotWrittenText(outputs.flash, Format("the image is not what %s binds", outputs.againstPar)));
        return true;
    }
    std::string error;
    if (!WriteFlashFiles(inspection, image, outputs.flash, flash, &error)) {
        PrintError(error);
        return false;
    }
    if (!flash->written) PrintError(FlashNotWrittenText(outputs.flash, "the image does not verify"));
    if (flash->written) JsonMember(members, "flash", FlashJson(*flash));
    return true;
}

bool WriteOutputs(const Inspection& inspection, ImageFile* image, const Outputs& outputs, bool matchesPar,
                  Extraction* extraction, FlashResult* flash, JsonObject* members) {
    std::string error;
    if (!WriteFlash(inspection, image, outputs, matchesPar, flash, members)) return false;
    if (outputs.svgFile != nullptr) {
        if (!WriteSvgMap(inspection, outputs.svgFile, &error)) {
            PrintError(error);
            return false;
        }
        JsonName(members, "svg", outputs.svgFile);
    }
    if (outputs.extractDir != nullptr) {
        if (!ExtractImage(inspection, image, outputs.extractDir, extraction, &error)) {
            PrintError(error);
            return false;
        }
        JsonMember(members, "extraction", ExtractionJson(*extraction));
    }
    return true;
}

// With the picture on standard output the report is left out; what fails
// still reaches standard error.
void PrintFailuresOnly(const Inspection& inspection, const Extraction& extraction) {
    for (const std::string& problem : extraction.problems)
        std::fprintf(stderr, "Not reproduced: %s\n", Escaped(problem).c_str());
    if (inspection.failures.empty()) return;
    for (const std::string& failure : inspection.failures) std::fprintf(stderr, "%s\n", Escaped(failure).c_str());
    std::fprintf(stderr, "%s\n", SummaryLine(inspection).c_str());
}

// --against: the bind is planned before the image is read, and the
// comparison rides on the inspection's pass.
bool PrepareAgainst(const Outputs& outputs, Against* against, std::vector<ChunkWatch>* watches) {
    if (outputs.againstPar == nullptr) return true;
    if (!PlanAgainst(outputs.againstPar, outputs.fill, against)) return false;
    watches->push_back(AgainstWatch(against));
    return true;
}

// Its lines close the text report (on standard error when the picture takes
// standard output); they are failures, so --quiet keeps them.
void PrintReport(const Inspection& inspection, const Outputs& outputs, const ReportOptions& options,
                 const Extraction& extraction, const FlashResult& flash, const JsonObject& members,
                 const Against& against) {
    if (options.json) return PrintJsonReport(inspection, options, members);
    if (outputs.againstPar != nullptr && FileOnStdout(outputs)) PrintAgainstText(against, stderr);
    if (FileOnStdout(outputs)) return PrintFailuresOnly(inspection, extraction);
    PrintTextReport(inspection, options);
    if (outputs.extractDir != nullptr) PrintExtractionText(extraction, options);
    if (outputs.svgFile != nullptr && !options.quiet)
        std::printf("Layout picture: %s\n", Escaped(outputs.svgFile).c_str());
    if (flash.written && !options.quiet) PrintFlashText(flash);
    if (outputs.againstPar != nullptr) PrintAgainstText(against, stdout);
}

// What an inspection of one image does besides its report.
bool WritesFiles(const Outputs& outputs) {
    return outputs.checksums || outputs.againstPar != nullptr || outputs.fillGiven != nullptr ||
           outputs.extractDir != nullptr || outputs.svgFile != nullptr || FlashWanted(outputs.flash) ||
           outputs.flash.baseGiven;
}

// --diff OLD NEW: the comparison alone; it writes no parts, picture or flash files.
int RunDiff(int operands, char** paths, const ReportOptions& options, const Outputs& outputs) {
    if (WritesFiles(outputs)) {
        PrintError(
            "--diff compares two images as they are: leave out --checksums, --against, --fill, --extract, --svg, "
            "--ihex, "
            "--motorola and --base");
        return kExitUsage;
    }
    if (operands != 2) {
        PrintError("--diff needs two image files, the old one and the new one");
        return kExitUsage;
    }
    ImageDiff diff;
    std::string error;
    if (!DiffImages(paths[0], paths[1], &diff, &error)) {
        PrintError(error);
        return kExitUsage;
    }
    if (options.json)
        PrintDiffJson(diff, options.quiet);
    else
        PrintDiffText(diff, options.quiet);
    return diff.identical ? kExitOk : kExitFailed;
}

// The one pass over the image with what rides on it (the comparison with
// the PAR file's bind, the file's SHA-256), then the areas' SHA-256s and the
// end of the comparison; false after the message.
bool InspectImage(const char* path, const Outputs& outputs, const ReportOptions& options, ImageFile* image,
                  Inspection* inspection, Against* against) {
    std::vector<ChunkWatch> watches;
    if (!PrepareAgainst(outputs, against, &watches)) return false;
    Sha256 whole;
    if (outputs.checksums) watches.push_back(WatchWholeFile(&whole));
    std::string error;
    if (!InspectPath(path, image, inspection, &error, watches) ||
        (outputs.checksums && !AddChecksums(image, &whole, !options.quiet, inspection))) {
        PrintError(error.empty() ? image->error : error);
        return false;
    }
    return outputs.againstPar == nullptr || FinishAgainst(against, image->size);
}

int Run(int argc, char** argv, bool stdoutArrivedClosed) {
    ReportOptions options;
    Outputs outputs;
    outputs.stdoutArrivedClosed = stdoutArrivedClosed;
    if (!ScanOptions(argc, argv, &options, &outputs)) return kExitUsage;
    if (outputs.shown) return kExitOk;
    if (outputs.diff) return RunDiff(argc - optind, argv + optind, options, outputs);
    if (argc - optind != 1) {
        PrintError(argc - optind < 1 ? "no image file given" : "give exactly one image file");
        if (!options.json && !FileOnStdout(outputs)) ShowInspectUsage();
        return kExitUsage;
    }
    const char* path = argv[optind];
    std::string error = RefuseOutputs(outputs, path, options.json);
    if (!error.empty()) {
        PrintError(error);
        return kExitUsage;
    }
    Against against;
    ImageFile image;
    Inspection inspection;
    if (!InspectImage(path, outputs, options, &image, &inspection, &against)) return kExitUsage;
    Extraction extraction;
    FlashResult flash;
    JsonObject members;
    if (!WriteOutputs(inspection, &image, outputs, AgainstMatches(against), &extraction, &flash, &members))
        return kExitUsage;
    if (outputs.againstPar != nullptr) JsonMember(&members, "against", AgainstJson(against));
    PrintReport(inspection, outputs, options, extraction, flash, members, against);
    return inspection.failures.empty() && extraction.problems.empty() && AgainstMatches(against) ? kExitOk
                                                                                                 : kExitFailed;
}

}  // namespace

}  // namespace morvik

int main(int argc, char** argv) {
    int closed = 0;
    if (!morvik::OpenClosedStandardStreams("Morvik-inspect", &closed)) return morvik::kExitUsage;
    return morvik::Run(argc, argv, (closed & (1 << STDOUT_FILENO)) != 0);
}
