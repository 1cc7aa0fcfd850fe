// The console in memory, for the fuzz targets: screen output goes to stdout
// (which the targets send to /dev/null), no key is ever pressed. The window
// is 80 x 40: a cursor placed outside it is a fault of the screen code.
#include <cstdio>
#include <cstdlib>

#include "console.h"

namespace {

constexpr int kCols = 80;
constexpr int kRows = 40;

void CheckInWindow(int x, int y) {
  if (x < 0 || x >= kCols || y < 0 || y >= kRows) {
    std::fprintf(stderr, "memory console: cursor moved to %d,%d\n", x, y);
    std::abort();
  }
}

}  // namespace

void ConsoleClear() { std::fputs("\x1b[H\x1b[2J", stdout); }

void GotoXY(int x, int y) {
  CheckInWindow(x, y);
  std::printf("\x1b[%d;%dH", y + 1, x + 1);
}

void ConsoleText(const char* text) { std::fputs(text, stdout); }
void ConsoleFlush() {}
void ConsoleClearToEndOfRow() { std::fputs("\x1b[K", stdout); }

void ConsolePutRow(int x, int y, const char* text, int n) {
  GotoXY(x, y);
  if (n < 0 || x + n >= kCols) std::abort();  // a row's text never reaches the last column
  std::fwrite(text, 1, static_cast<std::size_t>(n), stdout);
  ConsoleClearToEndOfRow();
}
ConsoleSize ConsoleWindowSize() { return {kCols, kRows}; }

void ConsoleScrollArea(int top, int bottom) {
  CheckInWindow(0, top);
  CheckInWindow(0, bottom);
  if (top >= bottom) std::abort();  // a one-row area cannot scroll
  GotoXY(0, bottom);
}

void ConsoleEndScrollArea() {}

bool ConsoleTakeRedraw() { return false; }
int ConsoleTakeDroppedLines() { return 0; }
int ConsolePendingSignal() { return 0; }

Keyboard::Keyboard() = default;
Keyboard::~Keyboard() = default;
int Keyboard::Poll() { return kKeyNone; }
LineWait Keyboard::Wait(std::intptr_t, int) {
  return LineWait::Unwatched;
}  // the memory line never waits

void ConsoleCountTraceLine() {}
// One byte, one column: the row check above counts bytes.
ConsoleCharset ConsoleNameCharset() { return ConsoleCharset::EightBit; }
