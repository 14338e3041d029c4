#include <cstdlib>

#include "bind/run.h"
#include "sys/io.h"

int main(int argc, char** argv) {
    if (!morvik::OpenClosedStandardStreams("Morvik")) return 1;
    std::exit(morvik::RunMorvik(argc, argv));
}
