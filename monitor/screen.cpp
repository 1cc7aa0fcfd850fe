// The monitor's screen: the fixed table (banner, hint, date line, headings,
// rule, one row per value name) and, below it, the trace area, where every
// log message is echoed once the table is drawn. Echoes never write into the
// table and never make it move: the area scrolls on its own.
#include "screen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "name_text.h"
#include "value_names.h"

namespace {

constexpr int kDateRow = 7;  // the date line starts with a line break: row 8
constexpr int kHeadingRow = 10;
constexpr int kRuleRow = 11;
constexpr std::size_t kNameRowMax = 128;  // longer than any name a telegram can carry

// The fixed rows of the table; every other row above the names stays blank.
struct FixedRow {
  int row;
  const char* text;
};
constexpr FixedRow kFixedRows[] = {
    {1, "*********************************************************************"},
    {2, "*     Varnhalt K2740 communication test (Build 100),                *"},
    {3, "*     names, clock and live values of the controller                *"},
    {4, "*********************************************************************"},
    {6, "Press (ESC) to abort"},
    {kHeadingRow, "Name                Value"},
    {kRuleRow, "-----------------------------------------------------------"},
};

int AreaTop() { return kFirstValueRow + ValueCount + 1; }

// Rows that exist in the window; all of them when the size is unknown.
int WindowRows() {
  const ConsoleSize size = ConsoleWindowSize();
  return size.rows > 0 ? size.rows : kFirstValueRow + kMaxNames + 1;
}

// Writes n bytes of text at column x of row y, cut by characters so that the
// row never reaches the window's last column (a terminal would wrap it, a
// console may scroll), and blanks the rest of the row.
void PutCut(int x, int y, const char* text, std::size_t n, int cols) {
  if (cols > 0) n = x < cols - 1 ? ColumnBytes(text, n, cols - 1 - x, ConsoleNameCharset()) : 0;
  ConsolePutRow(x, y, text, static_cast<int>(n));
}

// The date line starts with a line break: its text stands on the row below
// kDateRow. The empty date line (before the first clock) draws nothing.
void DrawDateLine(const char* dateLine, int cols) {
  if (dateLine[0] == '\n') PutCut(0, kDateRow + 1, dateLine + 1, std::strlen(dateLine + 1), cols);
}

}  // namespace

// The first n value rows from the values as last shown; a row outside the
// window is not drawn.
void MonitorScreen::DrawShownValues(int n) {
  const ConsoleSize size = ConsoleWindowSize();
  const int rows = WindowRows();
  for (int i = 0; i < n && kFirstValueRow + i < rows; ++i) {
    char text[12];
    const int n = std::snprintf(text, sizeof text, "%i", shown_[i]);
    // The rest of the row is blanked: no digit of a longer value stays behind.
    PutCut(kValueColumn, kFirstValueRow + i, text, static_cast<std::size_t>(n), size.cols);
  }
}

// A name as drawn (see RenderName: it can neither move the cursor nor send
// commands to the terminal), cut before the window's last column, so that a
// long name never wraps into the next name's row, and at the value's column
// once a value is shown in its row.
void MonitorScreen::DrawName(int i, int cols) {
  int room = cols > 1 ? cols - 1 : static_cast<int>(kNameRowMax);
  if (i < shownCount_) room = std::min(room, kValueColumn);
  const char* name = ValueNames[i].get();
  const NameText shown = RenderName(reinterpret_cast<const unsigned char*>(name), std::strlen(name),
                                    ConsoleNameCharset(), room);
  ConsolePutRow(0, kFirstValueRow + i, shown.text, shown.size);
}

// One row of an echo, at most a window's width less one column (a console
// that writes its last column may scroll the whole window).
void MonitorScreen::EchoRow(const char* text, int n, int bottom) {
  int row = bottom;  // a one-row area is overwritten
  if (area_.next <= bottom)
    row = area_.next++;
  else if (area_.top < bottom)
    ConsoleScrollArea(area_.top, bottom);
  ConsolePutRow(0, row, text, n);
}

void MonitorScreen::Prepare() {
  ConsoleClear();
  const ConsoleSize size = ConsoleWindowSize();
  for (const FixedRow& f : kFixedRows) PutCut(0, f.row, f.text, std::strlen(f.text), size.cols);
  const int rows = WindowRows();
  for (int i = 0; i < ValueCount && kFirstValueRow + i < rows; ++i) DrawName(i, size.cols);
  area_ = {true, AreaTop(), AreaTop()};
}

void MonitorScreen::Redraw(const char* dateLine, int droppedLines) {
  Prepare();
  DrawDateLine(dateLine, ConsoleWindowSize().cols);
  DrawShownValues(shownCount_);
  if (droppedLines > 0) {
    char note[64];
    std::snprintf(note, sizeof note, "%d trace lines not shown (see comlog.log)\n", droppedLines);
    TraceEcho(note);
  }
}

void MonitorScreen::DrawLateName(int i) {
  const ConsoleSize size = ConsoleWindowSize();
  if (kFirstValueRow + i < WindowRows()) DrawName(i, size.cols);
  area_.top = AreaTop();
  area_.next = std::max(area_.next, area_.top);
}

void MonitorScreen::DrawValues(const char* dateLine, const int* values, int n) {
  DrawDateLine(dateLine, ConsoleWindowSize().cols);
  for (int i = 0; i < n; ++i) shown_[i] = values[i];
  shownCount_ = std::max(shownCount_, n);
  DrawShownValues(n);
}

void MonitorScreen::TraceEcho(const char* message) {
  const ConsoleSize size = ConsoleWindowSize();
  if (!area_.active || size.rows == 0) {
    ConsoleText(message);  // at the cursor, as in the start dialogue
    return;
  }
  const int bottom = size.rows - 1;
  if (area_.top > bottom) return;  // no row left below the table: logged only
  ConsoleCountTraceLine();
  const int width = size.cols > 1 ? size.cols - 1 : 1;
  const ConsoleCharset charset = ConsoleNameCharset();
  for (const char* line = message; *line;) {
    const std::size_t len = std::strcspn(line, "\n");
    std::size_t at = 0;
    do {  // rows of width characters; an empty line takes one row
      const std::size_t n = ColumnBytes(line + at, len - at, width, charset);
      EchoRow(line + at, static_cast<int>(n), bottom);
      at += n;
    } while (at < len);
    line += len;
    if (*line == '\n') ++line;
  }
}

void MonitorScreen::Leave() {
  if (!area_.active) {
    ConsoleText("\n");  // the shell's prompt starts on a line of its own
    return;
  }
  area_.active = false;
  ConsoleEndScrollArea();
  const ConsoleSize size = ConsoleWindowSize();
  const int bottom = size.rows - 1;
  if (size.rows == 0) {
    ConsoleText("\n");
  } else if (area_.next <= bottom) {
    GotoXY(0, area_.next);
  } else {
    GotoXY(0, bottom);
    ConsoleText("\n");
  }
}

MonitorScreen& TheScreen() {
  static MonitorScreen screen;
  return screen;
}

void PrepareScreen() { TheScreen().Prepare(); }
void RedrawScreen(const char* dateLine, int droppedLines) {
  TheScreen().Redraw(dateLine, droppedLines);
}
void DrawLateName(int i) { TheScreen().DrawLateName(i); }
void DrawValues(const char* dateLine, const int* values, int n) {
  TheScreen().DrawValues(dateLine, values, n);
}
void TraceEcho(const char* message) { TheScreen().TraceEcho(message); }
void LeaveScreen() { TheScreen().Leave(); }
