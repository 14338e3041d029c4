#pragma once

#include "model/context.h"

namespace morvik {

// Results of ParseParInfo.
constexpr int kParOk = 0;
constexpr int kParFormatError = 1;  // a line could not be used; messages printed
constexpr int kParOpenFailed = 3;   // the PAR file itself cannot be opened
constexpr int kParFileMissing = 4;  // a named image or PID file cannot be opened

// Reads the PAR file into `info`, which must be in its init_info state.
int ParseParInfo(const char* path, ParInfo* info);

// Prints the PAR line format text.
void ShowParFormatUsage();

}  // namespace morvik
