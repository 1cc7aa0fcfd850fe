// What the Wine tests share: the cross-built varnhalt_test.exe runs in a
// Terminal, with Wine's COM1 wired to a pseudo-terminal; the test plays the
// controller on the master side, types at the console and reads the screen.
//
// A template Wine prefix is made once per run (wine_fixture.cpp) and copied
// for every test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "log_lines.h"
#include "pty_pair.h"
#include "screen_scenarios.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "terminal.h"
#include "wine.h"

namespace wine_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using RowMatch = std::function<bool(const std::string&)>;

inline constexpr const char* kPrompt = "ComPort-Nummer [1..6]: ";
inline constexpr int kValueColumn = 20;
inline constexpr int kFirstValueRow = 12;
inline constexpr int kValues = 24;

// ---- Helpers ----

// The n characters of s from pos; fewer, or none, where s is shorter.
inline std::string Cut(const std::string& s, std::size_t pos, std::size_t n) {
  return pos < s.size() ? s.substr(pos, n) : std::string();
}

inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// 12:34:56 on 07.12.23, packed BCD: second, minute, hour, day, month, weekday, year.
inline Bytes ClockTelegram() {
  return Telegram('M', '2', {0x56, 0x34, 0x12, 0x07, 0x12, 0x04, 0x23});
}

// kValues values base, base + 1, ...
inline std::vector<int16_t> ValuesFrom(int base) {
  std::vector<int16_t> v(kValues);
  for (int i = 0; i < kValues; ++i) v[static_cast<std::size_t>(i)] = static_cast<int16_t>(base + i);
  return v;
}

// The log's messages without their time stamps. Wine's log lines end in
// CR LF; without the CR each must be a whole log line.
inline std::vector<std::string> LoggedMessages(const std::string& log) {
  std::vector<std::string> messages;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_TRUE(IsWholeLogLine(line)) << line;
    const auto arrow = line.find(" -> ");
    messages.push_back(arrow == std::string::npos ? line : line.substr(arrow + 4));
  }
  return messages;
}

inline RowMatch Is(const std::string& text) {
  return [text](const std::string& row) { return row == text; };
}
inline RowMatch StartsWith(const std::string& text) {
  return [text](const std::string& row) { return row.rfind(text, 0) == 0; };
}

// ---- The template prefix, made once per run ----

struct TemplatePrefix {
  std::unique_ptr<TempDir> dir;
  std::string path;
  std::string error;  // why no test can run
};
extern TemplatePrefix g_template;

// ---- One run of the program ----

// A test of the program under Wine; as a MonitorRun it also runs the
// screen scenarios shared with the tmux tests.
class WineMonitor : public testing::Test, public MonitorRun {
 protected:
  void SetUp() override {
    Prepare();
    if (!HasFatalFailure() && startInSetUp_) Start(cols_, rows_);
  }

  // A Wine prefix of the test's own, COM1 wired to the test's line.
  void Prepare() {
    ASSERT_TRUE(g_template.error.empty()) << g_template.error;
    ASSERT_FALSE(pty_.slave_path().empty());
    // Wine and tmux must not inherit the pty: closing the master must hang it up.
    fcntl(pty_.master(), F_SETFD, FD_CLOEXEC);
    fcntl(pty_.slave(), F_SETFD, FD_CLOEXEC);
    prefix_ = dir_.File("prefix");
    work_ = dir_.File("work");
    ASSERT_TRUE(CopyWinePrefix(g_template.path, prefix_));
    fs::create_directory(work_);
    // COM1 is the pseudo-terminal, through a link of the test's own that a
    // case may point at another one.
    line_ = dir_.File("com1");
    fs::create_symlink(pty_.slave_path(), line_);
    WireCom1(prefix_, line_);
  }

  // The program in a terminal of cols x rows.
  void Start(int cols, int rows) {
    term_ = std::make_unique<Terminal>(Command(), work_, cols, rows);
  }

  // ---- MonitorRun, for the shared scenarios ----
  Terminal& Term() override { return *term_; }
  const PtyPair& Line() override { return pty_; }
  std::string Log() override { return ReadFile(work_ + "/comlog.log"); }
  std::string LogLineEnd() const override { return "\r\n"; }
  // ESC twice in one write: Wine's console takes a lone ESC from the terminal
  // for the start of a key sequence and delivers nothing; ESC ESC is one 27.
  void PressEsc() override { term_->Key("Escape Escape"); }
  int TimeoutMs() const override { return 10000; }

  void TearDown() override {
    if (HasFailure() && term_) {
      std::cout << "Screen at the end:\n";
      for (const std::string& row : term_->Screen()) std::cout << row << "\n";
    }
    term_.reset();
    if (!prefix_.empty()) StopWine(prefix_);  // while the prefix still exists
  }

  // The command the terminal runs: the program under Wine, Wine's own
  // messages to wine.err.
  virtual std::string Command() { return WineCommand(prefix_, kWinExe, dir_.File("wine.err")); }

  std::vector<std::string> Screen() { return term_->Screen(); }
  std::string Row(int y) { return term_->Row(y); }

  // The last row that matches, or -1.
  int RowOf(const RowMatch& match) {
    const auto rows = Screen();
    for (std::size_t y = rows.size(); y-- > 0;)
      if (match(rows[y])) return static_cast<int>(y);
    return -1;
  }

  bool WaitForRow(const RowMatch& match, int timeout_ms = 10000) {
    return WaitUntil([&] { return RowOf(match) >= 0; }, timeout_ms);
  }

  // Waits for the prompt with the cursor right after it.
  void ExpectPrompt(int occurrences) {
    auto prompts = [&] {
      const auto rows = Screen();
      return std::count_if(rows.begin(), rows.end(), StartsWith("ComPort-Nummer [1..6]:"));
    };
    ASSERT_TRUE(WaitUntil([&] { return prompts() >= occurrences; }, 20000))
        << "no prompt " << occurrences;
    const int y = RowOf(Is("ComPort-Nummer [1..6]:"));
    EXPECT_EQ(Term().Cursor(), std::make_pair(static_cast<int>(std::string(kPrompt).size()), y));
  }

  void Answer(const std::string& port) {
    Term().Type(port);
    Term().Key("Enter");
  }

  // The start dialogue with COM1, up to the request "Ra", with the cursor
  // checked behind the prompt.
  void OpenCom1() {
    ExpectPrompt(1);
    if (!HasFatalFailure()) Connect(*this);
  }

  void Send(const Bytes& telegram) { pty_.Write(telegram); }
  std::string Receive(std::size_t n, int timeout_ms = 5000) {
    return Hex(pty_.ReadExactly(n, timeout_ms));
  }

  void PressEscExpectStatus0() {
    PressEsc();
    EXPECT_EQ(Term().ExitStatus(15000), 0) << "the program did not end after ESC with status 0";
  }

  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

  // The shared steps (screen_scenarios.h) on this run.
  void Exchange(const Bytes& out, const Bytes& expected) { ::Exchange(*this, out, expected); }
  void DrawTable(const std::vector<std::string>& names) {
    ExpectPrompt(1);
    if (!HasFatalFailure()) ::DrawTable(*this, names);
  }

  // The table of kValues values "Value0"..
  void DrawTableOfValues() {
    std::vector<std::string> names;
    for (int i = 0; i < kValues; ++i) names.push_back("Value" + std::to_string(i));
    DrawTable(names);
  }

  // Expects n acknowledgements ack, in order; stops at the first wrong or missing one.
  void ExpectAcks(int n, const Bytes& ack) {
    for (int i = 0; i < n; ++i) {
      const std::string got = Receive(ack.size(), 10000);
      EXPECT_EQ(got, Hex(ack)) << "acknowledgement " << i << " of " << n;
      if (got != Hex(ack)) return;
    }
  }

  // The table of DrawTableOfValues shows ValuesFrom(base), each row scaled
  // as the program shows it.
  void ExpectValuesDrawn(int base) {
    const std::string lastShown = std::to_string(base + kValues - 1);
    EXPECT_TRUE(WaitUntil(
        [&] { return Cut(Row(kFirstValueRow + kValues - 1), kValueColumn, 5) == lastShown; },
        10000))
        << Row(kFirstValueRow + kValues - 1);
    const auto rows = Screen();
    ASSERT_GE(rows.size(), static_cast<std::size_t>(kFirstValueRow + kValues));
    for (int i = 0; i < kValues; ++i) {
      int shown = base + i;
      if (i == 4 || (i >= 12 && i <= 18) || i == 22) shown /= 2;
      if (i == 11) shown /= 207;
      const std::string& row = rows[static_cast<std::size_t>(kFirstValueRow + i)];
      const std::string name = "Value" + std::to_string(i);
      EXPECT_EQ(Cut(row, 0, name.size()), name);
      EXPECT_EQ(Cut(row, kValueColumn, std::to_string(shown).size() + 1), std::to_string(shown))
          << "row " << kFirstValueRow + i;
    }
  }

  int cols_ = 100;  // the terminal; a fixture may set another size
  int rows_ = 50;
  bool startInSetUp_ = true;  // false: the case starts the program itself
  TempDir dir_;
  PtyPair pty_;
  std::string prefix_, work_;
  std::string line_;  // the link behind COM1
  std::unique_ptr<Terminal> term_;
};

}  // namespace wine_test
