// Placeholder until the planner lands.
#include "plan/planner.h"

#include <cstdio>

namespace morvik {

int32_t par_extra_info(ParInfo*) {
    std::printf("Error : binding is not available yet in this build!\n");
    return -1;
}

int32_t IndexOfLastImgInGroup(const ParInfo*, uint8_t) { return -1; }

}  // namespace morvik
