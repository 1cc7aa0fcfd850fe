// The console on Windows: text through stdout, the console API to place,
// clear and scroll it, and the C runtime's keyboard polling.
//
// Every console call is a round trip to the console host (under Wine a
// costly one), so a turn's output takes as few calls as its placement
// allows:
// - GotoXY only notes where the text printed next belongs. The cursor is
//   moved when that text is handed to the console: at the next placement,
//   at ConsoleFlush, or before any call that writes to the console itself.
//   So stdout's text and the direct calls reach the console in program
//   order. (The text printed after a GotoXY is one row's, far less than
//   stdout's buffer, so the C runtime never hands it over on its own.)
// - ConsoleClearToEndOfRow blanks the row from the noted column before that
//   text is written over the row's start: the same cells, and no call to
//   find the cursor.
// - The window's size is read at most every 500 ms, the keyboard asked at
//   most every 10 ms.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

constexpr ULONGLONG kWindowReadMs = 500;
constexpr ULONGLONG kKeyPollMs = 10;

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// Where the text printed since the last placement starts, while the console
// has not seen that text yet.
struct Placement {
  bool noted = false;  // the cursor still has to be moved to pos
  COORD pos{};
  bool blank = false;  // pos's row is blank from pos to its end
};
Placement g_at;

// The screen buffer as last read; no console when ok is false.
struct Window {
  bool ok = false;
  ULONGLONG readAt = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
};
Window g_window;

const Window& ReadWindow() {
  g_window.ok = GetConsoleScreenBufferInfo(Out(), &g_window.info) != 0;
  g_window.readAt = GetTickCount64();
  return g_window;
}

const Window& CachedWindow() {
  if (g_window.readAt == 0 || GetTickCount64() - g_window.readAt >= kWindowReadMs)
    return ReadWindow();
  return g_window;
}

// Hands the text printed so far to the console, at its noted place.
void FlushText() {
  if (g_at.noted) SetConsoleCursorPosition(Out(), g_at.pos);
  g_at.noted = false;
  std::fflush(stdout);
}

// ---- Rows put whole (ConsolePutRow), written together ----

constexpr int kRowCells = 256;  // cells of a row from its column on; the rest is cut
constexpr int kQueuedRowsMax = 128;

struct QueuedRow {
  SHORT x;
  SHORT y;
  int n;
  char text[kRowCells];
};
QueuedRow g_rows[kQueuedRowsMax];
int g_rowCount = 0;
CHAR_INFO g_cells[kQueuedRowsMax * kRowCells];

// Writes the queued rows first..last (one column, consecutive rows): their
// text, then blanks to the buffer's last column, in one call.
void WriteRun(const Window& w, int first, int last) {
  const int x = g_rows[first].x;
  int width = w.info.dwSize.X - x;
  if (width > kRowCells) width = kRowCells;
  if (width <= 0) return;
  for (int r = first; r <= last; ++r) {
    CHAR_INFO* cell = g_cells + (r - first) * width;
    for (int c = 0; c < width; ++c) {
      cell[c].Char.AsciiChar = c < g_rows[r].n ? g_rows[r].text[c] : ' ';
      cell[c].Attributes = w.info.wAttributes;
    }
  }
  SMALL_RECT rect{static_cast<SHORT>(x), g_rows[first].y, static_cast<SHORT>(x + width - 1),
                  g_rows[last].y};
  WriteConsoleOutputA(Out(), g_cells,
                      COORD{static_cast<SHORT>(width), static_cast<SHORT>(last - first + 1)},
                      COORD{0, 0}, &rect);
}

void WriteQueuedRows() {
  if (g_rowCount == 0) return;
  const Window& w = CachedWindow();
  int first = 0;
  for (int r = 1; r <= g_rowCount; ++r) {
    const bool joins =
        r < g_rowCount && g_rows[r].x == g_rows[first].x && g_rows[r].y == g_rows[r - 1].y + 1;
    if (joins) continue;
    if (w.ok) WriteRun(w, first, r - 1);
    first = r;
  }
  g_rowCount = 0;
}

// Everything so far to the console, in program order: the rows put before
// any text printed after them.
void HandOver() {
  WriteQueuedRows();
  FlushText();
}

void BlankRowFrom(const Window& w, COORD from) {
  if (!w.ok || from.X >= w.info.dwSize.X) return;
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', static_cast<DWORD>(w.info.dwSize.X - from.X), from,
                              &done);
}

}  // namespace

void ConsoleClear() {
  HandOver();
  const Window& w = ReadWindow();
  if (!w.ok) return;
  const auto cells = static_cast<DWORD>(w.info.dwSize.X) * static_cast<DWORD>(w.info.dwSize.Y);
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', cells, COORD{0, 0}, &done);
  FillConsoleOutputAttribute(Out(), w.info.wAttributes, cells, COORD{0, 0}, &done);
  SetConsoleCursorPosition(Out(), COORD{0, 0});  // brings the window to the top
}

void GotoXY(int x, int y) {
  HandOver();
  g_at = {true, COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)}, false};
}

void ConsoleText(const char* text) { std::fputs(text, stdout); }

void ConsoleFlush() { HandOver(); }

void ConsoleClearToEndOfRow() {
  if (g_at.noted) {
    if (!g_at.blank) BlankRowFrom(CachedWindow(), g_at.pos);
    g_at.blank = true;
    return;
  }
  // The text went out already: the console knows where it ended.
  HandOver();
  const Window& w = ReadWindow();
  BlankRowFrom(w, w.info.dwCursorPosition);
}

// Writes n characters of text (no line break) at column x of row y and
// blanks the rest of the row; the cursor does not move. Rows put one after
// the other are kept and written together, consecutive rows of one column
// with one call, before any later console call or ConsoleFlush; text
// printed between two rows reaches the console after both.
void ConsolePutRow(int x, int y, const char* text, int n) {
  if (g_rowCount == 0) FlushText();  // what was printed before the rows goes first
  if (g_rowCount == kQueuedRowsMax) WriteQueuedRows();
  QueuedRow& row = g_rows[g_rowCount++];
  row.x = static_cast<SHORT>(x);
  row.y = static_cast<SHORT>(y);
  row.n = n < 0 ? 0 : (n > kRowCells ? kRowCells : n);
  std::memcpy(row.text, text, static_cast<std::size_t>(row.n));
}

ConsoleSize ConsoleWindowSize() {
  const Window& w = CachedWindow();
  if (!w.ok) return {0, 0};
  // Rows count from the buffer's top, where the screen was drawn.
  return {w.info.srWindow.Right + 1, w.info.srWindow.Bottom + 1};
}

void ConsoleScrollArea(int top, int bottom) {
  HandOver();
  const Window& w = CachedWindow();
  if (!w.ok) return;
  const SMALL_RECT moved{0, static_cast<SHORT>(top + 1), static_cast<SHORT>(w.info.dwSize.X - 1),
                         static_cast<SHORT>(bottom)};
  CHAR_INFO blank{};
  blank.Char.AsciiChar = ' ';
  blank.Attributes = w.info.wAttributes;
  ScrollConsoleScreenBufferA(Out(), &moved, nullptr, COORD{0, static_cast<SHORT>(top)}, &blank);
  g_at = {true, COORD{0, static_cast<SHORT>(bottom)}, true};
}

void ConsoleEndScrollArea() {}  // a Windows console has no scroll area to lift

namespace {
ULONGLONG g_keysAskedAt = 0;
}  // namespace

Keyboard::Keyboard() {
  // One console read request at start: some consoles (Wine's) begin to
  // collect key presses only after the first one, and _kbhit alone is none.
  INPUT_RECORD record;
  DWORD events = 0;
  PeekConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &events);
}

Keyboard::~Keyboard() = default;

int Keyboard::Poll() {
  // A key waits in the console's queue until asked for: asking every 10 ms
  // loses none and spares a round trip on each fast turn.
  const ULONGLONG now = GetTickCount64();
  if (now - g_keysAskedAt < kKeyPollMs) return kKeyNone;
  g_keysAskedAt = now;
  if (!_kbhit()) return kKeyNone;
  const int c = _getch();
  if (c == 0 || c == 0xE0) {  // prefix of an arrow or function key
    _getch();
    return kKeyNone;
  }
  return c;
}

// Not yet watched: the window's size, stops and output dropped.
bool ConsoleTakeRedraw() { return false; }
int ConsoleTakeDroppedLines() { return 0; }
int ConsolePendingSignal() { return 0; }
// Cell calls never drop output; a cell shows any byte as a glyph of the
// console's code page, never as a command.
void ConsoleCountTraceLine() {}
ConsoleCharset ConsoleNameCharset() { return ConsoleCharset::Glyphs; }
