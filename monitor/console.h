// The console of the monitor (platform code: console_posix.cpp,
// console_win32.cpp). Text and cursor moves reach the terminal in program
// order, and writing never holds up the loop: on POSIX what the terminal does
// not take at once waits in a bounded backlog; on Windows, once the port is
// open, the console is written with cell calls only, which a paused or
// selecting console does not hold up.
//
// These names are the program's established interface and keep their mixed
// styles.
#pragma once

#include <cstdint>

constexpr int kKeyNone = -1;  // no key waiting
constexpr int kKeyEnd = -2;   // the keyboard is gone (end of input, hang-up)
constexpr int kKeyEsc = 27;

// Clears the console and puts the cursor at the top left.
void ConsoleClear();
// Moves the cursor to column x, row y, counted from 0 at the top left.
void GotoXY(int x, int y);
// Writes text at the cursor; '\n' goes to the start of the next row.
void ConsoleText(const char* text);
// Hands everything written so far to the terminal, without waiting for it.
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

// ---- The window and the ways out, seen once a turn by the loop ----

// True, once, when the whole screen must be drawn again: the window changed
// size, the program was continued after a stop, or output the terminal did
// not read was dropped.
bool ConsoleTakeRedraw();
// Trace lines whose echo was dropped since the last call (the terminal did
// not read them); they are in the log.
int ConsoleTakeDroppedLines();
// The signal that asks the program to end at the end of this turn (SIGINT,
// SIGQUIT, SIGTERM, SIGHUP; on Windows Ctrl+C, Ctrl+Break and closing the
// window count as SIGINT), or 0. Only while a Keyboard exists; before that a
// signal ends the program at once.
int ConsolePendingSignal();
// Counts one trace line echoed to the screen, so that ConsoleTakeDroppedLines
// can tell how many of them the terminal never got.
void ConsoleCountTraceLine();

// How the console shows a name's bytes from 0x80 up: Utf8 takes valid UTF-8
// as characters, EightBit shows every such byte as '?' (an 8-bit terminal
// takes 0x80-0x9F as commands), Glyphs draws each byte as a character cell.
enum class ConsoleCharset { Utf8, EightBit, Glyphs };
ConsoleCharset ConsoleNameCharset();

// What the loop's wait saw on the line (Keyboard::Wait).
enum class LineWait { Quiet, Ready, Unwatched };

// Key polling without echo and without waiting. Construction puts the
// keyboard into that mode; destruction, a stop (SIGTSTP) and a second end
// signal restore it as it was found.
class Keyboard {
 public:
  Keyboard();
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Reads every key waiting (on Windows at most 256): kKeyEsc when one of
  // them was a lone ESC, kKeyEnd when the keyboard is gone, else the last
  // key read or kKeyNone. Multi-byte keys (arrows, function keys) are read
  // whole and dropped, so that only a lone ESC gives kKeyEsc.
  int Poll();

  // The loop's wait, one call for everything it waits for: a byte on the
  // line (line: ComPort::WaitHandle(), the port's descriptor or its read's
  // event; -1 for none), a key, a signal, or a terminal that takes waiting
  // output; at most timeoutMs (-1: no limit), and no longer than it takes
  // to tell a lone ESC from a key's sequence (POSIX) or than the window's
  // next size check once the screen is drawn (Windows). Ready: the line has
  // a byte (or its end) for the turn's read, which need not wait; on
  // Windows also a timed wake, on which the read asks whether the device is
  // still there. Quiet: it has none, so a read would only wait out its
  // time-out.
  LineWait Wait(std::intptr_t line, int timeoutMs);
};
