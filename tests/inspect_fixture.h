// Helpers for the Morvik-inspect tests: a small synthetic image builder
// (CRC-32 from zlib, never from the tool), runs of the inspector and of the
// binder, and a minimal JSON reader that also rejects malformed documents.
#pragma once

#include <zlib.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/run_tool.h"

namespace inspect_test {

using Bytes = std::vector<uint8_t>;
using morvik_test::RunResult;

inline uint32_t Crc(const uint8_t* data, size_t n) {
    return static_cast<uint32_t>(::crc32(0L, data, static_cast<uInt>(n)));
}

inline void Le32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void Put(Bytes& out, size_t at, const Bytes& data) {
    std::memcpy(out.data() + at, data.data(), data.size());
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// 56 PID bytes 0x10, 0x11, ... and the 70-byte block around them.
inline Bytes PidBlock() {
    Bytes block = Text("tAvRiCk");
    for (int i = 0; i < 56; ++i) block.push_back(static_cast<uint8_t>(0x10 + i));
    Bytes magic = Text("tAvRiCk");
    block.insert(block.end(), magic.begin(), magic.end());
    return block;
}

inline Bytes FwPidRecord(const Bytes& pidBlock) {
    Bytes r = {pidBlock[45], pidBlock[46], pidBlock[49], pidBlock[50], pidBlock[57], pidBlock[58], 0x90, 0xF7};
    Bytes tag = Text("aVrIcK");
    r.insert(r.end(), tag.begin(), tag.end());
    r.push_back(0);
    r.push_back(0);
    return r;
}

struct Entry {
    uint32_t offset;
    Bytes data;
    const char* version;  // 4 characters
    bool cksum;
};

// A sealed header: built on the fill byte, CRC over that, then the magic.
inline Bytes SealedHeader(uint8_t fill, uint32_t pidOffset, const std::vector<Entry>& entries) {
    Bytes h(256, fill);
    Le32(h, 4, pidOffset);
    h[12] = static_cast<uint8_t>(entries.size());
    for (size_t n = 0; n < entries.size(); ++n) {
        size_t e = 16 + 24 * n;
        Le32(h, e, entries[n].offset);
        Le32(h, e + 4, static_cast<uint32_t>(entries[n].data.size()));
        Le32(h, e + 8, Crc(entries[n].data.data(), entries[n].data.size()));
        std::memcpy(h.data() + e + 12, entries[n].version, 4);
        if (entries[n].cksum && n < 8) h[13] |= static_cast<uint8_t>(1u << n);
    }
    Le32(h, 8, Crc(h.data(), h.size()));
    std::memcpy(h.data(), "Tav", 4);
    return h;
}

struct Group {
    uint32_t headerAt;
    std::vector<Entry> entries;  // the kernel is the one at headerAt + 256
};

// An image laid down in the bind's order: fill, images, PID block, FW PID
// records (each at the even position behind the group's last image), headers.
inline Bytes BuildImage(size_t size, uint8_t fill, uint32_t pidEnd, const std::vector<Group>& groups) {
    Bytes out(size, fill);
    for (const Group& g : groups)
        for (const Entry& e : g.entries) Put(out, e.offset, e.data);
    Bytes pid = PidBlock();
    if (pidEnd != 0) Put(out, pidEnd - 69, pid);
    std::vector<uint32_t> records;
    for (const Group& g : groups) {
        uint32_t end = 0;
        for (const Entry& e : g.entries) end = std::max<uint32_t>(end, e.offset + static_cast<uint32_t>(e.data.size()));
        records.push_back((end + 1) & ~1u);
        Put(out, records.back(), FwPidRecord(pid));
    }
    for (size_t i = 0; i < groups.size(); ++i) Put(out, groups[i].headerAt, SealedHeader(fill, records[i], groups[i].entries));
    return out;
}

inline RunResult RunInspect(const std::vector<std::string>& args) {
    std::vector<std::string> full{MORVIK_INSPECT_BIN};
    full.insert(full.end(), args.begin(), args.end());
    morvik_test::RunOptions options;
    options.unsetEnv.push_back("POSIXLY_CORRECT");
    return morvik_test::RunProgram(MORVIK_INSPECT_BIN, full, options);
}

inline RunResult InspectBytes(const morvik_test::TempDir& dir, const Bytes& image,
                              const std::vector<std::string>& options = {"--quiet"}) {
    std::string path = dir / "image.bin";
    morvik_test::WriteFile(path, image);
    std::vector<std::string> args = options;
    args.push_back(path);
    return RunInspect(args);
}

// ---- a minimal JSON reader -------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        static const Json missing;
        auto it = members.find(key);
        return it == members.end() ? missing : it->second;
    }
    const Json& operator[](size_t i) const { return items.at(i); }
};

struct JsonReader {
    const std::string& s;
    size_t i = 0;
    bool ok = true;

    void Space() {
        while (i < s.size() && std::strchr(" \t\r\n", s[i]) != nullptr && s[i] != '\0') ++i;
    }
    bool Eat(char c) {
        Space();
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    bool Word(const char* w) {
        size_t n = std::strlen(w);
        if (s.compare(i, n, w) != 0) return false;
        i += n;
        return true;
    }
    std::string Str() {
        std::string out;
        if (!Eat('"')) return ok = false, out;
        while (i < s.size() && s[i] != '"') {
            unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c < 0x20) return ok = false, out;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i >= s.size()) return ok = false, out;
            char e = s[i++];
            if (e == 'u') {
                if (i + 4 > s.size()) return ok = false, out;
                for (int k = 0; k < 4; ++k)
                    if (!std::isxdigit(static_cast<unsigned char>(s[i + k]))) return ok = false, out;
                unsigned v = static_cast<unsigned>(std::stoul(s.substr(i, 4), nullptr, 16));
                i += 4;
                out += v < 0x80 ? std::string(1, static_cast<char>(v)) : "?";
            } else if (std::strchr("\"\\/bfnrt", e) != nullptr && e != '\0') {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                ok = false;
            }
        }
        if (!Eat('"')) ok = false;
        return out;
    }
    Json Value() {
        Json v;
        Space();
        if (i >= s.size()) return ok = false, v;
        char c = s[i];
        if (c == '{') {
            v.kind = Json::Object;
            ++i;
            if (Eat('}')) return v;
            do {
                std::string key = Str();
                if (!Eat(':')) ok = false;
                v.members[key] = Value();
            } while (ok && Eat(','));
            if (!Eat('}')) ok = false;
        } else if (c == '[') {
            v.kind = Json::Array;
            ++i;
            if (Eat(']')) return v;
            do v.items.push_back(Value());
            while (ok && Eat(','));
            if (!Eat(']')) ok = false;
        } else if (c == '"') {
            v.kind = Json::String;
            v.text = Str();
        } else if (Word("true") || Word("false")) {
            v.kind = Json::Bool;
            v.flag = s[i - 1] == 'e' && s[i - 4] == 't';
        } else if (Word("null")) {
            v.kind = Json::Null;
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            size_t start = i;
            if (s[i] == '-') ++i;
            while (i < s.size() && std::strchr("0123456789.eE+-", s[i]) != nullptr && s[i] != '\0') ++i;
            v.kind = Json::Number;
            try {
                v.number = std::stod(s.substr(start, i - start));
            } catch (...) {
                ok = false;
            }
        } else {
            ok = false;
        }
        return v;
    }
};

// JSON text must be UTF-8: every byte above 0x7f belongs to a well-formed
// multi-byte sequence (shortest forms only).
inline bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Parses a whole document; `ok` is false on any syntax error, trailing text
// or bytes that are not UTF-8.
inline Json ParseJson(const std::string& text, bool* ok) {
    JsonReader reader{text};
    Json v = reader.Value();
    reader.Space();
    *ok = reader.ok && reader.i == text.size() && ValidUtf8(text);
    return v;
}

}  // namespace inspect_test
