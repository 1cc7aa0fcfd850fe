// Faults of the environment, with the real program in a real terminal: a
// log that cannot be written, a serial device that vanishes, a keyboard
// that goes away, a controller that floods the line with noise or says
// nothing at all. The program must go on (or end cleanly) every time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "end_to_end.h"
#include "log_lines.h"
#include "proc.h"
#include "pty_pair.h"
#include "sim_model.h"
#include "telegram_link.h"
#include "telegrams.h"
#include "temp_dir.h"
#include "terminal.h"

namespace {

Bytes Info(const std::string& text) { return Telegram('M', 'I', Bytes(text.begin(), text.end())); }

// True when nobody holds the line's device: it can be opened exclusively.
bool PortIsFree(const std::string& path) {
  ComPort port;
  return port.Open(path.c_str(), 9600) == 0;
}

// Runs a command in a private mount namespace (root, or a user namespace).
std::string InPrivateMounts(const std::string& script) {
  const std::string ns = geteuid() == 0
                             ? "unshare --mount --propagation private"
                             : "unshare --user --map-root-user --mount --propagation private";
  return ns + " sh -c " + Quote(script);
}

// The monitor, its terminal, line and directory as in end_to_end.h.
class EnvironmentFault : public EndToEnd {
 protected:
  // The start dialogue done; the program's process id.
  void ConnectAndFindPid(Terminal& t, int& pid) {
    ASSERT_NO_FATAL_FAILURE(Connect(t));
    pid = t.Pid("varnhalt_test");
    ASSERT_GT(pid, 0);
  }
  // The start dialogue, two 'I' telegrams served, then ESC: status 0.
  void ServeTwoThenEsc(Terminal& t, const std::string& tag) {
    ASSERT_NO_FATAL_FAILURE(Connect(t));
    ExpectAlive(t, tag + "1");
    ExpectAlive(t, tag + "2");
    t.Key("Escape");
    EXPECT_EQ(t.ExitStatus(), 0);
  }
  // An 'I' telegram is acknowledged and traced: proof that the loop lives.
  void ExpectAlive(Terminal& t, const std::string& text) {
    const Bytes info = Info(text);
    line_.Write(info);
    EXPECT_EQ(line_.ReadExactly(6, 5000), Ack(info, true));
    EXPECT_TRUE(t.WaitFor(">>> MI" + text));
  }
  // The log rotated, with one backup and no line cut.
  void ExpectRotatedWithWholeLines() const {
    EXPECT_EQ(LogFilesIn(dir_.path()), (std::vector<std::string>{"comlog.bak", "comlog.log"}));
    int lines = 0;
    for (const char* f : {"comlog.bak", "comlog.log"}) {
      const LogFileCheck c = CheckLogFile(dir_.File(f));
      EXPECT_EQ(c.bad, 0) << f << ": " << c.firstBad;
      EXPECT_TRUE(c.endsInLineBreak) << f;
      lines += c.lines;
    }
    EXPECT_GT(lines, 1000);
  }
};

// What the program owes for a stream of controller bytes, by the
// simulator's model of its receiver: one acknowledgement for each 'M'
// telegram it frames, and after the first good clock the requests that the
// model says the PC then sends (PcRequests). Nothing else may come back.
class OwedReplies {
 public:
  void Feed(const unsigned char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const FrameEvent e = framer_.Feed(b[i]);
      if (e.type != FrameEventType::Data) continue;
      ++telegrams_;
      bytes_.insert(bytes_.end(), e.ack, e.ack + 6);
      unsigned char more[PcRequests::kMax];
      bytes_.insert(bytes_.end(), more, more + requests_.After(e, more));
    }
  }
  const Bytes& bytes() const { return bytes_; }
  int telegrams() const { return telegrams_; }

 private:
  PcFramer framer_;
  Bytes bytes_;
  int telegrams_ = 0;
  PcRequests requests_;
};

// Where two byte strings first differ, for a readable failure.
std::string FirstDifference(const Bytes& got, const Bytes& owed) {
  const auto m = std::mismatch(got.begin(), got.end(), owed.begin(), owed.end());
  std::ostringstream s;
  s << "got " << got.size() << " bytes, owed " << owed.size() << "; first difference at "
    << (m.first - got.begin());
  return s.str();
}

std::size_t OnScreen(Terminal& t, const std::string& text) {
  std::size_t n = 0;
  for (const std::string& row : t.Screen()) n += row.find(text) != std::string::npos;
  return n;
}

TEST_F(EnvironmentFault, ReadOnlyWorkingDirectoryDropsLogLinesOnly) {
  const std::string d = Quote(dir_.path());
  Terminal t(InPrivateMounts("mount --bind " + d + " " + d + " && mount -o remount,bind,ro " + d +
                             " && cd " + d + " && exec " + Monitor()),
             dir_.path());
  ASSERT_NO_FATAL_FAILURE(ServeTwoThenEsc(t, "readonly"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("comlog.log")));
  EXPECT_EQ(OnScreen(t, "comlog.log cannot be written: Read-only file system"), 1u);
  // The port's line, "Ra", the two 'I' telegrams and the report's eight
  // lines before it.
  EXPECT_TRUE(t.WaitFor("Log lines not written: 12"));
}

TEST_F(EnvironmentFault, DiskThatRefusesTheWriteDropsLogLinesOnly) {
  // /dev/full mounted over a regular comlog.log: the log opens, every write
  // fails with ENOSPC. (A symbolic link to it would not even be opened.)
  WriteFile(dir_.File("comlog.log"), "");
  const std::string d = Quote(dir_.path());
  Terminal t(InPrivateMounts("mount --bind /dev/full " + Quote(dir_.File("comlog.log")) +
                             " && cd " + d + " && exec " + Monitor()),
             dir_.path());
  ASSERT_NO_FATAL_FAILURE(ServeTwoThenEsc(t, "full"));
}

TEST_F(EnvironmentFault, LogThatIsADirectoryOrCannotRotate) {
  std::filesystem::create_directory(dir_.File("comlog.log"));
  Terminal t(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ExpectAlive(t, "logisadir");

  // An oversized log whose backup is a non-empty directory: the rename
  // fails, which the screen and the log say once; the line is appended, and
  // each later line tries again in silence.
  const std::string notice = "comlog.log cannot be rotated: Is a directory";
  auto blockRotation = [&] {
    std::filesystem::remove(dir_.File("comlog.log"));
    std::filesystem::remove(dir_.File("comlog.bak"));
    WriteFile(dir_.File("comlog.log"), std::string(500001, 'x'));
    std::filesystem::create_directory(dir_.File("comlog.bak"));
    WriteFile(dir_.File("comlog.bak/keep"), "");
  };
  auto noticesOnScreen = [&] {
    const auto rows = t.Screen();
    return std::count(rows.begin(), rows.end(), notice);
  };
  blockRotation();
  ExpectAlive(t, "norotation");
  ExpectAlive(t, "stillnot");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the notice's row, if any
  const std::string oversized = Log();
  EXPECT_EQ(oversized.substr(0, 500001), std::string(500001, 'x'));
  EXPECT_NE(oversized.find("-> >>> MInorotation {", 500001), std::string::npos);
  EXPECT_EQ(Occurrences(oversized, "-> " + notice + "\n"), 1u);
  EXPECT_EQ(noticesOnScreen(), 1);
  std::filesystem::remove_all(dir_.File("comlog.bak"));
  ExpectAlive(t, "rotated");
  EXPECT_EQ(ReadFile(dir_.File("comlog.bak")), oversized);
  EXPECT_NE(Log().find("-> >>> MIrotated {"), std::string::npos);
  EXPECT_LT(FileSize(dir_.File("comlog.log")), 100);
  EXPECT_EQ(noticesOnScreen(), 1);  // a success is not announced

  // Failing again after a success: said again.
  blockRotation();
  ExpectAlive(t, "againnot");
  for (int i = 0; i < 100 && noticesOnScreen() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(noticesOnScreen(), 2);
  EXPECT_EQ(Occurrences(Log(), "-> " + notice + "\n"), 1u);
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

// The working directory on a 64 KiB tmpfs that fills up while the table is
// shown, then has room again: the screen says both, the log holds only
// whole lines, and the report counts the lines that were not written.
TEST_F(EnvironmentFault, FullDiskIsSaidAndLeavesOnlyWholeLines) {
  const std::string work = dir_.File("work");
  const std::string saved = dir_.File("saved.log");
  std::filesystem::create_directory(work);
  Terminal t(
      InPrivateMounts("mount -t tmpfs -o size=64k tmpfs " + Quote(work) + " && cd " + Quote(work) +
                      " && " + Monitor() + "; s=$?; cp comlog.log " + Quote(saved) + "; exit $s"),
      dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  const Bytes clock = Telegram('M', '2', {0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13});
  line_.Write(NameTelegram("Outdoor") + clock);
  ASSERT_EQ(line_.ReadExactly(6 + 6 + 8 + 9, 5000).size(), 29u);
  ASSERT_TRUE(t.WaitFor("Outdoor"));
  const int pid = t.Pid("varnhalt_test");
  ASSERT_GT(pid, 0);
  const auto inItsMounts = [pid](const std::string& command) {
    return ShellStatus("nsenter --mount=/proc/" + std::to_string(pid) + "/ns/mnt sh -c " +
                       Quote(command));
  };
  const std::string filler = Quote(work + "/filler");
  ASSERT_EQ(inItsMounts("cat /dev/zero > " + filler + " 2>/dev/null; test -s " + filler), 0);

  // The log's last page still takes a few lines; then a line is cut short.
  const std::string full = "comlog.log cannot be written: No space left on device";
  for (int i = 0; i < 200 && OnScreen(t, full) == 0; ++i)
    ExpectAlive(t, "full" + std::to_string(i));
  ASSERT_EQ(OnScreen(t, full), 1u);
  for (int i = 0; i < 3; ++i) ExpectAlive(t, "stillfull" + std::to_string(i));
  EXPECT_EQ(OnScreen(t, full), 1u) << "said more than once";

  ASSERT_EQ(inItsMounts("rm " + filler), 0);
  ExpectAlive(t, "room");
  ASSERT_TRUE(t.WaitFor("comlog.log written again; "));
  std::smatch m;
  std::string notice;
  for (const std::string& row : t.Screen())
    if (row.find("written again") != std::string::npos) notice = row;
  ASSERT_TRUE(
      std::regex_search(notice, m, std::regex("written again; ([0-9]+) lines were not written")))
      << notice;
  const std::string lost = m[1];
  EXPECT_GE(std::stoi(lost), 4);
  t.Key("Escape");
  EXPECT_TRUE(t.WaitFor("Log lines not written: " + lost));
  EXPECT_EQ(t.ExitStatus(), 0);

  const LogFileCheck c = CheckLogFile(saved);
  EXPECT_EQ(c.bad, 0) << c.firstBad;
  EXPECT_TRUE(c.endsInLineBreak);
  const std::string log = ReadFile(saved);
  EXPECT_NE(log.find("-> comlog.log written again; " + lost + " lines were not written\n"),
            std::string::npos);
  EXPECT_NE(log.find("-> >>> MIroom"), std::string::npos);
  const std::string last = "-> Log lines not written: " + lost + "\n";
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// Another program holds the log's lock (here the test, flock on the folder)
// while ten telegrams arrive at once: the first line waits for it at most
// 200 ms, the later ones try once, so the ten acknowledgements come within
// a second (a wait for each line would take two). The notice once, the ten
// lines counted, and "written again" when the lock is free.
TEST_F(EnvironmentFault, HeldLogLockHoldsUpNoAcknowledgement) {
  Terminal t(Monitor(), dir_.path());
  ASSERT_NO_FATAL_FAILURE(Connect(t));
  ExpectAlive(t, "before");
  for (int i = 0; i < 100 && Log().find("MIbefore") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int folder = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  Bytes burst;
  for (int i = 0; i < 10; ++i) burst = burst + Info("held" + std::to_string(i));
  line_.Write(burst);
  EXPECT_EQ(line_.ReadExactly(60, 1000).size(), 60u);
  EXPECT_TRUE(t.WaitFor(">>> MIheld9"));
  const std::string notice = "comlog.log cannot be written: another program holds the log's lock";
  EXPECT_EQ(OnScreen(t, notice), 1u);
  close(folder);
  ExpectAlive(t, "free");
  EXPECT_TRUE(t.WaitFor("comlog.log written again; 10 lines were not written"));
  const std::string log = Log();
  EXPECT_EQ(log.find("MIheld"), std::string::npos);
  const std::size_t again = log.find("-> comlog.log written again; 10 lines were not written\n");
  EXPECT_LT(again, log.find("-> >>> MIfree"));
  t.Key("Escape");
  EXPECT_TRUE(t.WaitFor("Log lines not written: 10"));
  EXPECT_EQ(t.ExitStatus(), 0);
}

// The adapter is pulled and plugged in again: the program closes the port,
// tries it once a second without spinning, and goes on with the new line,
// keeping its names and screen and asking the controller for nothing.
TEST_F(EnvironmentFault, PulledAdapterComesBackByItself) {
  // Beneath the line lies a device node that cannot be opened (no driver has
  // its major number), so that between the two lines COM1 is simply absent.
  const std::string absent = dir_.File("absent");
  ASSERT_EQ(ShellStatus("mknod " + Quote(absent) + " c 240 0"), 0) << "mknod needs root";
  Terminal t(
      InPrivateMounts("mount --bind " + Quote(absent) + " /dev/ttyS0 && mount --bind " +
                      Quote(line_.slave_path()) + " /dev/ttyS0 && exec " + Quote(VARNHALT_BIN)),
      dir_.path(), 100, 30);
  int pid = -1;
  ASSERT_NO_FATAL_FAILURE(ConnectAndFindPid(t, pid));
  const Bytes clock = Telegram('M', '2', {0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13});
  line_.Write(NameTelegram("Outdoor") + clock);
  ASSERT_EQ(line_.ReadExactly(6 + 6 + 8 + 9, 5000).size(), 29u);

  line_.CloseMaster();
  ASSERT_TRUE(t.WaitFor("COM1 lost: "));
  const long before = CpuTicks(pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two reopen attempts
  EXPECT_LT(CpuTicks(pid) - before, sysconf(_SC_CLK_TCK) / 5)
      << "the loop spins while the port is gone";

  PtyPair again;
  ASSERT_EQ(ShellStatus("nsenter --mount=/proc/" + std::to_string(pid) + "/ns/mnt sh -c " +
                        Quote("umount -l /dev/ttyS0 && mount --bind " + Quote(again.slave_path()) +
                              " /dev/ttyS0")),
            0);
  ASSERT_TRUE(t.WaitFor("COM1 open again", 3000));
  const Bytes values = ValuesTelegram({-4});
  again.Write(values);
  EXPECT_EQ(again.ReadExactly(6, 5000), Ack(values, true));  // no "Ra" before it
  EXPECT_TRUE(t.WaitFor("Outdoor             -4"));
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
  EXPECT_TRUE(again.Read(100).empty());
  const std::string log = Log();
  EXPECT_NE(log.find("-> COM1 lost: "), std::string::npos) << log;
  EXPECT_NE(log.find("-> COM1 open again\n"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Times the port was lost: 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("-> Telegrams acknowledged: 3\n"), std::string::npos) << log;
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

// Random bytes as fast as the program takes them (at most about 32 KB/s,
// some thirty times a 9600-baud line). Collects what the program sends.
class NoiseFlood {
 public:
  explicit NoiseFlood(int fd) : fd_(fd), rng_(20261207) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  // Floods until done() holds.
  void Until(const std::function<bool()>& done, bool write = true) {
    while (!done()) {
      pollfd p{fd_, static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
      if (poll(&p, 1, 2) > 0) {
        if (p.revents & POLLIN) Take();
        if (p.revents & POLLOUT) Give();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Reads what comes back for ms without writing.
  void Listen(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Until([end] { return std::chrono::steady_clock::now() >= end; }, false);
  }
  const OwedReplies& owed() const { return owed_; }
  const Bytes& got() const { return got_; }
  uint64_t written() const { return written_; }

 private:
  void Take() {
    unsigned char buf[4096];
    const ssize_t r = read(fd_, buf, sizeof buf);
    if (r > 0) got_.insert(got_.end(), buf, buf + r);
  }
  void Give() {
    unsigned char chunk[64];
    for (unsigned char& b : chunk) b = static_cast<unsigned char>(rng_());
    const ssize_t w = write(fd_, chunk, sizeof chunk);
    if (w <= 0) return;
    owed_.Feed(chunk, static_cast<std::size_t>(w));
    written_ += static_cast<uint64_t>(w);
  }
  int fd_;
  std::mt19937 rng_;
  OwedReplies owed_;
  Bytes got_;
  uint64_t written_ = 0;
};

std::chrono::steady_clock::time_point After(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

TEST_F(EnvironmentFault, NoiseFloodBringsOnlyOwedAcknowledgementsAndEscStillWorks) {
  Terminal t(Monitor(), dir_.path());
  int pid = -1;
  ASSERT_NO_FATAL_FAILURE(ConnectAndFindPid(t, pid));
  NoiseFlood flood(line_.master());

  // 3 s of noise, enough to rotate the log at least once; then the program
  // catches up with what is still queued, and every telegram the noise
  // happened to form has been answered, and nothing else. (That framing is
  // byte-exact on any input is shown in depth by the model comparison in the
  // unit tests and by the fuzz target; this is the real program on a real
  // line.)
  const auto stop = After(3000);
  flood.Until([&] { return std::chrono::steady_clock::now() >= stop || !Running(pid); });
  ASSERT_TRUE(Running(pid)) << "the program ended during the flood";
  for (int i = 0; i < 50 && flood.got().size() < flood.owed().bytes().size(); ++i)
    flood.Listen(100);
  flood.Listen(300);
  // About 90 KB here (a 9600-baud line carries 3 KB in 3 s); a build with
  // the sanitizers takes less.
  EXPECT_GT(flood.written(), 15000u) << "the flood was too thin to mean anything";
  EXPECT_GT(flood.owed().telegrams(), 5) << "the noise formed hardly any telegram";
  EXPECT_TRUE(flood.got() == flood.owed().bytes())
      << FirstDifference(flood.got(), flood.owed().bytes()) << " after " << flood.written()
      << " bytes of noise framing " << flood.owed().telegrams() << " telegrams";

  // ESC in the middle of more noise ends it within 2 s, with status 0; what
  // came back up to then is still only what was owed.
  const auto escAt = After(1000);
  flood.Until([&] { return std::chrono::steady_clock::now() >= escAt; });
  t.Key("Escape");
  const auto pressed = std::chrono::steady_clock::now();
  const auto limit = After(5000);
  flood.Until([&] { return !Running(pid) || std::chrono::steady_clock::now() >= limit; });
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - pressed)
                      .count();
  EXPECT_FALSE(Running(pid)) << "ESC did not end the program during the flood";
  EXPECT_LT(ms, 2000) << "ESC took " << ms << " ms to end the program";
  EXPECT_EQ(t.ExitStatus(), 0);
  flood.Listen(200);
  std::printf(
      "noise: %llu bytes, %d telegrams formed by chance, %zu bytes answered; ESC ended it after "
      "%lld ms\n",
      static_cast<unsigned long long>(flood.written()), flood.owed().telegrams(),
      flood.got().size(), static_cast<long long>(ms));
  const Bytes& got = flood.got();
  const Bytes& owed = flood.owed().bytes();
  EXPECT_TRUE(got.size() <= owed.size() && std::equal(got.begin(), got.end(), owed.begin()))
      << FirstDifference(got, owed);

  ExpectRotatedWithWholeLines();
}

TEST_F(EnvironmentFault, QuietLineCostsNoCpu) {
  Terminal t(Monitor(), dir_.path());
  int pid = -1;
  ASSERT_NO_FATAL_FAILURE(ConnectAndFindPid(t, pid));
  ExpectAlive(t, "beforequiet");
  // The controller says nothing: the loop sleeps in its wait until a byte
  // or a key comes. A loop that spins would use a whole core; allow a tenth
  // of one over the time actually waited.
  const long before = CpuTicks(pid);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long used = CpuTicks(pid) - before;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double allowed = seconds * static_cast<double>(sysconf(_SC_CLK_TCK)) / 10;
  EXPECT_LT(static_cast<double>(used), allowed) << "the loop spins on a quiet line";
  std::printf("quiet line: %ld clock ticks of CPU in %.2f s (%ld ticks a second)\n", used, seconds,
              sysconf(_SC_CLK_TCK));
  ASSERT_TRUE(Running(pid));
  ExpectAlive(t, "afterquiet");
  t.Key("Escape");
  EXPECT_EQ(t.ExitStatus(), 0);
}

}  // namespace
