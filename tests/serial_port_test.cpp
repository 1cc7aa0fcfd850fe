// The POSIX serial port against a real pseudo-terminal pair.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "port_list.h"
#include "pty_pair.h"
#include "telegram_link.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PortNames, NumbersPastThePortsPresentCannotBeOpened) {
  ComPort port;
  port.ListPorts();
  EXPECT_STREQ(ComPortName(2), "COM3");
  EXPECT_EQ(port.OpenNumber(6, 9600), -1);
  EXPECT_STREQ(port.Error(), "no such serial port");
  EXPECT_EQ(port.OpenNumber(-1, 9600), -1);
}

TEST(ComPortOpen, MissingDeviceFailsWithTheSystemsReason) {
  ComPort port;
  EXPECT_EQ(port.Open("/nonexistent/ttyS9", 9600), -1);
  EXPECT_STREQ(port.Error(), "No such file or directory");
  EXPECT_EQ(port.Open("/dev/null", 9600), -1);  // no terminal: TIOCEXCL's own reason
  EXPECT_STREQ(port.Error(), "Inappropriate ioctl for device");
  EXPECT_FALSE(port.IsOpen());
}

TEST(ComPortOpen, LineIsRaw8N1AndThePortIsExclusive) {
  PtyPair pty;
  ComPort port;
  ASSERT_EQ(port.Open(pty.slave_path().c_str(), 9600), 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
  EXPECT_EQ(cfgetispeed(&tio), B9600);

  ComPort second;  // another opener of the same port, as a second instance would be
  EXPECT_EQ(second.Open(pty.slave_path().c_str(), 9600), -1);
  EXPECT_STREQ(second.Error(), "Device or resource busy");
  port.Close();
  EXPECT_EQ(second.Open(pty.slave_path().c_str(), 9600), 0);  // released by Close
}

// Writes a byte to the line and waits until it has arrived at the port.
void WriteArrived(PtyPair& pty) {
  pty.Write({0x4D});
  pollfd p{pty.slave(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
}

class PortIo : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port_.Open(pty_.slave_path().c_str(), 9600), 0); }
  PtyPair pty_;
  ComPort port_;
};

TEST_F(PortIo, EveryByteValuePassesUnchangedBothWays) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
  pty_.Write(all);
  Bytes got;
  unsigned char b = 0;
  for (int turns = 0; got.size() < all.size() && turns < 1000; ++turns)
    if (port_.Receive(&b, 1) == 1) got.push_back(b);
  EXPECT_EQ(got, all);
  port_.Send(all.data(), 256);
  EXPECT_EQ(pty_.ReadExactly(256, 1000), all);
}

TEST_F(PortIo, IdleReadWaitsTheTimeOutAndAByteEndsTheWaitAtOnce) {
  unsigned char b = 0;
  auto start = Clock::now();
  EXPECT_EQ(port_.Receive(&b, 1), 0);
  EXPECT_GE(MsSince(start), kReadTimeoutMs - 2);
  pty_.Write({0x4D});
  start = Clock::now();
  EXPECT_EQ(port_.Receive(&b, 1), 1);
  EXPECT_EQ(b, 0x4D);
  EXPECT_LT(MsSince(start), kReadTimeoutMs);
}

// The port is lost only where the poll or the read reports a hang-up or an
// error: a read that finds nothing, because another reader of the port took
// the bytes (root passes TIOCEXCL), is no loss.
TEST_F(PortIo, OnlyAHangUpOrAnErrorLosesThePort) {
  const struct {
    const char* what;
    void (*act)(PtyPair&);
    int got;
    bool lost;
  } rows[] = {
      {"a byte waiting", [](PtyPair& p) { WriteArrived(p); }, 1, false},
      {"a quiet line", [](PtyPair&) {}, 0, false},
      {"another reader took the byte",
       [](PtyPair& p) {
         WriteArrived(p);
         unsigned char b = 0;
         ASSERT_EQ(read(p.slave(), &b, 1), 1);
       },
       0, false},
      {"the other end closed", [](PtyPair& p) { p.CloseMaster(); }, 0, true},
  };
  for (const auto& row : rows) {
    row.act(pty_);
    unsigned char b = 0;
    EXPECT_EQ(port_.Receive(&b, 1, 0), row.got) << row.what;
    EXPECT_EQ(port_.Lost(), row.lost) << row.what;
  }
  EXPECT_STREQ(port_.Error(), "device hung up");
}

TEST_F(PortIo, ReadsOfAVanishedDeviceStillWaitOutTheTimeOut) {
  pty_.CloseMaster();  // the device is gone: reads fail at once
  unsigned char b = 0;
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(port_.Receive(&b, 1), 0);
  EXPECT_GE(MsSince(start), 5 * (kReadTimeoutMs - 2));
  port_.Send(&b, 1);  // a write to the dead line neither blocks nor crashes
}

TEST(ComPortClosed, ReadsWaitAndWritesAreIgnored) {
  ComPort port;
  unsigned char b = 0;
  const auto start = Clock::now();
  EXPECT_EQ(port.Receive(&b, 1), 0);
  EXPECT_GE(MsSince(start), kReadTimeoutMs - 2);
  EXPECT_EQ(port.Send(&b, 1), 0);
  EXPECT_EQ(port.WritesNotCompleted(), 1);  // nothing could take it
}

// Whatever an earlier user left on the port (flow control, an odd speed),
// the line is the program's once it opens; the settings are read back.
TEST(ComPortOpen, LeftoverSettingsAreReplaced) {
  const struct {
    tcflag_t cflag;
    tcflag_t iflag;
    speed_t speed;
  } leftovers[] = {{CRTSCTS, 0, B9600},
                   {0, IXON | IXOFF | IXANY, B50},
                   {CRTSCTS | PARENB | CSTOPB, IXON, B230400},
                   {CS7, 0, B115200}};
  for (const auto& left : leftovers) {
    PtyPair pty;
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8 | left.cflag;
    tio.c_iflag |= left.iflag;
    cfsetispeed(&tio, left.speed);
    cfsetospeed(&tio, left.speed);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &tio), 0);
    pty.Write({0x52, 0x61});  // bytes an earlier user left unread are discarded
    usleep(20000);
    ComPort port;
    ASSERT_EQ(port.Open(pty.slave_path().c_str(), 9600), 0) << port.Error();
    ASSERT_EQ(tcgetattr(pty.slave(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    unsigned char b = 0;
    EXPECT_EQ(port.Receive(&b, 1), 0);
  }
}

// Root is never refused: the open is tried as an ordinary user, whose
// reason names the group that may use the device.
TEST(ComPortOpen, PermissionDeniedNamesTheDevicesGroup) {
  PtyPair pty;
  ASSERT_EQ(chmod(pty.slave_path().c_str(), 0660), 0);
  struct stat st {};
  ASSERT_EQ(stat(pty.slave_path().c_str(), &st), 0);
  const group* g = getgrgid(st.st_gid);
  ASSERT_NE(g, nullptr);
  const std::string expected =
      "Permission denied (" + pty.slave_path() + " belongs to group " + g->gr_name + ")";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    ComPort port;
    const bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    const std::string said = !dropped                                         ? "no ordinary user"
                             : port.Open(pty.slave_path().c_str(), 9600) == 0 ? "opened"
                                                                              : port.Error();
    const ssize_t w = write(fds[1], said.data(), said.size());
    _exit(w == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  close(fds[1]);
  char said[600] = "";
  const ssize_t n = read(fds[0], said, sizeof said - 1);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(std::string(said, n > 0 ? static_cast<std::size_t>(n) : 0), expected);
}

TEST_F(PortIo, AWriteTheLineDoesNotTakeIsCounted) {
  EXPECT_EQ(port_.WritesNotCompleted(), 0);
  const unsigned char ack[kAckLength] = {'R', 'A', 1, 0, 0, 0};
  port_.Send(ack, kAckLength);
  EXPECT_EQ(port_.WritesNotCompleted(), 0);
  // Nobody reads the other end: the line stalls, the write is given up.
  Bytes flood(1 << 20, 0x55);
  const auto start = Clock::now();
  port_.Send(flood.data(), static_cast<int>(flood.size()));
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(port_.WritesNotCompleted(), 1);
}

}  // namespace
