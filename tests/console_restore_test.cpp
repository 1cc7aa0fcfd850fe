// The cursor size and the input mode that the Windows console is given back.
#include "console_restore.h"

#include <gtest/gtest.h>

TEST(ConsoleRestore, CursorSizeOneTo100AndInsertModeAndQuickEditKept) {
  for (const auto& [size, set] : {std::pair{0ul, 25ul}, {1ul, 1ul}, {100ul, 100ul}, {101ul, 25ul}})
    EXPECT_EQ(CursorSizeToSet(size), set) << size;
  // Saved without ENABLE_EXTENDED_FLAGS (0x80): it, insert mode and QuickEdit added.
  for (const auto& [saved, restored] : {std::pair{0x1F7ul, 0x1F7ul}, {0x17ul, 0xF7ul}})
    EXPECT_EQ(InputModeToRestore(saved), restored) << saved;
}
