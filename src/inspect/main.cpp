// Morvik-inspect [--json] [--quiet] IMAGE
// Exit status: 0 everything verifies, 1 something does not, 2 usage error,
// unreadable file or a file that changed while it was read.
#include <cstdio>
#include <string>

#include "getopt/getopt.h"
#include "inspect/inspect.h"
#include "morvik_version.h"

namespace morvik {

namespace {

const LongOption inspect_longopts[] = {
    {"json", no_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void ShowInspectUsage() {
    std::printf("Usage : Morvik-inspect [--json] [--quiet] IMAGE\n");
    std::printf("Verify a bound image and print its layout map.\n");
    std::printf("\n");
    std::printf("\t-j, --json\t\tprint the findings as one JSON document\n");
    std::printf("\t-q, --quiet\t\tprint only failures and the summary\n");
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
int ScanOptions(int argc, char** argv, ReportOptions* options) {
    for (;;) {
        int option = my_getopt(argc, argv, "jqhV", inspect_longopts);
        switch (option) {
            case -1: return kScanGoesOn;
            case 'j': options->json = true; break;
            case 'q': options->quiet = true; break;
            case 'h': ShowInspectUsage(); return kInspectOk;
            case 'V': ShowInspectVersion(); return kInspectOk;
            default:
                std::printf("Please type 'Morvik-inspect -h' for help!\n");
                return kInspectUsage;
        }
    }
}

int Run(int argc, char** argv) {
    ReportOptions options;
    int scanned = ScanOptions(argc, argv, &options);
    if (scanned != kScanGoesOn) return scanned;
    if (argc - optind != 1) {
        std::printf(argc - optind < 1 ? "Error : no image file given\n" : "Error : give exactly one image file\n");
        ShowInspectUsage();
        return kInspectUsage;
    }
    Inspection inspection;
    std::string error;
    if (InspectPath(argv[optind], InspectOptions{}, &inspection, &error) != kInspectOk) {
        std::printf("Error : %s\n", error.c_str());
        return kInspectUsage;
    }
    if (options.json)
        PrintJsonReport(inspection, options);
    else
        PrintTextReport(inspection, options);
    return inspection.failures.empty() ? kInspectOk : kInspectFailed;
}

}  // namespace

}  // namespace morvik

int main(int argc, char** argv) { return morvik::Run(argc, argv); }
