// Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] IMAGE
// Exit status: 0 everything verifies, 1 something does not (or the parts
// cannot rebuild the image exactly), 2 usage error, unreadable file, a file
// that changed while it was read, or parts or picture that cannot be written.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "getopt/getopt.h"
#include "inspect/extract.h"
#include "inspect/inspect.h"
#include "morvik_version.h"
#include "sys/output_path.h"

namespace morvik {

namespace {

const LongOption inspect_longopts[] = {
    {"json", no_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"extract", required_argument, nullptr, 'x'},
    {"svg", required_argument, nullptr, 's'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void ShowInspectUsage() {
    std::printf("Usage : Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] IMAGE\n");
    std::printf("Verify a bound image and print its layout map.\n");
    std::printf("\n");
    std::printf("\t-j, --json\t\tprint the findings as one JSON document\n");
    std::printf("\t-q, --quiet\t\tprint only failures and the summary\n");
    std::printf("\t-x, --extract DIR\twrite the parts, recovered.PAR and bind.sh into DIR (new or empty)\n");
    std::printf("\t-s, --svg FILE\t\tdraw the layout map as an SVG picture into FILE (- for standard output)\n");
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

constexpr int kScanGoesOn = -1;

// Reads the options; kScanGoesOn when the inspection is to run, otherwise
// the exit status.
struct Outputs {
    const char* extractDir = nullptr;
    const char* svgFile = nullptr;
    bool stdoutArrivedClosed = false;  // what "-" would write goes nowhere
};

int ScanOptions(int argc, char** argv, ReportOptions* options, Outputs* outputs) {
    for (;;) {
        int option = my_getopt(argc, argv, "jqx:s:hV", inspect_longopts);
        switch (option) {
            case -1: return kScanGoesOn;
            case 'j': options->json = true; break;
            case 'q': options->quiet = true; break;
            case 'x': outputs->extractDir = optarg; break;
            case 's': outputs->svgFile = optarg; break;
            case 'h': ShowInspectUsage(); return kInspectOk;
            case 'V': ShowInspectVersion(); return kInspectOk;
            default:
                std::printf("Please type 'Morvik-inspect -h' for help!\n");
                return kInspectUsage;
        }
    }
}

// Where the tool's own errors go: standard output, unless it carries the
// picture.
FILE* ErrorStream(const Outputs& outputs) {
    return outputs.svgFile != nullptr && IsStandardOutput(outputs.svgFile) ? stderr : stdout;
}

int UsageError(const Outputs& outputs, const std::string& error) {
    std::fprintf(ErrorStream(outputs), "Error : %s\n", Escaped(error).c_str());
    return kInspectUsage;
}

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

// Writes the parts and the picture that the options ask for; the exit
// status they call for (kInspectOk when all is well).
int WriteOutputs(const Inspection& inspection, const char* path, const Outputs& outputs, ReportOptions* options,
                 Extraction* extraction) {
    int status = kInspectOk;
    std::string error;
    if (outputs.svgFile != nullptr) {
        if (!WriteSvgMap(inspection, outputs.svgFile, &error)) return UsageError(outputs, error);
        options->extraMembers = JsonNameMembers("svg", outputs.svgFile);
    }
    if (outputs.extractDir != nullptr) {
        status = ExtractImage(inspection, path, outputs.extractDir, extraction, &error);
        if (status == kInspectUsage) return UsageError(outputs, error);
        options->extraMembers += (options->extraMembers.empty() ? "" : ", ") + ExtractionJson(*extraction);
    }
    return status;
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

void PrintReport(const Inspection& inspection, const Outputs& outputs, ReportOptions& options,
                 const Extraction& extraction) {
    if (options.json) return PrintJsonReport(inspection, options);
    if (ErrorStream(outputs) == stderr) return PrintFailuresOnly(inspection, extraction);
    PrintTextReport(inspection, options);
    if (outputs.extractDir != nullptr) PrintExtractionText(extraction, options);
    if (outputs.svgFile != nullptr && !options.quiet)
        std::printf("Layout picture: %s\n", Escaped(outputs.svgFile).c_str());
}

int Run(int argc, char** argv, bool stdoutArrivedClosed) {
    ReportOptions options;
    Outputs outputs;
    outputs.stdoutArrivedClosed = stdoutArrivedClosed;
    int scanned = ScanOptions(argc, argv, &options, &outputs);
    if (scanned != kScanGoesOn) return scanned;
    if (argc - optind != 1) {
        std::fprintf(ErrorStream(outputs),
                     argc - optind < 1 ? "Error : no image file given\n" : "Error : give exactly one image file\n");
        if (ErrorStream(outputs) == stdout) ShowInspectUsage();
        return kInspectUsage;
    }
    const char* image = argv[optind];
    std::string refusal = RefuseOutputs(outputs, image, options.json);
    if (!refusal.empty()) return UsageError(outputs, refusal);
    Inspection inspection;
    std::string error;
    if (InspectPath(image, &inspection, &error) != kInspectOk) return UsageError(outputs, error);
    Extraction extraction;
    int written = WriteOutputs(inspection, image, outputs, &options, &extraction);
    if (written == kInspectUsage) return kInspectUsage;
    PrintReport(inspection, outputs, options, extraction);
    return inspection.failures.empty() && written == kInspectOk ? kInspectOk : kInspectFailed;
}

}  // namespace

}  // namespace morvik

int main(int argc, char** argv) {
    int closed = 0;
    if (!morvik::OpenClosedStandardStreams("Morvik-inspect", &closed)) return morvik::kInspectUsage;
    return morvik::Run(argc, argv, (closed & (1 << STDOUT_FILENO)) != 0);
}
