#include "support/json.h"

#include <cctype>
#include <cstring>

namespace morvik_test {

namespace {

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
bool ValidUtf8(const std::string& text) {
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

}  // namespace

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xF];
    }
    return hex;
}

Json ParseJson(const std::string& text, bool* ok) {
    JsonReader reader{text};
    Json v = reader.Value();
    reader.Space();
    *ok = reader.ok && reader.i == text.size() && ValidUtf8(text);
    return v;
}

}  // namespace morvik_test
