// The real program in a real terminal (tmux), with COM1 redirected to a
// pseudo-terminal on which the test plays the controller.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "files.h"
#include "pty_pair.h"
#include "screen_scenarios.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "terminal.h"

// True for a row that shows a number and nothing else.
inline bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c); });
}

// A terminal of the test's own on the test's line, as the shared steps and
// scenarios see a run of the program.
class TerminalOnLine : public MonitorRun {
 public:
  TerminalOnLine(Terminal& term, const PtyPair& line, const TempDir& dir)
      : term_(term), line_(line), dir_(dir) {}
  Terminal& Term() override { return term_; }
  const PtyPair& Line() override { return line_; }
  std::string Log() override { return ReadFile(dir_.File("comlog.log")); }
  std::string LogLineEnd() const override { return "\n"; }
  void PressEsc() override { term_.Key("Escape"); }

 private:
  Terminal& term_;
  const PtyPair& line_;
  const TempDir& dir_;
};

// The Linux program in tmux, for the shared scenarios: a directory, a line
// and a terminal of its own.
class TmuxRun : public MonitorRun {
 public:
  TmuxRun(int cols, int rows)
      : term_(Com1Command(line_.slave_path()), dir_.path(), cols, rows), on_(term_, line_, dir_) {}
  Terminal& Term() override { return term_; }
  const PtyPair& Line() override { return line_; }
  std::string Log() override { return on_.Log(); }
  std::string LogLineEnd() const override { return on_.LogLineEnd(); }
  void PressEsc() override { on_.PressEsc(); }

 private:
  TempDir dir_;
  PtyPair line_;
  Terminal term_;
  TerminalOnLine on_;
};

inline std::unique_ptr<MonitorRun> LaunchInTmux(int cols, int rows) {
  return std::make_unique<TmuxRun>(cols, rows);
}

class EndToEnd : public testing::Test {
 protected:
  std::string Monitor() const { return Com1Command(line_.slave_path()); }
  // Starts the monitor on COM1 = the test's line, recording the terminal's
  // settings before and after it.
  std::unique_ptr<Terminal> Launch(int cols = 100, int rows = 40) {
    return std::make_unique<Terminal>(
        "stty -g > stty.before && " + Monitor() + "; s=$?; stty -g > stty.after; exit $s",
        dir_.path(), cols, rows);
  }
  // Starts the monitor, and after it a shell with the prompt "$ " in the same
  // terminal; the monitor's exit status goes to the file "status".
  std::unique_ptr<Terminal> LaunchThenShell(int cols, int rows) {
    return std::make_unique<Terminal>(Monitor() + "; echo $? > status; exec env PS1='$ ' sh",
                                      dir_.path(), cols, rows);
  }
  // The start dialogue (screen_scenarios.h) on terminal t and this test's line.
  void Connect(Terminal& t) {
    TerminalOnLine run(t, line_, dir_);
    ::Connect(run);
  }
  // Sends telegrams and expects these bytes back.
  void Exchange(const Bytes& out, const Bytes& expected) {
    line_.Write(out);
    EXPECT_EQ(line_.ReadExactly(expected.size(), 5000), expected);
  }
  // Names, then the first clock: the screen is drawn.
  void DrawTable(Terminal& t, const std::vector<std::string>& names) {
    TerminalOnLine run(t, line_, dir_);
    ::DrawTable(run, names);
  }
  // Runs seq 100 at the shell (after the text before): with no scroll
  // region left, the whole window scrolls and every row but the last two
  // shows a number.
  void ExpectWholeWindowScrolls(Terminal& t, const std::string& before, int rows) {
    t.Type(before + "seq 100");
    t.Key("Enter");
    const auto r = static_cast<std::size_t>(rows);
    std::vector<std::string> s;
    for (int i = 0; i < 100 && ((s = t.Screen()).size() != r || s[r - 2] != "100"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(s.size(), r);
    EXPECT_EQ(s[r - 2], "100");
    for (std::size_t row = 0; row + 2 < r; ++row)
      EXPECT_TRUE(AllDigits(s[row])) << "row " << row << ": " << s[row];
  }
  void ExpectTerminalRestored() {
    EXPECT_EQ(ReadFile(dir_.File("stty.before")), ReadFile(dir_.File("stty.after")));
    EXPECT_NE(ReadFile(dir_.File("stty.after")), "");
  }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }

  TempDir dir_;
  PtyPair line_;
};
