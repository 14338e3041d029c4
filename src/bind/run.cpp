// The bind run: scan the command line, read the PAR file, plan the layout,
// then create and fill the output, place the images, the PID data and the
// firmware headers, and finish.
#include "bind/run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "bind/context.h"
#include "bind/texts.h"
#include "getopt/getopt.h"
#include "par/par_reader.h"
#include "plan/planner.h"
#include "write/output_file.h"
#include "write/writer.h"

namespace morvik {

int debug_open = 0;

namespace {

constexpr int kContinue = -1;  // option scan: go on to the bind

const LongOption bind_longopts[] = {
    {"pad", required_argument, nullptr, 'p'},
    {"debug", no_argument, nullptr, 'd'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"parfmt", no_argument, nullptr, 'f'},
    {nullptr, 0, nullptr, 0},
};

struct BindRun {
    ParInfo info;
    char parPath[kPathBufferSize];
    char outPath[kPathBufferSize];
    PidBlock pidBlock;
};

// Copies a path option into its buffer; false (after a message) when it
// does not fit.
bool TakePath(char* buffer, const char* path, const char* what) {
    if (std::strlen(path) > kMaxPathLength) {
        std::printf("Error : %s path is longer than %zu characters!\n", what, kMaxPathLength);
        return false;
    }
    std::strcpy(buffer, path);
    return true;
}

int TakePad(BindRun& run, const char* value) {
    if (std::strcmp(value, "0x00") == 0) {
        run.info.finalPad = 0;
        std::printf("Use 0x00 as Final Image Pad.\n");
        return kContinue;
    }
    if (std::strcmp(value, "0xff") == 0 || std::strcmp(value, "0xFF") == 0) {
        run.info.finalPad = 1;
        std::printf("Use 0xff as Final Image default Pad.\n");
        return kContinue;
    }
    std::printf("Error : Wrong option value for '-p'\n");
    ShowBindUsage();
    return 1;
}

// Acts on one scanned option: kContinue, or the exit status that ends the run.
int ActOnOption(BindRun& run, int option) {
    switch (option) {
        case 'i':
            std::printf("Par File : %s\n", optarg);
            return TakePath(run.parPath, optarg, "PAR file") ? kContinue : 1;
        case 'o':
            std::printf("Out File : %s\n", optarg);
            return TakePath(run.outPath, optarg, "Output file") ? kContinue : 1;
        case 'p':
            return TakePad(run, optarg);
        case 'd':
            std::printf("Debug : OPEN\n");
            debug_open = 1;
            return kContinue;
        case 'f':
            ShowParFormatUsage();
            return 0;
        case 'v':
            ShowVersion();
            return 0;
        case 'h':
            ShowBindUsage();
            return 0;
        default:
            std::printf("Please type 'Morvik -h' for help!\n");
            return 1;
    }
}

int ScanOptions(BindRun& run, int argc, char** argv) {
    optind = 0;  // a full initialization for every run
    for (;;) {
        int option = my_getopt(argc, argv, "i:o:p:dhvf", bind_longopts);
        if (option == -1) return kContinue;
        int status = ActOnOption(run, option);
        if (status != kContinue) return status;
    }
}

int ReadParFile(BindRun& run) {
    int result = ParseParInfo(run.parPath, &run.info);
    if (result == kParOpenFailed) ShowBindUsage();
    return result == kParOk ? kContinue : 1;
}

int PlanLayout(BindRun& run) {
    return par_extra_info(&run.info) == 0 ? kContinue : 1;
}

// The PID block and every FW PID record the PID step will write must lie
// inside the output: a write past its end would grow the file with zeros
// instead of the fill byte, up to gigabytes away.
int CheckPidPlacement(const ParInfo& info) {
    const PidInfo* pid = info.pidInfo;
    if (pid == nullptr) return kContinue;
    if (pid->bootLocation < kPidBlockSize - 1) {
        std::printf("Error : PID location 0x%x leaves no room for the %zu-byte PID block in front of it!\n",
                    pid->bootLocation, kPidBlockSize);
        return 1;
    }
    if (pid->bootLocation >= info.targetSize) {
        std::printf("Error : PID block 0x%x to 0x%x lies outside the output (size 0x%x)!\n",
                    pid->bootLocation - static_cast<uint32_t>(kPidBlockSize - 1), pid->bootLocation,
                    info.targetSize);
        return 1;
    }
    int32_t groups = info.groupCount == 0 ? 1 : std::min<int32_t>(info.groupCount, kMaxGroups);
    for (int32_t g = 0; g < groups; ++g) {
        uint64_t end = uint64_t{pid->fwLocation[g]} + kFwPidRecordSize;
        if (pid->fwLocation[g] != 0 && end > info.targetSize) {
            std::printf("Error : FW PID record 0x%x to 0x%llx lies outside the output (size 0x%x)!\n",
                        pid->fwLocation[g], static_cast<unsigned long long>(end - 1), info.targetSize);
            return 1;
        }
    }
    return kContinue;
}

// Refusals that can be known before the output is touched.
int CheckBeforeWriting(BindRun& run) {
    if (int status = CheckPidPlacement(run.info); status != kContinue) return status;
    return CheckOutputPath(run.outPath, run.parPath, &run.info) == 0 ? kContinue : 1;
}

int FailWrite(BindRun& run) {
    ReportWriteFailure(run.outPath);
    return 1;
}

int PlaceImages(BindRun& run, int fd) {
    for (uint32_t i = 0; i < run.info.imageCount; ++i) {
        int32_t copied = LocateImage(fd, run.info.images[i]);
        if (copied == kWriteFailed) return FailWrite(run);
        if (copied == 0) {
            std::printf("Error : Binding file %s fail:\n", run.info.images[i]->name);
            return 1;
        }
    }
    return kContinue;
}

int WriteOutput(BindRun& run) {
    UniqueFd out(CreateOutputFile(run.outPath));
    if (out.fd < 0) return 1;
    if (!PreFillOutput(out.fd, run.info.targetSize, run.info.finalPad)) return FailWrite(run);
    if (int status = PlaceImages(run, out.fd); status != kContinue) return status;
    if (run.info.pidInfo != nullptr) {
        int result = WritePidData(out.fd, &run.info, &run.pidBlock);
        if (result == kWriteFailed) return FailWrite(run);
        if (result != 0) return 1;
    }
    if (run.info.groupCount > 0 && WriteFwHeaders(out.fd, &run.info) != 0) return FailWrite(run);
    if (!out.Close()) return FailWrite(run);
    ::chmod(run.outPath, 0664);
    return kContinue;
}

int Bind(BindRun& run) {
    if (int status = ReadParFile(run); status != kContinue) return status;
    if (int status = PlanLayout(run); status != kContinue) return status;
    if (int status = CheckBeforeWriting(run); status != kContinue) return status;
    if (int status = WriteOutput(run); status != kContinue) return status;
    std::printf("DONE!\n");
    return 0;
}

}  // namespace

int RunMorvik(int argc, char** argv) {
    BindRun run{};
    init_info(&run.info);
    std::strcpy(run.parPath, "ARMPARA.PAR");
    std::strcpy(run.outPath, "ARMOut.BIN");
    debug_open = 0;

    int status = ScanOptions(run, argc, argv);
    if (status == kContinue) status = Bind(run);
    FreeMemory(&run.info);
    std::fflush(stdout);
    return status;
}

}  // namespace morvik
