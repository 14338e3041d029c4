// The JSON documents the tests make, held to the JSON Schemas in docs/ by
// Debian's python3-jsonschema. It is run as /usr/bin/python3, since another
// python3 (without the module) may come first on the PATH.
#pragma once

#include <string>
#include <vector>

namespace morvik_test {

// Why documents cannot be checked here ("" when they can): no
// /usr/bin/python3, or no jsonschema module for it.
std::string WhySchemaCheckCannotRun();

// Checks `documents` (one JSON document each) against docs/SCHEMA.schema.json
// now: one line per problem ("document N: PATH: what"), "" when every one
// matches. The schema itself is checked too.
std::string SchemaProblems(const std::string& schema, const std::vector<std::string>& documents);

// Records a document the running test made, for docs/SCHEMA.schema.json.
// When the test program ends, every recorded document is checked in one
// run of the validator, and each problem fails the program, naming the test
// that made the document; where the check cannot run, it says why.
void ExpectMatchesSchema(const std::string& schema, const std::string& document);

}  // namespace morvik_test
