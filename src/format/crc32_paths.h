// The three routes behind crc32_update. crc32_update picks the fastest one the
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

// True when the processor can run Crc32UpdateWideCarryless: AVX-512 (F, BW,
// VL) with the 512-bit carry-less multiply, enabled by the operating system.
bool Crc32HasWideCarrylessMultiply();

// Wide carry-less multiply route: folds 256 bytes per step in four 512-bit
// vectors. Call it only when Crc32HasWideCarrylessMultiply() says so;
// elsewhere it falls back to Crc32UpdateCarryless.
uint32_t Crc32UpdateWideCarryless(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace morvik
