#include "support/schema.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "support/run_tool.h"

namespace morvik_test {

namespace {

constexpr const char kPython[] = "/usr/bin/python3";

// argv: the schema, then files of one document a line. Prints each problem
// as "document N: PATH: MESSAGE"; exits 3 when the module is missing.
constexpr const char kValidator[] = R"py(
import json, sys
try:
    import jsonschema
except ImportError:
    sys.exit(3)
schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.validators.validator_for(schema)
validator.check_schema(schema)
check = validator(schema)
number = 0
for name in sys.argv[2:]:
    for line in open(name, encoding="utf-8"):
        number += 1
        for error in check.iter_errors(json.loads(line)):
            where = "/".join(str(part) for part in error.absolute_path) or "(the document)"
            print("document %d: %s: %s" % (number, where, error.message))
)py";

std::string SchemaPath(const std::string& schema) {
    return std::string(MORVIK_SOURCE_DIR) + "/docs/" + schema + ".schema.json";
}

struct Recorded {
    std::string test;
    std::string document;
};

std::map<std::string, std::vector<Recorded>>& RecordedDocuments() {
    static std::map<std::string, std::vector<Recorded>> documents;
    return documents;
}

// Checks what the tests recorded once they have all run.
class SchemaCheckAtTheEnd : public ::testing::Environment {
public:
    void TearDown() override {
        auto& recorded = RecordedDocuments();
        if (recorded.empty()) return;
        if (std::string why = WhySchemaCheckCannotRun(); !why.empty()) {
            std::printf("[  SKIP    ] the JSON documents are not checked against their schemas: %s\n", why.c_str());
            return;
        }
        for (const auto& [schema, items] : recorded) {
            std::vector<std::string> documents;
            for (const Recorded& item : items) documents.push_back(item.document);
            std::string problems = SchemaProblems(schema, documents);
            for (const std::string& line : Lines(problems)) {
                size_t number = std::strtoul(line.c_str() + std::string("document ").size(), nullptr, 10);
                const std::string test = number >= 1 && number <= items.size() ? items[number - 1].test : "?";
                ADD_FAILURE() << test << " made a document that does not match docs/" << schema
                              << ".schema.json: " << line << "\n"
                              << (number >= 1 && number <= items.size() ? items[number - 1].document : "");
            }
            std::printf("[  SCHEMA  ] %zu document(s) checked against docs/%s.schema.json\n", items.size(),
                        schema.c_str());
        }
    }
};

}  // namespace

std::string WhySchemaCheckCannotRun() {
    static const std::string why = [] {
        if (::access(kPython, X_OK) != 0) return std::string(kPython) + " is missing (Debian: apt-get install python3)";
        RunResult run = RunProgram(kPython, {kPython, "-c", "import jsonschema"});
        if (run.status != 0)
            return std::string(kPython) + " has no jsonschema module (Debian: apt-get install python3-jsonschema)";
        return std::string();
    }();
    return why;
}

std::string SchemaProblems(const std::string& schema, const std::vector<std::string>& documents) {
    TempDir dir;
    std::string lines;
    for (std::string document : documents) {
        while (!document.empty() && document.back() == '\n') document.pop_back();
        if (document.find('\n') != std::string::npos) return "a document of more than one line";
        lines += document + "\n";
    }
    WriteFile(dir / "documents", lines);
    RunResult run = RunProgram(kPython, {kPython, "-c", kValidator, SchemaPath(schema), dir / "documents"});
    if (run.status != 0) return "the validator failed (status " + std::to_string(run.status) + "): " + run.err + "\n";
    return run.out;
}

void ExpectMatchesSchema(const std::string& schema, const std::string& document) {
    static ::testing::Environment* const check = ::testing::AddGlobalTestEnvironment(new SchemaCheckAtTheEnd);
    (void)check;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "?";
    RecordedDocuments()[schema].push_back({name, document});
}

}  // namespace morvik_test
