// The real program in a real terminal (tmux), with COM1 redirected to a
// pseudo-terminal on which the test plays the controller: what the user
// sees, what goes over the line, and what lands in the log.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"
#include "proc.h"
#include "sim_options.h"
#include "sim_process.h"

namespace {

// Waits until the port prompt stands n times on the screen.
bool PromptsShown(Terminal& t, int n) {
  for (int i = 0; i < 250; ++i) {
    int shown = 0;
    for (const std::string& row : t.Screen()) shown += row.rfind("ComPort-Nummer", 0) == 0;
    if (shown >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The ports present before the first prompt and after a port that could
// not be opened (the line put over /dev/ttyS0 is COM1); the port's line in
// the log and at the cursor when it opens.
TEST_F(EndToEnd, PortPromptAsksAgainUntilAPortOpens) {
  auto t = Launch();
  ASSERT_TRUE(t->WaitFor("ComPort-Nummer [1..6]:"));
  // Each answer is typed once its prompt stands, so that the terminal's echo
  // of a typed-ahead answer cannot land before the prompt it answers.
  int prompts = 1;
  for (const char* typed : {"abc", "9", "2"}) {
    ASSERT_TRUE(PromptsShown(*t, prompts++));
    t->Type(typed);
    t->Key("Enter");
  }
  ASSERT_TRUE(t->WaitFor("COM2 cannot be opened: no such serial port"));
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  const auto screen = t->Screen();
  const std::vector<std::string> expected = {"COM1 = /dev/ttyS0",
                                             "ComPort-Nummer [1..6]: abc",
                                             "ComPort-Nummer [1..6]: 9",
                                             "ComPort-Nummer [1..6]: 2",
                                             "COM2 cannot be opened: no such serial port",
                                             "COM1 = /dev/ttyS0",
                                             "ComPort-Nummer [1..6]: 1",
                                             "COM1 = /dev/ttyS0",
                                             "Ready to receive from ComPort: 1",
                                             "Press (ESC) to abort",
                                             "<<< Ra {52 61 03 00 ff f4 02 a9 }"};
  ASSERT_GE(screen.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(screen[i], expected[i]) << i;
  t->Key("Escape");
  ASSERT_TRUE(t->WaitFor("Times the port was lost: 0"));
  EXPECT_EQ(t->ExitStatus(), 0);
  ExpectTerminalRestored();
  // Each run's start can be found in the log: the port's line comes first.
  const std::regex stamped(
      R"(\d{4}\\\d{2}\\\d{2} (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d\.[ \d]{2}\d -> COM1 = /dev/ttyS0\n)");
  const std::string log = Log();
  EXPECT_TRUE(std::regex_match(log.substr(0, log.find('\n') + 1), stamped)) << log;
  EXPECT_NE(log.find("-> <<< Ra {52 61 03 00 ff f4 02 a9 }\n"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Telegrams acknowledged: 0\n"), std::string::npos) << log;
  // The report stands below the last echo (the pane may have moved up a row
  // once the program ended).
  const auto after = t->Screen();
  const auto ra = std::find(after.begin(), after.end(), expected.back()) - after.begin();
  ASSERT_LT(ra + 2, static_cast<long>(after.size()));
  EXPECT_EQ(after[ra + 2], "Run time in seconds: 0") << testing::PrintToString(after);
  // The writes that did not complete come just before the report's last line.
  const auto last = std::find(after.begin(), after.end(), "Log lines not written: 0");
  ASSERT_NE(last, after.end()) << testing::PrintToString(after);
  EXPECT_EQ(*(last - 1), "Writes not completed: 0");
}

// An ordinary user who may not use the port is told which group may: root
// is never refused, so the program runs as nobody once the line is set up.
TEST_F(EndToEnd, PermissionDeniedNamesTheGroupOfTheDevice) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(line_.slave_path().c_str(), 0660), 0);
  struct stat st {};
  ASSERT_EQ(stat(line_.slave_path().c_str(), &st), 0);
  const group* g = getgrgid(st.st_gid);
  ASSERT_NE(g, nullptr);
  Terminal t(Com1Command(line_.slave_path(), "/usr/bin/setpriv") +
                 " --reuid=65534 --regid=65534 --clear-groups " + Quote(VARNHALT_BIN),
             dir_.path());
  ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:"));
  t.Type("1");
  t.Key("Enter");
  const std::string refused =
      std::string("COM1 cannot be opened: Permission denied (/dev/ttyS0 belongs to group ") +
      g->gr_name + ")";
  ASSERT_TRUE(t.WaitFor(refused)) << testing::PrintToString(t.Screen());
  const auto screen = t.Screen();
  const auto at = std::find(screen.begin(), screen.end(), refused);
  ASSERT_TRUE(at != screen.end() && at + 2 < screen.end());
  EXPECT_EQ(*(at + 1), "COM1 = /dev/ttyS0");  // the ports present again, then the prompt
  EXPECT_EQ(*(at + 2), "ComPort-Nummer [1..6]:");
  t.Key("C-d");
  EXPECT_EQ(t.ExitStatus(), 1);
}

TEST_F(EndToEnd, ScreenShowsNamesClockAndScaledValues) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  const std::vector<std::string> names = {"Outdoor", "Flow",  "Return", "Boiler",
                                          "Burner",  "Pump",  "Valve",  "Mixer",
                                          "Tank",    "Solar", "Room",   "Pressure"};
  for (const std::string& n : names) Exchange(NameTelegram(n), Ack(NameTelegram(n), true));
  Exchange(kClockTelegram, Ack(kClockTelegram, true) + Request("Rb") + ParamWrite());
  const Bytes values = ValuesTelegram({-12, 0, 1, 2, -3, 5, 6, 7, 8, 9, 10, -300});
  Exchange(values, Ack(values, true));
  ASSERT_TRUE(t->WaitFor("Date: 14.03.13 - Time: 21:05:07"));
  const auto s = t->Screen();
  ExpectHeaderRows(s, "Date: 14.03.13 - Time: 21:05:07");
  const std::vector<std::string> shown = {"-12", "0", "1", "2", "-2", "5",
                                          "6",   "7", "8", "9", "10", "-1"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& row = s[12 + i];
    EXPECT_EQ(row.substr(0, names[i].size()), names[i]) << row;
    EXPECT_EQ(row.substr(20, shown[i].size()), shown[i]) << row;
  }
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("-> >>> MAOutdoor {4d 41 0c 00 00 00 00 00 4f 75 74 64 6f 6f 72 "),
            std::string::npos);
  EXPECT_NE(log.find("-> <<< Rb {52 62 03 00 ff f4 02 aa }\n"), std::string::npos);
  EXPECT_NE(log.find("-> <<< RI {52 49 04 00 9b 00 04 01 3e }\n"), std::string::npos);
  EXPECT_EQ(log.find(">>> M2"), std::string::npos);
  EXPECT_EQ(log.find(">>> M1"), std::string::npos);
}

TEST_F(EndToEnd, LineFaultsAreTracedAndTheReceiverStaysInStep) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  Bytes bad = NameTelegram("Pump");
  bad.back() ^= 0x20;
  Exchange(bad, Ack(bad, false));
  Exchange(Bytes{'X', 'Y', 'Z'} + Bytes{'M', 'A', 0x90} + NameTelegram("Fan"),
           Ack(NameTelegram("Fan"), true));
  const Bytes split = NameTelegram("Split");
  for (unsigned char b : split) {
    line_.Write({b});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(line_.ReadExactly(6, 5000), Ack(split, true));
  ASSERT_TRUE(t->WaitFor("ERR Buffersizetosmallfortelegram"));
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("-> <<< MA {4d 41 01 00 00 8f }\n"), std::string::npos);
  EXPECT_NE(log.find("-> >>> MAPump {"), std::string::npos);  // traced as it arrived
  EXPECT_NE(log.find("-> ERR Unvalidtelegramstartvalue\n"), std::string::npos);
  EXPECT_NE(log.find("-> ERR Buffersizetosmallfortelegram\n"), std::string::npos);
  EXPECT_NE(log.find("-> >>> MASplit {"), std::string::npos);
}

TEST_F(EndToEnd, EscInMidTelegramEndsWithoutAnAcknowledgement) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  t->Key("Up");  // an arrow key's sequence starts with ESC but is no ESC
  const Bytes name = NameTelegram("Half");
  line_.Write(Bytes(name.begin(), name.begin() + 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(t->ExitStatus(100), -1);
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(), 0);
  EXPECT_TRUE(line_.Read(100).empty());
  ExpectTerminalRestored();
}

TEST_F(EndToEnd, SecondInstanceFindsThePortBusy) {
  auto first = Launch();
  ASSERT_NO_FATAL_FAILURE(Connect(*first));
  TempDir other;
  Terminal second(Com1Command(line_.slave_path()), other.path());
  ASSERT_TRUE(second.WaitFor("ComPort-Nummer [1..6]:"));
  second.Type("1");
  second.Key("Enter");
  EXPECT_TRUE(second.WaitFor("COM1 cannot be opened: Device or resource busy"));
  second.Key("C-d");  // end of input at the prompt
  EXPECT_EQ(second.ExitStatus(), 1);
  first->Key("Escape");
  EXPECT_EQ(first->ExitStatus(), 0);
}

// SIGTERM ends the program as ESC does: at the end of the turn, with the
// report on the screen and in the log, the terminal restored and the port
// released; the exit status still tells the signal.
TEST_F(EndToEnd, SigtermRestoresTheTerminalAndReleasesThePort) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  const int pid = t->Pid("varnhalt_test");
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  EXPECT_EQ(t->ExitStatus(), 128 + SIGTERM);
  EXPECT_TRUE(t->WaitFor("Times the port was lost: 0"));
  EXPECT_NE(Log().find("-> Times the port was lost: 0\n"), std::string::npos) << Log();
  ExpectTerminalRestored();
  auto again = Launch();  // the port is free again
  ASSERT_NO_FATAL_FAILURE(Connect(*again));
  again->Key("Escape");
  EXPECT_EQ(again->ExitStatus(), 0);
}

// Idle at the table, with the line quiet and no key, the program sleeps in
// one wait: no wake-up a second. Then whatever must wake it does, each in
// turn after a quiet spell: a telegram, a resize, a continue, a key.
TEST_F(EndToEnd, IdleAtTheTableCostsNoWakeUpAndWakesForWhatMatters) {
  auto t = Launch();
  ASSERT_NO_FATAL_FAILURE(DrawTable(*t, {"Outdoor", "Flow"}));
  const int pid = t->Pid("varnhalt_test");
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the drawing done
  const long before = ContextSwitches(pid);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double perSecond = static_cast<double>(ContextSwitches(pid) - before) / seconds;
  std::printf("idle at the table: %.2f wake-ups a second\n", perSecond);
  EXPECT_LT(perSecond, 1.0);

  const Bytes values = ValuesTelegram({-12, 7});
  const Bytes quiet = Telegram('M', 'I', {'q', 'u', 'i', 'e', 't'});
  const struct {
    const char* what;
    std::function<void()> wake;
    bool redraws;  // the whole screen is drawn again: the trace line goes
  } wakes[] = {
      {"a telegram", [&] { Exchange(values, Ack(values, true)); }, false},
      {"a resize (SIGWINCH)", [&] { t->Resize(90, 30); }, true},
      {"a continue (SIGCONT)", [&] { kill(pid, SIGSTOP), kill(pid, SIGCONT); }, true},
  };
  for (const auto& w : wakes) {
    SCOPED_TRACE(w.what);
    Exchange(quiet, Ack(quiet, true));
    ASSERT_TRUE(t->WaitFor(">>> MIquiet"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    w.wake();
    EXPECT_TRUE(t->WaitFor("Flow                7", 1000));
    if (w.redraws) {
      const auto shown = [&t] {
        const auto s = t->Screen();
        return std::any_of(s.begin(), s.end(),
                           [](const std::string& row) { return row.rfind(">>> MIquiet", 0) == 0; });
      };
      bool gone = false;
      for (int i = 0; i < 50 && !(gone = !shown()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_TRUE(gone) << "not drawn again within a second";
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  t->Key("Escape");
  EXPECT_EQ(t->ExitStatus(1000), 0);
}

// Keys through a pipe, with their own timing: a key's sequence whose bytes
// come 10 ms apart is one key, a lone ESC ends the program, and the end of
// input ends it with 1.
TEST_F(EndToEnd, KeySequencesWithGapsAreOneKeyAndOnlyALoneEscEnds) {
  const struct {
    const char* what;
    std::string keys;  // shell commands that write the keys
    int status;
  } cases[] = {
      {"an arrow key, its bytes 10 ms apart",
       "printf '\\033'; sleep 0.01; printf '['; sleep 0.01; printf 'A'", 1},
      {"ESC and O x, 10 ms apart", "printf '\\033'; sleep 0.01; printf 'O'; sleep 0.01; printf 'P'",
       1},
      {"an arrow key at once", "printf '\\033[B'", 1},
      {"a lone ESC after a quiet spell", "printf '\\033'", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Terminal t("(echo 1; sleep 1; " + c.keys + "; sleep 1) | " + Monitor(), dir_.path());
    ASSERT_EQ(line_.ReadExactly(8, 5000), Request("Ra"));
    EXPECT_EQ(t.ExitStatus(), c.status);
  }
}

}  // namespace

namespace {

// The figure after label in the log's report, or -1.
long long Reported(const std::string& log, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(log, m, std::regex("-> " + label + ": ([0-9]+)\n"))) return -1;
  return std::stoll(m[1]);
}

// Every fault kind, names refused among them: every acknowledgement as the
// controller expects it, the table with one row per name in the controller's
// order, and the program's report counting the telegrams as the
// controller's summary does.
TEST(EndToEndWithSimulator, EveryFaultKindIsAnsweredAsTheControllerExpects) {
  TempDir dir;
  SimProcess sim("--rate 20 --count 60 --faults all:0.3 --seed 7 --json sim.json", dir.path());
  const std::string line = sim.Line();
  ASSERT_FALSE(line.empty()) << sim.Output();
  // 24 values take rows 12 to 35; trace lines of the faults go below them.
  Terminal t(Com1Command(line), dir.path(), 100, 70);
  ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:"));
  t.Type("1");
  t.Key("Enter");
  ASSERT_TRUE(t.WaitFor("Date: ", 10000));
  const int status = sim.Wait();  // after 60 value telegrams
  EXPECT_EQ(status, 0) << sim.Output();
  EXPECT_NE(sim.Output().find("missing 0, doubled 0, wrong 0"), std::string::npos) << sim.Output();
  EXPECT_EQ(t.Row(10), "Name                Value");
  const std::vector<std::string> names = DefaultNames();
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(t.Row(static_cast<int>(12 + i)).substr(0, 20),
              names[i] + std::string(20 - names[i].size(), ' '));
  EXPECT_EQ(t.Row(static_cast<int>(12 + names.size())), "");  // no row more
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);

  const auto j = nlohmann::json::parse(ReadFile(dir.File("sim.json")), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << sim.Output();
  long long acked = 0;
  long long nacked = 0;
  for (const auto& kind : j.at("kinds")) {
    acked += kind.at("acked").get<long long>();
    nacked += kind.at("nacked").get<long long>();
  }
  EXPECT_GT(j.at("kinds").at("name").at("nacked").get<long long>(), 0);
  const std::string log = ReadFile(dir.File("comlog.log"));
  EXPECT_EQ(Reported(log, "Telegrams acknowledged"), acked) << sim.Output();
  EXPECT_EQ(Reported(log, "Negative acknowledgements \\(bad checksum\\)"), nacked) << sim.Output();
}

}  // namespace
