#include "inspect/report/names.h"

#include "format/placement.h"
#include "inspect/pass/text.h"

namespace morvik {

namespace {

// Indexed by HeaderState.
constexpr StateNames kHeaderStates[] = {
    {"sealed", "sealed, verifies"},
    {"damaged", "DOES NOT VERIFY"},
    {"truncated", "CUT OFF by the end of the file"},
};
static_assert(sizeof kHeaderStates / sizeof kHeaderStates[0] == static_cast<size_t>(HeaderState::Truncated) + 1);

// Indexed by PidBlockState.
constexpr StateNames kPidBlockStates[] = {
    {"complete", "complete"},
    {"short", "short PID"},
    {"damaged", "DAMAGED"},
    {"truncated", "CUT OFF by the end of the file"},
};
static_assert(sizeof kPidBlockStates / sizeof kPidBlockStates[0] == static_cast<size_t>(PidBlockState::Truncated) + 1);

// Indexed by RegionKind; the labels of group images, fill and byte runs
// carry the region's numbers (RegionLabel).
constexpr RegionKindNames kRegionKinds[] = {
    {"header", "FW header"},
    {"damaged-header", "FW header (damaged)"},
    {"image", "image"},
    {"pid-block", "PID block"},
    {"fw-pid-record", "FW PID record"},
    {"data", "other data"},
    {"fill", "fill"},
    {"byte-run", "run"},
};
static_assert(sizeof kRegionKinds / sizeof kRegionKinds[0] == static_cast<size_t>(RegionKind::ByteRun) + 1);

// Indexed by MapKind.
constexpr MapKindLook kMapKindLooks[kMapKinds] = {
    {'H', 7, "FW header", "#1f4e9c"},
    {'K', 4, "kernel image", "#2e8b57"},
    {'F', 3, "other group image", "#7ccd7c"},
    {'d', 2, "other data", "#8a6fb5"},
    {'P', 6, "PID block", "#ff8c00"},
    {'R', 5, "FW PID record", "#e0409a"},
    {'.', 0, "fill", "#e8e8e8"},
    {':', 1, "run of the other pad byte", "#f4d35e"},
    {'!', 8, "damaged header", "#d62728"},
};

}  // namespace

const StateNames& NamesOf(HeaderState state) { return kHeaderStates[static_cast<size_t>(state)]; }

const StateNames& NamesOf(PidBlockState state) { return kPidBlockStates[static_cast<size_t>(state)]; }

const RegionKindNames& NamesOf(RegionKind kind) { return kRegionKinds[static_cast<size_t>(kind)]; }

std::string RegionLabel(const Region& region) {
    const char* label = NamesOf(region.kind).label;
    switch (region.kind) {
        case RegionKind::GroupImage:
            return Format("%s %u of header %s", label, region.entry, Hex8(region.owner).c_str());
        case RegionKind::Fill:
            return Format("%s 0x%02x", label, region.byte);
        case RegionKind::ByteRun:
            return Format("%s of 0x%02x", label, region.byte);
        default:
            return label;
    }
}

MapKind MapKindOf(const Region& region) {
    switch (region.kind) {
        case RegionKind::Header:
            return MapKind::Header;
        case RegionKind::DamagedHeader:
            return MapKind::DamagedHeader;
        case RegionKind::GroupImage:
            return region.start == KernelDataStart(region.owner) ? MapKind::Kernel : MapKind::GroupImage;
        case RegionKind::PidBlock:
            return MapKind::PidBlock;
        case RegionKind::FwPidRecord:
            return MapKind::FwPidRecord;
        case RegionKind::Data:
            return MapKind::Data;
        case RegionKind::Fill:
            return MapKind::Fill;
        case RegionKind::ByteRun:
            return MapKind::ByteRun;
    }
    return MapKind::Data;
}

const MapKindLook& LookOf(MapKind kind) { return kMapKindLooks[static_cast<size_t>(kind)]; }

std::string VersionText(const uint8_t* version) {
    size_t n = 0;
    while (n < kFwVersionSize && version[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(version), n);
}

}  // namespace morvik
