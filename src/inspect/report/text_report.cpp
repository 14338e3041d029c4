// The readable report: headers with their entries, the PID block, the
// layout map with a proportional position bar, failures and the summary.
// The image path and the version texts are shown escaped; the magic and
// tag bytes, '.' for what is not printable ASCII.
#include <algorithm>
#include <cstdio>
#include <string>

#include "inspect/pass/text.h"
#include "inspect/report/names.h"
#include "inspect/report/report.h"
#include "sys/diagnostics.h"

namespace morvik {

namespace {

constexpr uint64_t kOverviewWidth = 64;  // characters of the one-line overview
constexpr uint64_t kBarWidth = 32;       // characters of each row's position bar

std::string HumanSize(uint64_t bytes) {
    if (bytes < 1024) return Format("%llu B", static_cast<ull>(bytes));
    if (bytes < 1024 * 1024) return Format("%.1f KiB", static_cast<double>(bytes) / 1024.0);
    if (bytes < 1024ull * 1024 * 1024) return Format("%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return Format("%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
}

// Printable text of raw bytes, '.' for anything else.
std::string Printable(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    return text;
}

const char* EntryResult(const EntryCheck& e) {
    if (!e.inFile) return "PAST END OF FILE";
    return e.crcOk ? "ok" : "CRC MISMATCH";
}

void PrintRecordLine(const FwPidCheck& r) {
    if (!r.inFile) {
        std::printf("    FW PID record at 0x%08llx: PAST END OF FILE\n", static_cast<ull>(r.at));
        return;
    }
    bool ok = r.constOk && r.tagOk && r.tailOk && r.wordsChecked && r.wordsOk;
    std::printf("    FW PID record at 0x%08llx: PID words %02x%02x %02x%02x %02x%02x, %02x %02x, \"%s\": %s\n",
                static_cast<ull>(r.at), r.bytes[0], r.bytes[1], r.bytes[2], r.bytes[3], r.bytes[4], r.bytes[5],
                r.bytes[6], r.bytes[7], Printable(r.bytes + kFwPidTagAt, kFwPidTagSize).c_str(),
                ok ? "ok, matches the PID block" : "DOES NOT VERIFY");
}

void PrintHeader(const HeaderCheck& h) {
    std::printf("  header at 0x%08llx: %s\n", static_cast<ull>(h.at), NamesOf(h.state).text);
    if (h.state == HeaderState::Truncated) return;
    std::printf("    magic \"%s\", headerChecksum 0x%08x (computed 0x%08x, fill 0x%02x)\n", Printable(h.raw, 3).c_str(),
                h.stored, h.expected, h.fill);
    std::printf("    imageNumber %u, checksumBitmap 0x%02x, pidOffset 0x%08x\n", h.imageNumber, h.bitmap, h.pidOffset);
    std::printf("    %-5s  %-10s  %-10s  %-7s  %-6s  %-10s  %-10s  %s\n", "entry", "offset", "length", "version",
                "verify", "checksum", "file CRC", "result");
    for (const EntryCheck& e : h.entries) {
        std::string actual = e.inFile ? Format("0x%08x", e.actual) : "-";
        std::printf("    %-5u  0x%08x  0x%08x  %-7s  %-6s  0x%08x  %-10s  %s\n", e.index, e.offset, e.length,
                    Escaped(VersionText(e.version)).c_str(), e.hasFlagBit ? (e.flagged ? "yes" : "no") : "-", e.stored,
                    actual.c_str(), EntryResult(e));
    }
    if (h.record.required)
        PrintRecordLine(h.record);
    else
        std::printf("    no images, no FW PID record\n");
}

void PrintHeaders(const Inspection& in) {
    std::printf("\nFW headers\n");
    if (in.headers.empty()) std::printf(IsBound(in) ? "  none (an image without image groups)\n" : "  none\n");
    for (const HeaderCheck& h : in.headers) PrintHeader(h);
}

void PrintPidBlocks(const Inspection& in) {
    std::printf("\nPID block\n");
    if (in.pidBlocks.empty()) std::printf("  none\n");
    for (const PidBlockFind& b : in.pidBlocks) {
        std::printf("  at 0x%08llx to 0x%08llx, boot PID location 0x%08llx: %s, %u PID bytes\n", static_cast<ull>(b.at),
                    static_cast<ull>(b.at + kPidBlockSize - 1), static_cast<ull>(b.at + kPidBlockSize - 1),
                    NamesOf(b.state).text, b.pidBytes);
        std::string pid;
        for (uint32_t i = 0; i < b.pidBytes && i < kPidBytes; ++i) pid += Format("%02x", b.block[kPidMagicSize + i]);
        std::printf("  PID %s\n", pid.c_str());
    }
    if (in.looseRecords.empty()) return;
    std::printf("\nFW PID records not referenced by a header\n");
    for (const FwPidCheck& r : in.looseRecords) PrintRecordLine(r);
}

// The character cells [first, last] that a region touches on a line of
// `width` cells standing for the whole file.
void CellsOf(const Region& r, uint64_t fileSize, uint64_t width, uint64_t* first, uint64_t* last) {
    uint64_t end = r.start + (r.length == 0 ? 0 : r.length - 1);
    *first = static_cast<uint64_t>(static_cast<long double>(r.start) * width / fileSize);
    *last = static_cast<uint64_t>(static_cast<long double>(end) * width / fileSize);
    if (*first >= width) *first = width - 1;
    if (*last >= width) *last = width - 1;
}

std::string Overview(const Inspection& in) {
    std::string line(kOverviewWidth, ' ');
    int ranks[kOverviewWidth] = {};
    for (const Region& r : in.regions) {
        uint64_t first, last;
        CellsOf(r, in.size, kOverviewWidth, &first, &last);
        const MapKindLook& look = LookOf(MapKindOf(r));
        for (uint64_t i = first; i <= last; ++i)
            if (line[i] == ' ' || look.rank > ranks[i]) {
                line[i] = look.overview;
                ranks[i] = look.rank;
            }
    }
    return line;
}

std::string PositionBar(const Region& r, uint64_t fileSize) {
    std::string bar(kBarWidth, '.');
    uint64_t first, last;
    CellsOf(r, fileSize, kBarWidth, &first, &last);
    for (uint64_t i = first; i <= last; ++i) bar[i] = '#';
    return "|" + bar + "|";
}

void PrintMap(const Inspection& in) {
    if (in.size == 0) return;
    std::printf("\nLayout map (%s per character)\n",
                HumanSize((in.size + kOverviewWidth - 1) / kOverviewWidth).c_str());
    std::printf("  |%s|\n", Overview(in).c_str());
    std::printf(
        "  H header  K kernel image  F other group image  P PID block  R FW PID record\n"
        "  d other data  . fill  : run of the other pad byte  ! damaged header\n\n");
    std::printf("  %-10s  %-10s  %-10s  %-9s  %-38s  %s\n", "start", "end", "size", "", "region",
                "position in the file");
    for (const Region& r : in.regions) {
        std::string label = RegionLabel(r) + (r.overlaps ? " (OVERLAPS)" : "");
        std::printf("  0x%08llx  0x%08llx  0x%08llx  %-9s  %-38s  %s\n", static_cast<ull>(r.start),
                    static_cast<ull>(r.start + r.length - 1), static_cast<ull>(r.length), HumanSize(r.length).c_str(),
                    label.c_str(), PositionBar(r, in.size).c_str());
    }
}

// Beside the map rather than in it, so that its rows stay one screen wide.
void PrintAreaChecksums(const Inspection& in) {
    if (std::none_of(in.regions.begin(), in.regions.end(), [](const Region& r) { return !r.sha256.empty(); })) return;
    std::printf("\nSHA-256 of each area\n");
    std::printf("  %-10s  %-10s  %-64s  %s\n", "start", "end", "sha256", "region");
    for (const Region& r : in.regions)
        std::printf("  0x%08llx  0x%08llx  %-64s  %s\n", static_cast<ull>(r.start),
                    static_cast<ull>(r.start + r.length - 1), r.sha256.empty() ? "-" : r.sha256.c_str(),
                    RegionLabel(r).c_str());
}

void PrintList(const char* title, const std::vector<std::string>& lines, bool blankLineFirst) {
    if (lines.empty()) return;
    std::printf("%s%s\n", blankLineFirst ? "\n" : "", title);
    for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
}

}  // namespace

void PrintTextReport(const Inspection& in, const ReportOptions& options) {
    if (!options.quiet) {
        std::string fill = in.fill < 0 ? "unknown" : Format("0x%02x", in.fill);
        std::printf("Image %s: %llu bytes (0x%08llx), fill byte %s\n", Escaped(in.path).c_str(),
                    static_cast<ull>(in.size), static_cast<ull>(in.size), fill.c_str());
    }
    if (!in.sha256.empty()) std::printf("SHA-256 of the file: %s\n", in.sha256.c_str());
    if (!options.quiet) {
        PrintHeaders(in);
        PrintPidBlocks(in);
        PrintMap(in);
        PrintAreaChecksums(in);
        PrintList("Notes", in.notes, true);
    }
    std::string trailing = TrailingNote(in);
    if (!trailing.empty()) std::printf("%s%s\n", options.quiet ? "" : "\n", trailing.c_str());
    PrintList("Failures", in.failures, !options.quiet);
    std::printf("%s%s\n", options.quiet && in.failures.empty() ? "" : "\n", SummaryLine(in).c_str());
}

}  // namespace morvik
