// The serial port on Windows: CreateFileA on "COMn", the line in a DCB,
// read time-outs that return a 1-byte read within 20 ms.
#include <windows.h>

#include <cstdio>

#include "telegram_link.h"

namespace {

constexpr const char* kDevices[kComPortCount] = {"COM1", "COM2", "COM3",
                                                 "COM4", "COM5", "COM6"};

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

void SetLine(HANDLE h, int baud) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fInX = FALSE;
  SetCommState(h, &dcb);

  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(h, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
  SetCommTimeouts(h, &timeouts);
}

void KeepError(char* out, std::size_t size, DWORD code) {
  char text[128] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, text, sizeof text, nullptr);
  // FormatMessage ends its text with CR LF: cut it.
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = '\0';
  std::snprintf(out, size, "%s (error %lu)", text, static_cast<unsigned long>(code));
}

}  // namespace

const char* ComDevicePath(int index) {
  return index >= 0 && index < kComPortCount ? kDevices[index] : nullptr;
}

bool ComPort::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE && handle_ != -1; }

int ComPort::Open(const char* device, int baud) {
  Close();
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    KeepError(error_, sizeof error_, GetLastError());
    return -1;
  }
  SetLine(h, baud);
  handle_ = reinterpret_cast<std::intptr_t>(h);
  lost_ = false;
  error_[0] = '\0';
  return 0;
}

void ComPort::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

int ComPort::Send(const unsigned char* buf, int n) {
  DWORD written = 0;
  if (IsOpen()) WriteFile(AsHandle(handle_), buf, static_cast<DWORD>(n), &written, nullptr);
  return 0;
}

int ComPort::Receive(unsigned char* buf, int n) {
  const ULONGLONG start = GetTickCount64();
  DWORD got = 0;
  if (IsOpen() && ReadFile(AsHandle(handle_), buf, static_cast<DWORD>(n), &got, nullptr))
    return static_cast<int>(got);
  // A failed read (the device is gone) still waits out the time-out, so the
  // caller's loop does not spin.
  const ULONGLONG spent = GetTickCount64() - start;
  if (spent < kReadTimeoutMs) Sleep(static_cast<DWORD>(kReadTimeoutMs - spent));
  return 0;
}
