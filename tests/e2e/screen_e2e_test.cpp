// The table tells the truth, seen in a real terminal: value rows hold
// exactly their name and value, log echoes stay in the trace area below the
// table, late names are drawn (the scenarios in tests/scenarios, shared with
// the Wine test), and the terminal scrolls normally afterwards.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"

namespace {

// The scenarios shared with the Windows program under Wine.
TEST(Screen, ValueRowsReadExactlyNameAndValue) { ValueRowsReadExactlyNameAndValue(LaunchInTmux); }
TEST(Screen, EchoesScrollBelowTheTableAndLateNamesAreDrawn) {
  EchoesScrollBelowTheTableAndLateNamesAreDrawn(LaunchInTmux);
}
TEST(Screen, WindowWithNoRoomBelowTheTableShowsNoEchoes) {
  WindowWithNoRoomBelowTheTableShowsNoEchoes(LaunchInTmux);
}

// After the program, the terminal scrolls as a whole again, whether ESC or
// SIGTERM ended it while the trace area was scrolling.
TEST_F(EndToEnd, TerminalScrollsNormallyAfterEscAndAfterSigterm) {
  for (const bool byEsc : {true, false}) {
    SCOPED_TRACE(byEsc ? "ESC" : "SIGTERM");
    std::remove(dir_.File("status").c_str());
    auto t = LaunchThenShell(80, 24);
    ASSERT_NO_FATAL_FAILURE(DrawTable(*t, {"Outdoor", "Flow", "Return"}));
    const Bytes info = Telegram('M', 'I', {'F', 'u', 'l', 'l'});
    Exchange(Noise(20) + info, Ack(info, true));
    ASSERT_TRUE(t->WaitFor(">>> MIFull"));
    if (byEsc)
      t->Key("Escape");
    else
      kill(t->Pid("varnhalt_test"), SIGTERM);
    ASSERT_TRUE(t->WaitFor("$"));
    EXPECT_EQ(ReadFile(dir_.File("status")), byEsc ? "0\n" : "143\n");
    ExpectWholeWindowScrolls(*t, "", 24);
  }
}

}  // namespace
