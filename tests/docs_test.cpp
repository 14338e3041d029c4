// The documentation is held to what the tools do. Every fenced block of
// README.md and every example of the man pages' EXAMPLES sections carries a
// marker in the document's source (an HTML comment, a roff comment) that
// says what it is:
//
//   doc-test: run              shell lines, run in a folder of their own
//   doc-test: run after: CMD   the same, once CMD has run there
//   doc-test: output           what the run block before it prints
//   doc-test: output of: CMD   what CMD prints
//   doc-test: file NAME        a file the later examples use (a PAR file is bound)
//   doc-test: skip: WHY        not run, and why
//
// Each example runs in a fresh folder holding the bundled examples (in the
// folder and under examples/), the built tools as build/Morvik and
// build/Morvik-inspect and on the PATH, and the document's files. In the
// man pages, /usr/share/doc/morvik/examples and /tmp/ stand for that
// folder's examples/ and tmp/. Output is compared with runs of blanks and
// line ends as one space, so that a man page may wrap a long line: the
// document's text must stand in the program's standard output or error.
// A second test holds the man pages, the bash completion and each tool's
// usage text to the same options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <cstring>

#include "support/run_tool.h"

namespace morvik_test {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = MORVIK_SOURCE_DIR;

struct Example {
    std::string where;   // document:line, for messages
    std::string marker;  // what follows "doc-test: "
    std::string text;    // the block's lines as a reader sees them
};

std::vector<std::string> LinesOf(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The marker on `line`, or "" when it holds none.
std::string MarkerIn(const std::string& line, const std::regex& form) {
    std::smatch match;
    return std::regex_search(line, match, form) ? Trimmed(match[1].str()) : "";
}

std::vector<Example> MarkdownExamples(const fs::path& path) {
    static const std::regex form("<!-- doc-test: (.*) -->");
    std::vector<std::string> lines = LinesOf(path);
    std::vector<Example> examples;
    std::string marker;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::string m = MarkerIn(lines[i], form); !m.empty()) marker = m;
        if (Trimmed(lines[i]).rfind("```", 0) != 0) continue;
        size_t indent = lines[i].find('`');
        Example example{path.filename().string() + ":" + std::to_string(i + 1), marker, ""};
        for (++i; i < lines.size() && Trimmed(lines[i]) != "```"; ++i)
            example.text += lines[i].substr(std::min(indent, lines[i].find_first_not_of(' '))) + "\n";
        examples.push_back(example);
        marker.clear();
    }
    return examples;
}

// `text` with every `from` replaced by `to`, left to right; a `to` that
// holds `from` is not replaced again.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Roff as a reader sees it: the escapes the man pages use in examples.
std::string Unroffed(std::string text) {
    static const std::pair<const char*, const char*> escapes[] = {
        {"\\-", "-"}, {"\\&", ""},  {"\\(lq", "\""}, {"\\(rq", "\""}, {"\\fB", ""},
        {"\\fI", ""}, {"\\fR", ""}, {"\\fP", ""},    {"\\e", "\\"},
    };
    for (const auto& [from, to] : escapes) text = Replaced(text, from, to);
    return text;
}

std::vector<Example> ManExamples(const fs::path& path) {
    static const std::regex form("^\\.\\\\\" doc-test: (.*)$");
    std::vector<std::string> lines = LinesOf(path);
    std::vector<Example> examples;
    std::string marker;
    bool inExamples = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(".SH", 0) == 0) inExamples = lines[i] == ".SH EXAMPLES";
        if (!inExamples) continue;
        if (std::string m = MarkerIn(lines[i], form); !m.empty()) marker = m;
        if (lines[i] != ".nf") continue;
        Example example{path.filename().string() + ":" + std::to_string(i + 1), marker, ""};
        for (++i; i < lines.size() && lines[i] != ".fi"; ++i) example.text += Unroffed(lines[i]) + "\n";
        examples.push_back(example);
        marker.clear();
    }
    return examples;
}

std::string Normalized(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (!blank)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool Shows(const RunResult& run, const std::string& expected) {
    std::string wanted = Normalized(expected);
    return Normalized(run.out).find(wanted) != std::string::npos ||
           Normalized(run.err).find(wanted) != std::string::npos;
}

// A folder for one example: the bundled examples, the tools, the document's
// files.
struct ExampleFolder {
    TempDir dir;
    explicit ExampleFolder(const std::map<std::string, std::string>& files) {
        fs::create_directories(dir / "examples");
        fs::create_directories(dir / "build");
        fs::create_directories(dir / "bin");
        fs::create_directories(dir / "tmp");
        for (const auto& entry : fs::directory_iterator(kSource / "examples")) {
            fs::copy_file(entry.path(), dir / entry.path().filename().string());
            fs::copy_file(entry.path(), dir / ("examples/" + entry.path().filename().string()));
        }
        for (const std::string folder : {"build/", "bin/"}) {
            fs::create_symlink(MORVIK_BIN, dir / (folder + "Morvik"));
            fs::create_symlink(MORVIK_INSPECT_BIN, dir / (folder + "Morvik-inspect"));
        }
        for (const auto& [name, text] : files) WriteFile(dir / name, text);
    }
    // Runs shell text in the folder; the man pages' installed paths stand
    // for the folder's own.
    RunResult Run(std::string script) const {
        script = Replaced(script, "/tmp/", dir / "tmp/");
        script = Replaced(script, "/usr/share/doc/morvik/examples", dir / "examples");
        RunOptions options;
        options.cwd = dir.path;
        options.env = {"PATH=" + dir / "bin" + ":/usr/bin:/bin"};
        options.unsetEnv = {"POSIXLY_CORRECT"};
        return RunProgram("/bin/sh", {"sh", "-c", script}, options);
    }
};

std::string After(const std::string& marker, const std::string& head) {
    return marker.rfind(head, 0) == 0 ? Trimmed(marker.substr(head.size())) : "";
}

// Runs the examples of one document; the report of what ran and what was
// skipped goes to standard output.
void CheckDocument(const std::string& name, const std::vector<Example>& examples) {
    std::map<std::string, std::string> files;
    for (const Example& e : examples) {
        if (std::string file = After(e.marker, "file "); !file.empty()) files[file] = e.text;
    }
    RunResult last;
    for (const Example& e : examples) {
        SCOPED_TRACE(e.where + " (" + e.marker + ")");
        if (std::string why = After(e.marker, "skip:"); !why.empty()) {
            std::printf("[  SKIP    ] %s: %s\n", e.where.c_str(), why.c_str());
            continue;
        }
        std::printf("[  EXAMPLE ] %s: %s\n", e.where.c_str(), e.marker.c_str());
        ExampleFolder folder(files);
        if (std::string file = After(e.marker, "file "); !file.empty()) {
            RunResult bind = folder.Run("build/Morvik -i '" + file + "' -o doc-test.bin");
            EXPECT_EQ(bind.status, 0) << "the PAR file does not bind:\n" << bind.out << bind.err;
        } else if (e.marker == "run" || e.marker.rfind("run after:", 0) == 0) {
            last = folder.Run("set -e\n" + After(e.marker, "run after:") + "\n" + e.text);
            EXPECT_EQ(last.status, 0) << last.out << last.err;
        } else if (e.marker == "output") {
            EXPECT_TRUE(Shows(last, e.text)) << "the run before prints:\n" << last.out << last.err;
        } else if (std::string command = After(e.marker, "output of:"); !command.empty()) {
            RunResult run = folder.Run(command);
            EXPECT_TRUE(Shows(run, e.text)) << "it prints:\n" << run.out << run.err;
        } else {
            ADD_FAILURE() << "an example without a doc-test marker in " << name;
        }
    }
}

TEST(Docs, ReadmeExamplesDoWhatTheySay) { CheckDocument("README.md", MarkdownExamples(kSource / "README.md")); }

TEST(Docs, ManPageExamplesDoWhatTheySay) {
    for (const char* page : {"man/Morvik.1", "man/Morvik-inspect.1", "man/morvik-par.5"}) {
        SCOPED_TRACE(page);
        std::vector<Example> examples = ManExamples(kSource / page);
        EXPECT_FALSE(examples.empty()) << "no EXAMPLES";
        CheckDocument(page, examples);
    }
}

// The option names ("-x", "--name") in `text`.
std::set<std::string> OptionsIn(const std::string& text) {
    static const std::regex option("(^|[^\\w-])(--?[A-Za-z][\\w-]*)");
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) found.insert((*it)[2]);
    return found;
}

// The options a man page's OPTIONS section lists: the items' heads.
std::set<std::string> ManOptions(const fs::path& page) {
    std::vector<std::string> lines = LinesOf(page);
    std::string heads;
    bool inOptions = false;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind(".SH", 0) == 0) inOptions = lines[i] == ".SH OPTIONS";
        if (inOptions && lines[i] == ".TP") heads += Unroffed(lines[i + 1]) + "\n";
    }
    return OptionsIn(heads);
}

// The words the completion function of a tool offers for an option.
std::set<std::string> CompletedOptions(const std::string& function) {
    std::ifstream in(kSource / "completion" / "morvik.bash");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = text.find(function + "() {");
    size_t words = text.find("compgen -W '-", start);
    if (start == std::string::npos || words == std::string::npos) return {};
    size_t from = text.find('\'', words) + 1;
    return OptionsIn(text.substr(from, text.find('\'', from) - from));
}

// The options a tool's usage text (-h) lists, behind its first line.
std::set<std::string> UsageOptions(const std::string& program) {
    RunResult run = RunProgram(program, {program, "-h"});
    std::string text = run.out.substr(run.out.find('\n') + 1);
    return OptionsIn(text.substr(0, text.find("Exit status")));
}

TEST(Docs, ManPagesCompletionAndUsageNameTheSameOptions) {
    // Morvik's usage text is fixed as it has always been printed: the long
    // options added since are named here instead.
    const struct {
        const char* page;
        const char* completion;
        std::string program;
        std::set<std::string> beyondUsage;
    } tools[] = {
        {"man/Morvik.1", "_morvik", MORVIK_BIN, {"--quiet", "--strict", "--makedeps", "--map"}},
        {"man/Morvik-inspect.1", "_morvik_inspect", MORVIK_INSPECT_BIN, {}},
    };
    for (const auto& tool : tools) {
        SCOPED_TRACE(tool.page);
        std::set<std::string> usage = UsageOptions(tool.program);
        usage.insert(tool.beyondUsage.begin(), tool.beyondUsage.end());
        EXPECT_GE(usage.size(), 7u);
        EXPECT_EQ(ManOptions(kSource / tool.page), usage);
        EXPECT_EQ(CompletedOptions(tool.completion), usage);
    }
}

}  // namespace
}  // namespace morvik_test
