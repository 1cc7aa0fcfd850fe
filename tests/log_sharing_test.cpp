// Two programs writing one comlog.log in one folder (two controllers on two
// ports): real processes, a low size limit so that the log rotates while
// both write, and every line checked afterwards.
#include <gtest/gtest.h>

#include <string>

#include "files.h"
#include "shared_log.h"
#include "shell.h"
#include "temp_dir.h"

namespace {

TEST(SharedLog, TwoProgramsAcrossARotationLoseAndMixNoLine) {
  constexpr int kLines = 2000;    // each, about 290 KB together
  constexpr int kLimit = 200000;  // rotates once, well into the run
  const std::string writer = Quote(VARNHALT_LOG_WRITER);
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    TempDir dir;
    const std::string args = " " + std::to_string(kLines) + " " + std::to_string(kLimit);
    std::string out;
    EXPECT_EQ(ShellStatus(TwoWriters(dir.path(), writer + " A" + args, writer + " B" + args), &out),
              0)
        << ReadFile(dir.File("first.err")) << ReadFile(dir.File("second.err"));
    EXPECT_EQ(CheckSharedLog(dir.path(), {"A", "B"}, kLines, "\n"), "");
  }
}

}  // namespace
