// The extraction in the reports: the files with their offsets and PAR
// lines, and whether the recipe rebuilds the image byte for byte. The folder
// and the PAR lines (their versions are image bytes) are shown escaped.
#include <cstdio>

#include "inspect/extract.h"
#include "sys/diagnostics.h"

namespace morvik {

namespace {

using ull = unsigned long long;

std::string RoundTripLine(const Extraction& x) {
    if (x.problems.empty()) return "Round trip: bind.sh rebuilds the image byte for byte";
    return Format("Round trip: NOT EXACT, %zu %s: bind.sh does not rebuild the image byte for byte",
                  x.problems.size(), x.problems.size() == 1 ? "reason" : "reasons");
}

std::string Num(uint64_t value) { return Format("%llu", static_cast<ull>(value)); }

std::string PartJson(const ExtractedPart& p) {
    std::string m = "\"name\": " + JsonString(p.file) + ", \"kind\": " +
                    JsonString(p.group >= 0 ? (p.kernel ? "kernel" : "group image") : "data");
    m += ", \"start\": " + Num(p.dataStart) + ", \"end\": " + Num(p.dataEnd) + ", \"size\": " +
         Num(p.dataEnd - p.dataStart) + ", \"parOffset\": " + Num(ParOffset(p));
    m += ", \"limit\": " + (p.rangeEnd > p.dataEnd ? Num(p.rangeEnd - p.dataStart) : "null");
    m += ", \"pad\": " + (p.rangeEnd > p.dataEnd && p.pad >= 0 ? Num(static_cast<uint64_t>(p.pad)) : "null");
    if (p.group >= 0) {
        std::string version(reinterpret_cast<const char*>(p.version), p.versionGiven ? kFwVersionSize : 0);
        m += ", \"group\": " + Num(static_cast<uint64_t>(p.group)) + ", \"header\": " + Num(p.header) +
             ", \"entry\": " + Num(p.entry) + ", \"version\": " + JsonString(version) +
             ", \"verify\": " + (p.verify ? "true" : "false");
    }
    return "{" + m + "}";
}

std::string StringArray(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& t : texts) out += (out.empty() ? "" : ", ") + JsonString(t);
    return "[" + out + "]";
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
    std::string files;
    for (const ExtractedPart& p : x.parts) files += (files.empty() ? "" : ", ") + PartJson(p);
    std::string m = JsonNameMembers("directory", x.directory) + ", \"parts\": [" + files + "]";
    m += ", \"files\": " + StringArray(x.files) + ", \"fill\": " + Num(x.fill) + ", \"sizeKiB\": " + Num(x.sizeKiB);
    m += ", \"bootPidLocation\": " + (x.hasPid ? Num(x.pidEnd) : "null");
    m += ", \"fwPidLocation\": " + (x.fwLocation != 0 ? Num(x.fwLocation) : "null");
    m += std::string(", \"byteIdentical\": ") + (x.problems.empty() ? "true" : "false");
    m += ", \"problems\": " + StringArray(x.problems);
    return "\"extraction\": {" + m + "}";
}

}  // namespace morvik
