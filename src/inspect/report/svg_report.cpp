// The layout map as an SVG picture: one bar from offset 0 to the end of the
// file with a rectangle per region, coloured by kind, a labelled row per
// region below it, and a legend. Regions too small to see keep a minimum
// width. Only our own words and hex numbers go into the text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inspect/pass/text.h"
#include "inspect/report/names.h"
#include "inspect/report/report.h"
#include "sys/io.h"
#include "sys/output_path.h"
#include "sys/temp_file.h"

namespace morvik {

namespace {

constexpr double kLeft = 20, kBarWidth = 1000, kBarTop = 56, kBarHeight = 40;
constexpr double kMinWidth = 3;  // a region of a few bytes still shows
constexpr double kRowTop = 130, kRowHeight = 16;
constexpr size_t kMaxRows = 256;  // rows beyond are summed up in one line

std::string Xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
            out += c;
        else
            out += '?';
    }
    return out;
}

double XOf(uint64_t at, uint64_t size) {
    return kLeft + static_cast<double>(static_cast<long double>(at) * kBarWidth / static_cast<long double>(size));
}

std::string RegionRect(const Region& r, uint64_t size) {
    double x = XOf(r.start, size), width = std::max(XOf(r.start + r.length, size) - x, kMinWidth);
    x = std::min(x, kLeft + kBarWidth - width);
    return Format(
        "<rect class=\"region\" data-start=\"%llu\" data-size=\"%llu\" x=\"%.2f\" y=\"%.0f\" "
        "width=\"%.2f\" height=\"%.0f\" fill=\"%s\"><title>%s</title></rect>\n",
        static_cast<ull>(r.start), static_cast<ull>(r.length), x, kBarTop, width, kBarHeight,
        LookOf(MapKindOf(r)).colour, Xml(RegionLabel(r)).c_str());
}

bool Small(const Region& r, uint64_t size) { return XOf(r.start + r.length, size) - XOf(r.start, size) < kMinWidth; }

// The bar: the regions large enough to see first, the small ones on top.
std::string Bar(const Inspection& in) {
    std::string svg = Format("<text x=\"%.0f\" y=\"%.0f\">0x00000000</text>\n", kLeft, kBarTop - 6);
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">0x%08llx</text>\n", kLeft + kBarWidth, kBarTop - 6,
                  static_cast<ull>(in.size));
    for (int pass = 0; pass < 2; ++pass)
        for (const Region& r : in.regions)
            if (Small(r, in.size) == (pass == 1)) svg += RegionRect(r, in.size);
    return svg;
}

std::string Row(const Region& r, size_t row, uint64_t size) {
    double y = kRowTop + static_cast<double>(row) * kRowHeight;
    double middle = XOf(r.start, size) + std::max(XOf(r.start + r.length, size) - XOf(r.start, size), kMinWidth) / 2;
    std::string label = RegionLabel(r) + (r.overlaps ? " (overlaps)" : "");
    return Format("<line x1=\"%.2f\" y1=\"%.0f\" x2=\"%.2f\" y2=\"%.0f\" stroke=\"#555\"/>\n", middle,
                  kBarTop + kBarHeight, middle, kBarTop + kBarHeight + 8) +
           Format("<rect x=\"%.0f\" y=\"%.0f\" width=\"10\" height=\"10\" fill=\"%s\" stroke=\"#555\"/>\n", kLeft,
                  y - 10, LookOf(MapKindOf(r)).colour) +
           Format("<text x=\"%.0f\" y=\"%.0f\">0x%08llx  0x%08llx  %s</text>\n", kLeft + 16, y,
                  static_cast<ull>(r.start), static_cast<ull>(r.length), Xml(label).c_str());
}

std::string Rows(const Inspection& in, size_t* rows) {
    std::string svg = Format("<text x=\"%.0f\" y=\"%.0f\" font-weight=\"bold\">start       size        region</text>\n",
                             kLeft + 16, kRowTop - 18);
    *rows = 0;
    for (const Region& r : in.regions) {
        if (*rows == kMaxRows) {
            svg += Format("<text x=\"%.0f\" y=\"%.0f\">... and %zu more regions</text>\n", kLeft + 16,
                          kRowTop + static_cast<double>(*rows) * kRowHeight, in.regions.size() - kMaxRows);
            ++*rows;
            break;
        }
        svg += Row(r, (*rows)++, in.size);
    }
    return svg;
}

std::string Legend(double top) {
    std::string svg;
    double x = kLeft;
    for (size_t i = 0; i < kMapKinds; ++i) {
        const MapKindLook& look = LookOf(static_cast<MapKind>(i));
        double y = top + static_cast<double>(i / 5) * kRowHeight;
        if (i % 5 == 0) x = kLeft;
        svg += Format("<rect x=\"%.0f\" y=\"%.0f\" width=\"10\" height=\"10\" fill=\"%s\" stroke=\"#555\"/>\n", x,
                      y - 10, look.colour);
        svg += Format("<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", x + 14, y, look.legend);
        x += 200;
    }
    return svg;
}

// Between the title and the bar: what follows the image's end, if anything.
std::string NoteLine(const Inspection& in) {
    std::string note = TrailingNote(in);
    if (note.empty()) return "";
    return Format("<text x=\"%.0f\" y=\"37\">%s</text>\n", kLeft, Xml(note).c_str());
}

std::string Picture(const Inspection& in) {
    size_t rows = 0;
    std::string body = Bar(in) + Rows(in, &rows);
    double legendTop = kRowTop + static_cast<double>(rows) * kRowHeight + 24;
    body += Legend(legendTop);
    double height = legendTop + 2 * kRowHeight + 8;
    std::string fill = in.fill < 0 ? "unknown" : Format("0x%02x", in.fill);
    return Format(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\" font-family=\"monospace\" font-size=\"12\" xml:space=\"preserve\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n"
               "<text x=\"%.0f\" y=\"22\" font-size=\"14\" font-weight=\"bold\">Layout map: 0x%08llx bytes, "
               "fill byte %s</text>\n",
               2 * kLeft + kBarWidth, height, 2 * kLeft + kBarWidth, height, kLeft, static_cast<ull>(in.size),
               fill.c_str()) +
           NoteLine(in) + body + "</svg>\n";
}

}  // namespace

bool WriteSvgMap(const Inspection& inspection, const char* path, std::string* error) {
    std::string svg = inspection.size == 0 ? std::string() : Picture(inspection);
    if (svg.empty()) {
        *error = "an empty file has no layout to draw";
        return false;
    }
    if (IsStandardOutput(path)) {
        if (WriteAll(STDOUT_FILENO, svg.data(), svg.size())) return true;
        *error = Format("cannot write the picture to standard output: %s", std::strerror(errno));
        return false;
    }
    char temp[kTempPathSize] = "";
    UniqueFd out(CreateTempFileBeside(path, temp));
    bool ok = out.fd >= 0 && WriteAllAt(out.fd, svg.data(), svg.size(), 0) && fchmod(out.fd, 0644) == 0 &&
              out.Close() && PutInPlace(temp, path);
    if (ok) return true;
    *error = Format("cannot write the picture %s: %s", path, std::strerror(errno));
    if (temp[0] != '\0') RemoveTempFile(temp);
    return false;
}

}  // namespace morvik
