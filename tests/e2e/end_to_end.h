// The real program in a real terminal (tmux), with COM1 redirected to a
// pseudo-terminal on which the test plays the controller.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pty_pair.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "terminal.h"

// 2013-03-14 21:05:07 in packed BCD.
inline const Bytes kClock = Telegram('M', '2', {0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13});

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
    return std::make_unique<Terminal>(
        Monitor() + "; echo $? > status; exec env PS1='$ ' sh", dir_.path(), cols, rows);
  }
  void Connect(Terminal& t) {
    ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:"));
    t.Type("1");
    t.Key("Enter");
    ASSERT_EQ(line_.ReadExactly(8, 5000), Request("Ra"));
    ASSERT_TRUE(t.WaitFor("Press (ESC) to abort"));
  }
  // Sends telegrams and expects these bytes back.
  void Exchange(const Bytes& out, const Bytes& expected) {
    line_.Write(out);
    EXPECT_EQ(line_.ReadExactly(expected.size(), 5000), expected);
  }
  // Names, then the first clock: the screen is drawn.
  void DrawTable(const std::vector<std::string>& names) {
    for (const std::string& n : names) Exchange(NameTelegram(n), Ack(NameTelegram(n), true));
    Exchange(kClock, Ack(kClock, true) + Request("Rb") + ParamWrite());
  }
  void ExpectTerminalRestored() {
    EXPECT_EQ(ReadFile(dir_.File("stty.before")), ReadFile(dir_.File("stty.after")));
    EXPECT_NE(ReadFile(dir_.File("stty.after")), "");
  }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }

  TempDir dir_;
  PtyPair line_;
};
