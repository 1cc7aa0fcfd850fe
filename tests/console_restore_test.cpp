// What the Windows console is given back: a cursor size SetConsoleCursorInfo
// takes, and the shell's insert mode and QuickEdit where the saved input mode
// could not show them.
#include "console_restore.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleRestore, CursorSizeOutsideOneTo100Becomes25) {
  const unsigned long kCases[][2] = {{0, 25},    {1, 1},    {57, 57},
                                     {100, 100}, {101, 25}, {0xFFFFFFFF, 25}};
  for (const auto& c : kCases) EXPECT_EQ(CursorSizeToSet(c[0]), c[1]) << c[0];
}

TEST(ConsoleRestore, ModeWithoutExtendedFlagsGetsInsertAndQuickEdit) {
  const unsigned long kCases[][2] = {
      {0x01F7, 0x01F7},  // with the flag: as saved
      {0x0087, 0x0087},  // with the flag, insert and QuickEdit off: as saved
      {0x0017, 0x00F7},  // without: the flag, insert mode and QuickEdit added
      {0x0000, 0x00E0}};
  for (const auto& c : kCases) EXPECT_EQ(InputModeToRestore(c[0]), c[1]) << std::hex << c[0];
}

}  // namespace
