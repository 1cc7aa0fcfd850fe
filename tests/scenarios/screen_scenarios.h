// The screen scenarios, written once and run against both programs: the
// Linux program in tmux (tests/e2e) and the Windows program under Wine
// (tests/wine). Each scenario starts the program through a Launcher, plays
// the controller on its COM1 and reads the terminal's screen and the log.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pty_pair.h"
#include "telegrams.h"
#include "terminal.h"
#include "text.h"

// One run of the program in a terminal, its COM1 on a line of the test's.
class MonitorRun {
 public:
  virtual ~MonitorRun() = default;
  virtual Terminal& Term() = 0;
  virtual const PtyPair& Line() = 0;
  virtual std::string Log() = 0;
  // How each line of the log ends: "\n", or "\r\n" on Windows.
  virtual std::string LogLineEnd() const = 0;
  // Presses ESC as this program's console delivers it.
  virtual void PressEsc() = 0;
  // How long to wait for an answer or a screen (Wine is slower).
  virtual int TimeoutMs() const { return 5000; }
};

// Another run seen through this one, which does not own it (for a test
// fixture that is itself the run).
class BorrowedRun : public MonitorRun {
 public:
  explicit BorrowedRun(MonitorRun& run) : run_(run) {}
  Terminal& Term() override { return run_.Term(); }
  const PtyPair& Line() override { return run_.Line(); }
  std::string Log() override { return run_.Log(); }
  std::string LogLineEnd() const override { return run_.LogLineEnd(); }
  void PressEsc() override { run_.PressEsc(); }
  int TimeoutMs() const override { return run_.TimeoutMs(); }

 private:
  MonitorRun& run_;
};

// Starts the program in a terminal of cols x rows.
using Launcher = std::function<std::unique_ptr<MonitorRun>(int cols, int rows)>;

// ---- Steps every scenario shares ----

// 2013-03-14 21:05:07 in packed BCD.
extern const Bytes kClockTelegram;
// Line noise: n times 'X', 'Y', 'Z', each a rejected header.
Bytes Noise(int headers);
// A name padded to the value column.
std::string Padded(const std::string& name);
// A trace line as the screen and the log show it.
std::string TraceLine(const char* prefix, const Bytes& telegram);

// The rows above the value rows: banner, hint, the date line date, headings
// and rule.
void ExpectHeaderRows(const std::vector<std::string>& rows, const std::string& date);
// The start dialogue with COM1, up to the request "Ra" and the ESC hint.
void Connect(MonitorRun& run);
// Sends telegrams and expects these bytes back.
void Exchange(MonitorRun& run, const Bytes& out, const Bytes& expected);
// Connects, sends the names and the first clock: the table is drawn.
void DrawTable(MonitorRun& run, const std::vector<std::string>& names);
// Waits until row y of the screen reads text.
bool WaitForRow(MonitorRun& run, int y, const std::string& text);
// ESC, and the program ends with status 0.
void EndWithEsc(MonitorRun& run);

// ---- The scenarios ----

// A shorter value leaves nothing of the longer one before it, and a long
// name is cut at the value column by its value (100x50).
void ValueRowsReadExactlyNameAndValue(const Launcher& launch);
// 300 echoes through an area of eight rows leave the table as it was, the
// newest echo on the window's last row; a late name is drawn in its row and
// the area moves below it (80x24).
void EchoesScrollBelowTheTableAndLateNamesAreDrawn(const Launcher& launch);
// Twelve names fill the window to its last row: echoes are logged, not
// shown, and nothing on the screen moves (80x24).
void WindowWithNoRoomBelowTheTableShowsNoEchoes(const Launcher& launch);
