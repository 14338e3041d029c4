// Random valid layouts for round-trip tests: a PAR file and the files it
// names, bound by the real Morvik and read back by the inspector.
#pragma once

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/image_model.h"

namespace morvik_test {

// One random valid layout: plain images, up to two groups, the PID block
// and (without groups) a FW PID record in the gaps, ranges with pads.
struct Layout {
    std::string par;
    std::vector<std::pair<std::string, Bytes>> files;
    const char* fill;
};

Layout RandomLayout(std::mt19937& rng);

}  // namespace morvik_test
