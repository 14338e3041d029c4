#include "inspect/report/json.h"

#include <cstdio>

#include "inspect/pass/text.h"
#include "sys/diagnostics.h"

namespace morvik {

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

std::string JsonNumber(uint64_t value) { return Format("%llu", static_cast<ull>(value)); }

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
    std::string hex;
    for (char c : name) hex += Format("%02x", static_cast<unsigned char>(c));
    JsonMember(object, (std::string(key) + "Hex").c_str(), JsonText(hex));
}

void PrintJsonDocument(const JsonObject& object) {
    std::string document = JsonValue(object);
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace morvik
