// The steps of an inspection, inside the judgement: the markers judged
// during the pass, and the stages after it.
#pragma once

#include <cstdint>

#include "inspect/judge/inspection.h"

namespace morvik {

// FW PID records that no header points to are traced back to a header whose
// magic was damaged; only this many are traced.
constexpr size_t kMaxRecordTraces = 8;
// Header candidates kept for tracing a header from its FW PID record.
constexpr size_t kMaxNearHeaders = 4096;

// ---- judging markers (during the pass) -----------------------------------

// Counts one more marker of a kind against the budget. false once the kind
// has used its budget up: the kind is then closed, and the overflow is
// noted as "N <what>".
bool CountMarker(InspectionRun* run, uint64_t* seen, bool* closed, const char* what);

// True when `finds` of a kind are kMaxFinds already: the overflow is then
// noted as "64 <what>" and no more are kept.
bool FindsAreFull(InspectionRun* run, size_t finds, const char* what);

// A "Tav" and NUL at `at`, with the bytes around it in `view`.
void JudgeHeaderMarker(InspectionRun* run, const ByteView& view, uint64_t at);
// A header magic with one or two bytes damaged at `at`.
void NoteNearHeader(InspectionRun* run, const ByteView& view, uint64_t at);
// A "tAvRiCk" at `at`.
void JudgePidMagic(InspectionRun* run, const ByteView& view, uint64_t at);
// An "aVrIcK" at `at`.
void NoteRecordTag(InspectionRun* run, const ByteView& view, uint64_t at);

// ---- stages after the pass -------------------------------------------------

// Reads the 16 bytes at `at` and checks them, against `pid` when given.
FwPidCheck CheckFwPidRecord(ImageFile* file, uint64_t at, const PidBlockFind* pid);

// Fills in the fields, the entries (all but their CRC-32) and the FW PID
// record of every header the pass kept.
void ReadHeaderFields(InspectionRun* run);

// Finds FW PID records that no header points to; a header whose magic was
// damaged is found again through its record.
void FindLooseRecords(InspectionRun* run);

// Checks every entry's CRC-32 against the file.
void CheckEntryCrcs(InspectionRun* run);

// Builds the layout map.
void BuildRegions(InspectionRun* run);

// Turns the findings into named failures and notes.
void CollectFailures(Inspection* inspection);

}  // namespace morvik
