// Faults of the environment, with the real program in a real terminal: a
// log that cannot be written, a serial device that vanishes, a keyboard
// that goes away. The program must go on (or end cleanly) every time.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "telegram_link.h"
#include "temp_dir.h"
#include "terminal.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Info(const std::string& text) {
  Bytes t(text.size() + 5);
  std::copy(text.begin(), text.end(), t.begin() + 3);
  BuildTelegram('M', 'I', static_cast<int>(text.size()), t.data());
  return t;
}

Bytes Ack(const Bytes& t) {
  unsigned char a[6];
  BuildAck(t.data(), true, a);
  return Bytes(a, a + 6);
}

// User and system CPU time of a process, in clock ticks.
long CpuTicks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// True while the process runs (a zombie has ended).
bool Running(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  return close != std::string::npos && close + 2 < all.size() && all[close + 2] != 'Z';
}

// True when nobody holds the line's device: it can be opened exclusively.
bool PortIsFree(const std::string& path) {
  ComPort port;
  return port.Open(path.c_str(), 9600) == 0;
}

// Runs a command in a private mount namespace (root, or a user namespace).
std::string InPrivateMounts(const std::string& script) {
  const std::string ns = geteuid() == 0 ? "unshare --mount --propagation private"
                                        : "unshare --user --map-root-user --mount --propagation private";
  return ns + " sh -c " + Quote(script);
}

class EnvironmentFault : public testing::Test {
 protected:
  std::string Monitor() const {
    return Quote(WITH_COM1) + " " + Quote(line_.slave_path()) + " " + Quote(VARNHALT_BIN);
  }
  void Connect(Terminal& t) {
    ASSERT_TRUE(t.WaitFor("ComPort-Nummer [1..6]:"));
    t.Type("1");
    t.Key("Enter");
    ASSERT_EQ(line_.ReadExactly(8, 5000).size(), 8u);
    ASSERT_TRUE(t.WaitFor("Press (ESC) to abort"));
  }
  // An 'I' telegram is acknowledged and traced: proof that the loop lives.
  void ExpectAlive(Terminal& t, const std::string& text) {
    const Bytes info = Info(text);
    line_.Write(info);
    EXPECT_EQ(line_.ReadExactly(6, 5000), Ack(info));
    EXPECT_TRUE(t.WaitFor(">>> MI" + text));
  }
  std::string Log() const { return ReadFile(dir_.File("comlog.log")); }

  TempDir dir_;
  PtyPair line_;
};

TEST_F(EnvironmentFault, ReadOnlyWorkingDirectoryDropsLogLinesOnly) {
  const std::string d = Quote(dir_.path());
  Terminal t(InPrivateMounts("mount --bind " + d + " " + d + " && mount -o remount,bind,ro " + d +
                             " && cd " + d + " && exec " + Monitor()),
             dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ExpectAlive(t, "readonly1");
  ExpectAlive(t, "readonly2");
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("comlog.log")));
}

TEST_F(EnvironmentFault, DiskThatRefusesTheWriteDropsLogLinesOnly) {
  std::filesystem::create_symlink("/dev/full", dir_.File("comlog.log"));
  Terminal t(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ExpectAlive(t, "full1");
  ExpectAlive(t, "full2");
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

TEST_F(EnvironmentFault, LogThatIsADirectoryOrCannotRotate) {
  std::filesystem::create_directory(dir_.File("comlog.log"));
  Terminal t(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ExpectAlive(t, "logisadir");

  // An oversized log whose backup is a non-empty directory: the rename
  // fails, the line is appended, and the next line tries again.
  std::filesystem::remove(dir_.File("comlog.log"));
  WriteFile(dir_.File("comlog.log"), std::string(500001, 'x'));
  std::filesystem::create_directory(dir_.File("comlog.bak"));
  WriteFile(dir_.File("comlog.bak/keep"), "");
  ExpectAlive(t, "norotation");
  const std::string oversized = Log();
  EXPECT_EQ(oversized.substr(0, 500001), std::string(500001, 'x'));
  EXPECT_NE(oversized.find("-> >>> MInorotation {", 500001), std::string::npos);
  std::filesystem::remove_all(dir_.File("comlog.bak"));
  ExpectAlive(t, "rotated");
  EXPECT_EQ(ReadFile(dir_.File("comlog.bak")), oversized);
  EXPECT_NE(Log().find("-> >>> MIrotated {"), std::string::npos);
  EXPECT_LT(FileSize(dir_.File("comlog.log")), 100);
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

TEST_F(EnvironmentFault, VanishedDeviceNeitherSpinsNorStopsEsc) {
  Terminal t(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  const int pid = t.Pid("varnhalt_test");
  ASSERT_GT(pid, 0);
  line_.CloseMaster();  // the adapter is pulled: every read fails at once
  const long before = CpuTicks(pid);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long used = CpuTicks(pid) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "the loop spins on the dead port";
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

TEST_F(EnvironmentFault, EndOfInputEndsTheLoopAndReleasesThePort) {
  Terminal t("(echo 1; sleep 1) | " + Monitor(), dir_.path());
  ASSERT_EQ(line_.ReadExactly(8, 5000).size(), 8u);  // "Ra": the port was open
  EXPECT_EQ(t.ExitStatus(), 1);
  EXPECT_TRUE(PortIsFree(line_.slave_path()));
}

TEST_F(EnvironmentFault, HangUpEndsTheProgramAndReleasesThePort) {
  auto t = std::make_unique<Terminal>(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(*t));
  const int pid = t->Pid("varnhalt_test");
  ASSERT_GT(pid, 0);
  t.reset();  // the terminal goes away: the program gets SIGHUP
  for (int i = 0; i < 100 && Running(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Running(pid)) << "still running after the hang-up";
  EXPECT_TRUE(PortIsFree(line_.slave_path()));
}

}  // namespace
