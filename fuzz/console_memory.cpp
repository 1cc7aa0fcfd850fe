// The console in memory, for the fuzz targets: screen output goes to stdout
// (which the targets send to /dev/null), no key is ever pressed.
#include <cstdio>
#include <cstdlib>

#include "console.h"

void ConsoleClear() { std::fputs("\x1b[H\x1b[2J", stdout); }

void GotoXY(int x, int y) {
  // Rows 0..11 are fixed, then one row per name: at most 100 of them.
  if (x < 0 || x > 79 || y < 0 || y > 12 + 99) {
    std::fprintf(stderr, "memory console: cursor moved to %d,%d\n", x, y);
    std::abort();
  }
  std::printf("\x1b[%d;%dH", y + 1, x + 1);
}

void ConsoleFlush() {}

Keyboard::Keyboard() = default;
Keyboard::~Keyboard() = default;
int Keyboard::Poll() { return kKeyNone; }
