#pragma once

namespace morvik {

extern int debug_open;

// Runs the whole tool on an argument vector and returns its exit status.
// The option scanner is fully re-initialized, so it can run many times in
// one process. argv's pointers may be reordered.
int RunMorvik(int argc, char** argv);

}  // namespace morvik
