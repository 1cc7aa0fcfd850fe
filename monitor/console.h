// The console of the monitor (platform code: console_posix.cpp,
// console_win32.cpp). All screen output goes through stdout, so text and
// cursor moves reach the terminal in program order.
#pragma once

constexpr int kKeyNone = -1;  // no key waiting
constexpr int kKeyEnd = -2;   // the keyboard is gone (end of input, hang-up)
constexpr int kKeyEsc = 27;

// Clears the console and puts the cursor at the top left.
void ConsoleClear();
// Moves the cursor to column x, row y, counted from 0 at the top left.
void GotoXY(int x, int y);
// Hands everything printed so far to the terminal.
void ConsoleFlush();
// Blanks the rest of the cursor's row, from the cursor on.
void ConsoleClearToEndOfRow();
// Writes n characters of text (no line break) at column x of row y and
// blanks the rest of that row. Rows put one after the other may reach the
// console together (Windows writes consecutive rows in one call), always
// before anything printed after them.
void ConsolePutRow(int x, int y, const char* text, int n);

// The console window's size in columns and rows; {0, 0} when standard output
// is no console (then nothing can be placed below the table).
struct ConsoleSize {
  int cols;
  int rows;
};
ConsoleSize ConsoleWindowSize();

// The trace area: rows top..bottom (both counted from 0) scroll on their own,
// and nothing above top ever moves. ConsoleScrollArea moves the area's rows
// up by one, blanks its bottom row and leaves the cursor there.
void ConsoleScrollArea(int top, int bottom);
// Lifts any scroll area, so that the whole window scrolls again (also done
// by the end signals' handler).
void ConsoleEndScrollArea();

// Key polling without echo and without waiting. Construction puts the
// keyboard into that mode; destruction, and the signals that end the
// program (SIGINT, SIGTERM, SIGHUP: exit status 128 + the signal's number),
// restore it as it was found.
class Keyboard {
 public:
  Keyboard();
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // The key waiting, kKeyNone, or kKeyEnd. Multi-byte keys (arrows,
  // function keys) are read whole and reported as kKeyNone, so that only a
  // lone ESC gives kKeyEsc.
  int Poll();
};
