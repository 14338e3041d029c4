// The bind run: scan the command line, read the PAR file, plan the layout,
// then write the output (a temporary file beside it: fill, the images, the
// PID data, the firmware headers) and rename it over the output path.
#include "bind/run.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bind/texts.h"
#include "getopt/getopt.h"
#include "model/context.h"
#include "par/par_reader.h"
#include "plan/planner.h"
#include "sys/diagnostics.h"
#include "sys/io.h"
#include "sys/temp_file.h"
#include "write/bind_map.h"
#include "write/depfile.h"
#include "write/output_file.h"
#include "write/writer.h"

namespace morvik {

// Set by -d. Nothing reads it: the flag is accepted and announced so that
// build scripts that pass it keep working.
int debug_open = 0;

namespace {

// The options of the usage text, then the long-only ones added since. The
// new names share no prefix with the old ones, so every abbreviation of an
// old option keeps its meaning.
constexpr int kQuiet = 'Q';     // --quiet: no trace on standard output
constexpr int kStrict = 'S';    // --strict: every warning is an error
constexpr int kMakeDeps = 'D';  // --makedeps FILE: the dependency file, after a good bind
constexpr int kMap = 'M';       // --map FILE: the map, after a good bind
const LongOption bind_longopts[] = {
    {"pad", required_argument, nullptr, 'p'},  {"debug", no_argument, nullptr, 'd'},
    {"version", no_argument, nullptr, 'v'},    {"help", no_argument, nullptr, 'h'},
    {"parfmt", no_argument, nullptr, 'f'},     {"quiet", no_argument, nullptr, kQuiet},
    {"strict", no_argument, nullptr, kStrict}, {"makedeps", required_argument, nullptr, kMakeDeps},
    {"map", required_argument, nullptr, kMap}, {nullptr, 0, nullptr, 0},
};
constexpr const char* kBindOptions = "i:o:p:dhvf";

struct BindRun {
    ParInfo info;
    char parPath[kPathBufferSize];
    char outPath[kPathBufferSize];
    // The 70-byte PID block is built in a zeroed buffer of 77 bytes: a PID
    // text shorter than 112 digits puts the closing magic early, and the
    // bytes behind it must read as zeros.
    PidBlock pidBlock;
    // The image being written: a temporary file until it is complete.
    OutputFile out;
    // The one buffer every read, copy and fill of the bind goes through.
    IoBuffer buffer;
    // The planner put the group images into `out` as it read them.
    bool groupImagesPlaced;
    // The files beside the image that the options ask for.
    char mapPath[kPathBufferSize];
    char depPath[kPathBufferSize];
    SideFile map;
    SideFile deps;
};

// Morvik: error: TEXT -- what concerns the run itself (an option's value),
// on standard error.
__attribute__((format(printf, 1, 2))) void BindError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPathError("Morvik", format, args);
    va_end(args);
}

// Morvik: warning: TEXT, or under --strict Morvik: error: TEXT.
__attribute__((format(printf, 2, 3))) void BindWarning(bool strict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPathWarningOrError(strict, "Morvik", format, args);
    va_end(args);
}

// Copies a path option into its buffer; false (after a message) when it
// does not fit.
bool TakePath(char* buffer, const char* path, const char* what) {
    if (std::strlen(path) > kMaxPathLength) {
        std::printf("Error : %s path is longer than %zu characters!\n", what, kMaxPathLength);
        BindError("%s path has %zu characters: at most %zu fit", what, std::strlen(path), kMaxPathLength);
        return false;
    }
    std::strcpy(buffer, path);
    return true;
}

bool TakePad(BindRun& run, const char* value) {
    uint8_t fill = 0;
    if (ParseFillValue(value, &fill)) {
        run.info.finalPad = fill == 0xFF ? 1 : 0;
        if (fill == 0xFF)
            std::printf("Use 0xff as Final Image default Pad.\n");
        else
            std::printf("Use 0x00 as Final Image Pad.\n");
        return true;
    }
    std::printf("Error : Wrong option value for '-p'\n");
    BindError("'-p' value '%s' is none of 0x00, 0xff and 0xFF", value);
    ShowBindUsage();
    return false;
}

// Acts on one option. false when it ends the run, with the exit status in
// `*status`: 0 for -h, -v and -f, 1 for a bad option or value.
bool ActOnOption(BindRun& run, int option, int* status) {
    *status = 1;
    switch (option) {
        case 'i':
            std::printf("Par File : %s\n", optarg);
            return TakePath(run.parPath, optarg, "PAR file");
        case 'o':
            std::printf("Out File : %s\n", optarg);
            return TakePath(run.outPath, optarg, "Output file");
        case 'p':
            return TakePad(run, optarg);
        case 'd':
            std::printf("Debug : OPEN\n");
            debug_open = 1;
            return true;
        case kQuiet:  // acted on before the scan (WantsQuiet)
            return true;
        case kStrict:
            run.info.strict = 1;
            return true;
        case kMakeDeps:
            run.deps.path = run.depPath;
            run.deps.name = kDepFile;
            return TakePath(run.depPath, optarg, "Dependency file");
        case kMap:
            run.map.path = run.mapPath;
            run.map.name = kMapFile;
            return TakePath(run.mapPath, optarg, "Map file");
        case 'f':
            ShowParFormatUsage();
            break;
        case 'v':
            ShowVersion();
            break;
        case 'h':
            ShowBindUsage();
            break;
        default:
            std::printf("Please type 'Morvik -h' for help!\n");
            return false;
    }
    *status = 0;
    return false;
}

// Words that are not options are not read: the PAR file is given with -i,
// whatever `Morvik board.PAR` may look like. A warning, an error under
// --strict.
bool WarnAboutWords(BindRun& run, int argc, char** argv, int* status) {
    const bool strict = run.info.strict != 0;
    for (int i = optind; i < argc; ++i) {
        BindWarning(strict, "'%s' is not read: the PAR file is given with -i, the output with -o", argv[i]);
    }
    *status = 1;
    return !strict || optind == argc;
}

// Whether the command line asks for --quiet, found by a scan of a copy of
// it that prints nothing: the trace begins with the options' own lines, so
// quiet must be known before any option acts.
bool WantsQuiet(int argc, char** argv) {
    std::vector<char*> words(argv, argv + argc);
    words.push_back(nullptr);
    optind = 0;
    opterr = 0;
    bool quiet = false;
    for (int option; (option = my_getopt(argc, words.data(), kBindOptions, bind_longopts)) != -1;)
        quiet = quiet || option == kQuiet;
    opterr = 1;
    return quiet;
}

// true when the bind is to run; false with the exit status that ends the
// run in `*status`.
bool ScanOptions(BindRun& run, int argc, char** argv, int* status) {
    optind = 0;  // a full initialization for every run
    for (;;) {
        int option = my_getopt(argc, argv, kBindOptions, bind_longopts);
        if (option == -1) return WarnAboutWords(run, argc, argv, status);
        if (!ActOnOption(run, option, status)) return false;
    }
}

bool ReadParFile(BindRun& run) {
    int result = ParseParInfo(run.parPath, &run.info);
    if (result == kParOpenFailed) ShowBindUsage();
    return result == kParOk;
}

// Each group image is read once: the planner reads it for its CRC-32
// through the writer, which puts it into the output-to-be on the way.
bool PlanLayout(BindRun& run) {
    GroupImageCopy copy{&run.out, &run.buffer};
    bool planned = par_extra_info(&run.info, CopyingImageReader(&copy)) == kPlanOk;
    run.groupImagesPlaced = copy.copied;
    return planned;
}

// The PID block is built from the PID file before the output is created, so
// that a PID file that is short or not hex refuses the bind up front.
bool BuildPidBlock(BindRun& run) {
    if (run.info.pidInfo == nullptr) return true;
    const PidInfo* pid = run.info.pidInfo;
    if (MakePIDFormat(&run.pidBlock, pid->name, &run.info) != 0) {
        std::printf("Error : Binding PID fail!\n");
        return false;
    }
    if (run.info.strictErrors == 0) return true;
    std::printf("Error : a warning stops the bind under --strict!\n");
    return false;
}

// Refusals that can be known before the output is touched.
bool CheckBeforeWriting(BindRun& run) { return CheckPidPlacement(&run.info) && BuildPidBlock(run); }

bool PlaceImages(BindRun& run) {
    for (uint32_t i = 0; i < run.info.imageCount; ++i) {
        if (LocateImage(run.out, &run.info, i, run.buffer, run.groupImagesPlaced) > 0) continue;
        std::printf("Error : Binding file %s fail:\n", run.info.images[i]->name);
        return false;
    }
    return true;
}

bool WritePid(BindRun& run) { return run.info.pidInfo == nullptr || WritePidData(run.out, &run.info, &run.pidBlock); }

bool WriteHeaders(BindRun& run) { return run.info.groupCount == 0 || WriteFwHeaders(run.out, &run.info); }

// Everything the output holds: the fill in the gaps and the images (each
// byte once), then the PID data and the headers over them.
bool FillOutput(BindRun& run) {
    return FillGaps(run.out, &run.info, run.buffer) && PlaceImages(run) && WritePid(run) && WriteHeaders(run);
}

// The paths of the map and the dependency file, before anything is made:
// each by the rule for every file the bind writes, and neither where the
// image or the other one goes.
bool CheckSideFilePaths(const BindRun& run) {
    const PlacedFile image{run.outPath, kImageFile};
    const PlacedFile map{run.map.path, run.map.name};
    const PlacedFile deps{run.deps.path, run.deps.name};
    const PlacedFile others[] = {image, map};
    if (map.path != nullptr && !CheckSideFilePath(map, others, 1, run.parPath, &run.info)) return false;
    return deps.path == nullptr || CheckSideFilePath(deps, others, 2, run.parPath, &run.info);
}

// The dependency file is known once the PAR file is read, and a name it
// cannot hold refuses the bind before anything is made.
bool PrepareDepfile(BindRun& run) {
    if (run.deps.path == nullptr) return true;
    std::string name, why;
    run.deps.text = DepfileText(run.outPath, BindInputs(run.parPath, &run.info), &name, &why);
    if (!run.deps.text.empty()) return true;
    std::printf("Error : %s cannot be written into the dependency file!\n", name.c_str());
    BindError(
        "--makedeps: the name '%s' %s: make or ninja would not read it back as it is from a dependency file; "
        "rename the file, or bind without --makedeps",
        name.c_str(), why.c_str());
    return false;
}

// The map and the dependency file, each complete in a temporary file, then
// in place just before the image: a failure up to then leaves all three
// paths as they were.
bool WriteSideFiles(BindRun& run) {
    if (run.map.path != nullptr) run.map.text = BindMapDocument(&run.info, run.parPath, run.outPath);
    return WriteSideFileAside(&run.map) && WriteSideFileAside(&run.deps) && PutSideFileInPlace(&run.map) &&
           PutSideFileInPlace(&run.deps);
}

bool WriteOutput(BindRun& run) {
    std::fflush(stdout);  // the plan's trace is not lost to a signal while writing
    return CreateOutputFile(&run.out) && FillOutput(run) && CloseOutputFile(&run.out) && WriteSideFiles(run) &&
           PutOutputInPlace(&run.out);
}

// Plans and writes with the ending signals caught, so that an interrupted
// bind leaves no temporary file, and SIGXFSZ ignored, so that a file-size
// limit is a write error with its message. A failure removes the temporary
// file: the output path keeps what it held.
bool PlanAndWrite(BindRun& run) {
    std::fflush(stdout);
    SavedSignals saved = CatchEndingSignals();
    run.out.path = run.outPath;
    bool written = CheckOutputPath(run.outPath, run.parPath, &run.info) && CheckSideFilePaths(run) &&
                   PrepareDepfile(run) && PlanLayout(run) && CheckBeforeWriting(run) && WriteOutput(run);
    if (!written) {
        DiscardOutputFile(&run.out);
        DiscardSideFile(&run.map);
        DiscardSideFile(&run.deps);
    }
    RestoreSignals(saved);
    return written;
}

bool Bind(BindRun& run) {
    if (!ReadParFile(run) || !PlanAndWrite(run)) return false;
    std::printf("DONE!\n");
    return true;
}

}  // namespace

int RunMorvik(int argc, char** argv) {
    BindRun run{};
    init_info(&run.info);
    std::strcpy(run.parPath, "ARMPARA.PAR");
    std::strcpy(run.outPath, "ARMOut.BIN");
    debug_open = 0;
    const int quietStdout = WantsQuiet(argc, argv) ? SilenceStandardOutput() : kNotSilenced;

    int status = 1;
    if (ScanOptions(run, argc, argv, &status)) status = Bind(run) ? 0 : 1;
    FreeMemory(&run.info);
    std::fflush(stdout);
    RestoreStandardOutput(quietStdout);
    return status;
}

}  // namespace morvik
