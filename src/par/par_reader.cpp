// Placeholder until the PAR reader lands.
#include "par/par_reader.h"

#include <cstdio>

namespace morvik {

int ParseParInfo(const char*, ParInfo*) {
    std::printf("Error : binding is not available yet in this build!\n");
    return kParFormatError;
}

void ShowParFormatUsage() {}

}  // namespace morvik
