// The monitor's screen: the fixed table (banner, hint, date line, headings,
// rule, one row per value name) and, below it, the trace area where log
// messages are echoed once the table is drawn.
//
// These names are the program's established interface and keep their mixed
// styles.
#pragma once

#include "value_names.h"

constexpr int kFirstValueRow = 12;  // the row of the first name and value
constexpr int kValueColumn = 20;
constexpr const char* kEscHint = "Press (ESC) to abort\n";

// Clears the console and draws the banner, headings, rule and names; from
// then on log messages are echoed in the trace area below the table.
void PrepareScreen();
// Draws the whole screen again at the window's present size (after a
// resize, a stop, or output the terminal did not read): the table with every
// name, the date line and the values as last shown, and an empty trace area
// that says how many trace lines were not shown, when droppedLines > 0.
void RedrawScreen(const char* dateLine, int droppedLines);
// Draws name i, which arrived after the screen was drawn, in its row; the
// trace area then starts below it.
void DrawLateName(int i);
// Prints the date line and the first n shown values, each value row cleared
// behind its value.
void DrawValues(const char* dateLine, const int* values, int n);
// The log writer's echo: at the cursor before the screen is drawn, then in
// the trace area (not at all when no row is left below the table).
void TraceEcho(const char* message);
// Leaves the screen for good: the whole window scrolls again and the cursor
// stands on a fresh row below everything printed.
void LeaveScreen();

// The screen's state: the values as last shown and the trace area below the
// table. The functions above act on TheScreen(); a test that needs a screen
// never drawn puts a new one in its place (TheScreen() = MonitorScreen()).
class MonitorScreen {
 public:
  void Prepare();
  void Redraw(const char* dateLine, int droppedLines);
  void DrawLateName(int i);
  void DrawValues(const char* dateLine, const int* values, int n);
  void TraceEcho(const char* message);
  void Leave();

 private:
  // The rows below the table that take the echoes of log messages.
  struct TraceArea {
    bool active = false;  // the table is drawn
    int top = 0;          // first row: one blank row below the last name
    int next = 0;         // the row the next echo takes while the area is not full
  };

  void DrawShownValues(int n);
  void DrawName(int i, int cols);
  void EchoRow(const char* text, int n, int bottom);

  int shown_[kMaxNames] = {};  // the values as last shown, for drawing again
  int shownCount_ = 0;
  TraceArea area_;
};

// The program's one screen.
MonitorScreen& TheScreen();
