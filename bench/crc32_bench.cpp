// Throughput of the CRC-32 that checksums every image of a group, measured
// against zlib's crc32 on the same 64 MiB buffer in the same run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "format/crc32_paths.h"
#include "format/image_format.h"

namespace {

constexpr size_t kBufferBytes = size_t{64} << 20;

const std::vector<uint8_t>& Buffer() {
    static const std::vector<uint8_t> buffer = [] {
        std::vector<uint8_t> bytes(kBufferBytes);
        std::mt19937_64 random(20240611);
        for (size_t i = 0; i < bytes.size(); i += 8) {
            uint64_t word = random();
            for (size_t b = 0; b < 8; ++b) bytes[i + b] = static_cast<uint8_t>(word >> (8 * b));
        }
        return bytes;
    }();
    return buffer;
}

template <typename Crc>
void Measure(benchmark::State& state, Crc crc) {
    const std::vector<uint8_t>& data = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(crc(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

// The route crc32_update picks on this processor.
void BM_MorvikCrc32(benchmark::State& state) {
    Measure(state, [](const uint8_t* p, size_t n) { return morvik::crc32_update(0, p, n); });
}

void BM_MorvikCrc32Tables(benchmark::State& state) {
    Measure(state, [](const uint8_t* p, size_t n) { return morvik::Crc32UpdateTables(0, p, n); });
}

// Each carry-less route by name; one the processor cannot run is reported as
// skipped rather than timed through its fallback.
void BM_MorvikCrc32Carryless128(benchmark::State& state) {
    if (!morvik::Crc32HasCarrylessMultiply()) return state.SkipWithError("no carry-less multiply on this processor");
    Measure(state, [](const uint8_t* p, size_t n) { return morvik::Crc32UpdateCarryless(0, p, n); });
}

void BM_MorvikCrc32Carryless512(benchmark::State& state) {
    if (!morvik::Crc32HasWideCarrylessMultiply())
        return state.SkipWithError("no 512-bit carry-less multiply on this processor");
    Measure(state, [](const uint8_t* p, size_t n) { return morvik::Crc32UpdateWideCarryless(0, p, n); });
}

void BM_ZlibCrc32(benchmark::State& state) {
    Measure(state, [](const uint8_t* p, size_t n) { return ::crc32_z(0, p, n); });
}

BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MorvikCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MorvikCrc32Tables)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MorvikCrc32Carryless128)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MorvikCrc32Carryless512)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
