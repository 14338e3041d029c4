// The routes behind crc32_update. crc32_update picks the fastest one the
// processor offers; they are declared here so that each can be held against
// an independent CRC-32 on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik {

// Table route: 16 bytes per step through sixteen 256-entry tables built at
// compile time. Runs on any host.
uint32_t Crc32UpdateTables(uint32_t crc, const uint8_t* data, size_t length);

// True when the processor can run Crc32UpdateCarryless.
bool Crc32HasCarrylessMultiply();

// Carry-less multiply route: folds 64 bytes per step with PCLMULQDQ. Call it
// only when Crc32HasCarrylessMultiply() says so; elsewhere it falls back to
// the table route.
uint32_t Crc32UpdateCarryless(uint32_t crc, const uint8_t* data, size_t length);

// True when the processor can run Crc32UpdateWide (AVX-512 and VPCLMULQDQ).
bool Crc32HasWideCarryless();

// Wide carry-less route: folds 256 bytes per step in 512-bit registers. Call
// it only when Crc32HasWideCarryless() says so; elsewhere it falls back to
// the carry-less route.
uint32_t Crc32UpdateWide(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace morvik
