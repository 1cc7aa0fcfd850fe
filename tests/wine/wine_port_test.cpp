// The Windows port code under Wine: the ports present, listed before the
// prompt (more COM ports given to the prefix as Wine allows), the port's
// line in the log, and the line settings made of a hostile starting DCB.
#include <ctime>
#include <fstream>

#include "wine_fixture.h"

namespace {

using namespace wine_test;

constexpr const char* kListed = "Serial ports on this PC: ";
constexpr const char* kHint =
    "Only COM1 to COM6 can be chosen: give the adapter one of those numbers in the Device Manager.";

class WinePorts : public WineMonitor {
 protected:
  WinePorts() { startInSetUp_ = false; }

  // COM<n> of the prefix reaches device. Wine's mount manager drops a bare
  // dosdevices link to a device that is no serial port; a value under
  // Software\Wine\Ports naming a serial device shows in QueryDosDevice and
  // in SERIALCOMM.
  void AddPort(int n, const std::string& device) {
    std::ofstream(prefix_ + "/system.reg", std::ios::app)
        << "\n[Software\\\\Wine\\\\Ports] " << std::time(nullptr) << "\n\"COM" << n << "\"=\""
        << device << "\"\n";
  }

  // The program started; the rows above its first prompt, the first of
  // them the list that starts with COM1 (the test's line).
  std::vector<std::string> BeforePrompt() {
    Start(cols_, rows_);
    ExpectPrompt(1);
    const auto rows = Screen();
    const auto prompt = std::find_if(rows.begin(), rows.end(), StartsWith("ComPort-Nummer"));
    std::vector<std::string> before(rows.begin(), prompt);
    for (const std::string& row : before) std::cout << "[   WINE   ] " << row << "\n";
    EXPECT_FALSE(before.empty());
    const std::string first = before.empty() ? "" : before[0];
    EXPECT_EQ(first.rfind(std::string(kListed) + "COM1", 0), 0u) << first;
    return before;
  }
};

// COM1 is the test's line; the host's own first UART may show as COM2.
TEST_F(WinePorts, PortsPresentAreListedAndThePortsLineIsLogged) {
  const auto before = BeforePrompt();
  ASSERT_EQ(before.size(), 1u) << testing::PrintToString(before);
  Answer("1");
  EXPECT_EQ(Receive(8), "52 61 03 00 ff f4 02 a9");
  ASSERT_TRUE(WaitForRow(Is("Ready to receive from ComPort: 1")));
  EXPECT_EQ(Row(RowOf(Is("Ready to receive from ComPort: 1")) - 1), "COM1 opened");
  PressEscExpectStatus0();
  const auto messages = LoggedMessages(Log());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "COM1 opened");
  EXPECT_EQ(messages.back(), "Log lines not written: 0");
  EXPECT_EQ(messages[messages.size() - 2], "Writes not completed: 0");
}

// An adapter above COM6 is listed, in number order, with the hint.
TEST_F(WinePorts, PortAboveSixIsListedWithTheHint) {
  PtyPair adapter;
  AddPort(9, adapter.slave_path());
  const auto before = BeforePrompt();
  ASSERT_EQ(before.size(), 2u) << testing::PrintToString(before);
  EXPECT_EQ(before[0].substr(before[0].size() - 6), ", COM9") << before[0];
  EXPECT_EQ(before[1], kHint);
}

// The DCB the program sets, whatever the driver reported: RTS on where it
// was off, XonChar and XoffChar apart (SetCommState fails when they are
// equal: "SetCommState function", Remarks, Microsoft Learn,
// https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-setcommstate),
// the XON/XOFF limits a quarter of the receive queue (4096 when the driver
// reports none), no flow control.
TEST_F(WinePorts, HostileDcbBecomesTheProgramsLine) {
  ASSERT_EQ(access(VARNHALT_WIN_SETTINGS, R_OK), 0) << "no helper at " << VARNHALT_WIN_SETTINGS;
  const std::string out = dir_.File("settings.txt");
  ASSERT_EQ(
      ShellStatus(WineEnv(prefix_) + Quote(VARNHALT_WINE) + " " + Quote(VARNHALT_WIN_SETTINGS) +
                  " 0 1024 400000 >" + Quote(out) + " 2>" + Quote(dir_.File("wine.err"))),
      0);
  const std::string common =
      ": baud 9600, 8 data bits, parity 0, stop bits 0, binary 1, parity check 0, "
      "XON/XOFF out 0 in 0, CTS 0, DSR 0, DSR sensitivity 0, continue on XOFF 1, null 0, "
      "error char 0, abort on error 0, DTR 0, RTS 1, XonChar 17, XoffChar 19, ";
  std::string expected;
  for (const auto& [queue, limit] :
       {std::pair<const char*, const char*>{"0", "1024"}, {"1024", "256"}, {"400000", "65535"}})
    expected +=
        std::string("queue ") + queue + common + "XonLim " + limit + ", XoffLim " + limit + "\r\n";
  std::string got = ReadFile(out);
  EXPECT_EQ(got, expected);
}

}  // namespace
