// The areas of two images paired up. Groups go by their headers' order in
// the file (the images record no group numbers), entries by their index in
// the header, PID blocks and unreferenced FW PID records by their order.
// The other data, fill and runs pair up by kind, first where they start at
// the same offset, then where they end at the same one, then in order.
#include <algorithm>
#include <deque>
#include <map>
#include <tuple>

#include "inspect/diff/diff.h"
#include "inspect/pass/text.h"
#include "inspect/report/names.h"
#include "sys/json.h"

namespace morvik {

namespace {

std::string HexText(uint64_t value) { return Format("0x%llx", static_cast<ull>(value)); }

AreaField Number(const char* key, uint64_t value) { return AreaField{key, key, HexText(value), JsonNumber(value)}; }

AreaField Word(const char* key, const char* label, const std::string& text, const std::string& json) {
    return AreaField{key, label, text, json};
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Format("%02x", bytes[i]);
    return text;
}

AreaSide Positioned(uint64_t at, std::vector<AreaField> fields) {
    AreaSide side;
    side.present = true;
    side.positioned = true;
    side.at = at;
    side.fields = std::move(fields);
    return side;
}

AreaSide FileSide(const Inspection& in) {
    AreaSide side;
    side.present = true;
    std::string fill = in.fill < 0 ? "unknown" : Format("0x%02x", in.fill);
    side.fields = {Number("size", in.size),
                   Word("fill", "fill", fill, in.fill < 0 ? JsonNull() : JsonNumber(static_cast<uint64_t>(in.fill)))};
    return side;
}

AreaSide HeaderSide(const HeaderCheck& h) {
    return Positioned(
        h.at, {Word("state", "state", NamesOf(h.state).json, JsonText(NamesOf(h.state).json)), Number("fill", h.fill),
               Number("imageNumber", h.imageNumber), Number("checksumBitmap", h.bitmap),
               Number("pidOffset", h.pidOffset), Number("headerChecksum", h.stored)});
}

AreaSide EntrySide(const EntryCheck& e) {
    std::string version = VersionText(e.version);
    const char* verify = e.hasFlagBit ? (e.flagged ? "yes" : "no") : "-";
    return Positioned(
        e.offset,
        {Number("length", e.length), Word("version", "version", "\"" + version + "\"", JsonText(version)),
         Word("verify", "verify", verify, e.hasFlagBit ? JsonBool(e.flagged) : JsonNull()),
         Number("checksum", e.stored),
         Word("crc32", "CRC-32", e.inFile ? HexText(e.actual) : "-", e.inFile ? JsonNumber(e.actual) : JsonNull())});
}

AreaSide RecordSide(const FwPidCheck& r) {
    std::string bytes = r.inFile ? HexBytes(r.bytes, kFwPidRecordSize) : "-";
    return Positioned(r.at, {Word("bytes", "bytes", bytes, r.inFile ? JsonText(bytes) : JsonNull())});
}

AreaSide PidBlockSide(const PidBlockFind& b) {
    std::string pid = HexBytes(b.block + kPidMagicSize, std::min<size_t>(b.pidBytes, kPidBytes));
    return Positioned(b.at, {Word("state", "state", NamesOf(b.state).json, JsonText(NamesOf(b.state).json)),
                             Word("pid", "PID", pid, JsonText(pid))});
}

AreaSide RegionSide(const Region& r) {
    return Positioned(r.start, {Number("length", r.length), Word("crc32", "CRC-32", r.crcKnown ? HexText(r.crc) : "-",
                                                                 r.crcKnown ? JsonNumber(r.crc) : JsonNull())});
}

// Names the status from what the two sides hold.
AreaDiff Compared(std::string name, const char* kind, AreaSide before, AreaSide after) {
    AreaDiff area;
    area.name = std::move(name);
    area.kind = kind;
    area.before = std::move(before);
    area.after = std::move(after);
    if (!area.before.present) {
        area.status = AreaStatus::Added;
        return area;
    }
    if (!area.after.present) {
        area.status = AreaStatus::Removed;
        return area;
    }
    if (area.before.at != area.after.at) area.changed.push_back("offset");
    for (size_t k = 0; k < area.before.fields.size(); ++k)
        if (area.before.fields[k].text != area.after.fields[k].text) area.changed.push_back(area.before.fields[k].key);
    if (area.before.at != area.after.at)
        area.status = AreaStatus::Moved;
    else if (!area.changed.empty())
        area.status = AreaStatus::Changed;
    return area;
}

const HeaderCheck* HeaderAt(const Inspection& in, size_t g) { return g < in.headers.size() ? &in.headers[g] : nullptr; }

void CompareGroup(const HeaderCheck* before, const HeaderCheck* after, size_t g, std::vector<AreaDiff>* out) {
    std::string group = Format("group %zu", g);
    out->push_back(Compared(group + " header", "header", before ? HeaderSide(*before) : AreaSide{},
                            after ? HeaderSide(*after) : AreaSide{}));
    size_t entries = std::max(before ? before->entries.size() : 0, after ? after->entries.size() : 0);
    for (size_t k = 0; k < entries; ++k) {
        bool inBefore = before && k < before->entries.size(), inAfter = after && k < after->entries.size();
        out->push_back(Compared(Format("%s entry %zu", group.c_str(), k), "entry",
                                inBefore ? EntrySide(before->entries[k]) : AreaSide{},
                                inAfter ? EntrySide(after->entries[k]) : AreaSide{}));
    }
    bool recordBefore = before && before->state != HeaderState::Truncated && before->record.required;
    bool recordAfter = after && after->state != HeaderState::Truncated && after->record.required;
    if (recordBefore || recordAfter)
        out->push_back(Compared(group + " FW PID record", "fw-pid-record",
                                recordBefore ? RecordSide(before->record) : AreaSide{},
                                recordAfter ? RecordSide(after->record) : AreaSide{}));
}

template <typename Find, typename Side>
void CompareInOrder(const std::vector<Find>& before, const std::vector<Find>& after, const char* name, const char* kind,
                    Side side, std::vector<AreaDiff>* out) {
    for (size_t k = 0; k < std::max(before.size(), after.size()); ++k)
        out->push_back(Compared(Format("%s %zu", name, k), kind, k < before.size() ? side(before[k]) : AreaSide{},
                                k < after.size() ? side(after[k]) : AreaSide{}));
}

bool IsOther(const Region& r) {
    return r.kind == RegionKind::Data || r.kind == RegionKind::Fill || r.kind == RegionKind::ByteRun;
}

// Pairs each old region not paired yet with the first new one of its kind,
// not paired yet, that has the same `key`; in time and memory that grow
// with the number of regions, not its square.
void PairRegions(const std::vector<const Region*>& before, const std::vector<const Region*>& after,
                 std::vector<int>* pairOf, std::vector<bool>* taken, uint64_t (*key)(const Region&)) {
    std::map<std::tuple<int, int, uint64_t>, std::deque<size_t>> waiting;
    auto keyOf = [key](const Region& r) { return std::make_tuple(static_cast<int>(r.kind), int{r.byte}, key(r)); };
    for (size_t j = 0; j < after.size(); ++j)
        if (!(*taken)[j]) waiting[keyOf(*after[j])].push_back(j);
    for (size_t i = 0; i < before.size(); ++i) {
        if ((*pairOf)[i] >= 0) continue;
        auto found = waiting.find(keyOf(*before[i]));
        if (found == waiting.end() || found->second.empty()) continue;
        size_t j = found->second.front();
        found->second.pop_front();
        (*pairOf)[i] = static_cast<int>(j);
        (*taken)[j] = true;
    }
}

uint64_t StartOf(const Region& r) { return r.start; }
uint64_t EndOf(const Region& r) { return r.start + r.length; }
uint64_t Anywhere(const Region&) { return 0; }

std::vector<const Region*> OtherRegions(const Inspection& in) {
    std::vector<const Region*> regions;
    for (const Region& r : in.regions)
        if (IsOther(r)) regions.push_back(&r);
    return regions;
}

const char* RegionKindName(const Region& r) { return NamesOf(r.kind).json; }

void CompareOthers(const Inspection& before, const Inspection& after, std::vector<AreaDiff>* out) {
    std::vector<const Region*> a = OtherRegions(before), b = OtherRegions(after);
    std::vector<int> pairOf(a.size(), -1);
    std::vector<bool> taken(b.size(), false);
    PairRegions(a, b, &pairOf, &taken, StartOf);
    PairRegions(a, b, &pairOf, &taken, EndOf);
    PairRegions(a, b, &pairOf, &taken, Anywhere);
    std::vector<AreaDiff> others;
    for (size_t i = 0; i < a.size(); ++i)
        others.push_back(Compared(RegionLabel(*a[i]), RegionKindName(*a[i]), RegionSide(*a[i]),
                                  pairOf[i] >= 0 ? RegionSide(*b[static_cast<size_t>(pairOf[i])]) : AreaSide{}));
    for (size_t j = 0; j < b.size(); ++j)
        if (!taken[j])
            others.push_back(Compared(RegionLabel(*b[j]), RegionKindName(*b[j]), AreaSide{}, RegionSide(*b[j])));
    std::stable_sort(others.begin(), others.end(), [](const AreaDiff& x, const AreaDiff& y) {
        return (x.before.present ? x.before.at : x.after.at) < (y.before.present ? y.before.at : y.after.at);
    });
    out->insert(out->end(), others.begin(), others.end());
}

}  // namespace

const char* StatusName(AreaStatus status) {
    static const char* const kNames[kAreaStatuses] = {"same", "changed", "moved", "added", "removed"};
    return kNames[static_cast<size_t>(status)];
}

std::vector<AreaDiff> CompareAreas(const Inspection& before, const Inspection& after) {
    std::vector<AreaDiff> areas;
    areas.push_back(Compared("file", "file", FileSide(before), FileSide(after)));
    for (size_t g = 0; g < std::max(before.headers.size(), after.headers.size()); ++g)
        CompareGroup(HeaderAt(before, g), HeaderAt(after, g), g, &areas);
    CompareInOrder(before.pidBlocks, after.pidBlocks, "PID block", "pid-block", PidBlockSide, &areas);
    CompareInOrder(before.looseRecords, after.looseRecords, "unreferenced FW PID record", "fw-pid-record", RecordSide,
                   &areas);
    CompareOthers(before, after, &areas);
    return areas;
}

}  // namespace morvik
