// The extraction in the reports: the files with their offsets and PAR
// lines, and whether the recipe rebuilds the image byte for byte. The folder
// and the PAR lines (their versions are image bytes) are shown escaped.
#include <cstdio>
#include <vector>

#include "inspect/extract/extract.h"
#include "inspect/pass/text.h"
#include "sys/json.h"
#include "sys/diagnostics.h"

namespace morvik {

namespace {

std::string RoundTripLine(const Extraction& x) {
    if (x.problems.empty()) return "Round trip: bind.sh rebuilds the image byte for byte";
    return Format("Round trip: NOT EXACT, %zu %s: bind.sh does not rebuild the image byte for byte", x.problems.size(),
                  x.problems.size() == 1 ? "reason" : "reasons");
}

std::string PartJson(const ExtractedPart& p) {
    JsonObject m;
    JsonMember(&m, "name", JsonText(p.file));
    JsonMember(&m, "kind", JsonText(p.group >= 0 ? (p.kernel ? "kernel" : "group image") : "data"));
    JsonMember(&m, "start", JsonNumber(p.dataStart));
    JsonMember(&m, "end", JsonNumber(p.dataEnd));
    JsonMember(&m, "size", JsonNumber(p.dataEnd - p.dataStart));
    JsonMember(&m, "parOffset", JsonNumber(ParOffset(p)));
    JsonMember(&m, "limit", RangeOf(p) != 0 ? JsonNumber(RangeOf(p)) : JsonNull());
    JsonMember(&m, "pad", RangeOf(p) != 0 && p.pad >= 0 ? JsonNumber(static_cast<uint64_t>(p.pad)) : JsonNull());
    if (p.group >= 0) {
        std::string version(reinterpret_cast<const char*>(p.version), p.versionGiven ? kFwVersionSize : 0);
        JsonMember(&m, "group", JsonNumber(static_cast<uint64_t>(p.group)));
        JsonMember(&m, "header", JsonNumber(p.header));
        JsonMember(&m, "entry", JsonNumber(p.entry));
        JsonMember(&m, "version", JsonText(version));
        JsonMember(&m, "verify", JsonBool(p.verify));
    }
    return JsonValue(m);
}

}  // namespace

void PrintExtractionText(const Extraction& x, const ReportOptions& options) {
    if (!options.quiet) {
        std::printf("\nExtraction into %s\n", Escaped(x.directory).c_str());
        std::printf("  %-26s  %-10s  %-10s  %s\n", "file", "start", "end", "PAR line");
        for (const ExtractedPart& p : x.parts)
            std::printf("  %-26s  0x%08llx  0x%08llx  %s\n", Escaped(p.file).c_str(), static_cast<ull>(p.dataStart),
                        static_cast<ull>(p.dataEnd - 1), Escaped(ParLine(p)).c_str());
        std::string rest;
        for (size_t i = x.parts.size(); i < x.files.size(); ++i) rest += "  " + Escaped(x.files[i]);
        if (!rest.empty()) std::printf("%s\n", rest.c_str());
    }
    if (!x.problems.empty()) {
        std::printf("\nNot reproduced\n");
        for (const std::string& problem : x.problems) std::printf("  %s\n", problem.c_str());
    }
    std::printf("%s%s\n", options.quiet && x.problems.empty() ? "" : "\n", RoundTripLine(x).c_str());
}

std::string ExtractionJson(const Extraction& x) {
    JsonObject m;
    JsonName(&m, "directory", x.directory);
    std::vector<std::string> parts;
    for (const ExtractedPart& p : x.parts) parts.push_back(PartJson(p));
    JsonMember(&m, "parts", JsonArray(parts));
    JsonMember(&m, "files", JsonTexts(x.files));
    JsonMember(&m, "fill", JsonNumber(x.fill));
    JsonMember(&m, "sizeKiB", JsonNumber(x.sizeKiB));
    JsonMember(&m, "bootPidLocation", x.hasPid ? JsonNumber(x.pidEnd) : JsonNull());
    JsonMember(&m, "fwPidLocation", x.fwLocation != 0 ? JsonNumber(x.fwLocation) : JsonNull());
    JsonMember(&m, "byteIdentical", JsonBool(x.problems.empty()));
    JsonMember(&m, "problems", JsonTexts(x.problems));
    return JsonValue(m);
}

}  // namespace morvik
