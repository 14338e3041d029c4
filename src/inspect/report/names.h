// What the reports call things: one table per kind of finding, with a
// column for each report that shows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspect/judge/findings.h"

namespace morvik {

// A state as the JSON report names it and as the text report says it.
struct StateNames {
    const char* json;
    const char* text;
};
const StateNames& NamesOf(HeaderState state);
const StateNames& NamesOf(PidBlockState state);

// A region kind as the JSON report names it ("kind"), and its label, which
// RegionLabel completes with the region's numbers for group images, fill
// and runs.
struct RegionKindNames {
    const char* json;
    const char* label;
};
const RegionKindNames& NamesOf(RegionKind kind);

// The label of a region in every report: "FW header", "image 1 of header
// 0x00008000", "fill 0xff", ...
std::string RegionLabel(const Region& region);

// The kinds the drawings tell apart (a group image is its group's kernel
// or another one), in the legend's order.
enum class MapKind { Header, Kernel, GroupImage, Data, PidBlock, FwPidRecord, Fill, ByteRun, DamagedHeader };
constexpr size_t kMapKinds = 9;

struct MapKindLook {
    char overview;       // its character in the text report's overview line
    int rank;            // who wins a shared character: rarer, smaller things, so that a record still shows
    const char* legend;  // the SVG legend's words
    const char* colour;  // the SVG colour
};
MapKind MapKindOf(const Region& region);
const MapKindLook& LookOf(MapKind kind);

// A version field: its bytes up to the first NUL, at most 4.
std::string VersionText(const uint8_t* version);

}  // namespace morvik
