// The serial port's owner: the ports present, opening one by number, and
// the retries of a lost port. The same on every platform; the line itself
// is the platform's (serial_posix.cpp, serial_win32.cpp).
#include "com_port.h"

#include <cstdio>
#include <cstring>

ComPort hCom;

int ComPort::TakeAhead(unsigned char* buf, int n) {
  const int k = n < aheadCount_ ? n : aheadCount_;
  if (k <= 0) return 0;
  std::memcpy(buf, ahead_ + aheadPos_, static_cast<std::size_t>(k));
  aheadPos_ += k;
  aheadCount_ -= k;
  return k;
}

void ComPort::Refuse(const char* reason) {
  Close();
  std::snprintf(error_, sizeof error_, "%s", reason);
}

int ComPort::Adopt(std::intptr_t handle) {
  handle_ = handle;
  lost_ = false;
  abortsInRow_ = 0;
  failedRetries_ = 0;
  error_[0] = '\0';
  return 0;
}

void ComPort::ListPorts(const PortRoots& roots) {
  if (roots.sys != sysRoot_) std::snprintf(sysRoot_, sizeof sysRoot_, "%s", roots.sys);
  if (roots.dev != devRoot_) std::snprintf(devRoot_, sizeof devRoot_, "%s", roots.dev);
  ListSerialPorts(Roots(), present_);
}

void ComPort::PortsText(DeviceTextRenderer render, char* out, std::size_t size) const {
  PortListText(present_, render, out, size);
}

int ComPort::OpenNumber(int index, int baud) {
  const char* device = ComDevicePath(present_, index);
  if (!device) {
    Refuse("no such serial port");
    return -1;
  }
  if (Open(device, baud) != 0) return -1;
  port_ = present_.entries[index];
  number_ = index;
  return 0;
}

int ComPort::OpenPath(const char* device, int baud) {
  if (Open(device, baud) != 0) return -1;
  port_ = PortEntry{};
  std::snprintf(port_.path, sizeof port_.path, "%s", device);
  return 0;
}

void ComPort::OpenedText(DeviceTextRenderer render, char* out, std::size_t size) const {
  PortLineText(number_, port_, render, out, size);
}

bool ComPort::TakeLoss() {
  if (!lost_ || !IsOpen()) return false;
  Close();
  failedRetries_ = 0;
  retryDue_ = Clock::now() + kRetryInterval;
  return true;
}

ComPort::Retry ComPort::RetryIfDue(int baud, Clock::time_point now) {
  if (!lost_ || IsOpen() || now < retryDue_) return Retry::NotDue;
  char path[kPortPathSize];
  Retry result = Retry::Failed;
  if (RetryPath(port_, Roots(), path) && Open(path, baud) == 0) {
    // The path changes only once the new one has opened: udev gives a new
    // node its group and mode after the kernel makes it (udev(7)).
    result = std::strcmp(path, port_.path) != 0 ? Retry::Moved : Retry::Opened;
    std::snprintf(port_.path, sizeof port_.path, "%s", path);
  } else if (++failedRetries_ == kRetriesBeforeList) {
    ListPorts(Roots());
    result = Retry::StillAway;
  }
  // Counted from the attempt's end, so that an open that takes seconds is
  // not tried again at once.
  retryDue_ = Clock::now() + kRetryInterval;
  return result;
}

int OpenComPort(int index, int baud) { return hCom.OpenNumber(index, baud); }

int OpenComPortPath(const char* device, int baud) { return hCom.OpenPath(device, baud); }

int ComSend(const unsigned char* buf, int n) {
  hCom.Send(buf, n);
  return 0;
}

int ComReceive(unsigned char* buf, int n) { return hCom.Receive(buf, n); }

int ComReceiveArrived(unsigned char* buf, int n) { return hCom.Receive(buf, n, 0); }
