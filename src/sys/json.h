// The one JSON writer of both tools: Morvik-inspect's report and the bind's
// map. A JSON value is its text; an object is built member by member. Every
// string goes through JsonText, numbers are plain decimal integers (offsets,
// sizes and CRC-32s alike). Names follow the escaping of sys/diagnostics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvik {

// The members of an object under construction: "key": value, ...
struct JsonObject {
    std::string members;
};

// A JSON string literal. Bytes that are not well-formed UTF-8 (a path or a
// version field can hold anything) become U+FFFD. The control characters,
// C1 (U+0080..U+009F) included though JSON would take them as they are, are
// escapes, so that nothing in a document steers the terminal that shows it.
std::string JsonText(const std::string& text);
std::string JsonNumber(uint64_t value);
std::string JsonBool(bool value);
const char* JsonNull();
std::string JsonArray(const std::vector<std::string>& values);
std::string JsonTexts(const std::vector<std::string>& texts);  // an array of strings
std::string JsonValue(const JsonObject& object);               // {members}

// Appends "key": value, `value` being JSON text made by the functions above.
void JsonMember(JsonObject* object, const char* key, const std::string& value);
// Appends all members of `more`.
void JsonMembers(JsonObject* object, const JsonObject& more);
// Appends "key": "name" for a name from the user (a path); when the name is
// not well-formed UTF-8, also "keyHex": "<its bytes in hex>" beside it, as
// the string can then not hold it exactly.
void JsonName(JsonObject* object, const char* key, const std::string& name);

// The object as one document on a line, with its line end.
std::string JsonDocument(const JsonObject& object);

// Prints the object as one document on a line of standard output.
void PrintJsonDocument(const JsonObject& object);

}  // namespace morvik
