#pragma once

namespace morvik {

constexpr const char* kVersionText = "0.05 Beta";

void ShowBindUsage();
void ShowVersion();

}  // namespace morvik
