// The map of a bind (--map): one JSON document of where everything went,
// from the bind context once the image is written (its headers sealed).
// docs/morvik-map.schema.json describes it member by member.
//
// For each PAR line in PAR order: its file and line, the image offset as the
// line gives it (a kernel's header), the data offset (a kernel's data 0x100
// past its header), the length, the area's end, the reserved range (-l as
// given, 0 for none, and whether it was kept), the byte that fills the
// range behind the data, the bytes of the range nothing else takes and the
// percent used (rounded down, so 100 only for a range filled to the byte),
// the gap to the next area up (or to the output's end), the group and the
// role. Then each firmware header with its entries and CRC-32s, the PID
// block, the FW PID records, and totals that add up to the output's size:
// bytes that hold what the bind put there, free bytes of kept ranges, and
// fill. Every number is a plain integer, every name escaped as JsonName
// does.
#pragma once

#include <cstdint>
#include <string>

#include "model/context.h"

namespace morvik {

// The "schemaVersion" of the map: raised whenever a member changes its
// meaning or goes away.
constexpr uint64_t kMapSchemaVersion = 1;

// The map as one JSON document with its line end. `parPath` and `outPath`
// as given on the command line.
std::string BindMapDocument(const ParInfo* info, const char* parPath, const char* outPath);

}  // namespace morvik
