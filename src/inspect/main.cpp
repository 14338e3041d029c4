// Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] [--checksums] IMAGE
// Exit status: 0 everything verifies, 1 something does not (or the parts
// cannot rebuild the image exactly), 2 usage error, unreadable file, a file
// that changed while it was read, or parts or picture that cannot be written.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "getopt/getopt.h"
#include "inspect/extract/extract.h"
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

// Options with no short form.
constexpr int32_t kOptChecksums = 256;

const LongOption inspect_longopts[] = {
    {"json", no_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"extract", required_argument, nullptr, 'x'},
    {"svg", required_argument, nullptr, 's'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"checksums", no_argument, nullptr, kOptChecksums},
    {nullptr, 0, nullptr, 0},
};

void ShowInspectUsage() {
    std::printf("Usage : Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] [--checksums] IMAGE\n");
    std::printf("Verify a bound image and print its layout map.\n");
    std::printf("\n");
    std::printf("\t-j, --json\t\tprint the findings as one JSON document\n");
    std::printf("\t-q, --quiet\t\tprint only failures and the summary\n");
    std::printf("\t-x, --extract DIR\twrite the parts, recovered.PAR and bind.sh into DIR (new or empty)\n");
    std::printf("\t-s, --svg FILE\t\tdraw the layout map as an SVG picture into FILE (- for standard output)\n");
    std::printf("\t    --checksums\t\tadd the SHA-256 of the file and of each area of the map\n");
    std::printf("\t-h, --help\t\tdisplay this help and exit\n");
    std::printf("\t-V, --version\t\tprint the version and exit\n");
    std::printf("\n");
    std::printf("Exit status: 0 everything verifies, 1 something does not, 2 usage error or unreadable file.\n");
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
    bool stdoutArrivedClosed = false;  // what "-" would write goes nowhere
    bool checksums = false;            // the SHA-256 of the file and of its areas
    bool shown = false;                // --help or --version was printed: nothing else runs
};

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
            default:
                std::fprintf(stderr, "Please type 'Morvik-inspect -h' for help!\n");
                return false;
        }
    }
}

// Standard output carries the picture for "--svg -".
bool PictureOnStdout(const Outputs& outputs) { return outputs.svgFile != nullptr && IsStandardOutput(outputs.svgFile); }

// Every error goes to standard error, so that standard output holds only
// the report (the JSON document, the picture) or nothing.
void PrintError(const std::string& error) { std::fprintf(stderr, "Error : %s\n", Escaped(error).c_str()); }

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
    if (outputs.extractDir != nullptr && IsStandardOutput(outputs.extractDir))
        return "--extract writes files into a folder, not onto standard output (write ./- for a folder named -)";
    std::string error;
    if (outputs.extractDir != nullptr && !CheckExtractFolder(outputs.extractDir, &error)) return error;
    if (outputs.svgFile != nullptr) return RefusePicturePath(outputs.svgFile, image, json, outputs.stdoutArrivedClosed);
    return "";
}

// Writes the picture and the parts that the options ask for, and their
// JSON members into `members`; false after a message when one cannot be
// written.
bool WriteOutputs(const Inspection& inspection, ImageFile* image, const Outputs& outputs, Extraction* extraction,
                  JsonObject* members) {
    std::string error;
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

void PrintReport(const Inspection& inspection, const Outputs& outputs, const ReportOptions& options,
                 const Extraction& extraction, const JsonObject& members) {
    if (options.json) return PrintJsonReport(inspection, options, members);
    if (PictureOnStdout(outputs)) return PrintFailuresOnly(inspection, extraction);
    PrintTextReport(inspection, options);
    if (outputs.extractDir != nullptr) PrintExtractionText(extraction, options);
    if (outputs.svgFile != nullptr && !options.quiet)
        std::printf("Layout picture: %s\n", Escaped(outputs.svgFile).c_str());
}

int Run(int argc, char** argv, bool stdoutArrivedClosed) {
    ReportOptions options;
    Outputs outputs;
    outputs.stdoutArrivedClosed = stdoutArrivedClosed;
    if (!ScanOptions(argc, argv, &options, &outputs)) return kExitUsage;
    if (outputs.shown) return kExitOk;
    if (argc - optind != 1) {
        PrintError(argc - optind < 1 ? "no image file given" : "give exactly one image file");
        if (!options.json && !PictureOnStdout(outputs)) ShowInspectUsage();
        return kExitUsage;
    }
    const char* path = argv[optind];
    std::string error = RefuseOutputs(outputs, path, options.json);
    if (!error.empty()) {
        PrintError(error);
        return kExitUsage;
    }
    ImageFile image;
    Inspection inspection;
    Sha256 whole;
    std::vector<ChunkWatch> watches;
    if (outputs.checksums) watches.push_back(WatchWholeFile(&whole));
    if (!InspectPath(path, &image, &inspection, &error, watches) ||
        (outputs.checksums && !AddChecksums(&image, &whole, !options.quiet, &inspection))) {
        PrintError(error.empty() ? image.error : error);
        return kExitUsage;
    }
    Extraction extraction;
    JsonObject members;
    if (!WriteOutputs(inspection, &image, outputs, &extraction, &members)) return kExitUsage;
    PrintReport(inspection, outputs, options, extraction, members);
    return inspection.failures.empty() && extraction.problems.empty() ? kExitOk : kExitFailed;
}

}  // namespace

}  // namespace morvik

int main(int argc, char** argv) {
    int closed = 0;
    if (!morvik::OpenClosedStandardStreams("Morvik-inspect", &closed)) return morvik::kExitUsage;
    return morvik::Run(argc, argv, (closed & (1 << STDOUT_FILENO)) != 0);
}
