// A PAR file the run cannot use fails it before any output file exists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_tool.h"

namespace {

using morvik_test::TempDir;

TEST(E2eParTest, UnusableParFilesFailTheRunWithoutOutput) {
    const std::string good = "$Size &100\n:boot.bin &0\n";
    const struct { const char* name; std::string par; std::vector<std::string> outHas; } cases[] = {
        {"missing image", ":none.bin &1000\n" + good,
         {"Error:open file none.bin failed\n", "Open file none.bin fail!\n"}},
        {"missing PID file", "%none.txt &7fff\n" + good, {"Open PID file none.txt fail!\n"}},
        {"no PAR file", "", {"Error : open Par file ARMPARA.PAR failed!\n", "Usage : Morvik"}},
        {"format error", ":boot.bin &0x10\n" + good,
         {"Error: Offset should be in Hex!\nUsage : Par File Line Format.\n"}},
        {"bad -v", ":boot.bin &0 -v 1.0\n" + good, {"Usage : Par File Line Format.\n"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        morvik_test::WriteFile(dir / "boot.bin", morvik_test::PatternBytes(100, 1));
        if (!c.par.empty()) morvik_test::WriteFile(dir / "ARMPARA.PAR", c.par);
        morvik_test::RunResult run = morvik_test::RunMorvik({}, dir.path);
        EXPECT_EQ(run.status, 1) << c.name;
        for (const std::string& text : c.outHas) EXPECT_NE(run.out.find(text), std::string::npos) << c.name;
        EXPECT_EQ(run.out.find("Size info"), std::string::npos) << c.name;  // later lines are not read
        EXPECT_FALSE(morvik_test::FileExists(dir / "ARMOut.BIN")) << c.name;
    }
}

}  // namespace
