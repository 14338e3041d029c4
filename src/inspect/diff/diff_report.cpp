// The comparison of two images as text, one line per area, and as one JSON
// document.
#include <cstdio>
#include <cstring>

#include "inspect/diff/diff.h"
#include "inspect/pass/text.h"
#include "inspect/report/report.h"
#include "sys/diagnostics.h"
#include "sys/json.h"

namespace morvik {

namespace {

std::string HexText(uint64_t value) { return Format("0x%llx", static_cast<ull>(value)); }

const AreaField* FieldOf(const AreaSide& side, const std::string& key) {
    for (const AreaField& field : side.fields)
        if (key == field.key) return &field;
    return nullptr;
}

// "length 0x1a01 -> 0x1b01, CRC-32 0x3bb40e08 -> 0x35ea88a7"
std::string ChangedFields(const AreaDiff& area) {
    std::string text;
    for (const std::string& key : area.changed) {
        const AreaField* before = FieldOf(area.before, key);
        const AreaField* after = FieldOf(area.after, key);
        if (before == nullptr || after == nullptr) continue;  // the position, shown on its own
        text +=
            Format("%s%s %s -> %s", text.empty() ? "" : ", ", before->label, before->text.c_str(), after->text.c_str());
    }
    return text;
}

std::string AreaLine(const AreaDiff& area) {
    std::string line = Format("%s: %s", StatusName(area.status), area.name.c_str());
    const AreaSide& side = area.before.present ? area.before : area.after;
    if (side.positioned) line += " at " + HexText(side.at);
    if (area.status == AreaStatus::Moved) line += " -> " + HexText(area.after.at);
    std::string fields = ChangedFields(area);
    if (!fields.empty()) line += ": " + fields;
    return line;
}

std::string SideJson(const AreaSide& side) {
    if (!side.present) return JsonNull();
    JsonObject m;
    if (side.positioned) JsonMember(&m, "offset", JsonNumber(side.at));
    for (const AreaField& field : side.fields) JsonMember(&m, field.key, field.json);
    return JsonValue(m);
}

std::string AreaJson(const AreaDiff& area) {
    JsonObject m;
    JsonMember(&m, "area", JsonText(area.name));
    JsonMember(&m, "kind", JsonText(area.kind));
    JsonMember(&m, "status", JsonText(StatusName(area.status)));
    JsonMember(&m, "old", SideJson(area.before));
    JsonMember(&m, "new", SideJson(area.after));
    JsonMember(&m, "changed", JsonTexts(area.changed));
    return JsonValue(m);
}

std::string ImageJson(const Inspection& in) {
    JsonObject m;
    JsonName(&m, "file", in.path);
    JsonMember(&m, "size", JsonNumber(in.size));
    JsonMember(&m, "ok", JsonBool(in.failures.empty()));
    JsonMember(&m, "bound", JsonBool(IsBound(in)));
    JsonMember(&m, "summary", JsonText(SummaryLine(in)));
    return JsonValue(m);
}

std::string CountsJson(const ImageDiff& diff) {
    JsonObject m;
    for (size_t k = 0; k < kAreaStatuses; ++k)
        JsonMember(&m, StatusName(static_cast<AreaStatus>(k)), JsonNumber(diff.counts[k]));
    return JsonValue(m);
}

bool Shown(const AreaDiff& area, bool quiet) { return !quiet || area.status != AreaStatus::Same; }

}  // namespace

std::string DiffSummaryLine(const ImageDiff& diff) {
    const size_t* n = diff.counts;
    size_t same = n[static_cast<size_t>(AreaStatus::Same)];
    if (diff.identical)
        return Format("Summary: identical, %s bytes, %zu %s the same", HexText(diff.before.inspection.size).c_str(),
                      same, same == 1 ? "area" : "areas");
    return Format("Summary: the images differ from %s: %zu changed, %zu moved, %zu added, %zu removed, %zu same",
                  HexText(diff.firstDifference).c_str(), n[static_cast<size_t>(AreaStatus::Changed)],
                  n[static_cast<size_t>(AreaStatus::Moved)], n[static_cast<size_t>(AreaStatus::Added)],
                  n[static_cast<size_t>(AreaStatus::Removed)], same);
}

void PrintDiffText(const ImageDiff& diff, bool quiet) {
    const Inspection& before = diff.before.inspection;
    const Inspection& after = diff.after.inspection;
    std::printf("old: %s: %s\n", Escaped(before.path).c_str(), SummaryLine(before).c_str());
    std::printf("new: %s: %s\n", Escaped(after.path).c_str(), SummaryLine(after).c_str());
    for (const AreaDiff& area : diff.areas)
        if (Shown(area, quiet)) std::printf("%s\n", Escaped(AreaLine(area)).c_str());
    std::printf("%s\n", DiffSummaryLine(diff).c_str());
}

void PrintDiffJson(const ImageDiff& diff, bool quiet) {
    JsonObject m;
    JsonMember(&m, "schemaVersion", JsonNumber(kDiffJsonSchemaVersion));
    JsonMember(&m, "old", ImageJson(diff.before.inspection));
    JsonMember(&m, "new", ImageJson(diff.after.inspection));
    JsonMember(&m, "identical", JsonBool(diff.identical));
    JsonMember(&m, "firstDifference", diff.identical ? JsonNull() : JsonNumber(diff.firstDifference));
    std::vector<std::string> areas;
    for (const AreaDiff& area : diff.areas)
        if (Shown(area, quiet)) areas.push_back(AreaJson(area));
    JsonMember(&m, "areas", JsonArray(areas));
    JsonMember(&m, "counts", CountsJson(diff));
    JsonMember(&m, "summary", JsonText(DiffSummaryLine(diff)));
    PrintJsonDocument(m);
}

}  // namespace morvik
