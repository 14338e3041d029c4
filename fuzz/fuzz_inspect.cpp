// The inspector on any bytes, in-process: the input is written to a file in
// the scratch folder and inspected as Morvik-inspect does, then both
// reports are printed (to the silenced standard output).
//
// Besides crashes, hangs and sanitizer findings, the target checks after
// every input that
//   - a regular file that nothing changes is always inspected (no error);
//   - the map covers the file: each region lies inside it, has bytes, and
//     starts where the one before ended, unless it is marked as overlapping
//     (then it starts inside what came before); together they reach the end;
//   - every entry and record said to be inside the file is;
//   - the summary agrees with the failure list: "OK" exactly when there is
//     no failure, else the number of failures;
//   - "OK" only for a bound image: a sealed header or a PID block.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "inspect/judge/inspection.h"
#include "inspect/pass/text.h"
#include "inspect/report/report.h"

namespace {

using morvik_fuzz::Fail;

void WriteImage(const uint8_t* data, size_t size) {
    int fd = ::open("image.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("cannot write the image file");
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) Fail("cannot write the image file");
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

void CheckMap(const morvik::Inspection& in) {
    uint64_t covered = 0;
    for (const morvik::Region& r : in.regions) {
        if (r.length == 0) Fail("a region of no bytes");
        if (r.start > in.size || r.length > in.size - r.start) Fail("a region outside the file");
        if (r.overlaps ? r.start >= covered : r.start != covered) Fail("a gap or an unmarked overlap in the map");
        covered = std::max(covered, r.start + r.length);
    }
    if (covered != in.size) Fail("the map does not reach the end of the file");
}

void CheckInsideFile(const morvik::Inspection& in) {
    for (const morvik::HeaderCheck& h : in.headers) {
        if (h.at + h.available > in.size) Fail("a header past the end of the file");
        for (const morvik::EntryCheck& e : h.entries)
            if (e.inFile && uint64_t{e.offset} + e.length > in.size) Fail("an entry said to be inside the file is not");
        if (h.record.inFile && h.record.at + morvik::kFwPidRecordSize > in.size) Fail("a record past the end");
    }
    for (const morvik::PidBlockFind& b : in.pidBlocks)
        if (b.at >= in.size) Fail("a PID block past the end of the file");
}

void CheckSummary(const morvik::Inspection& in) {
    std::string summary = morvik::SummaryLine(in);
    bool saysOk = summary.rfind("Summary: OK", 0) == 0;
    if (saysOk != in.failures.empty()) Fail("the summary and the failure list disagree");
    if (!saysOk) {
        std::string count = morvik::Format("Summary: FAILED, %zu failure", in.failures.size());
        if (summary.rfind(count, 0) != 0) Fail("the summary miscounts the failures");
    }
    if (saysOk && (in.size == 0 || !morvik::IsBound(in))) Fail("OK for a file that is not a bound image");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvik_fuzz::SilenceStdout();
    morvik_fuzz::PrepareQuietStderr();
    morvik_fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteImage(data, size);
    morvik::ImageFile file;
    morvik::Inspection in;
    std::string error;
    if (!morvik::InspectPath("image.bin", &file, &in, &error))
        Fail(("a file that does not change was not inspected: " + error).c_str());
    if (in.size != size) Fail("the inspection saw another size");
    CheckMap(in);
    CheckInsideFile(in);
    CheckSummary(in);
    morvik::ReportOptions options;
    morvik::PrintTextReport(in, options);
    options.json = true;
    morvik::PrintJsonReport(in, options, morvik::JsonObject{});
    return 0;
}
