// The monitor's screen: the fixed table (banner, hint, date line, headings,
// rule, one row per value name) and, below it, the trace area where log
// messages are echoed once the table is drawn.
//
// These names are the program's established interface and keep their mixed
// styles.
#pragma once

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
