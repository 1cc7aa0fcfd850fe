// The serial port on Windows: CreateFileA on "\\.\COMn", every setting of
// the line that shapes the data in a DCB, read time-outs that return a
// 1-byte read within 20 ms, write time-outs that give up on a stalled line
// after 200 ms. A port whose settings the driver refuses is no open port.
// Which device a port number reaches is port_list_win32.cpp's.
#include <windows.h>

#include <cstdio>

#include "port_loss.h"
#include "serial_settings_win32.h"
#include "system_error.h"
#include "telegram_link.h"

static_assert(kCodeSemTimeout == ERROR_SEM_TIMEOUT && kCodeTimeout == ERROR_TIMEOUT &&
                  kCodeOperationAborted == ERROR_OPERATION_ABORTED,
              "the loss decision's codes are the system's");

namespace {

constexpr DWORD kWriteStallMs = 200;  // a write the line does not take this long is given up

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Reads return within the read time-out; a write the line does not take
// within kWriteStallMs is given up (flow control left on by another
// program, a cable without handshake lines).
constexpr COMMTIMEOUTS kTimeouts{MAXDWORD, 0, kReadTimeoutMs, 0, kWriteStallMs};

// The line's settings and time-outs; false with the system's code in *code
// when the driver refuses either. Bytes an earlier user left are discarded.
bool SetLine(HANDLE h, DCB dcb, int baud, DWORD* code) {
  COMMPROP props{};
  const DWORD rxQueue = GetCommProperties(h, &props) ? props.dwCurrentRxQueue : 0;
  TakeLine(dcb, baud, rxQueue);
  COMMTIMEOUTS timeouts = kTimeouts;
  if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts)) {
    *code = GetLastError();
    return false;
  }
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

// A line error (a read or write aborted): cleared, and the loop goes on.
// True when ClearCommError reported an error on the line.
bool ClearLineError(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(h, &errors, &stat) && errors != 0;
}

void KeepError(char* out, std::size_t size, DWORD code) { SystemErrorText(code, out, size); }

// Reads what the driver already holds, up to size bytes, at once; when
// nothing waits, one byte within the read time-out (or, unless wait,
// nothing). Asking ReadFile for more
// than has arrived would make it wait out the whole time-out. Returns the
// count, or -1 when a call failed (the system's code in *code); *lineError
// tells whether the driver reported an error on the line.
int ReadWaiting(HANDLE h, unsigned char* out, DWORD size, bool wait, DWORD* code, bool* lineError) {
  COMSTAT stat{};
  DWORD errors = 0;
  if (!ClearCommError(h, &errors, &stat)) {
    *code = GetLastError();
    return -1;
  }
  *lineError = errors != 0;
  if (stat.cbInQue == 0 && !wait) return 0;
  const DWORD want = stat.cbInQue == 0 ? 1 : (stat.cbInQue < size ? stat.cbInQue : size);
  DWORD got = 0;
  if (!ReadFile(h, out, want, &got, nullptr)) {
    *code = GetLastError();
    return -1;
  }
  return static_cast<int>(got);
}

}  // namespace

void TakeLine(DCB& dcb, int baud, DWORD rxQueue) {
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
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  // Interfaces powered from the port lines need RTS, whatever it was left as.
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // SetCommState fails when XonChar equals XoffChar, even with XON/XOFF
  // off ("SetCommState function", Remarks, Microsoft Learn:
  // https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-setcommstate);
  // the limits must fit the driver's receive queue.
  const DWORD queue = rxQueue != 0 ? rxQueue : kDefaultRxQueue;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = static_cast<WORD>(queue / 4 > 0xFFFF ? 0xFFFF : queue / 4);
  dcb.XoffLim = dcb.XonLim;
}

bool ComPort::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE && handle_ != -1; }

int ComPort::Open(const char* device, int baud) {
  Close();
  HANDLE h =
      CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A COM port is opened exclusively, and CreateFile fails while another
    // process uses it ("Communications Resource Handles", Microsoft Learn:
    // https://learn.microsoft.com/en-us/windows/win32/devio/communications-resource-handles);
    // the code is then ERROR_ACCESS_DENIED. Wine does not refuse a second
    // opener, so this is not shown under Wine.
    char text[sizeof error_ - 32];
    KeepError(text, sizeof text, code);
    std::snprintf(error_, sizeof error_, "%s%s",
                  code == ERROR_ACCESS_DENIED ? "in use by another program: " : "", text);
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
  return Adopt(reinterpret_cast<std::intptr_t>(h));
}

void ComPort::Close() {
  aheadCount_ = 0;
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

int ComPort::Send(const unsigned char* buf, int n) {
  if (n <= 0) return 0;
  DWORD written = 0;
  if (!IsOpen() || lost_) {
    ++writesNotCompleted_;
    return 0;
  }
  HANDLE h = AsHandle(handle_);
  if (WriteFile(h, buf, static_cast<DWORD>(n), &written, nullptr)) {
    abortsInRow_ = 0;
    if (written < static_cast<DWORD>(n)) ++writesNotCompleted_;  // the write time-out
    return 0;
  }
  ++writesNotCompleted_;
  const DWORD code = GetLastError();
  if (JudgePortFailure(abortsInRow_, true, code) == PortFailure::Lost) {
    lost_ = true;
    KeepError(error_, sizeof error_, code);
  } else if (code == ERROR_OPERATION_ABORTED && ClearLineError(h)) {
    abortsInRow_ = 0;
  }
  return 0;
}

int ComPort::Receive(unsigned char* buf, int n, int timeoutMs) {
  if (aheadCount_ > 0) return TakeAhead(buf, n);
  const ULONGLONG start = GetTickCount64();
  if (IsOpen() && !lost_) {
    DWORD code = 0;
    bool lineError = false;
    const int got =
        ReadWaiting(AsHandle(handle_), ahead_, sizeof ahead_, timeoutMs > 0, &code, &lineError);
    aheadPos_ = 0;
    aheadCount_ = got > 0 ? got : 0;
    if (got >= 0 || lineError) abortsInRow_ = 0;
    if (got >= 0) return TakeAhead(buf, n);
    // A line error is cleared and the loop goes on; aborts in a row with no
    // line error between them, or any other failure, mean the device has gone.
    if (JudgePortFailure(abortsInRow_, false, code) == PortFailure::Lost) {
      lost_ = true;
      KeepError(error_, sizeof error_, code);
    } else if (ClearLineError(AsHandle(handle_))) {
      abortsInRow_ = 0;
    }
  }
  // A failed read (the device is gone, or no port) still waits out the
  // time-out, so the caller's loop does not spin.
  const ULONGLONG spent = GetTickCount64() - start;
  if (spent < static_cast<ULONGLONG>(timeoutMs)) Sleep(static_cast<DWORD>(timeoutMs - spent));
  return 0;
}
