// Writing the flash files: one more read of the image in chunks, each byte
// either kept or counted into a run of 0xFF that may be left out, the kept
// bytes gathered into records for both files at once. Memory stays flat: a
// chunk of the image, one record and a chunk of text per file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inspect/flash/flash_file.h"
#include "inspect/pass/text.h"
#include "sys/io.h"
#include "sys/output_path.h"
#include "sys/temp_file.h"

namespace morvik {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint8_t kIhexData = 0x00, kIhexEnd = 0x01, kIhexLinearAddress = 0x04;
constexpr uint64_t kMaxS5Count = 0xFFFF, kMaxS6Count = 0xFFFFFF;
constexpr size_t kMaxS0Text = 64;

void AppendHex(std::string* text, uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    *text += digits[byte >> 4];
    *text += digits[byte & 0xF];
}

// One file being written: its descriptor, the text not yet written, and
// for Intel HEX the upper half of the address the last 04 record set.
struct Sink {
    bool intel = false;
    const char* path = nullptr;  // as given; "-" is standard output
    char temp[kTempPathSize] = "";
    UniqueFd file;
    int fd = -1;
    std::string text;
    int64_t upper = -1;  // none set yet
    bool failed = false;
    int error = 0;
};

void Drain(Sink* sink, size_t atLeast) {
    if (sink->failed || sink->text.size() < atLeast) return;
    if (!WriteAll(sink->fd, sink->text.data(), sink->text.size())) {
        sink->failed = true;
        sink->error = errno;
    }
    sink->text.clear();
}

// The run of the image being turned into records.
struct Emitter {
    std::vector<ByteSpan> spans;
    size_t span = 0;  // the first span that does not end before the position
    uint64_t base = 0;
    uint8_t record[kRecordBytes] = {};
    size_t length = 0;
    uint64_t recordAt = 0;                 // address of record[0]
    uint64_t runStart = 0, runLength = 0;  // 0xFF outside the spans, not yet decided
    std::vector<Sink*> sinks;
    FlashResult* result = nullptr;
};

bool Protected(Emitter* e, uint64_t at) {
    while (e->span < e->spans.size() && e->spans[e->span].end <= at) ++e->span;
    return e->span < e->spans.size() && e->spans[e->span].start <= at;
}

void PutRecord(Emitter* e, Sink* sink) {
    uint32_t address = static_cast<uint32_t>(e->recordAt);
    if (!sink->intel) {
        sink->text += SRecord('3', address, 4, e->record, e->length);
    } else {
        if (sink->upper != static_cast<int64_t>(address >> 16)) {
            sink->upper = address >> 16;
            const uint8_t upper[2] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)};
            sink->text += IntelHexRecord(kIhexLinearAddress, 0, upper, 2);
        }
        sink->text += IntelHexRecord(kIhexData, static_cast<uint16_t>(address), e->record, e->length);
    }
    Drain(sink, kIoChunk);
}

void EndRecord(Emitter* e) {
    if (e->length == 0) return;
    for (Sink* sink : e->sinks) PutRecord(e, sink);
    ++e->result->records;
    e->result->dataBytes += e->length;
    e->length = 0;
}

void Keep(Emitter* e, uint64_t at, uint8_t byte) {
    uint64_t address = e->base + at;
    if (e->length > 0 && address != e->recordAt + e->length) EndRecord(e);
    if (e->length == 0) e->recordAt = address;
    e->record[e->length++] = byte;
    if ((address + 1) % kRecordBytes == 0) EndRecord(e);
}

// A run of 0xFF outside the spans has ended: left out when long enough,
// else written like any other bytes.
void EndRun(Emitter* e) {
    if (e->runLength >= kLeftOutRun)
        e->result->leftOut += e->runLength;
    else
        for (uint64_t i = 0; i < e->runLength; ++i) Keep(e, e->runStart + i, 0xFF);
    e->runLength = 0;
}

void See(Emitter* e, const uint8_t* bytes, size_t length, uint64_t at) {
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] == 0xFF && !Protected(e, at + i)) {
            if (e->runLength++ == 0) e->runStart = at + i;
            continue;
        }
        EndRun(e);
        Keep(e, at + i, bytes[i]);
    }
}

// The last path component, printable ASCII only, for the S0 record.
std::string HeaderText(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    name = name.substr(0, kMaxS0Text);
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return name;
}

void Begin(Sink* sink, const std::string& imagePath) {
    if (sink->intel) return;
    std::string name = HeaderText(imagePath);
    sink->text += SRecord('0', 0, 2, reinterpret_cast<const uint8_t*>(name.data()), name.size());
}

// The closing records: Intel HEX's end record; for S-records the count of
// data records (S5 when it fits 16 bits, S6 when it fits 24, none beyond)
// and the S7 record, whose start address is the image's first byte.
void Finish(Sink* sink, const FlashResult& result) {
    if (sink->intel) {
        sink->text += IntelHexRecord(kIhexEnd, 0, nullptr, 0);
    } else {
        uint32_t count = static_cast<uint32_t>(result.records);
        if (result.records <= kMaxS5Count)
            sink->text += SRecord('5', count, 2, nullptr, 0);
        else if (result.records <= kMaxS6Count)
            sink->text += SRecord('6', count, 3, nullptr, 0);
        sink->text += SRecord('7', static_cast<uint32_t>(result.base), 4, nullptr, 0);
    }
    Drain(sink, 0);
}

bool Open(Sink* sink, std::string* error) {
    if (std::strcmp(sink->path, "-") == 0) {
        sink->fd = STDOUT_FILENO;
        return true;
    }
    sink->file = UniqueFd(CreateTempFileBeside(sink->path, sink->temp));
    sink->fd = sink->file.fd;
    if (sink->fd >= 0) return true;
    *error = Format("cannot write the %s %s: %s", sink->intel ? "Intel HEX file" : "S-record file", sink->path,
                    std::strerror(errno));
    return false;
}

std::string WriteError(const Sink& sink, int error) {
    const char* what = sink.intel ? "Intel HEX file" : "S-record file";
    if (sink.fd == STDOUT_FILENO)
        return Format("cannot write the %s to standard output: %s", what, std::strerror(error));
    return Format("cannot write the %s %s: %s", what, sink.path, std::strerror(error));
}

// Reads the image through the emitter into the sinks; false with `error`.
bool Stream(ImageFile* image, Emitter* e, std::string* error) {
    IoBuffer buffer;
    for (Sink* sink : e->sinks) Begin(sink, image->path);
    for (uint64_t at = 0; at < image->size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size, image->size - at));
        if (!ReadAt(image, at, n, buffer.bytes.get())) {
            *error = image->error;
            return false;
        }
        See(e, buffer.bytes.get(), n, at);
        at += n;
    }
    EndRun(e);
    EndRecord(e);
    for (Sink* sink : e->sinks) Finish(sink, *e->result);
    for (Sink* sink : e->sinks)
        if (sink->failed) {
            *error = WriteError(*sink, sink->error);
            return false;
        }
    return true;
}

// Gives each finished temporary file its name; the image must not have
// changed since the inspection opened it.
bool PutFilesInPlace(ImageFile* image, std::vector<Sink*>& sinks, std::string* error) {
    FileStamp after;
    if (!StampOf(image->in.fd, &after) || !(after == image->stamp)) {
        *error = Format("image %s changed while the flash files were written", image->path.c_str());
        return false;
    }
    for (Sink* sink : sinks) {
        if (sink->temp[0] == '\0') continue;
        if (fchmod(sink->fd, 0644) != 0 || !sink->file.Close() || !PutInPlace(sink->temp, sink->path)) {
            *error = WriteError(*sink, errno);
            return false;
        }
        sink->temp[0] = '\0';
    }
    return true;
}

bool WriteSinks(const Inspection& inspection, ImageFile* image, std::vector<Sink*>& sinks, FlashResult* result,
                std::string* error) {
    for (Sink* sink : sinks)
        if (!Open(sink, error)) return false;
    Emitter emitter;
    emitter.spans = ProtectedSpans(inspection);
    emitter.base = result->base;
    emitter.sinks = sinks;
    emitter.result = result;
    return Stream(image, &emitter, error) && PutFilesInPlace(image, sinks, error);
}

}  // namespace

std::string IntelHexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t length) {
    std::string text = ":";
    uint8_t sum = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
    AppendHex(&text, static_cast<uint8_t>(length));
    AppendHex(&text, static_cast<uint8_t>(address >> 8));
    AppendHex(&text, static_cast<uint8_t>(address));
    AppendHex(&text, type);
    for (size_t i = 0; i < length; ++i) {
        AppendHex(&text, data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    AppendHex(&text, static_cast<uint8_t>(-sum));
    return text + "\n";
}

std::string SRecord(char type, uint32_t address, size_t addressBytes, const uint8_t* data, size_t length) {
    std::string text = {'S', type};
    uint8_t count = static_cast<uint8_t>(addressBytes + length + 1);  // address, data and checksum
    uint8_t sum = count;
    AppendHex(&text, count);
    for (size_t i = addressBytes; i > 0; --i) {
        uint8_t byte = static_cast<uint8_t>(address >> (8 * (i - 1)));
        AppendHex(&text, byte);
        sum = static_cast<uint8_t>(sum + byte);
    }
    for (size_t i = 0; i < length; ++i) {
        AppendHex(&text, data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    AppendHex(&text, static_cast<uint8_t>(~sum));
    return text + "\n";
}

std::vector<ByteSpan> ProtectedSpans(const Inspection& in) {
    std::vector<ByteSpan> spans;
    auto add = [&](uint64_t start, uint64_t length) {
        if (start < in.size && length > 0) spans.push_back({start, start + std::min(length, in.size - start)});
    };
    for (const HeaderCheck& h : in.headers) {
        add(h.at, kFwHeaderSize);
        for (const EntryCheck& entry : h.entries) add(entry.offset, entry.length);
        if (h.record.required) add(h.record.at, kFwPidRecordSize);
    }
    for (const PidBlockFind& block : in.pidBlocks) add(block.at, kPidBlockSize);
    for (const FwPidCheck& record : in.looseRecords) add(record.at, kFwPidRecordSize);
    std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.start < b.start; });
    std::vector<ByteSpan> merged;
    for (const ByteSpan& s : spans) {
        if (!merged.empty() && s.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, s.end);
        else
            merged.push_back(s);
    }
    return merged;
}

bool WriteFlashFiles(const Inspection& inspection, ImageFile* image, const FlashRequest& request, FlashResult* result,
                     std::string* error) {
    *result = FlashResult();
    result->base = request.base;
    if (request.base + image->size > kAddressSpace) {
        *error = Format("--base 0x%llx puts the image's last byte at 0x%llx, past the 4 GiB that records can address",
                        static_cast<ull>(request.base), static_cast<ull>(request.base + image->size - 1));
        return false;
    }
    if (!inspection.failures.empty()) return true;
    Sink ihex, motorola;
    ihex.intel = true;
    ihex.path = request.ihex;
    motorola.path = request.motorola;
    std::vector<Sink*> sinks;
    if (request.ihex != nullptr) sinks.push_back(&ihex);
    if (request.motorola != nullptr) sinks.push_back(&motorola);
    bool ok = WriteSinks(inspection, image, sinks, result, error);
    for (Sink* sink : sinks)
        if (sink->temp[0] != '\0') RemoveTempFile(sink->temp);
    if (!ok) return false;
    result->written = true;
    if (request.ihex != nullptr) result->ihex = request.ihex;
    if (request.motorola != nullptr) result->motorola = request.motorola;
    return true;
}

}  // namespace morvik
