// The table tells the truth, seen in a real terminal: value rows hold
// exactly their name and value, log echoes stay in the trace area below the
// table, late names are drawn, and the terminal scrolls normally afterwards.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"

namespace {

std::string Padded(const std::string& name) { return name + std::string(20 - name.size(), ' '); }

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c); });
}

Bytes Noise(int headers) {
  Bytes b;
  for (int i = 0; i < headers; ++i) b = b + Bytes{'X', 'Y', 'Z'};
  return b;
}

std::size_t Count(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

TEST_F(EndToEnd, ValueRowsReadExactlyNameAndValueWhateverWasThereBefore) {
  auto t = Launch(100, 50);
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  DrawTable({"Outdoor", "A name longer than twenty", "Third"});
  // The parameter write's echo opens the trace area, one blank row below the table.
  ASSERT_TRUE(t->WaitFor("<<< RI"));
  EXPECT_EQ(t->Row(16), "<<< RI {52 49 04 00 9b 00 04 01 3e }");
  EXPECT_EQ(t->Row(15), "");
  for (const auto& [before, after] : std::vector<std::pair<std::vector<int16_t>, std::vector<int16_t>>>{
           {{100, -1, 12345}, {99, 0, 7}}, {{-32768, 32767, -1}, {5, -5, 0}}}) {
    Exchange(ValuesTelegram(before), Ack(ValuesTelegram(before), true));
    Exchange(ValuesTelegram(after), Ack(ValuesTelegram(after), true));
    const std::string last = Padded("Third") + std::to_string(after[2]);
    ASSERT_TRUE(t->WaitFor(last)) << t->Row(14);
    EXPECT_EQ(t->Row(12), Padded("Outdoor") + std::to_string(after[0]));
    EXPECT_EQ(t->Row(13), "A name longer than t" + std::to_string(after[1]));
    EXPECT_EQ(t->Row(14), last);
  }
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
}

TEST_F(EndToEnd, EchoesStayBelowTheTableAndLateNamesAreDrawn) {
  auto t = Launch(80, 24);
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  DrawTable({"Outdoor", "Flow", "Return"});
  Exchange(ValuesTelegram({21, 45, 30}), Ack(ValuesTelegram({21, 45, 30}), true));
  ASSERT_TRUE(t->WaitFor(Padded("Return") + "30"));
  const auto table = t->Screen();

  // 300 rejected headers: 300 echoes through an area of eight rows.
  const Bytes last = Telegram('M', 'I', {'L', 'a', 's', 't'});
  Exchange(Noise(300) + last, Ack(last, true));
  ASSERT_TRUE(t->WaitFor(">>> MILast"));
  const auto s = t->Screen();
  for (int row = 0; row < 15; ++row) EXPECT_EQ(s[row], table[row]) << "row " << row;
  EXPECT_EQ(s[23].rfind(">>> MILast {4d 49 04 4c 61 73 74 ", 0), 0u) << s[23];
  EXPECT_EQ(s[22], "ERR Unvalidtelegramstartvalue");
  EXPECT_EQ(Count(Log(), "-> ERR Unvalidtelegramstartvalue\n"), 300u);

  // A name after the first clock: drawn in its row, the area moves below it.
  Exchange(NameTelegram("Late"), Ack(NameTelegram("Late"), true));
  Exchange(ValuesTelegram({21, 45, 30, -7}), Ack(ValuesTelegram({21, 45, 30, -7}), true));
  ASSERT_TRUE(t->WaitFor(Padded("Late") + "-7"));
  EXPECT_EQ(t->Row(15), Padded("Late") + "-7");
  EXPECT_EQ(t->Row(23).rfind(">>> MALate", 0), 0u) << t->Row(23);
  for (int row = 0; row < 15; ++row) EXPECT_EQ(t->Row(row), table[row]) << "row " << row;
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
}

TEST_F(EndToEnd, WindowWithNoRoomBelowTheTableLogsEchoesWithoutShowingThem) {
  auto t = Launch(80, 24);
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) names.push_back("Value " + std::to_string(i));
  DrawTable(names);  // rows 12 to 23: the table ends on the window's last row
  Exchange(ValuesTelegram({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}),
           Ack(ValuesTelegram({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), true));
  ASSERT_TRUE(t->WaitFor(Padded("Value 11") + "0"));  // row 11 shows the value / 207
  const auto table = t->Screen();
  const Bytes info = Telegram('M', 'I', {'S', 'e', 'e', 'n'});
  Exchange(Noise(20) + info, Ack(info, true));
  EXPECT_EQ(t->Screen(), table);
  EXPECT_NE(Log().find(">>> MISeen"), std::string::npos);
  EXPECT_EQ(Count(Log(), "ERR Unvalidtelegramstartvalue"), 20u);
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
}

// After the program, the terminal scrolls as a whole again, whether ESC or
// SIGTERM ended it while the trace area was scrolling.
TEST_F(EndToEnd, TerminalScrollsNormallyAfterEscAndAfterSigterm) {
  for (const bool byEsc : {true, false}) {
    SCOPED_TRACE(byEsc ? "ESC" : "SIGTERM");
    std::remove(dir_.File("status").c_str());
    auto t = LaunchThenShell(80, 24);
    ASSERT_NO_FATAL_FAILURE(Connect(*t));
    DrawTable({"Outdoor", "Flow", "Return"});
    const Bytes info = Telegram('M', 'I', {'F', 'u', 'l', 'l'});
    Exchange(Noise(20) + info, Ack(info, true));
    ASSERT_TRUE(t->WaitFor(">>> MIFull"));
    if (byEsc)
      t->Key("Escape");
    else
      kill(t->Pid("varnhalt_test"), SIGTERM);
    ASSERT_TRUE(t->WaitFor("$"));
    EXPECT_EQ(ReadFile(dir_.File("status")), byEsc ? "0\n" : "143\n");
    t->Type("seq 100");
    t->Key("Enter");
    std::vector<std::string> s;
    for (int i = 0; i < 100 && (s = t->Screen()).size() == 24 && s[22] != "100"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(s.size(), 24u);
    EXPECT_EQ(s[22], "100");
    for (int row = 0; row < 22; ++row) EXPECT_TRUE(AllDigits(s[row])) << "row " << row << ": " << s[row];
  }
}

}  // namespace
