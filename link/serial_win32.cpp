// The serial port on Windows: CreateFileA on "\\.\COMn" with
// FILE_FLAG_OVERLAPPED, every setting of the line that shapes the data in a
// DCB, no read or write time-outs: a 1-byte read is kept pending while the
// port is open, and its event is what the loop's one wait watches; a write
// is waited for up to 250 ms and then cancelled. Each operation has its own
// OVERLAPPED and manual-reset event. A port whose settings the driver
// refuses is no open port. Which device a port number reaches is
// port_list_win32.cpp's. docs/WINDOWS.md says what Wine does not show.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "com_port.h"
#include "port_loss.h"
#include "serial_settings_win32.h"
#include "system_error.h"

static_assert(kCodeSemTimeout == ERROR_SEM_TIMEOUT && kCodeTimeout == ERROR_TIMEOUT &&
                  kCodeOperationAborted == ERROR_OPERATION_ABORTED &&
                  kCodeIoIncomplete == ERROR_IO_INCOMPLETE && kCodeIoPending == ERROR_IO_PENDING,
              "the loss decision's codes are the system's");

namespace {

constexpr DWORD kWriteWaitMs = 250;   // a write the line does not take this long is cancelled
constexpr DWORD kCancelWaitMs = 500;  // how long a cancel is waited for
constexpr DWORD kWriteChunk = 256;

// The overlapped operations' state, kept in the port's own storage: the
// system writes to an OVERLAPPED and to the buffers until the operation
// has ended, whatever the caller does meanwhile.
struct Io {
  OVERLAPPED read;
  OVERLAPPED write;
  bool readPending;
  unsigned char readByte;
  unsigned char writeBuf[kWriteChunk];
};

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

template <std::size_t N>
Io& IoIn(unsigned char (&storage)[N]) {
  static_assert(sizeof(Io) <= N && alignof(Io) <= 8, "the port's storage holds its I/O state");
  return *reinterpret_cast<Io*>(storage);
}

// No read time-outs (a read waits for its byte; "COMMTIMEOUTS structure"),
// no write time-outs: the write's wait and cancel bound it.
constexpr COMMTIMEOUTS kTimeouts{0, 0, 0, 0, 0};

// True when ClearCommError reported an error on the line (and cleared it).
bool ClearLineError(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(h, &errors, &stat) && errors != 0;
}

// One setting call, tried again after ClearCommError while the driver
// aborts it (an error left on the line stops every call until cleared).
template <class Call>
bool Try(HANDLE h, DWORD* code, Call call) {
  for (int tryNumber = 1;; ++tryNumber) {
    if (call()) return true;
    *code = GetLastError();
    if (!RetrySetting(tryNumber, *code)) return false;
    ClearLineError(h);
  }
}

// The line's settings and time-outs; false with the system's code in *code
// when the driver refuses one. Bytes an earlier user left are discarded.
bool SetLine(HANDLE h, int baud, DWORD* code) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // A handle whose line cannot be read is no port: Wine hands one out for
  // a configured port whose device has gone.
  if (!Try(h, code, [&] { return GetCommState(h, &dcb) != 0; })) return false;
  COMMPROP props{};
  TakeLine(dcb, baud, GetCommProperties(h, &props) ? props.dwCurrentRxQueue : 0);
  COMMTIMEOUTS timeouts = kTimeouts;
  COMMTIMEOUTS taken{};
  if (!Try(h, code, [&] { return SetCommState(h, &dcb) != 0; }) ||
      !Try(h, code, [&] { return SetCommTimeouts(h, &timeouts) != 0; }) ||
      !Try(h, code, [&] { return GetCommTimeouts(h, &taken) != 0; }))
    return false;
  // A purge the driver does not do costs at most a rejected header; only a
  // line that stays aborted makes the port one that cannot be opened.
  return Try(h, code, [&] { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR) != 0; }) ||
         *code != ERROR_OPERATION_ABORTED;
}

void KeepError(char* out, std::size_t size, DWORD code) { SystemErrorText(code, out, size); }

// Cancels an operation of the program's own and waits, within a bound, for
// it to end.
void CancelAndWait(HANDLE h, OVERLAPPED& ov) {
  CancelIoEx(h, &ov);
  WaitForSingleObject(ov.hEvent, kCancelWaitMs);
}

// What an operation came to, without waiting; *bytes and *code filled in.
Completion Look(HANDLE h, OVERLAPPED& ov, bool ownCancel, DWORD* bytes, DWORD* code) {
  *bytes = 0;
  const bool done = GetOverlappedResult(h, &ov, bytes, FALSE) != 0;
  *code = done ? 0 : GetLastError();
  return JudgeCompletion(done, *code, *bytes, ownCancel);
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
  // XonChar must differ from XoffChar even with XON/XOFF off ("SetCommState
  // function"); the limits must fit the driver's receive queue.
  const DWORD queue = rxQueue != 0 ? rxQueue : kDefaultRxQueue;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = static_cast<WORD>(queue / 4 > 0xFFFF ? 0xFFFF : queue / 4);
  dcb.XoffLim = dcb.XonLim;
}

bool ComPort::IsOpen() const { return handle_ != -1; }

int ComPort::Open(const char* device, int baud) {
  Close();
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Another process has the port ("Communications Resource Handles").
    char text[sizeof error_ - 32];
    KeepError(text, sizeof text, code);
    std::snprintf(error_, sizeof error_, "%s%s",
                  code == ERROR_ACCESS_DENIED ? "in use by another program: " : "", text);
    return -1;
  }
  ClearLineError(h);  // an error an earlier user left aborts every call until cleared
  Io& io = IoIn(io_);
  io = Io{};
  io.read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  io.write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD code = 0;
  if (!io.read.hEvent || !io.write.hEvent) code = GetLastError();
  if (code != 0 || !SetLine(h, baud, &code)) {
    KeepError(error_, sizeof error_, code);
    if (io.read.hEvent) CloseHandle(io.read.hEvent);
    if (io.write.hEvent) CloseHandle(io.write.hEvent);
    CloseHandle(h);
    return -1;
  }
  Adopt(reinterpret_cast<std::intptr_t>(h));
  event_ = reinterpret_cast<std::intptr_t>(io.read.hEvent);
  leftOutUntil_ = {};
  StartRead();
  return 0;
}

void ComPort::Close() {
  aheadCount_ = 0;
  if (!IsOpen()) return;
  HANDLE h = AsHandle(handle_);
  Io& io = IoIn(io_);
  if (io.readPending) CancelAndWait(h, io.read);
  io.readPending = false;
  CloseHandle(h);
  CloseHandle(io.read.hEvent);
  CloseHandle(io.write.hEvent);
  handle_ = -1;
  event_ = -1;
}

// A failure of a read or write: a line error is cleared and the loop goes
// on; aborts in a row with no line error between them, or any other
// failure, mean the device has gone.
void ComPort::JudgeFailure(bool isWrite, unsigned long code) {
  if (JudgePortFailure(abortsInRow_, isWrite, code) == PortFailure::Lost) {
    lost_ = true;
    KeepError(error_, sizeof error_, code);
  } else if (code == ERROR_OPERATION_ABORTED && ClearLineError(AsHandle(handle_))) {
    abortsInRow_ = 0;
  }
}

// Starts the 1-byte read that the loop's wait watches. False when it failed.
bool ComPort::StartRead() {
  Io& io = IoIn(io_);
  if (io.readPending) return true;
  // Done at once or pending, the event tells; Collect takes the byte.
  if (ReadFile(AsHandle(handle_), &io.readByte, 1, nullptr, &io.read) ||
      GetLastError() == ERROR_IO_PENDING) {
    io.readPending = true;
    return true;
  }
  JudgeFailure(false, GetLastError());
  leftOutUntil_ = Clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
  return false;
}

// Takes what the pending read brought into the bytes read ahead. A read
// still under way asks ClearCommError whether the device is still there
// (a pulled adapter fails it); one that ended with no byte, or failed,
// leaves the port out of the loop's wait for 20 ms, so that it cannot spin.
void ComPort::Collect() {
  HANDLE h = AsHandle(handle_);
  Io& io = IoIn(io_);
  DWORD got = 0;
  DWORD code = 0;
  const Completion seen = Look(h, io.read, false, &got, &code);
  if (seen != Completion::Pending) io.readPending = false;
  switch (seen) {
    case Completion::Pending: {
      DWORD errors = 0;
      COMSTAT stat{};
      if (!ClearCommError(h, &errors, &stat)) JudgeFailure(false, GetLastError());
      return;
    }
    case Completion::Bytes:
      abortsInRow_ = 0;
      ahead_[0] = io.readByte;
      aheadPos_ = 0;
      aheadCount_ = 1;
      CollectArrived();
      return;
    case Completion::Failed:
      JudgeFailure(false, code);
      [[fallthrough]];
    case Completion::Empty:
    case Completion::OwnCancel:
      leftOutUntil_ = Clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
      return;
  }
}

// The bytes the driver holds, behind those read ahead, in one read that
// asks for no more than that, so that it ends at once.
void ComPort::CollectArrived() {
  HANDLE h = AsHandle(handle_);
  Io& io = IoIn(io_);
  DWORD errors = 0;
  COMSTAT stat{};
  const int end = aheadPos_ + aheadCount_;
  if (!ClearCommError(h, &errors, &stat) || stat.cbInQue == 0) return;
  const auto room = static_cast<DWORD>(static_cast<int>(sizeof ahead_) - end);
  const DWORD want = stat.cbInQue < room ? stat.cbInQue : room;
  bool ended = ReadFile(h, ahead_ + end, want, nullptr, &io.read) != 0;
  if (!ended && GetLastError() != ERROR_IO_PENDING) {
    JudgeFailure(false, GetLastError());
    return;
  }
  if (!ended) ended = WaitForSingleObject(io.read.hEvent, kReadTimeoutMs) == WAIT_OBJECT_0;
  if (!ended) CancelAndWait(h, io.read);
  DWORD got = 0;
  DWORD code = 0;
  if (Look(h, io.read, !ended, &got, &code) == Completion::Bytes)
    aheadCount_ += static_cast<int>(got);
}

// Once the bytes read ahead are handed out: what the driver already holds,
// so that a streaming telegram needs no wait, or else the next byte's
// pending read, for the loop's wait.
void ComPort::Refill() {
  if (aheadCount_ > 0 || !IsOpen() || lost_ || IoIn(io_).readPending) return;
  aheadPos_ = 0;
  CollectArrived();
  if (aheadCount_ == 0 && !lost_) StartRead();
}

int ComPort::Receive(unsigned char* buf, int n, int timeoutMs) {
  if (aheadCount_ > 0) {
    const int got = TakeAhead(buf, n);
    Refill();
    return got;
  }
  const auto start = Clock::now();
  if (IsOpen() && !lost_ && StartRead()) {
    if (timeoutMs > 0) WaitForSingleObject(IoIn(io_).read.hEvent, static_cast<DWORD>(timeoutMs));
    Collect();
    const int got = TakeAhead(buf, n);
    Refill();
    if (got > 0 || timeoutMs <= 0) return got;
  }
  // A failed read (the device is gone, or no port) still waits out the
  // time-out, so that a caller's loop does not spin.
  const auto left = std::chrono::milliseconds(timeoutMs) - (Clock::now() - start);
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
  return 0;
}

// Writes through the port's own buffer and waits for the write; one the
// line has not taken within 250 ms is cancelled. True when all n went out.
bool ComPort::SendChunk(const unsigned char* buf, int n) {
  HANDLE h = AsHandle(handle_);
  Io& io = IoIn(io_);
  std::memcpy(io.writeBuf, buf, static_cast<std::size_t>(n));
  bool cancelled = false;
  if (!WriteFile(h, io.writeBuf, static_cast<DWORD>(n), nullptr, &io.write)) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
      JudgeFailure(true, code);
      return false;
    }
    cancelled = WaitForSingleObject(io.write.hEvent, kWriteWaitMs) != WAIT_OBJECT_0;
    if (cancelled) CancelAndWait(h, io.write);
  }
  DWORD written = 0;
  DWORD code = 0;
  const Completion seen = Look(h, io.write, cancelled, &written, &code);
  if (seen == Completion::Failed) JudgeFailure(true, code);
  if (seen == Completion::Bytes) abortsInRow_ = 0;
  return seen == Completion::Bytes && written == static_cast<DWORD>(n);
}

int ComPort::Send(const unsigned char* buf, int n) {
  for (int sent = 0; sent < n;) {
    const int k =
        n - sent < static_cast<int>(kWriteChunk) ? n - sent : static_cast<int>(kWriteChunk);
    if (!IsOpen() || lost_ || !SendChunk(buf + sent, k)) {
      ++writesNotCompleted_;  // the write time-out, a write cut short or failed
      return 0;
    }
    sent += k;
  }
  return 0;
}
