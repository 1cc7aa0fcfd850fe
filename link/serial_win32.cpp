// The serial port on Windows: CreateFileA on "COMn", every setting of the
// line that shapes the data in a DCB, read time-outs that return a 1-byte
// read within 20 ms, write time-outs that give up on a stalled line after
// 200 ms. A port whose settings the driver refuses is no open port.
#include <windows.h>

#include <cstdio>

#include "system_error.h"
#include "telegram_link.h"

namespace {

constexpr const char* kDevices[kComPortCount] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

constexpr DWORD kWriteStallMs = 200;  // a write the line does not take this long is given up

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// The line is the program's own, whatever its previous user left: 8N1 at
// the caller's baud, binary, no parity check, no flow control either way
// (an XOFF byte inside a telegram, a clock at second 13, would otherwise be
// swallowed by the driver), no DSR gating, no dropped zero bytes, no error
// character, and a line error that does not stop later reads. DTR stays
// inactive; RTS is held on where it was left as handshake or toggle.
void TakeLine(DCB& dcb, int baud) {
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

// Reads return within the read time-out; a write the line does not take
// within kWriteStallMs is given up (flow control left on by another
// program, a cable without handshake lines).
constexpr COMMTIMEOUTS kTimeouts{MAXDWORD, 0, kReadTimeoutMs, 0, kWriteStallMs};

// The line's settings and time-outs; false with the system's code in *code
// when the driver refuses either.
bool SetLine(HANDLE h, DCB dcb, int baud, DWORD* code) {
  TakeLine(dcb, baud);
  COMMTIMEOUTS timeouts = kTimeouts;
  if (SetCommState(h, &dcb) && SetCommTimeouts(h, &timeouts)) return true;
  *code = GetLastError();
  return false;
}

// A line error (a read or write aborted): cleared, and the loop goes on.
void ClearLineError(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  ClearCommError(h, &errors, &stat);
}

void KeepError(char* out, std::size_t size, DWORD code) { SystemErrorText(code, out, size); }

// Reads what the driver already holds, up to size bytes, at once; when
// nothing waits, one byte within the read time-out. Asking ReadFile for more
// than has arrived would make it wait out the whole time-out. Returns the
// count, or -1 when the device is gone (the system's code in *code).
int ReadWaiting(HANDLE h, unsigned char* out, DWORD size, DWORD* code) {
  COMSTAT stat{};
  DWORD errors = 0;
  if (!ClearCommError(h, &errors, &stat)) {
    *code = GetLastError();
    return -1;
  }
  const DWORD want = stat.cbInQue == 0 ? 1 : (stat.cbInQue < size ? stat.cbInQue : size);
  DWORD got = 0;
  if (!ReadFile(h, out, want, &got, nullptr)) {
    *code = GetLastError();
    return -1;
  }
  return static_cast<int>(got);
}

}  // namespace

const char* ComDevicePath(int index) {
  return index >= 0 && index < kComPortCount ? kDevices[index] : nullptr;
}

bool ComPort::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE && handle_ != -1; }

int ComPort::Open(const char* device, int baud) {
  Close();
  HANDLE h =
      CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    KeepError(error_, sizeof error_, GetLastError());
    return -1;
  }
  // A handle whose line cannot be read is no port: Wine hands one out for a
  // configured port whose device has gone.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    KeepError(error_, sizeof error_, GetLastError());
    CloseHandle(h);
    return -1;
  }
  DWORD code = 0;
  if (!SetLine(h, dcb, baud, &code)) {
    KeepError(error_, sizeof error_, code);
    CloseHandle(h);
    return -1;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  lost_ = false;
  error_[0] = '\0';
  return 0;
}

void ComPort::Close() {
  aheadCount_ = 0;
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

int ComPort::Send(const unsigned char* buf, int n) {
  DWORD written = 0;
  if (IsOpen() && !WriteFile(AsHandle(handle_), buf, static_cast<DWORD>(n), &written, nullptr) &&
      GetLastError() == ERROR_OPERATION_ABORTED)
    ClearLineError(AsHandle(handle_));
  return 0;
}

int ComPort::Receive(unsigned char* buf, int n) {
  if (aheadCount_ > 0) return TakeAhead(buf, n);
  const ULONGLONG start = GetTickCount64();
  if (IsOpen() && !lost_) {
    DWORD code = 0;
    const int got = ReadWaiting(AsHandle(handle_), ahead_, sizeof ahead_, &code);
    aheadPos_ = 0;
    aheadCount_ = got > 0 ? got : 0;
    if (got >= 0) return TakeAhead(buf, n);
    if (code == ERROR_OPERATION_ABORTED) {
      ClearLineError(AsHandle(handle_));
    } else {
      lost_ = true;
      KeepError(error_, sizeof error_, code);
    }
  }
  // A failed read (the device is gone, or no port) still waits out the
  // time-out, so the caller's loop does not spin.
  const ULONGLONG spent = GetTickCount64() - start;
  if (spent < kReadTimeoutMs) Sleep(static_cast<DWORD>(kReadTimeoutMs - spent));
  return 0;
}
