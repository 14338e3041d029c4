#include "sys/json.h"

#include <cstdio>

#include "sys/diagnostics.h"

namespace morvik {

namespace {

// "\u00XX" for a control character.
std::string UnicodeEscape(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", c);
    return text;
}

}  // namespace

std::string JsonText(const std::string& text) {
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
            out += UnicodeEscape(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t n = Utf8SequenceLength(text, i); n == 0) {
            out += "\\ufffd";
        } else if (unsigned char next = static_cast<unsigned char>(text[i + 1]); c == 0xC2 && next < 0xA0) {
            out += UnicodeEscape(next);  // C1
            ++i;
        } else {
            out.append(text, i, n);
            i += n - 1;
        }
    }
    return out + "\"";
}

std::string JsonNumber(uint64_t value) { return std::to_string(static_cast<unsigned long long>(value)); }

std::string JsonBool(bool value) { return value ? "true" : "false"; }

const char* JsonNull() { return "null"; }

std::string JsonArray(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) out += (i == 0 ? "" : ", ") + values[i];
    return out + "]";
}

std::string JsonTexts(const std::vector<std::string>& texts) {
    std::vector<std::string> values;
    for (const std::string& t : texts) values.push_back(JsonText(t));
    return JsonArray(values);
}

std::string JsonValue(const JsonObject& object) { return "{" + object.members + "}"; }

void JsonMember(JsonObject* object, const char* key, const std::string& value) {
    if (!object->members.empty()) object->members += ", ";
    object->members += JsonText(key) + ": " + value;
}

void JsonMembers(JsonObject* object, const JsonObject& more) {
    if (more.members.empty()) return;
    if (!object->members.empty()) object->members += ", ";
    object->members += more.members;
}

void JsonName(JsonObject* object, const char* key, const std::string& name) {
    JsonMember(object, key, JsonText(name));
    if (IsWellFormedUtf8(name)) return;
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    JsonMember(object, (std::string(key) + "Hex").c_str(), JsonText(hex));
}

std::string JsonDocument(const JsonObject& object) { return JsonValue(object) + "\n"; }

void PrintJsonDocument(const JsonObject& object) {
    std::string document = JsonDocument(object);
    std::fwrite(document.data(), 1, document.size(), stdout);
}

}  // namespace morvik
