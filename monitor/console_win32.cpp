// The console on Windows, through the console API.
//
// Before the port is open, the prompt and its error line are stdio text
// (monitor_loop.cpp). From the first call of this file that writes (the port
// is open by then) until the program has ended, the console is written with
// cell calls only: WriteConsoleOutputA, FillConsoleOutputCharacterA and
// FillConsoleOutputAttribute, ScrollConsoleScreenBufferA and
// SetConsoleCursorPosition. A console holds up a process's stream writes
// (WriteFile, WriteConsole, printf) while the user selects text (QuickEdit,
// Mark) or pauses output (Ctrl+S, Pause); it does not hold up these calls,
// so the window can never hold up the line. StreamText is the only stream
// write of this file: it writes nothing once cells are in use, and counts
// what it was asked for then (VARNHALT_STREAM_WRITES_FILE, for the tests).
//
// Every console call is a round trip to the console host (under Wine a
// costly one), so a turn takes as few as its output allows: rows put whole
// are queued and written together, consecutive rows of one column in one
// call; the cursor is followed here and moved once, at the hand-over; the
// window is read at most every 500 ms, the keyboard asked at most every
// 10 ms.
//
// Rows of the screen count from the window's top row. When the window's
// size, or its place in the buffer, differs from what the screen was drawn
// for (a resize, the mouse wheel, the scroll bar), ConsoleTakeRedraw says so
// once and ConsoleClear moves the window to the buffer's top
// (SetConsoleWindowInfo) before the screen is drawn again. Wine 8's console
// does not follow its terminal's size, and holds up cell calls as well while
// its terminal is stopped: a change of the window's size and a stopped
// console rest here on the calls as Microsoft documents them, not on a test
// under Wine (a window moved down the buffer is tested there).
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace {

constexpr ULONGLONG kWindowReadMs = 500;
constexpr ULONGLONG kKeyPollMs = 10;
constexpr DWORD kKeysPerPoll = 256;  // input records read in one poll at most
// Ctrl+C and Ctrl+Break: the time the loop has to end by itself.
constexpr DWORD kEndWaitMs = 2000;
// Closing the window: Windows ends the process about 5 s after the event.
constexpr DWORD kCloseWaitMs = 4000;
constexpr int kInterruptStatus = 128 + SIGINT;
constexpr const char* kStreamCountVariable = "VARNHALT_STREAM_WRITES_FILE";

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// ---- The window ----

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

int WindowCols(const Window& w) { return w.info.srWindow.Right - w.info.srWindow.Left + 1; }
int WindowRows(const Window& w) { return w.info.srWindow.Bottom - w.info.srWindow.Top + 1; }

// The window the screen was last drawn for; not valid before the first
// draw, nor once a change was reported.
struct Drawn {
  bool valid = false;
  SMALL_RECT window{};
};
Drawn g_drawn;
SHORT g_top = 0;  // the buffer row of the screen's row 0

// ---- Cells only, from the first write on ----

enum class Output { Unknown, Cells, NoConsole };
Output g_output = Output::Unknown;
int g_streamAsked = 0;  // stream writes asked for while only cells are written

// Where the next text goes, in buffer coordinates.
struct Cursor {
  COORD pos{};
  bool move = false;   // the console's cursor is not there yet
  bool blank = false;  // pos's row is blank from pos on
};
Cursor g_at;
// The lowest buffer row written, for a fresh row below it on a forced way out.
std::atomic<int> g_lowestRow{-1};

void Wrote(int row) {
  if (row > g_lowestRow.load(std::memory_order_relaxed))
    g_lowestRow.store(row, std::memory_order_relaxed);
}

// The only stream write of this file.
void StreamText(const char* text) {
  if (g_output == Output::Cells) {
    ++g_streamAsked;
    return;
  }
  std::fputs(text, stdout);
}

// True once the console is written with cells only; false when standard
// output is no console (a file or a pipe, which nothing holds up).
bool Cells() {
  if (g_output == Output::Unknown) {
    std::fflush(stdout);  // the dialogue's text before the first cell
    const Window& w = ReadWindow();
    g_output = w.ok ? Output::Cells : Output::NoConsole;
    if (w.ok) g_at = {w.info.dwCursorPosition, false, false};
  }
  return g_output == Output::Cells;
}

CHAR_INFO Blank(WORD attributes) {
  CHAR_INFO blank{};
  blank.Char.AsciiChar = ' ';
  blank.Attributes = attributes;
  return blank;
}

// Moves the whole buffer up by one row, its last row blanked.
void ScrollBufferUp(HANDLE out, const CONSOLE_SCREEN_BUFFER_INFO& info) {
  const SMALL_RECT all{0, 1, static_cast<SHORT>(info.dwSize.X - 1),
                       static_cast<SHORT>(info.dwSize.Y - 1)};
  const CHAR_INFO blank = Blank(info.wAttributes);
  ScrollConsoleScreenBufferA(out, &all, nullptr, COORD{0, 0}, &blank);
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

// ---- Text at the cursor ----

// n characters at the cursor, on its row; the cursor moves behind them.
void WriteCells(const Window& w, const char* text, int n) {
  CHAR_INFO cells[kRowCells];
  for (int c = 0; c < n; ++c) {
    cells[c].Char.AsciiChar = text[c];
    cells[c].Attributes = w.info.wAttributes;
  }
  SMALL_RECT rect{g_at.pos.X, g_at.pos.Y, static_cast<SHORT>(g_at.pos.X + n - 1), g_at.pos.Y};
  WriteConsoleOutputA(Out(), cells, COORD{static_cast<SHORT>(n), 1}, COORD{0, 0}, &rect);
  Wrote(g_at.pos.Y);
  g_at.pos.X = static_cast<SHORT>(g_at.pos.X + n);
}

// The start of the next row; on the buffer's last row the buffer moves up.
void NextRow(const Window& w) {
  g_at.pos.X = 0;
  if (g_at.pos.Y + 1 < w.info.dwSize.Y)
    ++g_at.pos.Y;
  else
    ScrollBufferUp(Out(), w.info);
}

// Text at the cursor, '\n' to the next row. A row ends short of the window's
// last column and goes on in the next row.
void CellText(const char* text) {
  WriteQueuedRows();  // rows put before the text go first
  const Window& w = CachedWindow();
  if (!w.ok) return;
  int width = WindowCols(w) - 1;
  if (width > kRowCells) width = kRowCells;
  if (width < 1) width = 1;
  for (const char* p = text; *p;) {
    const int room = width - g_at.pos.X;
    if (*p == '\n' || room <= 0) {
      NextRow(w);
      if (*p == '\n') ++p;
      continue;
    }
    int n = static_cast<int>(std::strcspn(p, "\n"));
    if (n > room) n = room;
    WriteCells(w, p, n);
    p += n;
  }
  g_at.move = true;
  g_at.blank = false;
}

void BlankRowFrom(const Window& w, COORD from) {
  if (!w.ok || from.X >= w.info.dwSize.X) return;
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', static_cast<DWORD>(w.info.dwSize.X - from.X), from,
                              &done);
}

// Everything so far to the console: the queued rows, then the cursor.
void HandOver() {
  WriteQueuedRows();
  if (g_at.move) SetConsoleCursorPosition(Out(), g_at.pos);
  g_at.move = false;
}

// The window to the buffer's top, at its size; the screen is drawn for it.
void MoveWindowToTop() {
  SMALL_RECT& now = g_window.info.srWindow;
  const SMALL_RECT top{0, 0, static_cast<SHORT>(now.Right - now.Left),
                       static_cast<SHORT>(now.Bottom - now.Top)};
  if ((now.Left != 0 || now.Top != 0) && SetConsoleWindowInfo(Out(), TRUE, &top)) now = top;
  g_top = now.Top;
  g_drawn = {true, now};
}

}  // namespace

void ConsoleClear() {
  if (!Cells()) return;
  g_rowCount = 0;  // rows queued before are cleared anyway
  const Window& w = ReadWindow();
  if (!w.ok) return;
  const auto cells = static_cast<DWORD>(w.info.dwSize.X) * static_cast<DWORD>(w.info.dwSize.Y);
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', cells, COORD{0, 0}, &done);
  FillConsoleOutputAttribute(Out(), w.info.wAttributes, cells, COORD{0, 0}, &done);
  MoveWindowToTop();
  g_lowestRow = g_top - 1;
  g_at = {COORD{0, g_top}, true, true};
}

void GotoXY(int x, int y) {
  if (!Cells()) return;
  g_at = {COORD{static_cast<SHORT>(x), static_cast<SHORT>(g_top + y)}, true, false};
}

void ConsoleText(const char* text) {
  if (Cells())
    CellText(text);
  else
    StreamText(text);
}

void ConsoleFlush() {
  if (g_output == Output::Cells)
    HandOver();
  else
    std::fflush(stdout);
}

void ConsoleClearToEndOfRow() {
  if (!Cells()) return;
  WriteQueuedRows();
  if (!g_at.blank) BlankRowFrom(CachedWindow(), g_at.pos);
  g_at.blank = true;
}

// Writes n characters of text (no line break) at column x of row y and
// blanks the rest of the row; the cursor does not move. Rows put one after
// the other are kept and written together, consecutive rows of one column
// with one call, before any later console call or ConsoleFlush.
void ConsolePutRow(int x, int y, const char* text, int n) {
  if (!Cells()) return;
  if (g_rowCount == kQueuedRowsMax) WriteQueuedRows();
  QueuedRow& row = g_rows[g_rowCount++];
  row.x = static_cast<SHORT>(x);
  row.y = static_cast<SHORT>(g_top + y);
  row.n = n < 0 ? 0 : (n > kRowCells ? kRowCells : n);
  std::memcpy(row.text, text, static_cast<std::size_t>(row.n));
  Wrote(row.y);
}

ConsoleSize ConsoleWindowSize() {
  const Window& w = CachedWindow();
  if (!w.ok) return {0, 0};
  return {WindowCols(w), WindowRows(w)};
}

void ConsoleScrollArea(int top, int bottom) {
  if (!Cells()) return;
  WriteQueuedRows();  // rows put into the area move with it
  const Window& w = CachedWindow();
  if (!w.ok) return;
  const SMALL_RECT moved{0, static_cast<SHORT>(g_top + top + 1),
                         static_cast<SHORT>(w.info.dwSize.X - 1),
                         static_cast<SHORT>(g_top + bottom)};
  const CHAR_INFO blank = Blank(w.info.wAttributes);
  ScrollConsoleScreenBufferA(Out(), &moved, nullptr, COORD{0, static_cast<SHORT>(g_top + top)},
                             &blank);
  g_at = {COORD{0, static_cast<SHORT>(g_top + bottom)}, true, true};
}

void ConsoleEndScrollArea() {}  // a Windows console has no scroll area to lift

bool ConsoleTakeRedraw() {
  if (!g_drawn.valid) return false;
  const Window& w = CachedWindow();
  if (!w.ok) return false;
  const SMALL_RECT& now = w.info.srWindow;
  const SMALL_RECT& was = g_drawn.window;
  if (now.Left == was.Left && now.Top == was.Top && now.Right == was.Right &&
      now.Bottom == was.Bottom)
    return false;
  g_drawn.valid = false;  // once; ConsoleClear draws for the new window
  return true;
}

int ConsoleTakeDroppedLines() { return 0; }  // cell calls are never dropped

// ---- Keys and the ways out ----
//
// While keys are polled, the console's input mode has QuickEdit, mouse,
// window, line and echo input off: a click can then neither start a
// selection (which would hold up every stream write to the console) nor put
// records into the queue. Microsoft's SetConsoleMode documentation: QuickEdit
// is changed only together with ENABLE_EXTENDED_FLAGS; with
// ENABLE_PROCESSED_INPUT (on, as a console has it by default) Ctrl+C is no
// key but a control event.
//
// Ctrl+C, Ctrl+Break and closing the window reach OnControl on a thread of
// its own (SetConsoleCtrlHandler). It only sets the flag that
// ConsolePendingSignal hands to the loop, which ends at the end of its turn
// with the report; if the program has not ended within two seconds, the
// handler restores the input mode, puts the cursor on a fresh row and ends
// the process with 130. After a close event Windows ends the process once the
// handler returns, and about five seconds after the event in any case
// (Microsoft's HandlerRoutine documentation), so the handler returns only
// when the program has ended or that time is nearly up.

namespace {

constexpr DWORD kKeyModeOff = ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT |
                              ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
constexpr DWORD kKeyModeOn = ENABLE_EXTENDED_FLAGS | ENABLE_PROCESSED_INPUT;

struct KeyMode {
  HANDLE in = INVALID_HANDLE_VALUE;
  DWORD saved = 0;
  std::atomic<bool> set{false};  // the saved mode is still to be restored
};
KeyMode g_keys;
ULONGLONG g_keysAskedAt = 0;

std::atomic<int> g_pending{0};     // the signal asking the loop to end
std::atomic<bool> g_ended{false};  // the loop and its report are done

void RestoreKeyMode() {
  if (g_keys.set.exchange(false)) SetConsoleMode(g_keys.in, g_keys.saved);
}

// The console's input: standard input, or the console's own when standard
// input is redirected.
HANDLE ConsoleInput(DWORD* mode) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (GetConsoleMode(in, mode)) return in;
  in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   nullptr, OPEN_EXISTING, 0, nullptr);
  if (in != INVALID_HANDLE_VALUE && GetConsoleMode(in, mode)) return in;
  return INVALID_HANDLE_VALUE;
}

// Restores what the program changed and ends it at once.
[[noreturn]] void EndNow() {
  RestoreKeyMode();
  HANDLE out = Out();
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out, &info)) {
    const COORD at = info.dwCursorPosition;
    int row = g_lowestRow.load() + 1;
    if (row < at.Y + (at.X > 0 ? 1 : 0)) row = at.Y + (at.X > 0 ? 1 : 0);
    if (row >= info.dwSize.Y) {
      ScrollBufferUp(out, info);
      row = info.dwSize.Y - 1;
    }
    SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(row)});
  }
  TerminateProcess(GetCurrentProcess(), kInterruptStatus);
  std::_Exit(kInterruptStatus);
}

bool WaitForEnd(DWORD ms) {
  const ULONGLONG until = GetTickCount64() + ms;
  while (!g_ended && GetTickCount64() < until) Sleep(10);
  return g_ended;
}

BOOL WINAPI OnControl(DWORD event) {
  const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  // A second one before the loop has ended ends the program at once.
  if (g_pending.exchange(SIGINT) != 0 && !g_ended) EndNow();
  if (!WaitForEnd(closing ? kCloseWaitMs : kEndWaitMs)) EndNow();
  // Returning from a close event ends the process: let it finish first.
  if (closing) Sleep(kCloseWaitMs);
  return TRUE;
}

// For the tests: how many stream writes were asked for while only cells
// were written, appended to the file the variable names.
void ReportStreamWrites() {
  const char* path = std::getenv(kStreamCountVariable);
  if (!path || !*path) return;
  if (std::FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "stream writes while writing cells: %d\n", g_streamAsked);
    std::fclose(f);
  }
}

}  // namespace

int ConsolePendingSignal() { return g_pending.load(); }

Keyboard::Keyboard() {
  DWORD mode = 0;
  g_keys.in = ConsoleInput(&mode);
  if (g_keys.in != INVALID_HANDLE_VALUE) {
    g_keys.saved = mode;
    g_keys.set = SetConsoleMode(g_keys.in, (mode & ~kKeyModeOff) | kKeyModeOn) != 0;
    // One console read request at start: some consoles (Wine's) begin to
    // collect key presses only after the first one.
    INPUT_RECORD record;
    DWORD events = 0;
    PeekConsoleInputA(g_keys.in, &record, 1, &events);
  }
  SetConsoleCtrlHandler(OnControl, TRUE);
}

Keyboard::~Keyboard() {
  RestoreKeyMode();
  ReportStreamWrites();
  g_ended = true;
}

// Reads the waiting input records, at most 256 a poll. A key without a
// character (arrows, function keys, Shift) has none to give and is dropped,
// as are key releases and every other kind of record.
int Keyboard::Poll() {
  // A key waits in the console's queue until asked for: asking every 10 ms
  // loses none and spares a round trip on each fast turn.
  const ULONGLONG now = GetTickCount64();
  if (now - g_keysAskedAt < kKeyPollMs) return kKeyNone;
  g_keysAskedAt = now;
  DWORD waiting = 0;
  if (g_keys.in == INVALID_HANDLE_VALUE || !GetNumberOfConsoleInputEvents(g_keys.in, &waiting) ||
      waiting == 0)
    return kKeyNone;
  static INPUT_RECORD records[kKeysPerPoll];
  DWORD got = 0;
  if (!ReadConsoleInputA(g_keys.in, records, waiting < kKeysPerPoll ? waiting : kKeysPerPoll, &got))
    return kKeyNone;
  int key = kKeyNone;
  for (DWORD i = 0; i < got; ++i) {
    const INPUT_RECORD& r = records[i];
    if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
    const auto c = static_cast<unsigned char>(r.Event.KeyEvent.uChar.AsciiChar);
    if (c == kKeyEsc) return kKeyEsc;
    if (c != 0) key = c;
  }
  return key;
}

// The port's read, with its 20 ms time-out, is the loop's wait on Windows.
bool Keyboard::Wait(int, int) { return true; }

// Cell calls never drop output; a cell shows any byte as a glyph of the
// console's code page, never as a command.
void ConsoleCountTraceLine() {}
ConsoleCharset ConsoleNameCharset() { return ConsoleCharset::Glyphs; }
