// The findings as one JSON document, for build pipelines.
#include <string>
#include <vector>

#include "inspect/pass/text.h"
#include "inspect/report/names.h"
#include "inspect/report/report.h"

namespace morvik {

namespace {

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Format("%02x", bytes[i]);
    return text;
}

std::string EntryJson(const EntryCheck& e) {
    JsonObject m;
    JsonMember(&m, "index", JsonNumber(e.index));
    JsonMember(&m, "offset", JsonNumber(e.offset));
    JsonMember(&m, "length", JsonNumber(e.length));
    JsonMember(&m, "version", JsonText(VersionText(e.version)));
    JsonMember(&m, "verify", e.hasFlagBit ? JsonBool(e.flagged) : JsonNull());
    JsonMember(&m, "checksum", JsonNumber(e.stored));
    JsonMember(&m, "actual", e.inFile ? JsonNumber(e.actual) : JsonNull());
    JsonMember(&m, "inFile", JsonBool(e.inFile));
    JsonMember(&m, "ok", JsonBool(e.inFile && e.crcOk));
    return JsonValue(m);
}

std::string RecordJson(const FwPidCheck& r) {
    JsonObject m;
    JsonMember(&m, "offset", JsonNumber(r.at));
    JsonMember(&m, "inFile", JsonBool(r.inFile));
    if (r.inFile) {
        JsonMember(&m, "words", JsonTexts({HexBytes(r.bytes, 2), HexBytes(r.bytes + 2, 2), HexBytes(r.bytes + 4, 2)}));
        JsonMember(&m, "constOk", JsonBool(r.constOk));
        JsonMember(&m, "tagOk", JsonBool(r.tagOk));
        JsonMember(&m, "tailOk", JsonBool(r.tailOk));
        JsonMember(&m, "pidChecked", JsonBool(r.wordsChecked));
        JsonMember(&m, "pidMatches", JsonBool(r.wordsChecked && r.wordsOk));
    }
    JsonMember(&m, "referenced", JsonBool(r.referenced));
    JsonMember(&m, "ok", JsonBool(r.inFile && r.constOk && r.tagOk && r.tailOk && r.wordsChecked && r.wordsOk));
    return JsonValue(m);
}

std::string HeaderJson(const HeaderCheck& h) {
    JsonObject m;
    JsonMember(&m, "offset", JsonNumber(h.at));
    JsonMember(&m, "state", JsonText(NamesOf(h.state).json));
    JsonMember(&m, "ok", JsonBool(h.state == HeaderState::Sealed));
    if (h.state != HeaderState::Truncated) {
        JsonMember(&m, "fill", JsonNumber(h.fill));
        JsonMember(&m, "magicOk", JsonBool(h.magicOk));
        JsonMember(&m, "headerChecksum", JsonNumber(h.stored));
        JsonMember(&m, "computedChecksum", JsonNumber(h.expected));
        JsonMember(&m, "imageNumber", JsonNumber(h.imageNumber));
        JsonMember(&m, "checksumBitmap", JsonNumber(h.bitmap));
        JsonMember(&m, "pidOffset", JsonNumber(h.pidOffset));
        std::vector<std::string> entries;
        for (const EntryCheck& e : h.entries) entries.push_back(EntryJson(e));
        JsonMember(&m, "entries", JsonArray(entries));
        JsonMember(&m, "fwPidRecord", h.record.required ? RecordJson(h.record) : JsonNull());
    }
    return JsonValue(m);
}

std::string PidBlockJson(const PidBlockFind& b) {
    JsonObject m;
    JsonMember(&m, "offset", JsonNumber(b.at));
    JsonMember(&m, "bootPidLocation", JsonNumber(b.at + kPidBlockSize - 1));
    JsonMember(&m, "state", JsonText(NamesOf(b.state).json));
    JsonMember(&m, "pidBytes", JsonNumber(b.pidBytes));
    JsonMember(&m, "pid", JsonText(HexBytes(b.block + kPidMagicSize, b.pidBytes < kPidBytes ? b.pidBytes : kPidBytes)));
    return JsonValue(m);
}

std::string RegionJson(const Region& r) {
    JsonObject m;
    JsonMember(&m, "start", JsonNumber(r.start));
    JsonMember(&m, "end", JsonNumber(r.start + r.length));
    JsonMember(&m, "size", JsonNumber(r.length));
    JsonMember(&m, "kind", JsonText(NamesOf(r.kind).json));
    JsonMember(&m, "label", JsonText(RegionLabel(r)));
    JsonMember(&m, "overlaps", JsonBool(r.overlaps));
    JsonMember(&m, "crc32", r.crcKnown ? JsonNumber(r.crc) : JsonNull());
    if (!r.sha256.empty()) JsonMember(&m, "sha256", JsonText(r.sha256));
    return JsonValue(m);
}

void FullMembers(const Inspection& in, JsonObject* m) {
    JsonMember(m, "fill", in.fill < 0 ? JsonNull() : JsonNumber(static_cast<uint64_t>(in.fill)));
    std::vector<std::string> items;
    for (const HeaderCheck& h : in.headers) items.push_back(HeaderJson(h));
    JsonMember(m, "headers", JsonArray(items));
    const PidBlockFind* pid = ReferencePidBlock(in);
    JsonMember(m, "pidBlock", pid == nullptr ? JsonNull() : PidBlockJson(*pid));
    items.clear();
    for (const PidBlockFind& b : in.pidBlocks) items.push_back(PidBlockJson(b));
    JsonMember(m, "pidBlocks", JsonArray(items));
    items.clear();
    for (const HeaderCheck& h : in.headers)
        if (h.state != HeaderState::Truncated && h.record.required) items.push_back(RecordJson(h.record));
    for (const FwPidCheck& r : in.looseRecords) items.push_back(RecordJson(r));
    JsonMember(m, "fwPidRecords", JsonArray(items));
    items.clear();
    for (const Region& r : in.regions) items.push_back(RegionJson(r));
    JsonMember(m, "regions", JsonArray(items));
    JsonMember(m, "notes", JsonTexts(in.notes));
}

}  // namespace

void PrintJsonReport(const Inspection& in, const ReportOptions& options, const JsonObject& more) {
    JsonObject m;
    JsonMember(&m, "schemaVersion", JsonNumber(kInspectJsonSchemaVersion));
    JsonName(&m, "file", in.path);
    JsonMember(&m, "size", JsonNumber(in.size));
    if (!in.sha256.empty()) JsonMember(&m, "sha256", JsonText(in.sha256));
    JsonMember(&m, "ok", JsonBool(in.failures.empty()));
    JsonMember(&m, "bound", JsonBool(IsBound(in)));
    JsonMember(&m, "imageEnd", in.endKnown ? JsonNumber(in.imageEnd) : JsonNull());
    JsonMember(&m, "bytesAfterImage", in.endKnown ? JsonNumber(BytesAfterImage(in)) : JsonNull());
    if (!options.quiet) FullMembers(in, &m);
    JsonMembers(&m, more);
    JsonMember(&m, "failures", JsonTexts(in.failures));
    JsonMember(&m, "summary", JsonText(SummaryLine(in)));
    PrintJsonDocument(m);
}

}  // namespace morvik
