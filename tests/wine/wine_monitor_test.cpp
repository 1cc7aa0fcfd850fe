// The Windows program end to end under Wine. The cross-built
// varnhalt_test.exe runs in a tmux terminal, with Wine's COM1 wired to a
// pseudo-terminal; the test plays the controller on the master side, types
// at the console with send-keys and reads the screen with capture-pane.
//
// A template Wine prefix is made once per run and copied for every test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "shell.h"
#include "telegrams.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBuiltExe = VARNHALT_WIN_EXE;
constexpr const char* kWine = VARNHALT_WINE;
constexpr const char* kWineServer = VARNHALT_WINESERVER;
constexpr const char* kTmux = VARNHALT_TMUX;
constexpr const char* kMissing = VARNHALT_WINE_MISSING;

constexpr const char* kPrompt = "ComPort-Nummer [1..6]: ";
constexpr int kValueColumn = 20;
constexpr int kFirstValueRow = 12;

// The program under test; VARNHALT_WIN_EXE names another build to compare.
const char* Exe() {
  const char* other = std::getenv("VARNHALT_WIN_EXE");
  return other && *other ? other : kBuiltExe;
}

// ---- Shell ----

// The environment of every Wine command: no display, no Mono or Gecko
// installers, no debug channels.
std::string WineEnv(const std::string& prefix) {
  return "env -u DISPLAY WINEPREFIX=" + Quote(prefix) +
         " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
}

void StopWine(const std::string& prefix) {
  ShellStatus(WineEnv(prefix) + Quote(kWineServer) + " -k >/dev/null 2>&1");
}

// The n characters of s from pos; fewer, or none, where s is shorter.
std::string Cut(const std::string& s, std::size_t pos, std::size_t n) {
  return pos < s.size() ? s.substr(pos, n) : std::string();
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The p-th percentile (0..99) of v.
double Percentile(std::vector<double> v, std::size_t p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() * p / 100];
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
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
std::string Padded(const std::string& name) { return name + std::string(kValueColumn - name.size(), ' '); }

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
    if (access(Exe(), R_OK) != 0) {
      g_template.error = std::string("no cross-built program at ") + Exe();
      return;
    }
    g_template.dir = std::make_unique<TempDir>();
    g_template.path = g_template.dir->File("template");
    // WINEPREFIX must not exist yet: with a dosdevices/ made beforehand Wine
    // never makes its c: link and wineboot loops.
    const auto start = Clock::now();
    const std::string env = WineEnv(g_template.path);
    ShellStatus(env + "timeout 120 " + Quote(kWine) + " wineboot -i >/dev/null 2>&1; " + env +
          "timeout 30 " + Quote(kWineServer) + " -w");
    if (!fs::exists(g_template.path + "/dosdevices/c:") ||
        !fs::exists(g_template.path + "/system.reg")) {
      g_template.error = "wineboot did not make a Wine prefix in " + g_template.path;
      return;
    }
    std::cout << "[   WINE   ] template prefix made in " << SecondsSince(start) << " s\n";
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
    socket_ = dir_.File("tmux.sock");
    status_ = dir_.File("status");
    ASSERT_EQ(ShellStatus("cp -a " + Quote(g_template.path) + " " + Quote(prefix_)), 0);
    fs::create_directory(work_);

    // COM1 is the pseudo-terminal, through a link of the test's own that a
    // case may point at another one: in the registry, as Wine rewrites a
    // bare dosdevices link at every start, and as the dosdevices link.
    line_ = dir_.File("com1");
    fs::create_symlink(pty_.slave_path(), line_);
    std::ofstream(prefix_ + "/system.reg", std::ios::app)
        << "\n[Software\\\\Wine\\\\Ports] " << std::time(nullptr) << "\n\"COM1\"=\""
        << line_ << "\"\n";
    fs::remove(prefix_ + "/dosdevices/com1");
    fs::create_symlink(line_, prefix_ + "/dosdevices/com1");

    // Wine's own messages go to a file, not into the terminal the test reads
    // (the wineserver lists its objects there when a line hangs up).
    const std::string program = WineEnv(prefix_) + Quote(kWine) + " " + Quote(Exe()) + " 2>" +
                                Quote(dir_.File("wine.err")) + "; echo $? > " + Quote(status_);
    ASSERT_EQ(ShellStatus(Quote(kTmux) + " -S " + Quote(socket_) +
                    " -f /dev/null new-session -d -x " + std::to_string(cols_) +
                    " -y " + std::to_string(rows_) + " -c " + Quote(work_) + " " +
                    Quote(program)),
              0);
  }

  void TearDown() override {
    if (HasFailure()) std::cout << "Screen at the end:\n" << Tmux("capture-pane -p");
    Tmux("kill-server");
    if (!prefix_.empty()) StopWine(prefix_);  // while the prefix still exists
  }

  std::string Tmux(const std::string& args) {
    std::string out;
    ShellStatus(Quote(kTmux) + " -S " + Quote(socket_) + " " + args + " 2>/dev/null", &out);
    return out;
  }

  // The visible rows, trailing spaces cut as tmux does.
  std::vector<std::string> Screen() {
    std::vector<std::string> rows;
    std::istringstream in(Tmux("capture-pane -p"));
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    return rows;
  }

  std::string Row(int y) {
    const auto rows = Screen();
    return y >= 0 && y < static_cast<int>(rows.size()) ? rows[static_cast<std::size_t>(y)] : "";
  }

  // The last row that matches, or -1.
  int RowOf(const std::function<bool(const std::string&)>& match) {
    const auto rows = Screen();
    for (std::size_t y = rows.size(); y-- > 0;)
      if (match(rows[y])) return static_cast<int>(y);
    return -1;
  }

  bool WaitForRow(const std::function<bool(const std::string&)>& match, int timeout_ms = 10000) {
    return WaitFor([&] { return RowOf(match) >= 0; }, timeout_ms);
  }

  static std::function<bool(const std::string&)> Is(const std::string& text) {
    return [text](const std::string& row) { return row == text; };
  }
  static std::function<bool(const std::string&)> StartsWith(const std::string& text) {
    return [text](const std::string& row) { return row.rfind(text, 0) == 0; };
  }

  std::string Cursor() { return Tmux("display-message -p '#{cursor_x},#{cursor_y}'"); }

  // Waits for the prompt with the cursor right after it.
  void ExpectPrompt(int occurrences) {
    auto prompts = [&] {
      const auto rows = Screen();
      return std::count_if(rows.begin(), rows.end(), StartsWith("ComPort-Nummer [1..6]:"));
    };
    ASSERT_TRUE(WaitFor([&] { return prompts() >= occurrences; }, 20000))
        << "no prompt " << occurrences;
    const int y = RowOf(Is("ComPort-Nummer [1..6]:"));
    EXPECT_EQ(Cursor(),
              std::to_string(std::string(kPrompt).size()) + "," + std::to_string(y) + "\n");
  }

  void Type(const std::string& keys) { Tmux("send-keys " + keys); }

  // The start dialogue with COM1, up to the request "Ra".
  void OpenCom1() {
    ExpectPrompt(1);
    if (HasFatalFailure()) return;
    Type("1 Enter");
    EXPECT_EQ(Hex(pty_.ReadExactly(8, 10000)), "52 61 03 00 ff f4 02 a9");
  }

  void Send(const Bytes& telegram) { pty_.Write(telegram); }
  std::string Receive(std::size_t n, int timeout_ms = 5000) {
    return Hex(pty_.ReadExactly(n, timeout_ms));
  }

  // ESC twice in one write: Wine's console takes a lone ESC from the terminal
  // for the start of a key sequence and delivers nothing; ESC ESC is one 27.
  void PressEscExpectStatus0() {
    Type("Escape Escape");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(status_) && FileSize(status_) > 0; }, 15000))
        << "the program did not end after ESC";
    EXPECT_EQ(ReadFile(status_), "0\n");
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

  // The arrival time of each of n acknowledgements, each checked to be
  // ack; stops early at a wrong one or after timeout_ms of silence.
  std::vector<Clock::time_point> AckTimes(std::size_t n, const Bytes& ack, int timeout_ms) {
    std::vector<Clock::time_point> times;
    Bytes got;
    while (times.size() < n) {
      const Bytes more = pty_.ReadExactly(ack.size() - got.size(), timeout_ms);
      if (more.empty()) break;
      got.insert(got.end(), more.begin(), more.end());
      if (got.size() < ack.size()) continue;
      EXPECT_EQ(Hex(got), Hex(ack)) << "acknowledgement " << times.size();
      if (got != ack) break;
      times.push_back(Clock::now());
      got.clear();
    }
    EXPECT_EQ(times.size(), n) << "acknowledgements missing";
    return times;
  }

  static constexpr int kValues = 24;
  int cols_ = 100;  // the terminal; a fixture may set another size
  int rows_ = 50;
  TempDir dir_;
  PtyPair pty_;
  std::string prefix_, work_, socket_, status_;
  std::string line_;  // the link behind COM1
};

// The smallest terminal the screen is made for.
class WineMonitor80x24 : public WineMonitor {
 protected:
  WineMonitor80x24() {
    cols_ = 80;
    rows_ = 24;
  }
};

TEST_F(WineMonitor, DialogueScreenLogAndEsc) {
  // A port Wine does not know: the reason, and the prompt again.
  ExpectPrompt(1);
  ASSERT_FALSE(HasFatalFailure());
  Type("3 Enter");
  ASSERT_TRUE(WaitForRow(StartsWith("COM3 cannot be opened: ")));
  const std::string reason = Row(RowOf(StartsWith("COM3 cannot be opened: ")));
  std::cout << "[   WINE   ] " << reason << "\n";
  EXPECT_GT(reason.size(), std::string("COM3 cannot be opened: ").size());
  ExpectPrompt(2);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_TRUE(pty_.Read(0).empty());

  Type("1 Enter");
  EXPECT_EQ(Receive(8), "52 61 03 00 ff f4 02 a9");
  EXPECT_TRUE(WaitForRow(Is("Ready to receive from ComPort: 1")));
  const int ready = RowOf(Is("Ready to receive from ComPort: 1"));
  EXPECT_EQ(Row(ready + 1), "Press (ESC) to abort");

  // Names: four good telegrams, and one with a bad checksum that is
  // negatively acknowledged and stored all the same.
  const std::vector<std::string> names = {"Temperature", "Pressure", "Speed", "Voltage", "Level"};
  std::vector<Bytes> nameTelegrams;
  for (const std::string& name : names) nameTelegrams.push_back(NameTelegram(name));
  nameTelegrams.back().back() ^= 0x01;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Send(nameTelegrams[i]);
    EXPECT_EQ(Receive(6), i + 1 < names.size() ? "4d 41 01 01 00 90" : "4d 41 01 00 00 8f")
        << names[i];
  }

  // The first clock: acknowledgement, then "Rb", the screen, the parameter write.
  Send(ClockTelegram());
  EXPECT_EQ(Receive(6), "4d 32 01 01 00 81");
  EXPECT_EQ(Receive(8), "52 62 03 00 ff f4 02 aa");
  EXPECT_EQ(Receive(9), "52 49 04 00 9b 00 04 01 3e");

  // Row 4 is shown halved.
  Send(ValuesTelegram({1234, -5, 0, 32767, 1000}));
  EXPECT_EQ(Receive(6), "4d 31 01 01 00 80");
  const std::vector<std::string> shown = {"1234", "-5", "0", "32767", "500"};
  const int lastRow = kFirstValueRow + static_cast<int>(names.size()) - 1;
  EXPECT_TRUE(WaitFor([&] { return Cut(Row(lastRow), kValueColumn, 3) == "500"; }, 10000));

  const auto rows = Screen();
  ASSERT_GT(rows.size(), static_cast<std::size_t>(lastRow));
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
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& row = rows[kFirstValueRow + i];
    EXPECT_EQ(Cut(row, 0, names[i].size()), names[i]) << "row " << kFirstValueRow + i;
    EXPECT_EQ(Cut(row, kValueColumn, shown[i].size()), shown[i]) << "row " << kFirstValueRow + i;
  }
  // The parameter write's trace line opens the trace area, one blank row
  // below the table.
  EXPECT_EQ(rows[static_cast<std::size_t>(lastRow) + 1], "");
  EXPECT_EQ(rows[static_cast<std::size_t>(lastRow) + 2], "<<< RI {52 49 04 00 9b 00 04 01 3e }");

  // The log: one time-stamped line per message, CR LF at the end of each.
  const std::string log = ReadFile(work_ + "/comlog.log");
  ASSERT_FALSE(log.empty()) << "no comlog.log in the working directory";
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  std::vector<std::string> lines;
  std::istringstream in(log);
  // Milliseconds stand right-aligned in three columns: "05. 45".
  const std::regex stamped(R"(\d{4}\\\d{2}\\\d{2} \d{2}:\d{2}:\d{2}\.[ \d]{2}\d -> (.*)\r)");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
    lines.push_back(m.size() > 1 ? m[1].str() : line);
  }
  std::vector<std::string> expected = {
      TraceLine("<<< ", {0x52, 0x61, 0x03, 0x00, 0xff, 0xf4, 0x02, 0xa9})};
  for (std::size_t i = 0; i + 1 < names.size(); ++i)
    expected.push_back(TraceLine(">>> ", nameTelegrams[i]));
  expected.push_back("<<< MA {4d 41 01 00 00 8f }");
  expected.push_back(TraceLine(">>> ", nameTelegrams.back()));
  expected.push_back("<<< Rb {52 62 03 00 ff f4 02 aa }");
  expected.push_back("<<< RI {52 49 04 00 9b 00 04 01 3e }");
  EXPECT_EQ(lines, expected);

  PressEscExpectStatus0();
}

// Back-to-back value telegrams with 24 values, each sent when the one before
// was acknowledged. A telegram is drawn in the turn after its
// acknowledgement, while the next one comes in, so drawing shows as delay in
// the next acknowledgement. Value telegrams alternate with clock telegrams
// of the same length, whose handling draws nothing: the difference of the
// two delays is what drawing 24 values costs.
TEST_F(WineMonitor, ValueTelegramsBackToBackAreAcknowledgedAndDrawn) {
  ASSERT_NO_FATAL_FAILURE(DrawTableOfValues());
  Bytes clockData(2 * kValues, 0);  // a later clock only rebuilds the date text
  const Bytes clock = ClockTelegram();
  std::copy(clock.begin() + 3, clock.end() - 2, clockData.begin());
  const Bytes longClock = Telegram('M', '2', clockData);
  auto ackDelayMs = [&](const Bytes& telegram, const char* ack) {
    Send(telegram);
    const auto sent = Clock::now();
    EXPECT_EQ(Receive(6, 2000), ack);
    return SecondsSince(sent) * 1000;
  };
  constexpr int kRounds = 40;
  std::vector<double> afterClock, afterValues;
  std::vector<int16_t> values(kValues);
  for (int t = 0; t < kRounds && !HasFailure(); ++t) {
    for (int i = 0; i < kValues; ++i) values[static_cast<std::size_t>(i)] = static_cast<int16_t>(100 * t + i);
    afterClock.push_back(ackDelayMs(ValuesTelegram(values), "4d 31 01 01 00 80"));
    afterValues.push_back(ackDelayMs(longClock, "4d 32 01 01 00 81"));
  }
  ASSERT_FALSE(HasFailure());
  // Neighbouring telegrams share the machine's load: compare them in pairs.
  std::vector<double> drawing;
  for (std::size_t t = 0; t < afterValues.size(); ++t)
    drawing.push_back(afterValues[t] - afterClock[t]);
  const double cost = Percentile(drawing, 50);
  std::cout << "[   WINE   ] acknowledgement delay of 53-byte telegrams, p50/p99: "
            << Percentile(afterClock, 50) << "/" << Percentile(afterClock, 99)
            << " ms after a clock, " << Percentile(afterValues, 50) << "/"
            << Percentile(afterValues, 99) << " ms after 24 values; drawing p50 " << cost
            << " ms\n";
  // Reported, not asserted: timing belongs to measurements, and a loaded
  // machine would make such a check fail at random. (At 9600 baud a 53-byte
  // telegram takes 55 ms on the line, the figure to compare with.)
  RecordProperty("drawing_24_values_ms", std::to_string(cost));

  // Everything drawn lands where it belongs: the last telegram's values.
  const int last = kRounds - 1;
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::string row = Row(kFirstValueRow + kValues - 1);
        return Cut(row, kValueColumn, 4) == std::to_string(100 * last + 23);
      },
      10000));
  const auto rows = Screen();
  ASSERT_GE(rows.size(), static_cast<std::size_t>(kFirstValueRow + kValues));
  for (int i = 0; i < kValues; ++i) {
    int shown = 100 * last + i;
    if (i == 4 || (i >= 12 && i <= 18) || i == 22) shown /= 2;
    if (i == 11) shown /= 207;
    const std::string& row = rows[static_cast<std::size_t>(kFirstValueRow + i)];
    const std::string name = "Value" + std::to_string(i);
    EXPECT_EQ(Cut(row, 0, name.size()), name);
    EXPECT_EQ(Cut(row, kValueColumn, std::to_string(shown).size()), std::to_string(shown))
        << "row " << kFirstValueRow + i;
  }
  PressEscExpectStatus0();
}

// Whether the program keeps up with the line: value telegrams of 24 values
// sent back to back at the rate 9600 baud carries (960 bytes/s), then as
// fast as the pty takes them. Every one must be acknowledged positively, in
// order, and the last one drawn. The delays and the rate are reported, not
// asserted; the rate should reach one and a half times the line's.
TEST_F(WineMonitor, ValueTelegramsAtAndAboveTheLineRateAreAllAcknowledged) {
  ASSERT_NO_FATAL_FAILURE(DrawTableOfValues());
  const Bytes ack = Ack(ValuesTelegram(std::vector<int16_t>(kValues)), true);
  auto telegram = [](int t) {
    std::vector<int16_t> v(kValues);
    for (int i = 0; i < kValues; ++i) v[static_cast<std::size_t>(i)] = static_cast<int16_t>(t * 10 + i);
    return ValuesTelegram(v);
  };
  const std::size_t size = telegram(0).size();
  const auto interval = std::chrono::microseconds(1000000 * size / 960);

  constexpr int kPaced = 100;
  std::vector<Clock::time_point> sent(kPaced);
  std::thread paced([&] {
    const auto start = Clock::now();
    for (int t = 0; t < kPaced; ++t) {
      std::this_thread::sleep_until(start + t * interval);
      Send(telegram(t));
      sent[static_cast<std::size_t>(t)] = Clock::now();
    }
  });
  const auto pacedAcks = AckTimes(kPaced, ack, 10000);
  paced.join();
  ASSERT_FALSE(HasFailure());
  std::vector<double> delays;
  for (std::size_t t = 0; t < pacedAcks.size(); ++t) delays.push_back(MsBetween(sent[t], pacedAcks[t]));

  constexpr int kBackToBack = 300;
  Bytes all;
  for (int t = 0; t < kBackToBack; ++t) all = all + telegram(kPaced + t);
  const auto start = Clock::now();
  std::thread flood([&] { Send(all); });
  const auto floodAcks = AckTimes(kBackToBack, ack, 10000);
  flood.join();
  ASSERT_FALSE(HasFailure());
  const double seconds = MsBetween(start, floodAcks.back()) / 1000;
  std::cout << "[   WINE   ] " << kPaced << " value telegrams at " << size * 1000000 / interval.count()
            << " bytes/s: acknowledgement p50/p99 " << Percentile(delays, 50) << "/"
            << Percentile(delays, 99) << " ms; " << kBackToBack << " back to back in " << seconds
            << " s: " << kBackToBack / seconds << " telegrams/s, " << kBackToBack * size / seconds
            << " bytes/s\n";
  RecordProperty("ack_p50_ms", std::to_string(Percentile(delays, 50)));
  RecordProperty("telegrams_per_s", std::to_string(kBackToBack / seconds));

  const int last = kPaced + kBackToBack - 1;
  const std::string lastValue = std::to_string(static_cast<int16_t>(last * 10 + kValues - 1));
  EXPECT_TRUE(WaitFor([&] { return Row(kFirstValueRow + kValues - 1) == "Value23" + std::string(13, ' ') + lastValue; }, 10000))
      << Row(kFirstValueRow + kValues - 1);
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
  ASSERT_TRUE(WaitFor([&] { return Logged("COM1 lost: "); }, 5000)) << Log();
  const std::string log = Log();
  const auto lost = log.find("COM1 lost: ");
  std::cout << "[   WINE   ] " << log.substr(lost, log.find('\r', lost) - lost) << "\n";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two tries to open it
  EXPECT_FALSE(Logged("COM1 open again")) << "a missing device was taken for an open port";

  PtyPair back;
  fs::remove(line_);
  fs::create_symlink(back.slave_path(), line_);
  ASSERT_TRUE(WaitFor([&] { return Logged("COM1 open again"); }, 5000)) << Log();
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
  const auto esc = Clock::now();
  PressEscExpectStatus0();
  std::cout << "[   WINE   ] ESC with five stalled acknowledgements ended the program after "
            << SecondsSince(esc) << " s\n";
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
  EXPECT_EQ(Count(ReadFile(work_ + "/comlog.log"), "-> ERR Unvalidtelegramstartvalue\r\n"), 300u);

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
  const std::string log = ReadFile(work_ + "/comlog.log");
  EXPECT_NE(log.find(TraceLine(">>> ", info)), std::string::npos);
  EXPECT_EQ(Count(log, "ERR Unvalidtelegramstartvalue"), 20u);
  PressEscExpectStatus0();
}

}  // namespace
