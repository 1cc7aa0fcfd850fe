// What the Windows console is given back on the way out, decided on plain
// numbers (wincon.h's values, checked against them in console_win32.cpp) so
// that the decisions can be tested on any platform.
#pragma once

constexpr unsigned long kInsertModeFlag = 0x0020;     // ENABLE_INSERT_MODE
constexpr unsigned long kQuickEditModeFlag = 0x0040;  // ENABLE_QUICK_EDIT_MODE
constexpr unsigned long kExtendedFlagsFlag = 0x0080;  // ENABLE_EXTENDED_FLAGS
constexpr unsigned long kFallbackCursorSize = 25;     // a console's usual cursor

// The cursor size to set: SetConsoleCursorInfo refuses a size outside 1 to
// 100, which some consoles report, so such a size becomes 25.
constexpr unsigned long CursorSizeToSet(unsigned long size) {
  return size >= 1 && size <= 100 ? size : kFallbackCursorSize;
}

// The input mode to restore. A mode read without ENABLE_EXTENDED_FLAGS shows
// neither insert mode nor QuickEdit, and setting it back as it is would turn
// both off: the shell's insert mode and mouse selection are added then.
constexpr unsigned long InputModeToRestore(unsigned long saved) {
  return (saved & kExtendedFlagsFlag) != 0
             ? saved
             : saved | kExtendedFlagsFlag | kInsertModeFlag | kQuickEditModeFlag;
}
