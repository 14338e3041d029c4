// The findings as one JSON document, for build pipelines. Written by hand:
// objects are built as text, every string goes through JsonString, numbers
// are plain decimal integers (offsets, sizes and CRC-32s alike).
#include <cstdio>
#include <string>

#include "inspect/inspect.h"
#include "sys/diagnostics.h"

namespace morvik {

// A JSON string literal. Bytes that are not well-formed UTF-8 (a path or a
// version field can hold anything) become U+FFFD. The control characters,
// C1 (U+0080..U+009F) included though JSON would take them as they are, are
// escapes, so that nothing in a document steers the terminal that shows it.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += Format("\\u%04x", c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t n = Utf8SequenceLength(text, i); n == 0) {
            out += "\\ufffd";
        } else if (unsigned char next = static_cast<unsigned char>(text[i + 1]); c == 0xC2 && next < 0xA0) {
            out += Format("\\u%04x", next);  // C1
            ++i;
        } else {
            out.append(text, i, n);
            i += n - 1;
        }
    }
    return out + "\"";
}

std::string JsonNameMembers(const char* key, const std::string& name) {
    std::string members = JsonString(key) + ": " + JsonString(name);
    if (IsWellFormedUtf8(name)) return members;
    std::string hex;
    for (char c : name) hex += Format("%02x", static_cast<unsigned char>(c));
    return members + ", " + JsonString(std::string(key) + "Hex") + ": " + JsonString(hex);
}

namespace {

using ull = unsigned long long;

std::string Num(uint64_t value) { return Format("%llu", static_cast<ull>(value)); }
std::string Bool(bool value) { return value ? "true" : "false"; }

// Appends "key": value to the members of an object under construction.
void Member(std::string* object, const char* key, const std::string& value) {
    if (!object->empty()) *object += ", ";
    *object += JsonString(key) + ": " + value;
}

std::string Object(const std::string& members) { return "{" + members + "}"; }

std::string Array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ", ") + items[i];
    return out + "]";
}

std::string Strings(const std::vector<std::string>& texts) {
    std::vector<std::string> items;
    for (const std::string& t : texts) items.push_back(JsonString(t));
    return Array(items);
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Format("%02x", bytes[i]);
    return text;
}

std::string EntryJson(const EntryCheck& e) {
    std::string m;
    Member(&m, "index", Num(e.index));
    Member(&m, "offset", Num(e.offset));
    Member(&m, "length", Num(e.length));
    Member(&m, "version", JsonString(VersionText(e.version)));
    Member(&m, "verify", e.hasFlagBit ? Bool(e.flagged) : "null");
    Member(&m, "checksum", Num(e.stored));
    Member(&m, "actual", e.inFile ? Num(e.actual) : "null");
    Member(&m, "inFile", Bool(e.inFile));
    Member(&m, "ok", Bool(e.inFile && e.crcOk));
    return Object(m);
}

std::string RecordJson(const FwPidCheck& r) {
    std::string m;
    Member(&m, "offset", Num(r.at));
    Member(&m, "inFile", Bool(r.inFile));
    if (r.inFile) {
        Member(&m, "words", Strings({HexBytes(r.bytes, 2), HexBytes(r.bytes + 2, 2), HexBytes(r.bytes + 4, 2)}));
        Member(&m, "constOk", Bool(r.constOk));
        Member(&m, "tagOk", Bool(r.tagOk));
        Member(&m, "tailOk", Bool(r.tailOk));
        Member(&m, "pidChecked", Bool(r.wordsChecked));
        Member(&m, "pidMatches", Bool(r.wordsChecked && r.wordsOk));
    }
    Member(&m, "referenced", Bool(r.referenced));
    Member(&m, "ok", Bool(r.inFile && r.constOk && r.tagOk && r.tailOk && r.wordsChecked && r.wordsOk));
    return Object(m);
}

const char* HeaderStateName(HeaderState state) {
    switch (state) {
        case HeaderState::Sealed: return "sealed";
        case HeaderState::Damaged: return "damaged";
        case HeaderState::Truncated: return "truncated";
    }
    return "";
}

std::string HeaderJson(const HeaderCheck& h) {
    std::string m;
    Member(&m, "offset", Num(h.at));
    Member(&m, "state", JsonString(HeaderStateName(h.state)));
    Member(&m, "ok", Bool(h.state == HeaderState::Sealed));
    if (h.state != HeaderState::Truncated) {
        Member(&m, "fill", Num(h.fill));
        Member(&m, "magicOk", Bool(h.magicOk));
        Member(&m, "headerChecksum", Num(h.stored));
        Member(&m, "computedChecksum", Num(h.expected));
        Member(&m, "imageNumber", Num(h.imageNumber));
        Member(&m, "checksumBitmap", Num(h.bitmap));
        Member(&m, "pidOffset", Num(h.pidOffset));
        std::vector<std::string> entries;
        for (const EntryCheck& e : h.entries) entries.push_back(EntryJson(e));
        Member(&m, "entries", Array(entries));
        Member(&m, "fwPidRecord", h.record.required ? RecordJson(h.record) : "null");
    }
    return Object(m);
}

const char* PidStateName(PidBlockState state) {
    switch (state) {
        case PidBlockState::Complete: return "complete";
        case PidBlockState::Short: return "short";
        case PidBlockState::Damaged: return "damaged";
        case PidBlockState::Truncated: return "truncated";
    }
    return "";
}

std::string PidBlockJson(const PidBlockFind& b) {
    std::string m;
    Member(&m, "offset", Num(b.at));
    Member(&m, "bootPidLocation", Num(b.at + kPidBlockSize - 1));
    Member(&m, "state", JsonString(PidStateName(b.state)));
    Member(&m, "pidBytes", Num(b.pidBytes));
    Member(&m, "pid", JsonString(HexBytes(b.block + kPidMagicSize, b.pidBytes < kPidBytes ? b.pidBytes : kPidBytes)));
    return Object(m);
}

std::string RegionJson(const Region& r) {
    std::string m;
    Member(&m, "start", Num(r.start));
    Member(&m, "end", Num(r.start + r.length));
    Member(&m, "size", Num(r.length));
    Member(&m, "kind", JsonString(RegionKindName(r.kind)));
    Member(&m, "label", JsonString(RegionLabel(r)));
    Member(&m, "overlaps", Bool(r.overlaps));
    return Object(m);
}

std::string FullMembers(const Inspection& in) {
    std::string m;
    Member(&m, "fill", in.fill < 0 ? "null" : Num(static_cast<uint64_t>(in.fill)));
    std::vector<std::string> items;
    for (const HeaderCheck& h : in.headers) items.push_back(HeaderJson(h));
    Member(&m, "headers", Array(items));
    const PidBlockFind* pid = ReferencePidBlock(in);
    Member(&m, "pidBlock", pid == nullptr ? "null" : PidBlockJson(*pid));
    items.clear();
    for (const PidBlockFind& b : in.pidBlocks) items.push_back(PidBlockJson(b));
    Member(&m, "pidBlocks", Array(items));
    items.clear();
    for (const HeaderCheck& h : in.headers)
        if (h.state != HeaderState::Truncated && h.record.required) items.push_back(RecordJson(h.record));
    for (const FwPidCheck& r : in.looseRecords) items.push_back(RecordJson(r));
    Member(&m, "fwPidRecords", Array(items));
    items.clear();
    for (const Region& r : in.regions) items.push_back(RegionJson(r));
    Member(&m, "regions", Array(items));
    Member(&m, "notes", Strings(in.notes));
    return m;
}

}  // namespace

void PrintJsonReport(const Inspection& in, const ReportOptions& options) {
    std::string m = JsonNameMembers("file", in.path);
    Member(&m, "size", Num(in.size));
    Member(&m, "ok", Bool(in.failures.empty()));
    Member(&m, "bound", Bool(IsBound(in)));
    if (!options.quiet) m += ", " + FullMembers(in);
    if (!options.extraMembers.empty()) m += ", " + options.extraMembers;
    Member(&m, "failures", Strings(in.failures));
    Member(&m, "summary", JsonString(SummaryLine(in)));
    std::string document = Object(m);
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace morvik
