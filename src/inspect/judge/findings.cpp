// Naming what did not verify, the notes beside it, and the summary line.
#include <cstring>

#include "inspect/judge/stages.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

std::string BytesText(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Format(i == 0 ? "%02x" : " %02x", bytes[i]);
    return text;
}

std::string WordsText(const uint8_t* six) {
    return Format("%02x%02x %02x%02x %02x%02x", six[0], six[1], six[2], six[3], six[4], six[5]);
}

void HeaderFailures(const HeaderCheck& h, uint64_t fileSize, std::vector<std::string>* out) {
    std::string name = "header at " + Hex8(h.at);
    if (h.state == HeaderState::Truncated) {
        out->push_back(Format("%s: cut off by the end of the file (%llu of 256 bytes)", name.c_str(),
                              static_cast<ull>(h.available)));
        return;
    }
    if (h.state == HeaderState::Damaged) {
        size_t before = out->size();
        if (h.stored != h.expected)
            out->push_back(Format("%s does not verify: headerChecksum 0x%08x, computed 0x%08x (fill 0x%02x)",
                                  name.c_str(), h.stored, h.expected, h.fill));
        if (!h.magicOk) out->push_back(name + ": magic is " + BytesText(h.raw, 4) + ", not \"Tav\" and NUL");
        if (!h.fillBytesOk)
            out->push_back(Format("%s: bytes 14 and 15 are 0x%02x 0x%02x, not the fill byte 0x%02x", name.c_str(),
                                  h.raw[kHdrReserved], h.raw[kHdrReserved + 1], h.fill));
        if (h.imageNumber > kFwMaxEntries)
            out->push_back(Format("%s: imageNumber %u is more than 10", name.c_str(), h.imageNumber));
        if (out->size() == before) out->push_back(name + " does not verify");
    }
    for (const EntryCheck& e : h.entries) {
        std::string entry =
            Format("%s: entry %u (offset 0x%08x, length 0x%08x)", name.c_str(), e.index, e.offset, e.length);
        if (!e.inFile)
            out->push_back(entry +
                           Format(" runs past the end of the file (size 0x%08llx)", static_cast<ull>(fileSize)));
        else if (!e.crcOk)
            out->push_back(entry + Format(": CRC-32 expected 0x%08x, actual 0x%08x", e.stored, e.actual));
    }
}

void RecordFailures(const FwPidCheck& r, const std::string& owner, const PidBlockFind* pid,
                    std::vector<std::string>* out) {
    std::string name = "FW PID record at " + Hex8(r.at) + owner;
    if (!r.inFile) {
        out->push_back(name + ": runs past the end of the file");
        return;
    }
    if (!r.constOk)
        out->push_back(name + ": bytes 6-7 are " + BytesText(r.bytes + kFwPidConstAt, 2) + ", expected 90 f7");
    if (!r.tagOk)
        out->push_back(name + ": tag is " + BytesText(r.bytes + kFwPidTagAt, kFwPidTagSize) +
                       ", expected \"aVrIcK\" (61 56 72 49 63 4b)");
    if (!r.tailOk) out->push_back(name + ": bytes 14-15 are " + BytesText(r.bytes + 14, 2) + ", expected 00 00");
    if (!r.wordsChecked)
        out->push_back(name + ": no PID block to check its PID words against");
    else if (!r.wordsOk)
        out->push_back(name + ": PID words " + WordsText(r.bytes) + ", the PID block at " + Hex8(pid->at) + " has " +
                       WordsText(r.expectedWords));
}

void PidBlockFailures(const Inspection& in, std::vector<std::string>* out) {
    const PidBlockFind* reference = ReferencePidBlock(in);
    for (const PidBlockFind& b : in.pidBlocks) {
        std::string name = "PID block at " + Hex8(b.at);
        if (b.state == PidBlockState::Truncated) out->push_back(name + ": cut off by the end of the file");
        if (b.state != PidBlockState::Damaged) continue;
        if (!b.openingOk)
            out->push_back(name + ": opening magic is " + BytesText(b.block, kPidMagicSize) + ", expected \"tAvRiCk\"");
        if (!b.closingOk)
            out->push_back(name + ": closing magic is " +
                           BytesText(b.block + kPidMagicSize + kPidBytes, kPidMagicSize) + ", expected \"tAvRiCk\"");
    }
    for (const PidBlockFind& b : in.pidBlocks) {
        if (&b == reference || b.state != PidBlockState::Complete || reference->state != PidBlockState::Complete)
            continue;
        if (std::memcmp(b.block, reference->block, kPidBlockSize) != 0)
            out->push_back("PID blocks at " + Hex8(reference->at) + " and " + Hex8(b.at) + " hold different PIDs");
    }
}

void CollectNotes(Inspection* in) {
    if (in->ignoredHeaderCandidates > 0)
        in->notes.push_back(Format("%llu \"Tav\"+NUL in image data do not look like a header; ignored",
                                   static_cast<ull>(in->ignoredHeaderCandidates)));
    if (in->strayPidMagics > 0)
        in->notes.push_back(Format("%llu \"tAvRiCk\" in image data are not part of a PID block; ignored",
                                   static_cast<ull>(in->strayPidMagics)));
    if (in->pidBlocks.empty()) in->notes.push_back("no PID block found");
    if (in->pidBlocks.size() > 1)
        in->notes.push_back(Format("%zu PID blocks found; FW PID records are checked against the one at %s",
                                   in->pidBlocks.size(), Hex8(ReferencePidBlock(*in)->at).c_str()));
    for (const HeaderCheck& h : in->headers)
        if (!h.record.required)
            in->notes.push_back("header at " + Hex8(h.at) + " lists no images and has no FW PID record");
    if (in->headers.empty()) return;
    for (const FwPidCheck& r : in->looseRecords)
        in->notes.push_back("FW PID record at " + Hex8(r.at) + " is not referenced by any header");
}

int Count(const std::vector<HeaderCheck>& headers, HeaderState state) {
    int n = 0;
    for (const HeaderCheck& h : headers) n += h.state == state;
    return n;
}

size_t CountEntries(const std::vector<HeaderCheck>& headers) {
    size_t n = 0;
    for (const HeaderCheck& h : headers) n += h.entries.size();
    return n;
}

size_t CountRecords(const Inspection& in) {
    size_t n = in.looseRecords.size();
    for (const HeaderCheck& h : in.headers) n += h.state != HeaderState::Truncated && h.record.required;
    return n;
}

const char* Plural(size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

}  // namespace

uint64_t BytesAfterImage(const Inspection& in) {
    return in.endKnown && in.size > in.imageEnd ? in.size - in.imageEnd : 0;
}

std::string TrailingNote(const Inspection& in) {
    uint64_t after = BytesAfterImage(in);
    if (after == 0) return "";
    return Format("Note: 0x%llx bytes follow the image's end at 0x%llx", static_cast<ull>(after),
                  static_cast<ull>(in.imageEnd));
}

bool IsBound(const Inspection& in) { return Count(in.headers, HeaderState::Sealed) > 0 || !in.pidBlocks.empty(); }

void CollectFailures(Inspection* in) {
    std::vector<std::string>& out = in->failures;
    if (in->size == 0) out.push_back("the file is empty");
    const PidBlockFind* pid = ReferencePidBlock(*in);
    for (const HeaderCheck& h : in->headers) {
        HeaderFailures(h, in->size, &out);
        if (h.state != HeaderState::Truncated && h.record.required)
            RecordFailures(h.record, " (header at " + Hex8(h.at) + ")", pid, &out);
    }
    PidBlockFailures(*in, &out);
    for (const std::string& kind : in->overflows)
        out.push_back("more than " + kind + " found; the rest of the file was not examined for them");
    if (in->headers.empty())
        for (const FwPidCheck& r : in->looseRecords) RecordFailures(r, "", pid, &out);
    if (in->size > 0 && !IsBound(*in)) out.push_back("not a bound image: no sealed firmware header and no PID block");
    CollectNotes(in);
}

std::string SummaryLine(const Inspection& in) {
    size_t headers = in.headers.size();
    size_t entries = CountEntries(in.headers);
    size_t records = CountRecords(in);
    int damaged = Count(in.headers, HeaderState::Damaged) + Count(in.headers, HeaderState::Truncated);
    std::string counts = Format("%zu %s", headers, Plural(headers, "header", "headers"));
    if (damaged > 0) counts += Format(" (%d damaged)", damaged);
    counts += Format(", %zu group %s, %zu PID %s, %zu FW PID %s", entries, Plural(entries, "image", "images"),
                     in.pidBlocks.size(), Plural(in.pidBlocks.size(), "block", "blocks"), records,
                     Plural(records, "record", "records"));
    if (in.failures.empty()) return "Summary: OK, everything verifies: " + counts;
    return Format("Summary: FAILED, %zu %s: ", in.failures.size(), Plural(in.failures.size(), "failure", "failures")) +
           counts;
}

}  // namespace morvik
