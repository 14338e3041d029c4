#include "write/depfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sys/output_path.h"

namespace morvik {

namespace {

// Characters a name may hold as they are (besides letters, digits and the
// bytes of UTF-8 from 0x80).
constexpr const char kPlain[] = "/._-+,@!(){}~";
// Characters written behind a backslash ('$' is written "$$").
constexpr const char kEscaped[] = " #:";

bool IsPlain(unsigned char c) {
    if (c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return c != '\0' && std::strchr(kPlain, c) != nullptr;
}

bool IsEscaped(unsigned char c) { return c == '$' || (c != '\0' && std::strchr(kEscaped, c) != nullptr); }

// The character as the refusal names it.
std::string Named(unsigned char c) {
    if (c == '\n') return "a newline";
    if (c == '\r') return "a carriage return";
    if (c == '\t') return "a tab";
    char text[32];
    if (c < 0x20 || c == 0x7F)
        std::snprintf(text, sizeof text, "the control character 0x%02x", c);
    else
        std::snprintf(text, sizeof text, "'%c'", c);
    return text;
}

}  // namespace

std::string DepfileRefusal(const std::string& name) {
    if (name.empty()) return "is empty";
    for (char ch : name) {
        auto c = static_cast<unsigned char>(ch);
        if (!IsPlain(c) && !IsEscaped(c)) return "holds " + Named(c);
    }
    if (name[0] == '~') return "starts with '~' (make reads a home folder there)";
    if (name.back() == ')' && name.find('(') != std::string::npos)
        return "holds '(' and ends in ')' (make reads a member of an archive there)";
    return "";
}

std::string DepfileWord(const std::string& name) {
    std::string word;
    for (char c : name) {
        if (c == '$')
            word += "$$";
        else if (std::strchr(kEscaped, c) != nullptr && c != '\0')
            word += std::string("\\") + c;
        else
            word += c;
    }
    return word;
}

std::vector<std::string> BindInputs(const char* parPath, const ParInfo* info) {
    std::vector<const ImageInfo*> images(info->images, info->images + info->imageCount);
    std::stable_sort(images.begin(), images.end(),
                     [](const ImageInfo* a, const ImageInfo* b) { return a->line < b->line; });
    std::vector<std::string> paths{parPath};
    for (const ImageInfo* image : images) paths.push_back(image->name);
    if (info->pidInfo != nullptr) paths.push_back(info->pidInfo->name);

    std::vector<std::string> inputs;
    for (const std::string& path : paths) {
        std::string absolute = AbsolutePlace(path.c_str());
        if (absolute.empty()) absolute = path;  // DepfileText refuses it when it is not absolute
        if (std::find(inputs.begin(), inputs.end(), absolute) == inputs.end()) inputs.push_back(absolute);
    }
    return inputs;
}

std::string DepfileText(const std::string& target, const std::vector<std::string>& inputs, std::string* refusedName,
                        std::string* refusal) {
    std::vector<std::string> names{target};
    names.insert(names.end(), inputs.begin(), inputs.end());
    for (size_t i = 0; i < names.size(); ++i) {
        std::string why = DepfileRefusal(names[i]);
        if (why.empty() && i > 0 && names[i][0] != '/') why = "is not an absolute path (its folder cannot be followed)";
        if (why.empty()) continue;
        *refusedName = names[i];
        *refusal = why;
        return "";
    }
    std::string text = DepfileWord(target) + ":";
    for (const std::string& input : inputs) text += " " + DepfileWord(input);
    text += "\n";
    for (const std::string& input : inputs) text += DepfileWord(input) + ":\n";
    return text;
}

}  // namespace morvik
