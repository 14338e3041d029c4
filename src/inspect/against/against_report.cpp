// The differences an image has from what its PAR file binds, one line each,
// named by the PAR line and file of the area they lie in, in the words of
// the text report and as the "against" member of the JSON report.
#include <algorithm>
#include <string>
#include <vector>

#include "inspect/against/against.h"
#include "inspect/pass/text.h"
#include "sys/diagnostics.h"

namespace morvik {

namespace {

constexpr size_t kPidAt = kPidMagicSize;  // the PID bytes inside the block

// "12 bytes differ from 0x200010 to 0x2001ff", "1 byte differs at 0x7f00";
// `of` goes between the count and the verb.
std::string Count(const AreaTally& t, const char* of = "") {
    if (t.count == 1) return Format("1 byte%s differs at 0x%llx", of, static_cast<ull>(t.first));
    return Format("%llu bytes%s differ from 0x%llx to 0x%llx", static_cast<ull>(t.count), of, static_cast<ull>(t.first),
                  static_cast<ull>(t.last));
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    std::string text;
    for (size_t i = from; i < from + count; ++i) text += Format("%02x", bytes[i]);
    return text;
}

// Only PID bytes differ, and the whole block was there to see.
bool OnlyPidDiffers(const LayoutArea& area, const AreaTally& t) {
    return area.bytes.size() == kPidBlockSize && t.found.size() == kPidBlockSize && t.first >= area.start + kPidAt &&
           t.last < area.start + kPidAt + kPidBytes;
}

std::string PidBlockText(const LayoutArea& area, const AreaTally& t) {
    if (OnlyPidDiffers(area, t))
        return Format("the PID block differs (PID 0x%s expected, 0x%s found)",
                      Hex(area.bytes, kPidAt, kPidBytes).c_str(), Hex(t.found, kPidAt, kPidBytes).c_str());
    return Format("the PID block at 0x%llx: %s", static_cast<ull>(area.start), Count(t).c_str());
}

std::string RecordText(const LayoutArea& area, const AreaTally& t) {
    std::string group = area.group >= 0 ? Format(" of group %d", area.group) : "";
    return Format("the FW PID record%s at 0x%llx: %s", group.c_str(), static_cast<ull>(area.start), Count(t).c_str());
}

std::string FillText(const LayoutArea& area, const AreaTally& t) {
    if (t.value >= 0 && t.count == 1)
        return Format("fill at 0x%llx is 0x%02x, expected 0x%02x", static_cast<ull>(t.first), t.value, area.byte);
    if (t.value >= 0)
        return Format("fill at 0x%llx..0x%llx is 0x%02x, expected 0x%02x", static_cast<ull>(t.first),
                      static_cast<ull>(t.last), t.value, area.byte);
    return Format("fill at 0x%llx..0x%llx: %llu bytes differ, expected 0x%02x", static_cast<ull>(t.first),
                  static_cast<ull>(t.last), static_cast<ull>(t.count), area.byte);
}

const char* KindName(AreaKind kind) {
    switch (kind) {
        case AreaKind::kFill:
            return "fill";
        case AreaKind::kImageData:
            return "image";
        case AreaKind::kRangePad:
            return "rangePad";
        case AreaKind::kPidBlock:
            return "pidBlock";
        case AreaKind::kFwPidRecord:
            return "fwPidRecord";
        case AreaKind::kFwHeader:
            return "fwHeader";
    }
    return "fill";
}

// What differs in the area, after its PAR line and file.
std::string AreaText(const LayoutArea& area, const AreaTally& t) {
    switch (area.kind) {
        case AreaKind::kFill:
            return FillText(area, t);
        case AreaKind::kImageData:
            return Count(t);
        case AreaKind::kRangePad:
            return Count(t, " of its reserved range") + Format(" (pad 0x%02x expected)", area.byte);
        case AreaKind::kPidBlock:
            return PidBlockText(area, t);
        case AreaKind::kFwPidRecord:
            return RecordText(area, t);
        case AreaKind::kFwHeader:
            return Format("the firmware header at 0x%llx: %s", static_cast<ull>(area.start), Count(t).c_str());
    }
    return "";
}

AgainstDifference AreaDifference(const Against& a, const LayoutArea& area, const AreaTally& t) {
    AgainstDifference d;
    d.kind = KindName(area.kind);
    d.line = area.line;
    d.file = area.file;
    d.start = t.first;
    d.end = t.last + 1;
    d.bytes = t.count;
    d.text = AreaText(area, t);
    if (area.kind != AreaKind::kFill)
        d.text = Format("%s:%u: %s: ", Escaped(a.parFile).c_str(), area.line, Escaped(area.file).c_str()) + d.text;
    return d;
}

AgainstDifference SizeDifference(uint64_t imageSize, uint64_t expected) {
    AgainstDifference d;
    d.kind = "size";
    d.start = std::min(imageSize, expected);
    d.end = std::max(imageSize, expected);
    d.bytes = d.end - d.start;
    d.text = Format("the image is 0x%llx bytes, the PAR file makes 0x%llx", static_cast<ull>(imageSize),
                    static_cast<ull>(expected));
    return d;
}

// Every byte of fill holds the other fill byte: the image was bound with
// the other -p.
std::string FillHint(const Against& a) {
    if (a.fillSeen == 0 || a.fillOther != a.fillSeen) return "";
    const char* other = a.fill == 0xFF ? "0x00" : "0xff";
    return Format("the image was bound with -p %s: give --fill %s", other, other);
}

std::string DifferenceJson(const AgainstDifference& d) {
    JsonObject m;
    JsonMember(&m, "text", JsonText(d.text));
    JsonMember(&m, "line", d.line == 0 ? JsonNull() : JsonNumber(d.line));
    JsonMember(&m, "file", d.file.empty() ? JsonNull() : JsonText(d.file));
    JsonMember(&m, "kind", JsonText(d.kind));
    JsonMember(&m, "start", JsonNumber(d.start));
    JsonMember(&m, "end", JsonNumber(d.end));
    JsonMember(&m, "bytes", JsonNumber(d.bytes));
    return JsonValue(m);
}

std::string ClosingLine(const Against& a) {
    const size_t n = a.differences.size();
    if (n == 0) return Format("Against %s: the image is byte for byte what it binds", Escaped(a.parFile).c_str());
    return Format("Against %s: %zu difference%s", Escaped(a.parFile).c_str(), n, n == 1 ? "" : "s");
}

}  // namespace

bool FinishAgainst(Against* against, uint64_t imageSize) {
    if (!against->changed.empty()) {
        LocatedError(against->parFile.c_str(), against->changedLine, "%s: the image cannot be compared with it",
                     against->changed.c_str());
        return false;
    }
    against->in = UniqueFd();
    const BindLayout& layout = against->layout;
    if (imageSize != layout.size) against->differences.push_back(SizeDifference(imageSize, layout.size));
    for (size_t k = 0; k < layout.areas.size(); ++k)
        if (against->tallies[k].count > 0)
            against->differences.push_back(AreaDifference(*against, layout.areas[k], against->tallies[k]));
    against->hint = FillHint(*against);
    return true;
}

void PrintAgainstText(const Against& against, FILE* out) {
    for (const AgainstDifference& d : against.differences) std::fprintf(out, "%s\n", d.text.c_str());
    if (!against.hint.empty()) std::fprintf(out, "%s\n", against.hint.c_str());
    std::fprintf(out, "%s\n", ClosingLine(against).c_str());
}

std::string AgainstJson(const Against& against) {
    JsonObject m;
    JsonName(&m, "parFile", against.parFile);
    JsonMember(&m, "fill", JsonNumber(against.fill));
    JsonMember(&m, "expectedSize", JsonNumber(against.layout.size));
    JsonMember(&m, "matches", JsonBool(AgainstMatches(against)));
    std::vector<std::string> items;
    for (const AgainstDifference& d : against.differences) items.push_back(DifferenceJson(d));
    JsonMember(&m, "differences", JsonArray(items));
    JsonMember(&m, "hint", against.hint.empty() ? JsonNull() : JsonText(against.hint));
    JsonMember(&m, "summary", JsonText(ClosingLine(against)));
    return JsonValue(m);
}

}  // namespace morvik
