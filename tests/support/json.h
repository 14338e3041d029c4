// A minimal JSON reader for the inspector's --json output, strict enough to
// reject a malformed document.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace morvik_test {

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

// Parses a whole document; `ok` is false on any syntax error, trailing text
// or bytes that are not UTF-8.
Json ParseJson(const std::string& text, bool* ok);

// `bytes` as lower-case hex, as the document's "...Hex" members hold a name
// that is not UTF-8.
std::string HexOf(const std::string& bytes);

}  // namespace morvik_test
