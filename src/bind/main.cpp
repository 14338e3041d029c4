#include <cstdlib>

#include "bind/run.h"

int main(int argc, char** argv) {
    std::exit(morvik::RunMorvik(argc, argv));
}
