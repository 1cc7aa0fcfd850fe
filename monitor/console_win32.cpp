// The console on Windows: "cls", SetConsoleCursorPosition and the C
// runtime's keyboard polling.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "console.h"

void ConsoleClear() {
  std::fflush(stdout);
  std::system("cls");
}

void GotoXY(int x, int y) {
  std::fflush(stdout);  // text printed before the move must land first
  const COORD pos{static_cast<SHORT>(x), static_cast<SHORT>(y)};
  SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), pos);
}

void ConsoleFlush() { std::fflush(stdout); }

Keyboard::Keyboard() {
  // One console read request at start: some consoles (Wine's) begin to
  // collect key presses only after the first one, and _kbhit alone is none.
  INPUT_RECORD record;
  DWORD events = 0;
  PeekConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &events);
}

Keyboard::~Keyboard() = default;

int Keyboard::Poll() {
  if (!_kbhit()) return kKeyNone;
  const int c = _getch();
  if (c == 0 || c == 0xE0) {  // prefix of an arrow or function key
    _getch();
    return kKeyNone;
  }
  return c;
}
