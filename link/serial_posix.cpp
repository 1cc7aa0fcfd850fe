// The serial port on POSIX: termios, TIOCEXCL and flock for exclusive use,
// poll for the 20 ms read time-out. Which device a port number reaches is
// port_list_posix.cpp's.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "telegram_link.h"

namespace {

constexpr int kWriteStallMs = 200;  // a line that takes no byte this long is given up

struct BaudRate {
  int baud;
  speed_t speed;
};
constexpr BaudRate kBaudRates[] = {{1200, B1200},   {2400, B2400},    {4800, B4800},
                                   {9600, B9600},   {19200, B19200},  {38400, B38400},
                                   {57600, B57600}, {115200, B115200}};

speed_t SpeedOf(int baud) {
  for (const BaudRate& b : kBaudRates)
    if (b.baud == baud) return b.speed;
  return B9600;
}

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(long long ms) {
  if (ms > 0) poll(nullptr, 0, static_cast<int>(ms));
}

// Raw 8N1 at the given speed: no echo, no canonical input, no CR/LF
// translation, no signal characters, no flow control either way, reads
// never block.
void MakeRaw(termios& tio, speed_t speed) {
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
}

// Whether the settings read back are the line asked for: a driver may
// accept tcsetattr and keep some of its own.
bool HoldsLine(const termios& tio, speed_t speed) {
  return (tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8 &&
         (tio.c_iflag & (IXON | IXOFF)) == 0 && cfgetispeed(&tio) == speed &&
         cfgetospeed(&tio) == speed;
}

// Sets the line and reads it back; false when the port does not hold it.
// Then DTR inactive and RTS on (a pseudo-terminal has neither: those calls
// fail there and are ignored), and what an earlier user left is discarded.
bool SetLine(int fd, int baud) {
  const speed_t speed = SpeedOf(baud);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  MakeRaw(tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  termios held{};
  if (tcgetattr(fd, &held) != 0 || !HoldsLine(held, speed)) return false;
  int dtr = TIOCM_DTR;
  ioctl(fd, TIOCMBIC, &dtr);
  int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &rts);
  tcflush(fd, TCIOFLUSH);
  return true;
}

// Asks the driver to hand each received byte on at once rather than after
// its latency timer (16 ms on FTDI adapters), the other fields written back
// as read. Where the driver refuses (a pseudo-terminal, a driver without it,
// CDC-ACM for a user without privileges) the port works as before; it is not
// undone on close.
// Linux drivers/usb/serial/ftdi_sio.c, write_latency_timer(): ASYNC_LOW_LATENCY sets 1 ms.
void AskLowLatency(int fd) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &ss);
}

// Takes the port for this program alone: TIOCEXCL stops further opens
// (except root's), flock stops another instance of this program, root or
// not. A port in use (EBUSY, or EWOULDBLOCK from flock, which is what root
// meets) is "Device or resource busy"; any other failure gives its own
// reason. 0, or the error code.
int TakeAlone(int fd) {
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  return errno == EWOULDBLOCK ? EBUSY : errno;
}

// The system's reason for a failed open; for a refused permission, also
// the group the device belongs to (the user may need to join it).
void OpenError(const char* device, int code, char* out, std::size_t size) {
  struct stat st {};
  if (code != EACCES || stat(device, &st) != 0) {
    std::snprintf(out, size, "%s", std::strerror(code));
    return;
  }
  char buf[1024];
  group entry{};
  group* found = nullptr;
  char number[24];
  const char* name = number;
  std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(st.st_gid));
  if (getgrgid_r(st.st_gid, &entry, buf, sizeof buf, &found) == 0 && found) name = found->gr_name;
  std::snprintf(out, size, "%s (%s belongs to group %s)", std::strerror(code), device, name);
}

// Reads what has arrived: the count, 0 for nothing, -1 for a failure
// (errno says which).
int ReadArrived(int fd, unsigned char* out, std::size_t size) {
  for (;;) {
    const ssize_t r = read(fd, out, size);
    if (r >= 0) return static_cast<int>(r);
    if (errno != EINTR) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

// Whether the line reports a hang-up (a USB adapter pulled, a pseudo-
// terminal's other end closed).
bool HungUp(int fd) {
  pollfd p{fd, 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

}  // namespace

bool ComPort::IsOpen() const { return handle_ >= 0; }

int ComPort::Open(const char* device, int baud) {
  Close();
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    OpenError(device, errno, error_, sizeof error_);
    return -1;
  }
  if (const int code = TakeAlone(fd); code != 0) {
    std::snprintf(error_, sizeof error_, "%s", std::strerror(code));
    close(fd);
    return -1;
  }
  if (!SetLine(fd, baud)) {
    std::snprintf(error_, sizeof error_, "the port does not take %d baud 8N1", baud);
    close(fd);
    return -1;
  }
  AskLowLatency(fd);
  return Adopt(fd);
}

void ComPort::Close() {
  aheadCount_ = 0;
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));
  handle_ = -1;
}

int ComPort::Send(const unsigned char* buf, int n) {
  const int fd = static_cast<int>(handle_);
  while (fd >= 0 && n > 0) {
    const ssize_t w = write(fd, buf, static_cast<size_t>(n));
    if (w > 0) {
      buf += w;
      n -= static_cast<int>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) break;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, kWriteStallMs) <= 0) break;
  }
  // Given up, cut short or failed (a lost device is noticed by the read).
  if (n > 0) ++writesNotCompleted_;
  return 0;
}

int ComPort::Receive(unsigned char* buf, int n, int timeoutMs) {
  if (aheadCount_ > 0) return TakeAhead(buf, n);
  const long long start = NowMs();
  const int fd = static_cast<int>(handle_);
  if (fd >= 0 && !lost_) {
    // Bytes that have arrived are taken at once (the port never blocks), so
    // a busy line costs one call per read; only an empty read costs a poll.
    aheadPos_ = 0;
    int got = ReadArrived(fd, ahead_, sizeof ahead_);
    pollfd p{fd, POLLIN, 0};
    if (got == 0 && poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN))
      got = ReadArrived(fd, ahead_, sizeof ahead_);
    aheadCount_ = got > 0 ? got : 0;
    if (got > 0) return TakeAhead(buf, n);
    // Gone only where the poll or the read says so: a read that finds
    // nothing (another reader took the bytes) is no loss.
    const int code = errno;
    if (got < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      lost_ = true;
      std::snprintf(error_, sizeof error_, "%s",
                    HungUp(fd) ? "device hung up" : std::strerror(got < 0 ? code : EIO));
    }
  }
  // A failed read (the device is gone, or no port) still waits out the
  // time-out, so the caller's loop does not spin.
  SleepMs(timeoutMs - (NowMs() - start));
  return 0;
}
