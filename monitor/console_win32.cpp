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
// write of this file: it writes nothing once cells are in use. A test build
// of this file (VARNHALT_CONSOLE_COUNTERS, the name of the file it writes)
// counts what it was asked for then; the program itself counts nothing.
//
// Every console call is a round trip to the console host (under Wine a
// costly one), so a turn takes as few as its output allows: rows put whole
// are queued and written together, consecutive rows of one column in one
// call; the cursor is followed here and moved once, at the hand-over; the
// window is read at most every 500 ms, the keyboard asked at most every
// 10 ms.
//
// Under the UTF-8 output code page a cell takes a UTF-16 character
// (WriteConsoleOutputW), one character a cell, since the console converts
// each cell of WriteConsoleOutputA on its own; under every other code page a
// cell takes a byte (WriteConsoleOutputA), shown as the page's glyph.
//
// Rows of the screen count from the window's top row. When the window's
// size, or its place in the buffer, differs from what the screen was drawn
// for (a resize, the mouse wheel, the scroll bar), ConsoleTakeRedraw says so
// once and ConsoleClear moves the window to the buffer's top
// (SetConsoleWindowInfo) before the screen is drawn again. What Wine cannot
// show of this: docs/WINDOWS.md, "The console under Wine".
//
// The cursor is hidden from the first clear (the table) on, and its saved
// size and visibility are given back on every way out.
//
// Everything kept between calls lives in one Win32Console. The Ctrl handler
// runs on a thread of its own and reaches it only through an atomic pointer,
// published once the saved input mode is filled in, and uses only what is
// atomic or fixed before that.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "console_restore.h"
#include "name_text.h"
#include "port_loss.h"

namespace {

constexpr ULONGLONG kWindowReadMs = 500;
constexpr ULONGLONG kKeyPollMs = 10;
constexpr ULONGLONG kTickMs = 16;    // GetTickCount64's step
constexpr DWORD kKeysPerPoll = 256;  // input records read in one poll at most
// Ctrl+C and Ctrl+Break: the time the loop has to end by itself.
constexpr DWORD kEndWaitMs = 2000;
// Closing the window: Windows ends the process about 5 s after the event.
constexpr DWORD kCloseWaitMs = 4000;
constexpr int kInterruptStatus = 128 + SIGINT;
constexpr UINT kUtf8CodePage = 65001;
static_assert(kInsertModeFlag == ENABLE_INSERT_MODE &&
                  kQuickEditModeFlag == ENABLE_QUICK_EDIT_MODE &&
                  kExtendedFlagsFlag == ENABLE_EXTENDED_FLAGS,
              "console_restore.h has wincon.h's values");

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// The screen buffer as last read; no console when ok is false.
struct Window {
  bool ok = false;
  ULONGLONG readAt = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
};

int WindowCols(const Window& w) { return w.info.srWindow.Right - w.info.srWindow.Left + 1; }
int WindowRows(const Window& w) { return w.info.srWindow.Bottom - w.info.srWindow.Top + 1; }

// The window the screen was last drawn for; not valid before the first
// draw, nor once a change was reported.
struct Drawn {
  bool valid = false;
  SMALL_RECT window{};
};

enum class Output { Unknown, Cells, NoConsole };

// Where the next text goes, in buffer coordinates.
struct Cursor {
  COORD pos{};
  bool move = false;   // the console's cursor is not there yet
  bool blank = false;  // pos's row is blank from pos on
};

constexpr int kRowCells = 256;            // cells of a row from its column on; the rest is cut
constexpr int kRowBytes = 4 * kRowCells;  // a UTF-8 character takes up to 4 bytes
constexpr int kQueuedRowsMax = 128;

// A row put whole (ConsolePutRow), kept to be written with its neighbours.
struct QueuedRow {
  SHORT x;
  SHORT y;
  int n;  // bytes of text
  char text[kRowBytes];
};

bool Utf8Cells() { return ConsoleNameCharset() == ConsoleCharset::Utf8; }

// Puts text's n bytes into cells, one character a cell, at most max; returns
// the cells filled. Under the UTF-8 code page a cell takes the character's
// UTF-16 unit (see Utf16Cells), else the byte.
int ToCells(const char* text, int n, WORD attributes, CHAR_INFO* cells, int max) {
  char16_t units[kRowCells];
  const bool utf8 = Utf8Cells();
  if (max > kRowCells) max = kRowCells;
  const int used =
      utf8 ? Utf16Cells(text, static_cast<std::size_t>(n), units, max) : (n < max ? n : max);
  for (int c = 0; c < used; ++c) {
    cells[c] = CHAR_INFO{};
    if (utf8)
      cells[c].Char.UnicodeChar = static_cast<WCHAR>(units[c]);
    else
      cells[c].Char.AsciiChar = text[c];
    cells[c].Attributes = attributes;
  }
  return used;
}

// Writes a rectangle of cells made by ToCells.
void WriteOutput(const CHAR_INFO* cells, COORD size, SMALL_RECT* rect) {
  if (Utf8Cells())
    WriteConsoleOutputW(Out(), cells, size, COORD{0, 0}, rect);
  else
    WriteConsoleOutputA(Out(), cells, size, COORD{0, 0}, rect);
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

#ifdef VARNHALT_CONSOLE_COUNTERS
// The test build: stream writes asked for while only cells are written,
// appended to the file VARNHALT_CONSOLE_COUNTERS names (in the working
// directory) when the keyboard is let go.
class StreamCount {
 public:
  void Count() { ++asked_; }
  void Report() const {
    if (std::FILE* f = std::fopen(VARNHALT_CONSOLE_COUNTERS, "a")) {
      std::fprintf(f, "stream writes while writing cells: %d\n", asked_);
      std::fclose(f);
    }
  }

 private:
  int asked_ = 0;
};
#else
// The program itself counts nothing.
struct StreamCount {
  void Count() {}
  void Report() const {}
};
#endif

// While keys are polled, the console's input mode has QuickEdit, mouse,
// window, line, echo and VT input off: a click can then neither start a
// selection (which would hold up every stream write to the console) nor put
// records into the queue, and a key comes as one key event, never as ESC and
// a sequence; Ctrl+C stays a control event (SetConsoleMode function; details
// in docs/WINDOWS.md, "The console's input mode").
constexpr DWORD kKeyModeOff = ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT |
                              ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT;
constexpr DWORD kKeyModeOn = ENABLE_EXTENDED_FLAGS | ENABLE_PROCESSED_INPUT;

// The console: the window as last read, the cells on their way to it, the
// cursor, the saved input mode and cursor, and the ways out.
class Win32Console {
 public:
  // ---- Output (the loop's thread) ----
  void Clear();
  void Goto(int x, int y);
  void Text(const char* text);
  void Flush();
  void ClearToEndOfRow();
  void PutRow(int x, int y, const char* text, int n);
  ConsoleSize WindowSize();
  void ScrollArea(int top, int bottom);
  bool TakeRedraw();

  // ---- Keys and the ways out ----
  // Saves the input mode and sets key mode; the Ctrl handler is then installed.
  void StartKeys();
  // Restores the mode and the cursor: the loop has ended.
  void EndKeys();
  int PollKeys();
  LineWait Wait(std::intptr_t line, int timeoutMs);
  int Pending() const { return pending_.load(); }
  // The Ctrl handler's part, on the handler's thread.
  BOOL OnControl(DWORD event);

 private:
  const Window& ReadWindow();
  const Window& CachedWindow();
  void Wrote(int row);
  void StreamText(const char* text);
  bool Cells();
  void WriteRun(const Window& w, int first, int last);
  void WriteQueuedRows();
  void WriteCells(const Window& w, const char* text, int n);
  void NextRow(const Window& w);
  void CellText(const char* text);
  void BlankRowFrom(const Window& w, COORD from);
  void HandOver();
  void MoveWindowToTop();
  void HideCursor();
  void RestoreCursor();
  void RestoreKeyMode();
  [[noreturn]] void EndNow();
  bool WaitForEnd(DWORD ms);

  // The loop's thread only.
  Window window_;
  Drawn drawn_;
  SHORT top_ = 0;  // the buffer row of the screen's row 0
  Output output_ = Output::Unknown;
  Cursor at_;
  QueuedRow rows_[kQueuedRowsMax];
  int rowCount_ = 0;
  CHAR_INFO cells_[kQueuedRowsMax * kRowCells];
  INPUT_RECORD records_[kKeysPerPoll];
  ULONGLONG keysAskedAt_ = 0;
  bool keysWoke_ = false;   // the wait ended for the console's input
  bool keysQuiet_ = false;  // it ended without it, though it watched the console
  StreamCount streamCount_;

  // Also the Ctrl handler's: fixed before the console is published, or
  // atomic. A saved value is given back once, by whoever takes its flag.
  HANDLE in_ = INVALID_HANDLE_VALUE;
  DWORD savedMode_ = 0;
  std::atomic<bool> keyModeSet_{false};
  CONSOLE_CURSOR_INFO savedCursor_{};  // written before cursorHidden_ is set
  std::atomic<bool> cursorHidden_{false};
  std::atomic<int> lowestRow_{-1};  // the lowest buffer row written
  std::atomic<int> pending_{0};     // the signal asking the loop to end
  std::atomic<bool> ended_{false};  // the loop and its report are done
  HANDLE endEvent_ = nullptr;       // set by the handler after pending_; never reset
};

Win32Console& TheConsole() {
  static Win32Console console;
  return console;
}

// The console the Ctrl handler may use; null until its saved mode is filled in.
std::atomic<Win32Console*> g_published{nullptr};
static_assert(std::atomic<Win32Console*>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "what the Ctrl handler reaches is lock-free");

// ---- The window ----

const Window& Win32Console::ReadWindow() {
  window_.ok = GetConsoleScreenBufferInfo(Out(), &window_.info) != 0;
  window_.readAt = GetTickCount64();
  return window_;
}

const Window& Win32Console::CachedWindow() {
  if (window_.readAt == 0 || PeriodDue(GetTickCount64() - window_.readAt, kWindowReadMs, kTickMs))
    return ReadWindow();
  return window_;
}

// ---- Cells only, from the first write on ----

// For a fresh row below everything on a forced way out.
void Win32Console::Wrote(int row) {
  if (row > lowestRow_.load(std::memory_order_relaxed))
    lowestRow_.store(row, std::memory_order_relaxed);
}

// The only stream write of this file.
void Win32Console::StreamText(const char* text) {
  if (output_ == Output::Cells) {
    streamCount_.Count();
    return;
  }
  std::fputs(text, stdout);
}

// True once the console is written with cells only; false when standard
// output is no console (a file or a pipe, which nothing holds up).
bool Win32Console::Cells() {
  if (output_ == Output::Unknown) {
    std::fflush(stdout);  // the dialogue's text before the first cell
    const Window& w = ReadWindow();
    output_ = w.ok ? Output::Cells : Output::NoConsole;
    if (w.ok) at_ = {w.info.dwCursorPosition, false, false};
  }
  return output_ == Output::Cells;
}

// ---- Rows put whole (ConsolePutRow), written together ----

// Writes the queued rows first..last (one column, consecutive rows): their
// text, then blanks to the buffer's last column, in one call.
void Win32Console::WriteRun(const Window& w, int first, int last) {
  const int x = rows_[first].x;
  int width = w.info.dwSize.X - x;
  if (width > kRowCells) width = kRowCells;
  if (width <= 0) return;
  for (int r = first; r <= last; ++r) {
    CHAR_INFO* cell = cells_ + (r - first) * width;
    for (int c = ToCells(rows_[r].text, rows_[r].n, w.info.wAttributes, cell, width); c < width;
         ++c)
      cell[c] = Blank(w.info.wAttributes);
  }
  SMALL_RECT rect{static_cast<SHORT>(x), rows_[first].y, static_cast<SHORT>(x + width - 1),
                  rows_[last].y};
  WriteOutput(cells_, COORD{static_cast<SHORT>(width), static_cast<SHORT>(last - first + 1)},
              &rect);
}

void Win32Console::WriteQueuedRows() {
  if (rowCount_ == 0) return;
  const Window& w = CachedWindow();
  int first = 0;
  for (int r = 1; r <= rowCount_; ++r) {
    const bool joins =
        r < rowCount_ && rows_[r].x == rows_[first].x && rows_[r].y == rows_[r - 1].y + 1;
    if (joins) continue;
    if (w.ok) WriteRun(w, first, r - 1);
    first = r;
  }
  rowCount_ = 0;
}

// ---- Text at the cursor ----

// The n bytes of text at the cursor, on its row; the cursor moves behind them.
void Win32Console::WriteCells(const Window& w, const char* text, int n) {
  CHAR_INFO cells[kRowCells];
  const int used = ToCells(text, n, w.info.wAttributes, cells, kRowCells);
  SMALL_RECT rect{at_.pos.X, at_.pos.Y, static_cast<SHORT>(at_.pos.X + used - 1), at_.pos.Y};
  WriteOutput(cells, COORD{static_cast<SHORT>(used), 1}, &rect);
  Wrote(at_.pos.Y);
  at_.pos.X = static_cast<SHORT>(at_.pos.X + used);
}

// The start of the next row; on the buffer's last row the buffer moves up.
void Win32Console::NextRow(const Window& w) {
  at_.pos.X = 0;
  if (at_.pos.Y + 1 < w.info.dwSize.Y)
    ++at_.pos.Y;
  else
    ScrollBufferUp(Out(), w.info);
}

// Text at the cursor, '\n' to the next row. A row ends short of the window's
// last column and goes on in the next row.
void Win32Console::CellText(const char* text) {
  WriteQueuedRows();  // rows put before the text go first
  const Window& w = CachedWindow();
  if (!w.ok) return;
  int width = WindowCols(w) - 1;
  if (width > kRowCells) width = kRowCells;
  if (width < 1) width = 1;
  for (const char* p = text; *p;) {
    const int room = width - at_.pos.X;
    if (*p == '\n' || room <= 0) {
      NextRow(w);
      if (*p == '\n') ++p;
      continue;
    }
    const auto n =
        static_cast<int>(ColumnBytes(p, std::strcspn(p, "\n"), room, ConsoleNameCharset()));
    WriteCells(w, p, n);
    p += n;
  }
  at_.move = true;
  at_.blank = false;
}

void Win32Console::BlankRowFrom(const Window& w, COORD from) {
  if (!w.ok || from.X >= w.info.dwSize.X) return;
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', static_cast<DWORD>(w.info.dwSize.X - from.X), from,
                              &done);
}

// Everything so far to the console: the queued rows, then the cursor.
void Win32Console::HandOver() {
  WriteQueuedRows();
  if (at_.move) SetConsoleCursorPosition(Out(), at_.pos);
  at_.move = false;
}

// The window to the buffer's top, at its size; the screen is drawn for it.
void Win32Console::MoveWindowToTop() {
  SMALL_RECT& now = window_.info.srWindow;
  const SMALL_RECT top{0, 0, static_cast<SHORT>(now.Right - now.Left),
                       static_cast<SHORT>(now.Bottom - now.Top)};
  if ((now.Left != 0 || now.Top != 0) && SetConsoleWindowInfo(Out(), TRUE, &top)) now = top;
  top_ = now.Top;
  drawn_ = {true, now};
}

// ---- The cursor: hidden while the table is shown ----

// Saves the cursor's size and visibility once, then hides it. Both the
// hidden and the restored cursor get a size SetConsoleCursorInfo takes
// (CONSOLE_CURSOR_INFO structure: a console may report 0).
void Win32Console::HideCursor() {
  if (cursorHidden_.load()) return;
  HANDLE out = Out();
  if (!GetConsoleCursorInfo(out, &savedCursor_)) return;
  savedCursor_.dwSize = CursorSizeToSet(savedCursor_.dwSize);
  CONSOLE_CURSOR_INFO hidden = savedCursor_;
  hidden.bVisible = FALSE;
  if (SetConsoleCursorInfo(out, &hidden)) cursorHidden_.store(true);
}

void Win32Console::RestoreCursor() {
  if (cursorHidden_.exchange(false)) SetConsoleCursorInfo(Out(), &savedCursor_);
}

// ---- Output, as console.h describes it ----

void Win32Console::Clear() {
  if (!Cells()) return;
  rowCount_ = 0;  // rows queued before are cleared anyway
  const Window& w = ReadWindow();
  if (!w.ok) return;
  HideCursor();
  const auto cells = static_cast<DWORD>(w.info.dwSize.X) * static_cast<DWORD>(w.info.dwSize.Y);
  DWORD done = 0;
  FillConsoleOutputCharacterA(Out(), ' ', cells, COORD{0, 0}, &done);
  FillConsoleOutputAttribute(Out(), w.info.wAttributes, cells, COORD{0, 0}, &done);
  MoveWindowToTop();
  lowestRow_ = top_ - 1;
  at_ = {COORD{0, top_}, true, true};
}

void Win32Console::Goto(int x, int y) {
  if (!Cells()) return;
  at_ = {COORD{static_cast<SHORT>(x), static_cast<SHORT>(top_ + y)}, true, false};
}

void Win32Console::Text(const char* text) {
  if (Cells())
    CellText(text);
  else
    StreamText(text);
}

void Win32Console::Flush() {
  if (output_ == Output::Cells)
    HandOver();
  else
    std::fflush(stdout);
}

void Win32Console::ClearToEndOfRow() {
  if (!Cells()) return;
  WriteQueuedRows();
  if (!at_.blank) BlankRowFrom(CachedWindow(), at_.pos);
  at_.blank = true;
}

// Rows put one after the other are kept and written together, consecutive
// rows of one column with one call, before any later console call or
// ConsoleFlush; the cursor does not move.
void Win32Console::PutRow(int x, int y, const char* text, int n) {
  if (!Cells()) return;
  if (rowCount_ == kQueuedRowsMax) WriteQueuedRows();
  QueuedRow& row = rows_[rowCount_++];
  row.x = static_cast<SHORT>(x);
  row.y = static_cast<SHORT>(top_ + y);
  row.n = n < 0 ? 0
                : static_cast<int>(ColumnBytes(text, static_cast<std::size_t>(n), kRowCells,
                                               ConsoleNameCharset()));
  std::memcpy(row.text, text, static_cast<std::size_t>(row.n));
  Wrote(row.y);
}

ConsoleSize Win32Console::WindowSize() {
  const Window& w = CachedWindow();
  if (!w.ok) return {0, 0};
  return {WindowCols(w), WindowRows(w)};
}

void Win32Console::ScrollArea(int top, int bottom) {
  if (!Cells()) return;
  WriteQueuedRows();  // rows put into the area move with it
  const Window& w = CachedWindow();
  if (!w.ok) return;
  const SMALL_RECT moved{0, static_cast<SHORT>(top_ + top + 1),
                         static_cast<SHORT>(w.info.dwSize.X - 1),
                         static_cast<SHORT>(top_ + bottom)};
  const CHAR_INFO blank = Blank(w.info.wAttributes);
  ScrollConsoleScreenBufferA(Out(), &moved, nullptr, COORD{0, static_cast<SHORT>(top_ + top)},
                             &blank);
  at_ = {COORD{0, static_cast<SHORT>(top_ + bottom)}, true, true};
}

bool Win32Console::TakeRedraw() {
  if (!drawn_.valid) return false;
  const Window& w = CachedWindow();
  if (!w.ok) return false;
  const SMALL_RECT& now = w.info.srWindow;
  const SMALL_RECT& was = drawn_.window;
  if (now.Left == was.Left && now.Top == was.Top && now.Right == was.Right &&
      now.Bottom == was.Bottom)
    return false;
  drawn_.valid = false;  // once; ConsoleClear draws for the new window
  return true;
}

// ---- Keys and the ways out ----
//
// Ctrl+C, Ctrl+Break and closing the window reach OnControl on a thread of
// its own (SetConsoleCtrlHandler). It only sets the flag that
// ConsolePendingSignal hands to the loop, which ends at the end of its turn
// with the report; if the program has not ended within two seconds, the
// handler restores the input mode and the cursor, puts the cursor on a fresh
// row and ends the process with 130. After a close event the handler returns
// only when the program has ended or Windows' limit is nearly up
// (HandlerRoutine callback function; docs/WINDOWS.md, "Ctrl events").

// A saved mode without ENABLE_EXTENDED_FLAGS gets the shell's insert mode
// and QuickEdit back (SetConsoleMode function).
void Win32Console::RestoreKeyMode() {
  if (keyModeSet_.exchange(false)) SetConsoleMode(in_, InputModeToRestore(savedMode_));
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
void Win32Console::EndNow() {
  RestoreKeyMode();
  RestoreCursor();
  HANDLE out = Out();
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out, &info)) {
    const COORD at = info.dwCursorPosition;
    int row = lowestRow_.load() + 1;
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

bool Win32Console::WaitForEnd(DWORD ms) {
  const ULONGLONG until = GetTickCount64() + ms;
  while (!ended_ && GetTickCount64() < until) Sleep(10);
  return ended_;
}

BOOL Win32Console::OnControl(DWORD event) {
  const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  // A second one before the loop has ended ends the program at once.
  if (pending_.exchange(SIGINT) != 0 && !ended_) EndNow();
  if (endEvent_) SetEvent(endEvent_);  // wakes the loop's wait
  if (!WaitForEnd(closing ? kCloseWaitMs : kEndWaitMs)) EndNow();
  // Returning from a close event ends the process: let it finish first.
  if (closing) Sleep(kCloseWaitMs);
  return TRUE;
}

BOOL WINAPI OnControlEvent(DWORD event) {
  Win32Console* console = g_published.load();
  return console ? console->OnControl(event) : FALSE;
}

void Win32Console::StartKeys() {
  DWORD mode = 0;
  in_ = ConsoleInput(&mode);
  if (in_ != INVALID_HANDLE_VALUE) {
    savedMode_ = mode;
    keyModeSet_ = SetConsoleMode(in_, (mode & ~kKeyModeOff) | kKeyModeOn) != 0;
    // One console read request at start: some consoles (Wine's) begin to
    // collect key presses only after the first one.
    INPUT_RECORD record;
    DWORD events = 0;
    PeekConsoleInputA(in_, &record, 1, &events);
  }
  endEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_published.store(this);
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void Win32Console::EndKeys() {
  RestoreKeyMode();
  RestoreCursor();
  streamCount_.Report();
  ended_ = true;
}

// Reads the waiting input records, 256 at a time, until the queue is empty
// (the console's handle stays signalled while any record waits, so the
// wait would not wait). A key without a character (arrows, function keys,
// Shift) has none to give and is dropped, as are key releases and every
// other kind of record.
int Win32Console::PollKeys() {
  // A key waits in the console's queue until asked for: asking every 10 ms
  // loses none and spares a round trip on each fast turn; after a wake for
  // the console's input it is asked at once.
  const ULONGLONG now = GetTickCount64();
  // A wait that watched the console and ended for something else tells
  // that no record is waiting: asking would be a round trip for nothing.
  const bool quiet = keysQuiet_;
  keysQuiet_ = false;
  if (quiet || (!keysWoke_ && now - keysAskedAt_ < kKeyPollMs)) return kKeyNone;
  keysWoke_ = false;
  keysAskedAt_ = now;
  int key = kKeyNone;
  DWORD waiting = 0;
  for (int round = 0; round < 16 && in_ != INVALID_HANDLE_VALUE; ++round) {
    DWORD got = 0;
    if (!GetNumberOfConsoleInputEvents(in_, &waiting) || waiting == 0 ||
        !ReadConsoleInputA(in_, records_, waiting < kKeysPerPoll ? waiting : kKeysPerPoll, &got))
      break;
    for (DWORD i = 0; i < got; ++i) {
      const INPUT_RECORD& r = records_[i];
      if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
      const auto c = static_cast<unsigned char>(r.Event.KeyEvent.uChar.AsciiChar);
      if (c == kKeyEsc) key = kKeyEsc;
      if (c != 0 && key != kKeyEsc) key = c;
    }
  }
  return key;
}

// One WaitForMultipleObjects over the port's read event, the console's
// input (where there is a console) and the Ctrl handler's event; timed only
// by the caller's due times and, once the screen is drawn, the window's
// next size check.
LineWait Win32Console::Wait(std::intptr_t line, int timeoutMs) {
  HANDLE handles[3];
  DWORD count = 0;
  if (line != -1) handles[count++] = reinterpret_cast<HANDLE>(line);
  const DWORD keysAt = count;
  if (in_ != INVALID_HANDLE_VALUE) handles[count++] = in_;
  if (endEvent_) handles[count++] = endEvent_;
  WaitDues dues{-1, timeoutMs, -1};
  if (drawn_.valid) {
    const ULONGLONG since = GetTickCount64() - window_.readAt;
    dues.sizeCheckMs = since >= kWindowReadMs ? 0 : static_cast<long long>(kWindowReadMs - since);
  }
  const int ms = WaitTimeoutMs(dues);
  if (count == 0) {
    Sleep(ms < 0 ? INFINITE : static_cast<DWORD>(ms));
    return LineWait::Quiet;
  }
  const DWORD woke =
      WaitForMultipleObjects(count, handles, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
  if (woke == WAIT_FAILED) Sleep(static_cast<DWORD>(kKeyPollMs));  // never a spin
  keysWoke_ = in_ != INVALID_HANDLE_VALUE && woke == WAIT_OBJECT_0 + keysAt;
  keysQuiet_ = in_ != INVALID_HANDLE_VALUE && woke == WAIT_TIMEOUT;
  const bool lineWoke = line != -1 && (woke == WAIT_OBJECT_0 || woke == WAIT_TIMEOUT);
  return lineWoke ? LineWait::Ready : LineWait::Quiet;
}

}  // namespace

void ConsoleClear() { TheConsole().Clear(); }
void GotoXY(int x, int y) { TheConsole().Goto(x, y); }
void ConsoleText(const char* text) { TheConsole().Text(text); }
void ConsoleFlush() { TheConsole().Flush(); }
void ConsoleClearToEndOfRow() { TheConsole().ClearToEndOfRow(); }
void ConsolePutRow(int x, int y, const char* text, int n) { TheConsole().PutRow(x, y, text, n); }
ConsoleSize ConsoleWindowSize() { return TheConsole().WindowSize(); }
void ConsoleScrollArea(int top, int bottom) { TheConsole().ScrollArea(top, bottom); }
void ConsoleEndScrollArea() {}  // a Windows console has no scroll area to lift
bool ConsoleTakeRedraw() { return TheConsole().TakeRedraw(); }
int ConsoleTakeDroppedLines() { return 0; }  // cell calls are never dropped
int ConsolePendingSignal() { return TheConsole().Pending(); }

Keyboard::Keyboard() { TheConsole().StartKeys(); }
Keyboard::~Keyboard() { TheConsole().EndKeys(); }
int Keyboard::Poll() { return TheConsole().PollKeys(); }
LineWait Keyboard::Wait(std::intptr_t line, int timeoutMs) {
  return TheConsole().Wait(line, timeoutMs);
}

// Cell calls never drop output; a cell shows any character as a glyph, never
// as a command. Under the UTF-8 code page names are shown as UTF-8 is; the
// double-byte code pages (932, 936, 949, 950) take a byte a cell as all
// others do, a known limit (docs/WINDOWS.md).
void ConsoleCountTraceLine() {}
ConsoleCharset ConsoleNameCharset() {
  static const ConsoleCharset charset =
      GetConsoleOutputCP() == kUtf8CodePage ? ConsoleCharset::Utf8 : ConsoleCharset::Glyphs;
  return charset;
}
