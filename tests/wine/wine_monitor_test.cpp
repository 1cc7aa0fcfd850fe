// The Windows program end to end under Wine. The cross-built
// varnhalt_test.exe runs in a Terminal, with Wine's COM1 wired to a
// pseudo-terminal; the test plays the controller on the master side, types
// at the console and reads the screen.
//
// A template Wine prefix is made once per run and copied for every test.
// How fast the program is under Wine is measured by varnhalt_bench --wine.
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

#include "log_lines.h"
#include "pty_pair.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "terminal.h"
#include "wine.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using RowMatch = std::function<bool(const std::string&)>;

constexpr const char* kMissing = VARNHALT_WINE_MISSING;

constexpr const char* kPrompt = "ComPort-Nummer [1..6]: ";
constexpr int kValueColumn = 20;
constexpr int kFirstValueRow = 12;
constexpr int kValues = 24;

// ---- Helpers ----

// The n characters of s from pos; fewer, or none, where s is shorter.
std::string Cut(const std::string& s, std::size_t pos, std::size_t n) {
  return pos < s.size() ? s.substr(pos, n) : std::string();
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// 12:34:56 on 07.12.23, packed BCD: second, minute, hour, day, month, weekday, year.
Bytes ClockTelegram() { return Telegram('M', '2', {0x56, 0x34, 0x12, 0x07, 0x12, 0x04, 0x23}); }

std::string Hex(const Bytes& b) {
  std::string s;
  char h[4];
  for (unsigned char c : b) {
    std::snprintf(h, sizeof h, "%02x ", c);
    s += h;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// A name padded to the value column.
std::string Padded(const std::string& name) {
  return name + std::string(kValueColumn - name.size(), ' ');
}

// Line noise: n times the bytes 'X', 'Y', 'Z', each a rejected header.
Bytes Noise(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b = b + Bytes{'X', 'Y', 'Z'};
  return b;
}

std::size_t Count(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// A trace line as the log holds it after its time stamp.
std::string TraceLine(const char* prefix, const Bytes& b) {
  std::string s = prefix;
  for (unsigned char c : b)
    if (std::isalnum(c)) s += static_cast<char>(c);
  return s + " {" + Hex(b) + " }";
}

// kValues values base, base + 1, ...
std::vector<int16_t> ValuesFrom(int base) {
  std::vector<int16_t> v(kValues);
  for (int i = 0; i < kValues; ++i) v[static_cast<std::size_t>(i)] = static_cast<int16_t>(base + i);
  return v;
}

// The log's messages without their time stamps. Wine's log lines end in
// CR LF; without the CR each must be a whole log line.
std::vector<std::string> LoggedMessages(const std::string& log) {
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

RowMatch Is(const std::string& text) {
  return [text](const std::string& row) { return row == text; };
}
RowMatch StartsWith(const std::string& text) {
  return [text](const std::string& row) { return row.rfind(text, 0) == 0; };
}

// ---- The template prefix, made once per run ----

struct TemplatePrefix {
  std::unique_ptr<TempDir> dir;
  std::string path;
  std::string error;  // why no test can run
};
TemplatePrefix g_template;

class WineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (*kMissing) {
      g_template.error = std::string("not installed: ") + kMissing + "; then run cmake again";
      return;
    }
    if (access(kWinExe, R_OK) != 0) {
      g_template.error = std::string("no cross-built program at ") + kWinExe;
      return;
    }
    g_template.dir = std::make_unique<TempDir>();
    g_template.path = g_template.dir->File("template");
    g_template.error = MakeWinePrefix(g_template.path);
  }

  void TearDown() override {
    if (!g_template.dir) return;
    StopWine(g_template.path);
    g_template.dir.reset();
  }
};

const testing::Environment* const g_environment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

// ---- One run of the program ----

class WineMonitor : public testing::Test {
 protected:
  void SetUp() override {
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
    term_ = std::make_unique<Terminal>(WineCommand(prefix_, kWinExe, dir_.File("wine.err")), work_,
                                       cols_, rows_);
  }

  void TearDown() override {
    if (HasFailure() && term_) {
      std::cout << "Screen at the end:\n";
      for (const std::string& row : term_->Screen()) std::cout << row << "\n";
    }
    term_.reset();
    if (!prefix_.empty()) StopWine(prefix_);  // while the prefix still exists
  }

  Terminal& Term() { return *term_; }
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

  // The start dialogue with COM1, up to the request "Ra".
  void OpenCom1() {
    ExpectPrompt(1);
    if (HasFatalFailure()) return;
    Answer("1");
    EXPECT_EQ(Hex(pty_.ReadExactly(8, 10000)), "52 61 03 00 ff f4 02 a9");
  }

  void Send(const Bytes& telegram) { pty_.Write(telegram); }
  std::string Receive(std::size_t n, int timeout_ms = 5000) {
    return Hex(pty_.ReadExactly(n, timeout_ms));
  }

  // ESC twice in one write: Wine's console takes a lone ESC from the terminal
  // for the start of a key sequence and delivers nothing; ESC ESC is one 27.
  void PressEscExpectStatus0() {
    Term().Key("Escape Escape");
    EXPECT_EQ(Term().ExitStatus(15000), 0) << "the program did not end after ESC with status 0";
  }

  std::string Log() { return ReadFile(work_ + "/comlog.log"); }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

  // Sends telegrams and expects these bytes back.
  void Exchange(const Bytes& out, const Bytes& expected) {
    Send(out);
    EXPECT_EQ(Receive(expected.size()), Hex(expected));
  }

  // Connects, sends the names and the first clock: the table is drawn.
  void DrawTable(const std::vector<std::string>& names) {
    OpenCom1();
    ASSERT_FALSE(HasFailure());
    for (const std::string& n : names) Exchange(NameTelegram(n), Ack(NameTelegram(n), true));
    Exchange(ClockTelegram(), Ack(ClockTelegram(), true) + Request("Rb") + ParamWrite());
    ASSERT_FALSE(HasFailure());
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
  TempDir dir_;
  PtyPair pty_;
  std::string prefix_, work_;
  std::string line_;  // the link behind COM1
  std::unique_ptr<Terminal> term_;
};

// The smallest terminal the screen is made for.
class WineMonitor80x24 : public WineMonitor {
 protected:
  WineMonitor80x24() {
    cols_ = 80;
    rows_ = 24;
  }
};

// ---- The dialogue, the screen and the log of one run ----

// Names: four good telegrams, and one with a bad checksum that is negatively
// acknowledged and stored all the same. Returns the telegrams sent.
std::vector<Bytes> NamesOneWithABadSum(const std::vector<std::string>& names) {
  std::vector<Bytes> telegrams;
  for (const std::string& name : names) telegrams.push_back(NameTelegram(name));
  telegrams.back().back() ^= 0x01;
  return telegrams;
}

// The rows above the value rows, after the clock 12:34:56 on 07.12.23.
void ExpectHeaderRows(const std::vector<std::string>& rows) {
  ASSERT_GT(rows.size(), 11u);
  EXPECT_EQ(rows[0], "");
  EXPECT_EQ(rows[1], std::string(69, '*'));
  EXPECT_EQ(rows[2], "*     Varnhalt K2740 communication test (Build 100),                *");
  EXPECT_EQ(rows[3], "*     names, clock and live values of the controller                *");
  EXPECT_EQ(rows[4], std::string(69, '*'));
  EXPECT_EQ(rows[5], "");
  EXPECT_EQ(rows[6], "Press (ESC) to abort");
  EXPECT_EQ(rows[7], "");
  EXPECT_EQ(rows[8], "Date: 07.12.23 - Time: 12:34:56");
  EXPECT_EQ(rows[9], "");
  EXPECT_EQ(rows[10], "Name" + std::string(16, ' ') + "Value");
  EXPECT_EQ(rows[11], std::string(59, '-'));
}

// The log of the dialogue: "Ra", the names (the last negatively
// acknowledged), "Rb" and the parameter write.
void ExpectDialogueLog(const std::string& log, const std::vector<Bytes>& names) {
  ASSERT_FALSE(log.empty()) << "no comlog.log in the working directory";
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  std::vector<std::string> expected = {
      TraceLine("<<< ", {0x52, 0x61, 0x03, 0x00, 0xff, 0xf4, 0x02, 0xa9})};
  for (std::size_t i = 0; i + 1 < names.size(); ++i)
    expected.push_back(TraceLine(">>> ", names[i]));
  expected.push_back("<<< MA {4d 41 01 00 00 8f }");
  expected.push_back(TraceLine(">>> ", names.back()));
  expected.push_back("<<< Rb {52 62 03 00 ff f4 02 aa }");
  expected.push_back("<<< RI {52 49 04 00 9b 00 04 01 3e }");
  EXPECT_EQ(LoggedMessages(log), expected);
}

class WineDialogue : public WineMonitor {
 protected:
  // A port Wine does not know: the reason, and the prompt again; then COM1.
  void RefuseCom3ThenOpenCom1() {
    ExpectPrompt(1);
    ASSERT_FALSE(HasFatalFailure());
    Answer("3");
    ASSERT_TRUE(WaitForRow(StartsWith("COM3 cannot be opened: ")));
    const std::string reason = Row(RowOf(StartsWith("COM3 cannot be opened: ")));
    std::cout << "[   WINE   ] " << reason << "\n";
    EXPECT_GT(reason.size(), std::string("COM3 cannot be opened: ").size());
    ExpectPrompt(2);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(pty_.Read(0).empty());

    Answer("1");
    EXPECT_EQ(Receive(8), "52 61 03 00 ff f4 02 a9");
    EXPECT_TRUE(WaitForRow(Is("Ready to receive from ComPort: 1")));
    const int ready = RowOf(Is("Ready to receive from ComPort: 1"));
    EXPECT_EQ(Row(ready + 1), "Press (ESC) to abort");
  }

  // The names, then the first clock: acknowledgement, "Rb", the parameter write.
  void SendNamesAndClock(const std::vector<Bytes>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      Send(names[i]);
      EXPECT_EQ(Receive(6), i + 1 < names.size() ? "4d 41 01 01 00 90" : "4d 41 01 00 00 8f")
          << "name " << i;
    }
    Send(ClockTelegram());
    EXPECT_EQ(Receive(6), "4d 32 01 01 00 81");
    EXPECT_EQ(Receive(8), "52 62 03 00 ff f4 02 aa");
    EXPECT_EQ(Receive(9), "52 49 04 00 9b 00 04 01 3e");
  }

  // The value rows of names showing shown, then the trace area.
  void ExpectValueRows(const std::vector<std::string>& names,
                       const std::vector<std::string>& shown) {
    const int lastRow = kFirstValueRow + static_cast<int>(names.size()) - 1;
    EXPECT_TRUE(
        WaitUntil([&] { return Cut(Row(lastRow), kValueColumn, 3) == shown.back(); }, 10000));
    const auto rows = Screen();
    ASSERT_GT(rows.size(), static_cast<std::size_t>(lastRow) + 2);
    ExpectHeaderRows(rows);
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string& row = rows[kFirstValueRow + i];
      EXPECT_EQ(Cut(row, 0, names[i].size()), names[i]) << "row " << kFirstValueRow + i;
      EXPECT_EQ(Cut(row, kValueColumn, shown[i].size()), shown[i]) << "row " << kFirstValueRow + i;
    }
    // The parameter write's trace line opens the trace area, one blank row
    // below the table.
    EXPECT_EQ(rows[static_cast<std::size_t>(lastRow) + 1], "");
    EXPECT_EQ(rows[static_cast<std::size_t>(lastRow) + 2], "<<< RI {52 49 04 00 9b 00 04 01 3e }");
  }
};

TEST_F(WineDialogue, DialogueScreenLogAndEsc) {
  ASSERT_NO_FATAL_FAILURE(RefuseCom3ThenOpenCom1());
  const std::vector<std::string> names = {"Temperature", "Pressure", "Speed", "Voltage", "Level"};
  const std::vector<Bytes> nameTelegrams = NamesOneWithABadSum(names);
  SendNamesAndClock(nameTelegrams);
  // Row 4 is shown halved.
  Send(ValuesTelegram({1234, -5, 0, 32767, 1000}));
  EXPECT_EQ(Receive(6), "4d 31 01 01 00 80");
  ExpectValueRows(names, {"1234", "-5", "0", "32767", "500"});
  // The log: one time-stamped line per message, CR LF at the end of each.
  ExpectDialogueLog(Log(), nameTelegrams);
  PressEscExpectStatus0();
}

// ---- Value telegrams one after another ----

// Value telegrams with 24 values, each sent when the one before was
// acknowledged, alternating with clock telegrams of the same length: every
// one is acknowledged positively and the last values are drawn where they
// belong.
TEST_F(WineMonitor, ValueTelegramsBackToBackAreAcknowledgedAndDrawn) {
  ASSERT_NO_FATAL_FAILURE(DrawTableOfValues());
  Bytes clockData(2 * kValues, 0);  // a later clock only rebuilds the date text
  const Bytes clock = ClockTelegram();
  std::copy(clock.begin() + 3, clock.end() - 2, clockData.begin());
  const Bytes longClock = Telegram('M', '2', clockData);
  constexpr int kRounds = 40;
  for (int t = 0; t < kRounds && !HasFailure(); ++t) {
    Send(ValuesTelegram(ValuesFrom(100 * t)));
    EXPECT_EQ(Receive(6, 2000), "4d 31 01 01 00 80") << "values " << t;
    Send(longClock);
    EXPECT_EQ(Receive(6, 2000), "4d 32 01 01 00 81") << "clock " << t;
  }
  ASSERT_FALSE(HasFailure());
  ExpectValuesDrawn(100 * (kRounds - 1));
  PressEscExpectStatus0();
}

// Whether the program keeps up with the line: value telegrams of 24 values
// sent at the rate 9600 baud carries (960 bytes/s), then back to back as
// fast as the pty takes them. Every one must be acknowledged positively, in
// order, and the last one drawn.
TEST_F(WineMonitor, ValueTelegramsAtAndAboveTheLineRateAreAllAcknowledged) {
  ASSERT_NO_FATAL_FAILURE(DrawTableOfValues());
  const Bytes first = ValuesTelegram(ValuesFrom(0));
  const Bytes ack = Ack(first, true);
  const auto interval = std::chrono::microseconds(1000000 * first.size() / 960);
  constexpr int kPaced = 100;
  std::thread paced([&] {
    const auto start = Clock::now();
    for (int t = 0; t < kPaced; ++t) {
      std::this_thread::sleep_until(start + t * interval);
      Send(ValuesTelegram(ValuesFrom(10 * t)));
    }
  });
  ExpectAcks(kPaced, ack);
  paced.join();
  ASSERT_FALSE(HasFailure());

  constexpr int kBackToBack = 300;
  Bytes all;
  for (int t = kPaced; t < kPaced + kBackToBack; ++t)
    all = all + ValuesTelegram(ValuesFrom(10 * t));
  std::thread flood([&] { Send(all); });
  ExpectAcks(kBackToBack, ack);
  flood.join();
  ASSERT_FALSE(HasFailure());
  ExpectValuesDrawn(10 * (kPaced + kBackToBack - 1));
  PressEscExpectStatus0();
}

// The controller's side goes away (a pulled adapter): ESC still ends the
// program while it tries to open the line again. (Under Wine, ReadFile on a
// hung-up pseudo-terminal returns empty after the time-out; ClearCommError
// is what fails.)
TEST_F(WineMonitor, EscEndsTheProgramAfterTheLineHungUp) {
  OpenCom1();
  ASSERT_FALSE(HasFailure());
  pty_.CloseMaster();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  PressEscExpectStatus0();
}

// The line goes away (its pty's master closed, as when an adapter is
// pulled) and comes back as another pty at the same place: the program
// says it lost COM1 and why, does not take the missing device for an open
// port, and once the line is back answers on it with names and screen kept.
TEST_F(WineMonitor, ALostLineIsOpenedAgainWhenItComesBack) {
  ASSERT_NO_FATAL_FAILURE(DrawTable({"Outdoor", "Flow"}));
  pty_.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return Logged("COM1 lost: "); }, 5000)) << Log();
  const std::string log = Log();
  const auto lost = log.find("COM1 lost: ");
  std::cout << "[   WINE   ] " << log.substr(lost, log.find('\r', lost) - lost) << "\n";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two tries to open it
  EXPECT_FALSE(Logged("COM1 open again")) << "a missing device was taken for an open port";

  PtyPair back;
  fs::remove(line_);
  fs::create_symlink(back.slave_path(), line_);
  ASSERT_TRUE(WaitUntil([&] { return Logged("COM1 open again"); }, 5000)) << Log();
  const Bytes values = ValuesTelegram({12, 34});
  back.Write(values);
  EXPECT_EQ(Hex(back.ReadExactly(6, 5000)), Hex(Ack(values, true)));
  EXPECT_TRUE(WaitForRow(Is(Padded("Flow") + "34")));
  EXPECT_EQ(Row(12), Padded("Outdoor") + "12");
  PressEscExpectStatus0();
  EXPECT_TRUE(Logged("Times the port was lost: 1\r\n")) << Log();
}

// Output held back on the line (as hardware flow control left on by another
// program would): a write the line does not take is given up, not left
// pending, and ESC still ends the program while every acknowledgement
// stalls. The test's own descriptor of the pty stops and restarts its output.
TEST_F(WineMonitor, StalledWritesAreGivenUpAndEscStillEnds) {
  OpenCom1();
  ASSERT_FALSE(HasFailure());
  Bytes bad = NameTelegram("Stalled");
  bad.back() ^= 0x01;
  ASSERT_EQ(tcflow(pty_.slave(), TCOOFF), 0);
  Send(bad);  // its negative acknowledgement meets the stopped line
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ASSERT_EQ(tcflow(pty_.slave(), TCOON), 0);
  EXPECT_EQ(Hex(pty_.Read(300)), "") << "the stalled write was kept, not given up";
  Send(NameTelegram("Flowing"));
  EXPECT_EQ(Receive(6), "4d 41 01 01 00 90");

  ASSERT_EQ(tcflow(pty_.slave(), TCOOFF), 0);
  Bytes flood;
  for (int i = 0; i < 5; ++i) flood = flood + NameTelegram("Name" + std::to_string(i));
  Send(flood);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  PressEscExpectStatus0();
  tcflow(pty_.slave(), TCOON);
}

// ---- The screen: value rows, the trace area, late names ----

// A shorter value leaves nothing of the longer one before it, and a long
// name is cut at the value column by its value.
TEST_F(WineMonitor, ValueRowsReadExactlyNameAndValue) {
  ASSERT_NO_FATAL_FAILURE(DrawTable({"Outdoor", "A name longer than twenty", "Third"}));
  // The parameter write's echo opens the trace area, one blank row below the table.
  ASSERT_TRUE(WaitForRow(StartsWith("<<< RI")));
  EXPECT_EQ(Row(15), "");
  EXPECT_EQ(Row(16), "<<< RI {52 49 04 00 9b 00 04 01 3e }");
  const std::vector<std::pair<std::vector<int16_t>, std::vector<int16_t>>> changes = {
      {{100, -1, 12345}, {99, 0, 7}}, {{-32768, 32767, -1}, {5, -5, 0}}};
  for (const auto& [before, after] : changes) {
    Exchange(ValuesTelegram(before), Ack(ValuesTelegram(before), true));
    Exchange(ValuesTelegram(after), Ack(ValuesTelegram(after), true));
    const std::string last = Padded("Third") + std::to_string(after[2]);
    ASSERT_TRUE(WaitForRow(Is(last))) << Row(14);
    EXPECT_EQ(Row(12), Padded("Outdoor") + std::to_string(after[0]));
    EXPECT_EQ(Row(13), "A name longer than t" + std::to_string(after[1]));
  }
  PressEscExpectStatus0();
}

// 300 echoes through an area of eight rows leave the table as it was, the
// newest echo on the window's last row; a late name is drawn in its row and
// the area moves below it.
TEST_F(WineMonitor80x24, EchoesScrollBelowTheTableAndLateNamesAreDrawn) {
  ASSERT_NO_FATAL_FAILURE(DrawTable({"Outdoor", "Flow", "Return"}));
  Exchange(ValuesTelegram({21, 45, 30}), Ack(ValuesTelegram({21, 45, 30}), true));
  ASSERT_TRUE(WaitForRow(Is(Padded("Return") + "30")));
  const auto table = Screen();
  ASSERT_EQ(table.size(), 24u);

  const Bytes last = Telegram('M', 'I', {'L', 'a', 's', 't'});
  Exchange(Noise(300) + last, Ack(last, true));
  ASSERT_TRUE(WaitForRow(StartsWith(">>> MILast")));
  auto s = Screen();
  ASSERT_EQ(s.size(), 24u);
  for (int row = 0; row < 15; ++row) EXPECT_EQ(s[row], table[row]) << "row " << row;
  EXPECT_EQ(s[23], TraceLine(">>> ", last));
  EXPECT_EQ(s[22], "ERR Unvalidtelegramstartvalue");
  EXPECT_EQ(Count(Log(), "-> ERR Unvalidtelegramstartvalue\r\n"), 300u);

  Exchange(NameTelegram("Late"), Ack(NameTelegram("Late"), true));
  Exchange(ValuesTelegram({21, 45, 30, -7}), Ack(ValuesTelegram({21, 45, 30, -7}), true));
  ASSERT_TRUE(WaitForRow(Is(Padded("Late") + "-7")));
  s = Screen();
  ASSERT_EQ(s.size(), 24u);
  EXPECT_EQ(s[15], Padded("Late") + "-7");
  EXPECT_EQ(s[23], TraceLine(">>> ", NameTelegram("Late")));
  for (int row = 0; row < 15; ++row) EXPECT_EQ(s[row], table[row]) << "row " << row;
  PressEscExpectStatus0();
}

// Twelve names fill the window to its last row: echoes are logged, not shown,
// and nothing on the screen moves.
TEST_F(WineMonitor80x24, WindowWithNoRoomBelowTheTableShowsNoEchoes) {
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) names.push_back("Value " + std::to_string(i));
  ASSERT_NO_FATAL_FAILURE(DrawTable(names));
  const Bytes values = ValuesTelegram({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  Exchange(values, Ack(values, true));
  ASSERT_TRUE(WaitForRow(Is(Padded("Value 11") + "0")));  // row 11 shows the value / 207
  const auto table = Screen();
  ASSERT_EQ(table.size(), 24u);
  EXPECT_EQ(table[23], Padded("Value 11") + "0");
  EXPECT_EQ(table[22], Padded("Value 10") + "10");
  EXPECT_EQ(table[12], Padded("Value 0") + "0");

  const Bytes info = Telegram('M', 'I', {'S', 'e', 'e', 'n'});
  Exchange(Noise(20) + info, Ack(info, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Screen(), table);
  const std::string log = Log();
  EXPECT_NE(log.find(TraceLine(">>> ", info)), std::string::npos);
  EXPECT_EQ(Count(log, "ERR Unvalidtelegramstartvalue"), 20u);
  PressEscExpectStatus0();
}

}  // namespace
