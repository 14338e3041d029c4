// The recipe of a bound image: which stretches become image files, with
// which offsets, groups, versions, ranges and pads, so that a bind of them
// lays down the same bytes. Everything is worked out from the findings and
// the layout map; what cannot come out the same is named with its reason.
#include <algorithm>
#include <cstring>

#include "inspect/extract/extract.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

void Problem(Extraction* out, const std::string& text) { out->problems.push_back(text); }

// ---- groups and the PID ------------------------------------------------------

bool EntriesUsable(const HeaderCheck& h, std::string* why) {
    int kernels = 0;
    for (const EntryCheck& e : h.entries) {
        if (!e.inFile || e.length == 0) {
            *why = Format("entry %u is empty or runs past the end of the file", e.index);
            return false;
        }
        if (e.offset == KernelDataStart(h.at)) ++kernels;
    }
    if (kernels != 1) *why = "no entry starts right behind it (its kernel image)";
    return kernels == 1;
}

// The sealed headers that a bind of the parts writes again; any other
// header's bytes stay plain data.
std::vector<const HeaderCheck*> AcceptGroups(const Inspection& in, Extraction* out) {
    std::vector<const HeaderCheck*> groups;
    for (const HeaderCheck& h : in.headers) {
        std::string why;
        if (h.state != HeaderState::Sealed)
            why = "it does not verify";
        else if (h.entries.empty())
            why = "it lists no images, and a bind writes no such header";
        else if (groups.size() == 2)
            why = "a bind writes at most two firmware headers";
        else if (!EntriesUsable(h, &why))
            ;
        else {
            groups.push_back(&h);
            continue;
        }
        Problem(out, "header at " + Hex8(h.at) + ": " + why + "; its bytes are kept as plain data, not rebuilt");
    }
    return groups;
}

const PidBlockFind* ChoosePid(const Inspection& in, bool groups, Extraction* out) {
    const PidBlockFind* pid = ReferencePidBlock(in);
    if (pid != nullptr && pid->state != PidBlockState::Complete) {
        if (groups) Problem(out, "the PID block at " + Hex8(pid->at) + " is not complete: pid.txt cannot give it");
        pid = nullptr;  // its bytes stay plain data
    }
    if (pid == nullptr && groups) Problem(out, "image groups need a PID block, and none usable was found");
    if (pid == nullptr) return nullptr;
    out->hasPid = true;
    out->pidEnd = pid->at + kPidBlockSize - 1;
    std::memcpy(out->pid, pid->block + kPidMagicSize, kPidBytes);
    return pid;
}

bool RecordMatches(const uint8_t* bytes, const PidBlockFind* pid) {
    FwPidRecord record = MakeFwPidRecord(pid->block);
    return std::memcmp(bytes, record.raw, kFwPidRecordSize) == 0;
}

// Without groups the PID line's second location places one FW PID record.
void ChooseLooseRecord(const Inspection& in, const PidBlockFind* pid, Extraction* out) {
    if (pid == nullptr) return;
    for (const FwPidCheck& r : in.looseRecords)
        if (r.inFile && r.at != 0 && RecordMatches(r.bytes, pid)) {
            out->fwLocation = r.at;
            return;
        }
}

// ---- the group images ----------------------------------------------------------

bool VersionWritable(const uint8_t* v) {
    for (size_t i = 0; i < kFwVersionSize; ++i)
        if (v[i] < 0x21 || v[i] > 0x7E || v[i] == '#') return false;
    return true;
}

ExtractedPart GroupPart(const HeaderCheck& h, const EntryCheck& e, int group, uint8_t fill, Extraction* out) {
    ExtractedPart part;
    part.dataStart = e.offset;
    part.dataEnd = part.rangeEnd = uint64_t{e.offset} + e.length;
    part.group = group;
    part.kernel = e.offset == KernelDataStart(h.at);
    part.header = h.at;
    part.entry = e.index;
    part.verify = e.index < 8 && (fill == 0xFF || (h.bitmap >> e.index & 1) != 0);
    static const uint8_t kNone[kFwVersionSize] = {};
    part.versionGiven = std::memcmp(e.version, kNone, kFwVersionSize) != 0;
    std::memcpy(part.version, e.version, kFwVersionSize);
    if (part.versionGiven && !VersionWritable(e.version))
        Problem(out, Format("header at %s, entry %u: version bytes %02x %02x %02x %02x cannot be written as a -v text",
                            Hex8(h.at).c_str(), e.index, e.version[0], e.version[1], e.version[2], e.version[3]));
    return part;
}

std::vector<ExtractedPart> GroupParts(const std::vector<const HeaderCheck*>& groups, uint8_t fill, Extraction* out) {
    std::vector<ExtractedPart> parts;
    for (size_t g = 0; g < groups.size(); ++g) {
        size_t first = parts.size();
        for (const EntryCheck& e : groups[g]->entries)
            parts.push_back(GroupPart(*groups[g], e, static_cast<int>(g), fill, out));
        auto last = std::max_element(
            parts.begin() + static_cast<long>(first), parts.end(),
            [](const ExtractedPart& a, const ExtractedPart& b) { return ParOffset(a) < ParOffset(b); });
        last->lastOfGroup = true;
    }
    return parts;
}

// ---- the sweep over the map ------------------------------------------------------

enum class Use { Fill, Skip, Data };

bool Contains(const std::vector<uint64_t>& list, uint64_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

struct Sweep {
    std::vector<uint64_t> headers;  // accepted headers
    std::vector<uint64_t> records;  // their FW PID records, and the loose one used
    uint64_t pidAt = UINT64_MAX;    // the PID block that the PID line writes
};

Use Classify(const Region& r, const Sweep& s) {
    switch (r.kind) {
        case RegionKind::Fill:
            return Use::Fill;
        case RegionKind::Header:
            return Contains(s.headers, r.start) ? Use::Skip : Use::Data;
        case RegionKind::GroupImage:
            return Contains(s.headers, r.owner) ? Use::Skip : Use::Data;
        case RegionKind::FwPidRecord:
            return Contains(s.records, r.start) ? Use::Skip : Use::Data;
        case RegionKind::PidBlock:
            return r.start == s.pidAt ? Use::Skip : Use::Data;
        default:
            return Use::Data;
    }
}

// Adds a stretch that is not fill: to the data image in front of it, as the
// pad of the range of the image in front of it, or as a data image of its own.
void AddStretch(const Region& r, bool afterFill, std::vector<ExtractedPart>* parts) {
    ExtractedPart* prev = parts->empty() ? nullptr : &parts->back();
    uint64_t end = r.start + r.length;
    bool touching = prev != nullptr && !afterFill && r.start >= prev->rangeEnd;
    bool ranged = touching && prev->rangeEnd > prev->dataEnd;
    if (touching && !ranged && prev->group < 0 && r.kind != RegionKind::ByteRun) {
        prev->dataEnd = prev->rangeEnd = end;
        return;
    }
    if (touching && r.kind == RegionKind::ByteRun && (!ranged || prev->pad == r.byte)) {
        prev->rangeEnd = end;
        prev->pad = r.byte;
        return;
    }
    ExtractedPart part;
    part.dataStart = r.start;
    part.dataEnd = part.rangeEnd = end;
    parts->push_back(part);
}

std::vector<ExtractedPart> SweepMap(const Inspection& in, const Sweep& s, std::vector<ExtractedPart> groupParts) {
    std::sort(groupParts.begin(), groupParts.end(),
              [](const ExtractedPart& a, const ExtractedPart& b) { return ParOffset(a) < ParOffset(b); });
    std::vector<ExtractedPart> parts;
    size_t next = 0;
    bool afterFill = true;
    for (const Region& r : in.regions) {
        while (next < groupParts.size() && ParOffset(groupParts[next]) <= r.start) {
            parts.push_back(groupParts[next++]);
            afterFill = false;
        }
        Use use = Classify(r, s);
        if (use == Use::Fill) afterFill = true;
        if (use != Use::Data) continue;
        AddStretch(r, afterFill, &parts);
        afterFill = false;
    }
    while (next < groupParts.size()) parts.push_back(groupParts[next++]);
    return parts;
}

// ---- ranges, the end of the output, merging -------------------------------------

uint64_t ThisEnd(const ExtractedPart& p) { return AreaEnd(p.dataStart, p.dataEnd, RangeOf(p), p.lastOfGroup); }

// The range of a group's last image has to hold its FW PID record too, or
// the bind ignores it.
void CoverRecords(std::vector<ExtractedPart>* parts) {
    for (ExtractedPart& p : *parts)
        if (p.lastOfGroup && RangeOf(p) != 0 && !RangeIsKept(p.dataStart, p.dataEnd, RangeOf(p), true))
            p.rangeEnd = p.dataStart + LeastRange(p.dataStart, p.dataEnd, true);
}

// With groups the output ends where the last image's area ends: the fill
// behind it becomes that image's range, or an image of its own.
void ReachTheEnd(uint64_t size, std::vector<ExtractedPart>* parts) {
    ExtractedPart& last = parts->back();
    uint64_t end = ThisEnd(last);
    if (end >= size) return;
    if (last.pad < 0) {
        last.rangeEnd = size;
        return;
    }
    ExtractedPart tail;
    tail.dataStart = end;
    tail.dataEnd = tail.rangeEnd = size;
    parts->push_back(tail);
}

// Joins neighbouring data images, the closest first, until the PAR file's
// limit is met; the bytes between them are copied as they are.
void MergeDataParts(std::vector<ExtractedPart>* parts) {
    while (parts->size() > kMaxParImages) {
        size_t best = SIZE_MAX;
        uint64_t bestGap = UINT64_MAX;
        for (size_t i = 0; i + 1 < parts->size(); ++i) {
            const ExtractedPart &a = (*parts)[i], &b = (*parts)[i + 1];
            if (a.group >= 0 || b.group >= 0 || b.dataStart - a.rangeEnd >= bestGap) continue;
            best = i;
            bestGap = b.dataStart - a.rangeEnd;
        }
        if (best == SIZE_MAX) return;
        ExtractedPart& a = (*parts)[best];
        const ExtractedPart& b = (*parts)[best + 1];
        a.dataEnd = b.dataEnd;
        a.rangeEnd = b.rangeEnd;
        a.pad = b.pad;
        parts->erase(parts->begin() + static_cast<long>(best) + 1);
    }
}

// ---- what the binder would refuse or write differently ------------------------

std::string PartName(const ExtractedPart& p) {
    return p.group >= 0 ? Format("image %u of header %s", p.entry, Hex8(p.header).c_str())
                        : "data at " + Hex8(p.dataStart);
}

void CheckTable(const Inspection& in, bool groups, Extraction* out) {
    const std::vector<ExtractedPart>& parts = out->parts;
    if (parts.size() > kMaxParImages)
        Problem(out, Format("%zu images are needed and a PAR file takes at most %zu: the stretches between "
                            "the group images cannot merge",
                            parts.size(), kMaxParImages));
    uint64_t target = groups ? in.size : out->sizeKiB * 1024;
    for (size_t k = 0; k < parts.size(); ++k) {
        const ExtractedPart& p = parts[k];
        uint64_t nextStart = k + 1 < parts.size() ? ParOffset(parts[k + 1]) : target;
        if (ThisEnd(p) > nextStart)
            Problem(out, PartName(p) +
                             Format(": its area ends at %s, past the start of what follows", Hex8(ThisEnd(p)).c_str()));
        if (p.dataEnd - p.dataStart >= (uint64_t{1} << 31))
            Problem(out, PartName(p) + ": 2 GiB or larger, more than an image file may hold");
    }
    if (groups && !parts.empty() && ThisEnd(parts.back()) != in.size)
        Problem(out, "the last image's area does not end where the file ends");
}

void CheckSize(const Inspection& in, bool groups, Extraction* out) {
    out->sizeKiB = (in.size + 1023) / 1024;
    if (out->sizeKiB >= (uint64_t{1} << 22)) Problem(out, "the file is 4 GiB or larger, more than a bind can write");
    if (!groups && in.size % 1024 != 0)
        Problem(out, Format("the file size 0x%llx is not a multiple of 1 KiB: without image groups a bind "
                            "writes exactly the size of its size line, in whole KiB",
                            static_cast<ull>(in.size)));
}

// The header a bind of the parts writes, compared with the one in the file.
void CheckHeader(const HeaderCheck& h, int group, uint8_t fill, const std::vector<ExtractedPart>& parts,
                 Extraction* out) {
    FW_Header header;
    std::memset(header.raw, fill, kFwHeaderSize);
    uint8_t count = 0;
    for (const ExtractedPart& p : parts) {
        if (p.group != group) continue;
        if (p.lastOfGroup) PutLe32(header.raw + kHdrPidOffset, static_cast<uint32_t>(FwPidRecordAt(p.dataEnd)));
        uint8_t* entry = EntryAt(&header, count);
        PutLe32(entry + kEntOffset, static_cast<uint32_t>(p.dataStart));
        PutLe32(entry + kEntLength, static_cast<uint32_t>(p.dataEnd - p.dataStart));
        PutLe32(entry + kEntChecksum, h.entries[p.entry].actual);
        for (size_t i = 0; i < kFwVersionSize; ++i) entry[kEntVersion + i] = p.versionGiven ? p.version[i] : 0;
        if (p.verify && count < 8) header.raw[kHdrChecksumBitmap] |= static_cast<uint8_t>(1u << count);
        ++count;
    }
    header.raw[kHdrImageNumber] = count;
    SealFwHeader(&header, fill);
    for (size_t i = 0; i < kFwHeaderSize; ++i)
        if (header.raw[i] != h.raw[i]) {
            Problem(out, Format("header at %s: a bind of the parts writes other header bytes (from byte %zu on)",
                                Hex8(h.at).c_str(), i));
            return;
        }
}

void CheckGroups(const std::vector<const HeaderCheck*>& groups, const PidBlockFind* pid, Extraction* out) {
    for (size_t g = 0; g < groups.size(); ++g) {
        const HeaderCheck& h = *groups[g];
        CheckHeader(h, static_cast<int>(g), out->fill, out->parts, out);
        if (pid != nullptr && (!h.record.inFile || !RecordMatches(h.record.bytes, pid)))
            Problem(out, "header at " + Hex8(h.at) + ": its FW PID record is not the one a bind writes");
        if (pid != nullptr && pid->at < h.at + kFwHeaderSize && h.at < pid->at + kPidBlockSize)
            Problem(out, "the PID block overlaps the header at " + Hex8(h.at) + ", which a bind refuses");
    }
}

}  // namespace

void PlanExtraction(const Inspection& in, Extraction* out) {
    if (!in.failures.empty())
        Problem(out, Format("the image does not verify (%zu %s)", in.failures.size(),
                            in.failures.size() == 1 ? "failure" : "failures"));
    out->fill = in.fill == 0xFF ? 0xFF : 0x00;
    std::vector<const HeaderCheck*> groups = AcceptGroups(in, out);
    const PidBlockFind* pid = ChoosePid(in, !groups.empty(), out);
    Sweep sweep;
    for (const HeaderCheck* h : groups) {
        sweep.headers.push_back(h->at);
        sweep.records.push_back(h->record.at);
    }
    if (groups.empty()) ChooseLooseRecord(in, pid, out);
    if (out->fwLocation != 0) sweep.records.push_back(out->fwLocation);
    if (pid != nullptr) sweep.pidAt = pid->at;
    out->parts = SweepMap(in, sweep, GroupParts(groups, out->fill, out));
    CoverRecords(&out->parts);
    if (!groups.empty()) ReachTheEnd(in.size, &out->parts);
    MergeDataParts(&out->parts);
    CheckSize(in, !groups.empty(), out);
    CheckTable(in, !groups.empty(), out);
    CheckGroups(groups, pid, out);
    for (ExtractedPart& p : out->parts)
        p.file = p.group >= 0 ? Format("group-%s-%u.bin", Hex8(p.header).c_str(), p.entry)
                              : Format("data-%s.bin", Hex8(p.dataStart).c_str());
}

}  // namespace morvik
