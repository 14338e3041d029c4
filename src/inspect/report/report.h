// The reports of an inspection: the readable text, the JSON document and
// the SVG picture of the layout map. They see the findings only.
#pragma once

#include <cstdint>
#include <string>

#include "inspect/judge/findings.h"
#include "sys/json.h"

namespace morvik {

// The "schemaVersion" of the JSON document (docs/morvik-inspect.schema.json):
// raised whenever a member changes its meaning or goes away.
constexpr uint64_t kInspectJsonSchemaVersion = 1;

struct ReportOptions {
    bool json = false;
    bool quiet = false;
};

void PrintTextReport(const Inspection& inspection, const ReportOptions& options);

// The findings as one JSON document; `more` (the picture's path, the
// extraction) goes in front of "failures".
void PrintJsonReport(const Inspection& inspection, const ReportOptions& options, const JsonObject& more);

// "-" as an output file: standard output.
inline bool IsStandardOutput(const char* path) { return path[0] == '-' && path[1] == '\0'; }

// Draws the layout map as an SVG picture into a new file at `path` (an
// existing file is replaced, never written through), or onto standard
// output for "-"; false with `error`.
bool WriteSvgMap(const Inspection& inspection, const char* path, std::string* error);

}  // namespace morvik
