// An image checked against the PAR file it should have been bound from:
// the binder's own reader and planner work out, quietly and writing
// nothing, what binding that PAR file makes, and the writer's layout
// description says what every byte of it is. The comparison rides on the
// inspection's one pass over the image, reading each input file in step
// as the pass reaches its area, so that the memory stays flat. Each area
// that differs is named by its PAR line and file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "inspect/pass/pass.h"
#include "inspect/report/report.h"
#include "sys/io.h"
#include "sys/json.h"
#include "write/layout.h"

namespace morvik {

// One area that differs, or the size.
struct AgainstDifference {
    std::string text;  // the report line
    std::string kind;  // "image", "rangePad", "fwHeader", "pidBlock", "fwPidRecord", "fill" or "size"
    uint32_t line = 0;
    std::string file;  // "" with line 0: fill and size
    uint64_t start = 0;
    uint64_t end = 0;  // the first byte behind the last one that differs
    uint64_t bytes = 0;
};

// What the pass has seen of one area so far.
struct AreaTally {
    uint64_t count = 0;  // bytes that differ
    uint64_t first = 0;
    uint64_t last = 0;
    int value = -1;              // the byte every differing one holds, or -1 when they do not agree
    std::vector<uint8_t> found;  // PID block, FW PID record, header: the bytes found
};

// An input file whose bytes the pass needs: one of the images.
struct AgainstInput {
    std::string name;
    uint32_t line = 0;
    uint64_t length = 0;  // as measured when its line was read
    size_t lastArea = 0;  // the last area its data fills
};

struct Against {
    std::string parFile;  // as given: the binder's diagnostics name it so
    uint8_t fill = 0x00;
    BindLayout layout;
    std::vector<AgainstInput> inputs;
    std::vector<AreaTally> tallies;  // one per area

    // The comparison under way.
    size_t next = 0;       // the first area the pass has not gone past
    int32_t reading = -1;  // the input open in `in`, or -1
    UniqueFd in;
    uint64_t inAt = 0;  // bytes of it read so far
    std::vector<uint8_t> buffer;
    std::string changed;       // an input that is not what was planned; the comparison stopped
    uint32_t changedLine = 0;  // its PAR line
    uint64_t fillSeen = 0;     // bytes of fill compared
    uint64_t fillOther = 0;    // ... that hold the other fill byte

    std::vector<AgainstDifference> differences;
    std::string hint;  // the --fill to give, when the whole fill is the other byte
};

// Reads and plans the PAR file as the binder does, with its trace kept off
// standard output and its diagnostics on standard error, and describes the
// output. false when the binder would refuse it, after saying so.
bool PlanAgainst(const char* parFile, uint8_t fill, Against* against);

// The watcher that compares the image's bytes as the pass reads them.
ChunkWatch AgainstWatch(Against* against);

// After the pass over an image of `imageSize` bytes: the differences. false
// (after a message) when an input changed since it was planned.
bool FinishAgainst(Against* against, uint64_t imageSize);

inline bool AgainstMatches(const Against& against) { return against.differences.empty(); }

// The lines of the differences, the hint and the closing line, on `out`.
void PrintAgainstText(const Against& against, FILE* out);

// The "against" member of the JSON report.
std::string AgainstJson(const Against& against);

}  // namespace morvik
