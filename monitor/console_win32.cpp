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

namespace {

bool ScreenInfo(HANDLE out, CONSOLE_SCREEN_BUFFER_INFO& info) {
  return GetConsoleScreenBufferInfo(out, &info) != 0;
}

}  // namespace

void ConsoleClearToEndOfRow() {
  std::fflush(stdout);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!ScreenInfo(out, info)) return;
  DWORD done = 0;
  const auto n = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
  FillConsoleOutputCharacterA(out, ' ', n, info.dwCursorPosition, &done);
}

ConsoleSize ConsoleWindowSize() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!ScreenInfo(GetStdHandle(STD_OUTPUT_HANDLE), info)) return {0, 0};
  // Rows count from the buffer's top, where the screen was drawn.
  return {info.srWindow.Right + 1, info.srWindow.Bottom + 1};
}

void ConsoleScrollArea(int top, int bottom) {
  std::fflush(stdout);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!ScreenInfo(out, info)) return;
  const SMALL_RECT moved{0, static_cast<SHORT>(top + 1), static_cast<SHORT>(info.dwSize.X - 1),
                         static_cast<SHORT>(bottom)};
  CHAR_INFO blank{};
  blank.Char.AsciiChar = ' ';
  blank.Attributes = info.wAttributes;
  ScrollConsoleScreenBufferA(out, &moved, nullptr, COORD{0, static_cast<SHORT>(top)}, &blank);
  SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(bottom)});
}

void ConsoleEndScrollArea() {}  // a Windows console has no scroll area to lift

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
