#include "screen_scenarios.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <thread>

namespace {

constexpr int kValueColumn = 20;

}  // namespace

const Bytes kClockTelegram = Telegram('M', '2', {0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13});

Bytes Noise(int headers) {
  Bytes b;
  for (int i = 0; i < headers; ++i) b = b + Bytes{'X', 'Y', 'Z'};
  return b;
}

std::string Padded(const std::string& name) {
  return name.size() >= kValueColumn ? name.substr(0, kValueColumn)
                                     : name + std::string(kValueColumn - name.size(), ' ');
}

std::string TraceLine(const char* prefix, const Bytes& telegram) {
  std::string s = prefix;
  for (unsigned char c : telegram)
    if (std::isalnum(c)) s += static_cast<char>(c);
  return s + " {" + Hex(telegram) + " }";
}

void ExpectHeaderRows(const std::vector<std::string>& rows, const std::string& date) {
  ASSERT_GT(rows.size(), 11u);
  EXPECT_EQ(rows[0], "");
  EXPECT_EQ(rows[1], std::string(69, '*'));
  EXPECT_EQ(rows[2], "*     Varnhalt K2740 communication test (Build 100),                *");
  EXPECT_EQ(rows[3], "*     names, clock and live values of the controller                *");
  EXPECT_EQ(rows[4], std::string(69, '*'));
  EXPECT_EQ(rows[5], "");
  EXPECT_EQ(rows[6], "Press (ESC) to abort");
  EXPECT_EQ(rows[7], "");
  EXPECT_EQ(rows[8], date);
  EXPECT_EQ(rows[9], "");
  EXPECT_EQ(rows[10], "Name                Value");
  EXPECT_EQ(rows[11], std::string(59, '-'));
}

void Connect(MonitorRun& run) {
  Terminal& t = run.Term();
  ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:", 4 * run.TimeoutMs()));
  t.Type("1");
  t.Key("Enter");
  ASSERT_EQ(Hex(run.Line().ReadExactly(8, 2 * run.TimeoutMs())), Hex(Request("Ra")));
  ASSERT_TRUE(t.WaitFor("Press (ESC) to abort", run.TimeoutMs()));
}

void Exchange(MonitorRun& run, const Bytes& out, const Bytes& expected) {
  run.Line().Write(out);
  EXPECT_EQ(Hex(run.Line().ReadExactly(expected.size(), run.TimeoutMs())), Hex(expected));
}

void DrawTable(MonitorRun& run, const std::vector<std::string>& names) {
  ASSERT_NO_FATAL_FAILURE(Connect(run));
  for (const std::string& n : names) Exchange(run, NameTelegram(n), Ack(NameTelegram(n), true));
  Exchange(run, kClockTelegram, Ack(kClockTelegram, true) + Request("Rb") + ParamWrite());
  ASSERT_FALSE(testing::Test::HasFailure());
}

bool WaitForRow(MonitorRun& run, int y, const std::string& text) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(run.TimeoutMs());
  while (run.Term().Row(y) != text) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void EndWithEsc(MonitorRun& run) {
  run.PressEsc();
  EXPECT_EQ(run.Term().ExitStatus(3 * run.TimeoutMs()), 0)
      << "the program did not end after ESC with status 0";
}

void ValueRowsReadExactlyNameAndValue(const Launcher& launch) {
  auto run = launch(100, 50);
  ASSERT_NO_FATAL_FAILURE(DrawTable(*run, {"Outdoor", "A name longer than twenty", "Third"}));
  // The parameter write's echo opens the trace area, one blank row below the table.
  const std::string paramWrite = TraceLine("<<< ", ParamWrite());
  ASSERT_TRUE(WaitForRow(*run, 16, paramWrite)) << run->Term().Row(16);
  EXPECT_EQ(run->Term().Row(15), "");
  const std::vector<std::pair<std::vector<int16_t>, std::vector<int16_t>>> changes = {
      {{100, -1, 12345}, {99, 0, 7}}, {{-32768, 32767, -1}, {5, -5, 0}}};
  for (const auto& [before, after] : changes) {
    Exchange(*run, ValuesTelegram(before), Ack(ValuesTelegram(before), true));
    Exchange(*run, ValuesTelegram(after), Ack(ValuesTelegram(after), true));
    const std::string last = Padded("Third") + std::to_string(after[2]);
    ASSERT_TRUE(WaitForRow(*run, 14, last)) << run->Term().Row(14);
    EXPECT_EQ(run->Term().Row(12), Padded("Outdoor") + std::to_string(after[0]));
    EXPECT_EQ(run->Term().Row(13), "A name longer than t" + std::to_string(after[1]));
  }
  EndWithEsc(*run);
}

void EchoesScrollBelowTheTableAndLateNamesAreDrawn(const Launcher& launch) {
  auto run = launch(80, 24);
  ASSERT_NO_FATAL_FAILURE(DrawTable(*run, {"Outdoor", "Flow", "Return"}));
  Exchange(*run, ValuesTelegram({21, 45, 30}), Ack(ValuesTelegram({21, 45, 30}), true));
  ASSERT_TRUE(WaitForRow(*run, 14, Padded("Return") + "30"));
  const auto table = run->Term().Screen();
  ASSERT_EQ(table.size(), 24u);

  // 300 rejected headers: 300 echoes through an area of eight rows.
  const Bytes last = Telegram('M', 'I', {'L', 'a', 's', 't'});
  Exchange(*run, Noise(300) + last, Ack(last, true));
  ASSERT_TRUE(WaitForRow(*run, 23, TraceLine(">>> ", last)));
  auto s = run->Term().Screen();
  ASSERT_EQ(s.size(), 24u);
  for (int row = 0; row < 15; ++row) EXPECT_EQ(s[row], table[row]) << "row " << row;
  EXPECT_EQ(s[22], "ERR Unvalidtelegramstartvalue");
  EXPECT_EQ(Occurrences(run->Log(), "-> ERR Unvalidtelegramstartvalue" + run->LogLineEnd()), 300u);

  // A name after the first clock: drawn in its row, the area moves below it.
  Exchange(*run, NameTelegram("Late"), Ack(NameTelegram("Late"), true));
  const Bytes values = ValuesTelegram({21, 45, 30, -7});
  Exchange(*run, values, Ack(values, true));
  ASSERT_TRUE(WaitForRow(*run, 15, Padded("Late") + "-7"));
  s = run->Term().Screen();
  ASSERT_EQ(s.size(), 24u);
  EXPECT_EQ(s[23], TraceLine(">>> ", NameTelegram("Late")));
  for (int row = 0; row < 15; ++row) EXPECT_EQ(s[row], table[row]) << "row " << row;
  EndWithEsc(*run);
}

void WindowWithNoRoomBelowTheTableShowsNoEchoes(const Launcher& launch) {
  auto run = launch(80, 24);
  std::vector<std::string> names;
  for (int i = 0; i < 12; ++i) names.push_back("Value " + std::to_string(i));
  ASSERT_NO_FATAL_FAILURE(DrawTable(*run, names));  // rows 12 to 23: the window's last row
  const Bytes values = ValuesTelegram({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  Exchange(*run, values, Ack(values, true));
  ASSERT_TRUE(WaitForRow(*run, 23, Padded("Value 11") + "0"));  // the 12th is shown / 207
  const auto table = run->Term().Screen();
  ASSERT_EQ(table.size(), 24u);
  EXPECT_EQ(table[22], Padded("Value 10") + "10");
  EXPECT_EQ(table[12], Padded("Value 0") + "0");

  const Bytes info = Telegram('M', 'I', {'S', 'e', 'e', 'n'});
  Exchange(*run, Noise(20) + info, Ack(info, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(run->Term().Screen(), table);
  const std::string log = run->Log();
  EXPECT_NE(log.find(TraceLine(">>> ", info)), std::string::npos);
  EXPECT_EQ(Occurrences(log, "ERR Unvalidtelegramstartvalue"), 20u);
  EndWithEsc(*run);
}
