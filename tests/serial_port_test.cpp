// The POSIX serial port against a real pseudo-terminal pair.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

#include "pty_pair.h"
#include "telegram_link.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PortNames, SixComPortsMapToTheFirstSerialDevices) {
  EXPECT_STREQ(ComDevicePath(0), "/dev/ttyS0");
  EXPECT_STREQ(ComDevicePath(5), "/dev/ttyS5");
  EXPECT_EQ(ComDevicePath(6), nullptr);
  EXPECT_EQ(ComDevicePath(-1), nullptr);
  EXPECT_STREQ(ComPortName(2), "COM3");
  EXPECT_EQ(OpenComPort(6, 9600), -1);
  EXPECT_EQ(OpenComPort(-1, 9600), -1);
}

TEST(ComPortOpen, MissingDeviceFailsWithTheSystemsReason) {
  ComPort port;
  EXPECT_EQ(port.Open("/nonexistent/ttyS9", 9600), -1);
  EXPECT_STREQ(port.Error(), "No such file or directory");
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
}

}  // namespace
