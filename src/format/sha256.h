// SHA-256 (FIPS 180-4), for the checksums that go into release manifests.
// A hash is fed in pieces of any size as the bytes stream past, so that a
// file of any size is hashed in flat memory:
//   Sha256 hash;  Sha256Init(&hash);
//   Sha256Update(&hash, piece, n);  ...
//   Sha256Digest digest = Sha256Final(&hash);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace morvik {

constexpr size_t kSha256BlockSize = 64;
constexpr size_t kSha256DigestSize = 32;

using Sha256Digest = std::array<uint8_t, kSha256DigestSize>;

// The ways the compression function can run over whole blocks: plain C++ on
// any host, or the x86 SHA extensions (several times faster where the
// processor has them).
enum class Sha256Route : uint8_t { kPortable, kShaExtensions };

// A hash under way. Sha256Init sets every member; Sha256Final leaves it
// spent (Sha256Init starts it again).
struct Sha256 {
    uint32_t state[8];
    uint8_t pending[kSha256BlockSize];  // the start of a block still incomplete
    size_t pendingBytes;
    uint64_t totalBytes;
    Sha256Route route;
};

// Starts a hash on the fastest route this processor offers.
void Sha256Init(Sha256* hash);

// Starts a hash on `route`; one this processor cannot run falls back to the
// portable route. For holding the routes against each other.
void Sha256InitRoute(Sha256* hash, Sha256Route route);

// True when this processor (and this build) can run `route`.
bool Sha256RouteRuns(Sha256Route route);

// The route Sha256Init takes here.
Sha256Route Sha256FastestRoute();

// Adds `length` bytes (any count, from any address; `data` may be null
// when `length` is 0).
void Sha256Update(Sha256* hash, const uint8_t* data, size_t length);

// Pads the message and returns its digest.
Sha256Digest Sha256Final(Sha256* hash);

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace morvik
