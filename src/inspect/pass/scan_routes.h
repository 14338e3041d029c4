// The byte-scanning routes of the inspector's pass over a file: where a
// marker may start, and where runs of 0x00 / 0xFF are. Each comes in the
// forms the processor may offer; the dispatching functions pick the fastest,
// and each form is declared here so that it can be held against a naive
// search on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik {

// ---- where a marker may start --------------------------------------------

// A position passes when at least two of its four bytes read 'T', then 'a'
// or 'A', then 'v' or 'V', then NUL. Every header magic ("Tav" and NUL)
// passes at its first byte, a header magic with up to two damaged bytes
// too, "tAvRiCk" at its first byte and "aVrIcK" one byte in front of it.
// On image data about one position in 8000 passes.
inline bool MayStartMarker(const uint8_t* p) {
    int same = (p[0] == 'T') + ((p[1] | 0x20) == 'a') + ((p[2] | 0x20) == 'v') + (p[3] == 0);
    return same >= 2;
}

// Bytes of one step of the vector routes; a route stops early only at a
// step boundary.
constexpr size_t kMarkerStep = 64;

// Each route stores every position p in [from, to) of `data` that passes,
// in ascending order, in `hits`; the bytes up to to + 3 must be readable.
// It stops early when fewer than kMarkerStep slots are left (the plain
// route: when none is left). Returns the number stored and sets *next to
// the first position not scanned.
size_t FindMarkerStartsPlain(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                             size_t* next);
size_t FindMarkerStartsSse2(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity, size_t* next);
// Call only when ScanHasAvx2() says so.
size_t FindMarkerStartsAvx2(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity, size_t* next);
// Call only when ScanHasAvx512() says so.
size_t FindMarkerStartsAvx512(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity,
                              size_t* next);
size_t FindMarkerStarts(const uint8_t* data, size_t from, size_t to, uint32_t* hits, size_t capacity, size_t* next);

bool ScanHasAvx2();
bool ScanHasAvx512();

// ---- runs of 0x00 / 0xFF --------------------------------------------------

// Runs are found through 32-byte blocks at offsets that are multiples of 32
// from `data`: any run of 63 bytes or more holds one whole.
constexpr size_t kUniformBlock = 32;

// The offset of the first block at a multiple of `step` (32, or 64 when
// only longer runs matter: any run of 95 bytes or more holds a whole block
// at a multiple of 64) from `from` (a multiple of `step`) that ends by `to` and
// whose bytes are all 0x00 or all 0xFF; `to` rounded down to a multiple of
// 32 when there is none.
size_t NextUniformBlockPlain(const uint8_t* data, size_t from, size_t to, size_t step);
size_t NextUniformBlockAvx2(const uint8_t* data, size_t from, size_t to, size_t step);
size_t NextUniformBlock(const uint8_t* data, size_t from, size_t to, size_t step);

// The offset of the first block from `from` (a multiple of 32) before `to`
// that is not all `byte` (0x00 or 0xFF); `to` rounded down to a block when
// every block is.
size_t EndOfUniformBlocksPlain(const uint8_t* data, size_t from, size_t to, uint8_t byte);
size_t EndOfUniformBlocksAvx2(const uint8_t* data, size_t from, size_t to, uint8_t byte);
size_t EndOfUniformBlocks(const uint8_t* data, size_t from, size_t to, uint8_t byte);

}  // namespace morvik
