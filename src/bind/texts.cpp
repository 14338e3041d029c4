#include "bind/texts.h"

#include <cstdio>

namespace morvik {

void ShowBindUsage() {
    std::printf(
        "Usage : Morvik [-i PAR_FILE] [-o BIN_FILE] [-p PAD] [-d] [-v] [-h] [-f]\n"
        "Bind bootloader with fw images into Tavrick Binary Image.\n"
        "\n"
        "\t-i, PAR_FILE\t\tIndicating PAR file. Default is 'ARMPARA.PAR'\n"
        "\t-o, BIN_FILE\t\tGive Output file name. Default is 'ARMOut.bin'\n"
        "\t-p, --pad\t\tPAD = [0x00 | 0xff] , choose pad values for output image\n"
        "\t-d, --debug\t\toption to open debug \n"
        "\t-f, --parfmt\t\toption to show Par file line format\n"
        "\t-v, --version\t\toutput version information \n"
        "\t-h, --help\t\tdisplay this help and exit \n");
}

void ShowVersion() {
    std::printf("Morvik (Tavrick Image Bind Tool) %s\n", kVersionText);
    std::printf(
        "\n"
        "Copyright (C) 2026 the Morvik authors.\n"
        "This is free software: you may use, copy and share it within the\n"
        "terms under which you received it.\n"
        "There is NO WARRANTY, to the extent permitted by law: not even for\n"
        "MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE.\n"
        "Check every image you bind before you flash it to a device.\n");
}

}  // namespace morvik
