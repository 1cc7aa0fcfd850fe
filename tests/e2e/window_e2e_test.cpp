// What a technician does with the window, seen in a real terminal: resizing
// it, Ctrl+S, a terminal that stops reading, Ctrl+Z and fg, Ctrl+C, a paste,
// and names that no terminal may take as commands. Through all of it the
// line is served in time and the table tells the truth.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kNames = {"Outdoor", "Flow",  "Return", "Boiler", "Burner",
                                         "Pump",    "Valve", "Mixer",  "Tank",   "Solar"};
const std::string kBanner = "*     Varnhalt K2740 communication test (Build 100),                *";
const std::string kDate = "Date: 14.03.13 - Time: 21:05:07";
constexpr int kAckInTimeMs = 250;

// Values base, base + 1, ... for the rows of kNames, and the row text each
// shows (row 4 shows its value halved).
Bytes Values(int base) {
  std::vector<int16_t> v;
  for (std::size_t i = 0; i < kNames.size(); ++i) v.push_back(static_cast<int16_t>(base + i));
  return ValuesTelegram(v);
}
std::string ValueRow(std::size_t i, int base) {
  const int shown = i == 4 ? (base + 4) / 2 : base + static_cast<int>(i);
  return Padded(kNames[i]) + std::to_string(shown);
}

// The table of kNames as it must stand, whole and in place, in a window of
// cols columns: fixed rows cut short of the last column, never wrapped.
void ExpectTable(const std::vector<std::string>& s, int base, int cols) {
  ASSERT_GE(s.size(), 12 + kNames.size()) << testing::PrintToString(s);
  std::string banner = kBanner.substr(0, static_cast<std::size_t>(cols - 1));
  banner.erase(banner.find_last_not_of(' ') + 1);  // as the screen is read
  EXPECT_EQ(s[1], std::string(std::min(69, cols - 1), '*'));
  EXPECT_EQ(s[2], banner);
  EXPECT_EQ(std::count(s.begin(), s.end(), banner), 1);
  EXPECT_EQ(s[6], "Press (ESC) to abort");
  EXPECT_EQ(s[8], kDate);
  EXPECT_EQ(s[10], "Name                Value");
  for (std::size_t i = 0; i < kNames.size(); ++i) EXPECT_EQ(s[12 + i], ValueRow(i, base));
}

// Stops the tmux server (the terminal stops reading) for as long as it lives.
class StoppedTerminal {
 public:
  explicit StoppedTerminal(int pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~StoppedTerminal() { kill(pid_, SIGCONT); }
  StoppedTerminal(const StoppedTerminal&) = delete;
  StoppedTerminal& operator=(const StoppedTerminal&) = delete;

 private:
  int pid_;
};

class Window : public EndToEnd {
 protected:
  void ShowTable(Terminal& t, int base) {
    ASSERT_NO_FATAL_FAILURE(DrawTable(t, kNames));
    Exchange(Values(base), Ack(Values(base), true));
    ASSERT_TRUE(t.WaitFor(ValueRow(9, base)));
  }
  // Sends a telegram; false when its acknowledgement is wrong or late.
  bool AckedInTime(const Bytes& before, const Bytes& telegram) {
    line_.Write(before + telegram);
    return line_.ReadExactly(6, kAckInTimeMs) == Ack(telegram, true);
  }
  // Waits until the screen has rows rows and its trace area is empty: the
  // screen was drawn again (a terminal's own reflow would keep the echoes).
  std::vector<std::string> RedrawnScreen(Terminal& t, int rows) {
    std::vector<std::string> s;
    for (const auto until = Clock::now() + std::chrono::seconds(1); Clock::now() < until;) {
      s = t.Screen();
      if (static_cast<int>(s.size()) == rows &&
          std::all_of(s.begin() + 12 + static_cast<long>(kNames.size()), s.end(),
                      [](const std::string& row) { return row.empty(); }))
        return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "not drawn again within a second: " << testing::PrintToString(s);
    return s;
  }
};

TEST_F(Window, ResizeDrawsTheWholeScreenAgainAtTheNewSize) {
  auto t = Launch(100, 50);
  ASSERT_NO_FATAL_FAILURE(ShowTable(*t, 100));
  const Bytes full = Telegram('M', 'I', {'F', 'u', 'l', 'l'});
  Exchange(Noise(60) + full, Ack(full, true));  // more echoes than the area has rows
  ASSERT_TRUE(t->WaitFor(">>> MIFull"));
  const struct { int cols, rows; } sizes[] = {{100, 32}, {120, 60}, {60, 30}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.cols) + "x" + std::to_string(size.rows));
    t->Resize(size.cols, size.rows);
    ExpectTable(RedrawnScreen(*t, size.rows), 100, size.cols);
    // Echoes scroll in the area at its new height; the table stays.
    const Bytes last = Telegram('M', 'I', {'L', 'a', 's', 't'});
    Exchange(Noise(40) + last, Ack(last, true));
    ASSERT_TRUE(t->WaitFor(">>> MILast"));
    const auto s = t->Screen();
    EXPECT_EQ(s.back().rfind(">>> MILast", 0), 0u) << s.back();
    ExpectTable(s, 100, size.cols);
  }
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
}

TEST_F(Window, CtrlSAndPastedTextHoldUpNeitherTheLineNorEsc) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(ShowTable(*t, 0));
  t->Key("C-s");
  int late = 0;
  for (int base = 2; base <= 100; base += 2) {
    if (!AckedInTime(Noise(20), Values(base))) ++late;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(late, 0);
  EXPECT_TRUE(t->WaitFor(ValueRow(9, 100), 1000));
  ExpectTable(t->Screen(), 100, 100);
  t->Key("C-q");
  // A 10 kB paste is read at once: the ESC behind it is not queued.
  std::string paste;
  while (paste.size() < 10000) paste += "pasted text 0123456789 ";
  t->Type(paste);
  EXPECT_TRUE(AckedInTime({}, Values(2)));
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(2000), 0);
  ExpectTerminalRestored();  // flow control is back as it was
}

TEST_F(Window, TerminalThatStopsReadingHoldsUpNothingAndIsDrawnAgain) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(ShowTable(*t, 0));
  const int server = t->ServerPid();
  ASSERT_GT(server, 0);
  int late = 0;
  int sent = 0;
  int base = 0;
  {
    StoppedTerminal stopped(server);
    // Each round echoes 30 trace lines: in all far more than the terminal
    // and the backlog hold, and less than the log takes before it rotates.
    for (const auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until; ++sent) {
      base += 2;
      if (!AckedInTime(Noise(30), Values(base))) ++late;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  }
  EXPECT_EQ(late, 0) << "of " << sent;
  EXPECT_GT(sent, 20);
  ASSERT_TRUE(t->WaitFor(" trace lines not shown (see comlog.log)", 3000));
  ExpectTable(t->Screen(), base, 100);
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
  EXPECT_EQ(Occurrences(Log(), "-> ERR Unvalidtelegramstartvalue\n"),
            30u * static_cast<unsigned>(sent));
}

// Ctrl+Z in a shell with job control: the shell gets its terminal back as it
// was, and fg brings back key mode and the whole screen.
TEST_F(Window, StopAndContinueGiveTheTerminalBackAndTakeItAgain) {
  Terminal t("env PS1='$ ' sh -i", dir_.path(), 100, 40);
  ASSERT_TRUE(t.WaitFor("$"));
  t.Type("stty -g > stty.before");
  t.Key("Enter");
  t.Type(Monitor());
  t.Key("Enter");
  ASSERT_NO_FATAL_FAILURE(ShowTable(t, 0));
  EXPECT_FALSE(t.CursorShown()) << "the cursor is hidden while the table is shown";
  t.Key("C-z");
  ASSERT_TRUE(t.WaitFor("Stopped"));
  EXPECT_TRUE(t.CursorShown()) << "the shell gets its cursor back";
  ExpectWholeWindowScrolls(t, "stty -g > stty.stopped; ", 40);
  EXPECT_EQ(ReadFile(dir_.File("stty.stopped")), ReadFile(dir_.File("stty.before")));

  // Continued in the background, it serves the line and leaves the shell's
  // screen and keys alone until fg.
  t.Type("bg");
  t.Key("Enter");
  ASSERT_TRUE(t.WaitFor("$ bg"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(AckedInTime({}, Values(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto s = t.Screen();
  ASSERT_FALSE(s.empty());
  EXPECT_TRUE(AllDigits(s[0])) << testing::PrintToString(s);
  EXPECT_EQ(std::count(s.begin(), s.end(), "Name                Value"), 0);

  t.Type("fg");
  t.Key("Enter");
  ExpectTable(RedrawnScreen(t, 40), 20, 100);
  EXPECT_FALSE(t.CursorShown()) << "hidden again with the table";
  Exchange(Values(50), Ack(Values(50), true));
  EXPECT_TRUE(t.WaitFor(ValueRow(9, 50)));
  t.Key("Escape");  // a lone ESC ends it again: key mode is back
  ASSERT_TRUE(t.WaitFor("Times the port was lost: 0"));
  EXPECT_TRUE(t.CursorShown());
  // Typed once the shell's prompt stands, so that the echo of a typed-ahead
  // line cannot land before it.
  for (int i = 0; i < 250 && t.Row(t.Cursor().second) != "$"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  t.Type("stty -g > stty.after");
  t.Key("Enter");
  ASSERT_TRUE(t.WaitFor("$ stty -g > stty.after"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ReadFile(dir_.File("stty.after")), ReadFile(dir_.File("stty.before")));
}

// ESC, Ctrl+C and Ctrl+\ typed in a shell with job control end the program,
// with the report, and leave a terminal as it was, that scrolls as a whole
// and shows its cursor (hidden while the table was shown).
TEST_F(Window, CtrlCAndCtrlBackslashEndWithTheReport) {
  const struct {
    const char* what;
    const char* key;
    int status;
  } ways[] = {
      {"ESC", "\x1b", 0}, {"Ctrl+C", "\x03", 128 + SIGINT}, {"Ctrl+\\", "\x1c", 128 + SIGQUIT}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.what);
    std::remove(dir_.File("comlog.log").c_str());
    Terminal t("env PS1='$ ' sh -i", dir_.path(), 80, 24);
    ASSERT_TRUE(t.WaitFor("$"));
    t.Type("stty -g > stty.before; " + Monitor() + "; echo status $?; stty -g > stty.after");
    t.Key("Enter");
    ASSERT_NO_FATAL_FAILURE(ShowTable(t, 0));
    const Bytes full = Telegram('M', 'I', {'F', 'u', 'l', 'l'});
    Exchange(Noise(20) + full, Ack(full, true));
    ASSERT_TRUE(t.WaitFor(">>> MIFull"));
    EXPECT_FALSE(t.CursorShown());
    t.Type(way.key);
    ASSERT_TRUE(t.WaitFor("Times the port was lost: 0"));
    EXPECT_TRUE(t.WaitFor("status " + std::to_string(way.status)));
    EXPECT_TRUE(t.CursorShown());
    EXPECT_NE(Log().find("-> Times the port was lost: 0\n"), std::string::npos) << Log();
    ExpectTerminalRestored();
    ExpectWholeWindowScrolls(t, "", 24);
  }
}

// On a UTF-8 terminal: valid UTF-8 is shown, a C1 control (raw or encoded)
// and a Latin-1 byte are '?', and a name is cut at column 20 by characters.
TEST_F(Window, NamesReachAUtf8TerminalAsTextNeverAsCommands) {
  Terminal t("LC_ALL=C.UTF-8 " + Monitor(), dir_.path(), 100, 40);
  const std::vector<std::string> names = {
      "A\x9b"
      "31m",
      "B\xc2\x9b"
      "31m",
      "Temp\xb0"
      "C",
      "Temp\xc2\xb0"
      "C",
      "\xc5\x9b"
      "rednia 1234567890ABCDEF"};
  ASSERT_NO_FATAL_FAILURE(DrawTable(t, names));
  const Bytes values = ValuesTelegram({1, 2, 3, 4, 10});  // row 4 shows half
  Exchange(values, Ack(values, true));
  ASSERT_TRUE(t.WaitFor(kDate));
  const std::vector<std::string> shown = {"A?31m               1", "B??31m              2",
                                          "Temp?C              3",
                                          "Temp\xc2\xb0"
                                          "C              4",
                                          "\xc5\x9b"
                                          "rednia 1234567890AB5"};
  std::vector<std::string> s;
  for (int i = 0; i < 50 && (s = t.Screen()).size() > 16 && s[16] != shown[4]; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(s.size(), 16u);
  for (std::size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(s[12 + i], shown[i]);
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

}  // namespace
