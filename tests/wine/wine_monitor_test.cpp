// The Windows program end to end under Wine (wine_fixture.h): the dialogue,
// the screen and the log, the line's rate, a lost and a stalled line.
// How fast the program is under Wine is measured by varnhalt_bench --wine.
#include "proc.h"
#include "wine_fixture.h"

namespace {

using namespace wine_test;

// ---- The dialogue, the screen and the log of one run ----

// Names, the last one first with a bad checksum (refused: negatively
// acknowledged, traced, not stored) and then again whole, as a controller
// sends a refused telegram again. Returns the telegrams sent.
std::vector<Bytes> NamesOneRefusedAndSentAgain(const std::vector<std::string>& names) {
  std::vector<Bytes> telegrams;
  for (const std::string& name : names) telegrams.push_back(NameTelegram(name));
  Bytes refused = telegrams.back();
  refused.back() ^= 0x01;
  telegrams.insert(telegrams.end() - 1, refused);
  return telegrams;
}

// Whether a telegram's checksum holds.
bool SumHolds(const Bytes& t) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < t.size(); ++i) sum += t[i];
  return t.size() >= 2 && t[t.size() - 2] == ((sum >> 8) & 0xFF) && t.back() == (sum & 0xFF);
}

// The log of the dialogue: "Ra", the names (a refused one after its
// negative acknowledgement, as it arrived), "Rb" and the parameter write.
void ExpectDialogueLog(const std::string& log, const std::vector<Bytes>& names) {
  ASSERT_FALSE(log.empty()) << "no comlog.log in the working directory";
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  std::vector<std::string> expected = {
      "COM1 opened", TraceLine("<<< ", {0x52, 0x61, 0x03, 0x00, 0xff, 0xf4, 0x02, 0xa9})};
  for (const Bytes& name : names) {
    if (!SumHolds(name)) expected.push_back("<<< MA {4d 41 01 00 00 8f }");
    expected.push_back(TraceLine(">>> ", name));
  }
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
      EXPECT_EQ(Receive(6), SumHolds(names[i]) ? "4d 41 01 01 00 90" : "4d 41 01 00 00 8f")
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
    ExpectHeaderRows(rows, "Date: 07.12.23 - Time: 12:34:56");
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
  const std::vector<Bytes> nameTelegrams = NamesOneRefusedAndSentAgain(names);
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

// Idle at the table, the program's process (every thread) is woken fewer
// than 20 times a second: its one wait has no time-out but the window's
// size check. It still answers the next telegram and ends on ESC.
TEST_F(WineMonitor, IdleAtTheTableWakesRarelyAndStillAnswers) {
  ASSERT_NO_FATAL_FAILURE(DrawTable({"Flow"}));
  const int pid = Term().Pid("varnhalt_test.e");  // the kernel keeps 15 characters
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long before = ContextSwitches(pid);
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const double perS = static_cast<double>(ContextSwitches(pid) - before) / 4;
  std::cout << "[   WINE   ] idle at the table: " << perS << " context switches/s\n";
  EXPECT_LT(perS, 20);
  const Bytes values = ValuesTelegram({45});
  Send(values);
  EXPECT_EQ(Receive(6), Hex(Ack(values, true)));
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

// ---- The screen scenarios shared with the tmux tests ----

// The scenarios start the program themselves, at their own window size.
class WineScreen : public WineMonitor {
 protected:
  WineScreen() { startInSetUp_ = false; }
  Launcher Launch() {
    return [this](int cols, int rows) -> std::unique_ptr<MonitorRun> {
      Start(cols, rows);
      return std::make_unique<BorrowedRun>(*this);
    };
  }
};

TEST_F(WineScreen, ValueRowsReadExactlyNameAndValue) { ValueRowsReadExactlyNameAndValue(Launch()); }
TEST_F(WineScreen, EchoesScrollBelowTheTableAndLateNamesAreDrawn) {
  EchoesScrollBelowTheTableAndLateNamesAreDrawn(Launch());
}
TEST_F(WineScreen, WindowWithNoRoomBelowTheTableShowsNoEchoes) {
  WindowWithNoRoomBelowTheTableShowsNoEchoes(Launch());
}

}  // namespace
