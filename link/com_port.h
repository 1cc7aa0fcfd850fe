// The serial port and its one owner: the ports present, the open port and
// what identifies it, its loss and its retries are the state of one object,
// hCom. The line's platform code is in serial_posix.cpp and
// serial_win32.cpp; which devices are present is port_list's.
//
// These names are the program's established interface (OpenComPort, hCom);
// helpers added since follow the module's own style.
#pragma once

#include <chrono>
#include <cstdint>

#include "port_list.h"
#include "system_error.h"

constexpr int kReadTimeoutMs = 20;

// The open serial port. It keeps the platform's handle (a file descriptor on
// POSIX, a HANDLE on Windows) as an integer, so that nothing above the port
// files needs a platform header. Closed by its destructor.
class ComPort {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kRetryInterval{1};  // after an attempt ends
  static constexpr int kRetriesBeforeList = 10;             // failed in a row

  // What a retry of a lost port did.
  enum class Retry : uint8_t {
    NotDue,     // the port is not lost, or its next retry is not due yet
    Failed,     // nothing opened
    StillAway,  // the tenth failure in a row: the ports present were listed anew
    Opened,     // opened where it was before
    Moved,      // opened under another path, now the port's path
  };

  ComPort() = default;
  ~ComPort() { Close(); }
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // ---- The ports present, and opening one ----

  // Makes the list of ports present anew, from roots (kept for the
  // retries); a port already open or lost keeps what identifies it.
  void ListPorts(const PortRoots& roots = PortRoots{});
  // The lines of the list as last made, each ending in '\n'.
  void PortsText(DeviceTextRenderer render, char* out, std::size_t size) const;
  // Opens port index of the list as last made and keeps a copy of what
  // identifies it. Returns 0, or -1 with "no such serial port" for a number
  // past the ports present.
  int OpenNumber(int index, int baud);
  // Opens a device by path (tests use a pseudo-terminal's path).
  int OpenPath(const char* device, int baud);
  // The open port's line for the log ("COM1 = /dev/ttyUSB0 (...)").
  void OpenedText(DeviceTextRenderer render, char* out, std::size_t size) const;

  // ---- The line (platform code) ----

  // Opens a device by its platform path ("\\.\COMn" or "/dev/tty...")
  // exclusively, as an existing device, and sets the line: baud, 8N1, raw,
  // no flow control, DTR inactive, RTS on, 1-byte reads that wait at most
  // 20 ms (Windows: a read kept pending for the loop's wait); bytes an
  // earlier user left are discarded. A port that does not
  // take these settings is not opened. Returns 0, or -1 with the reason kept
  // for Error().
  int Open(const char* device, int baud);
  void Close();
  bool IsOpen() const;
  // Writes all n bytes (a stalled line gives up after a short wait); 0.
  // A write given up, cut short or failed is counted.
  int Send(const unsigned char* buf, int n);
  // Reads up to n bytes, waiting at most timeoutMs for the first.
  // Returns the count; 0 on time-out or failure (a failure also waits out
  // the time-out, so a caller's loop never spins on a dead port). With 0 it
  // takes only what has arrived, for a caller that waited for the line.
  int Receive(unsigned char* buf, int n, int timeoutMs = kReadTimeoutMs);
  // Bytes already taken from the device that Receive has not handed out.
  int Buffered() const { return aheadCount_; }
  // The platform's handle (POSIX: the file descriptor, for the loop's wait);
  // -1 while closed.
  std::intptr_t Handle() const { return handle_; }
  // What the loop's wait watches for the line: the descriptor (POSIX), or
  // the event of the read kept pending (Windows); -1 while closed or lost.
  std::intptr_t WaitHandle() const { return lost_ ? -1 : (event_ != -1 ? event_ : handle_); }
  // Windows: after a wake that brought no byte the wait leaves the port out
  // until then, so that it cannot spin; earlier on POSIX.
  Clock::time_point LeftOutUntil() const { return leftOutUntil_; }
  // The system's reason for the last failed Open, or for the loss of the
  // device, e.g. "Device or resource busy".
  const char* Error() const { return error_; }
  // Writes given up, cut short or failed since the program started.
  long long WritesNotCompleted() const { return writesNotCompleted_; }
  // Closes the port and keeps reason for Error(): a port that cannot be
  // opened for a reason of the program's own.
  void Refuse(const char* reason);

  // ---- Loss and retries ----

  // True from the moment the device was found gone (a USB adapter pulled:
  // a hang-up or an error that the wait or the read reported) until it is
  // open again; the reason is in Error().
  bool Lost() const { return lost_; }
  // True once for each loss: closes the port and makes the first retry due
  // a second from now.
  bool TakeLoss();
  // Tries the lost port again when its retry is due at now, where
  // RetryPath allows; the next one is due a second after this attempt ends.
  Retry RetryIfDue(int baud, Clock::time_point now = Clock::now());
  Clock::time_point RetryDue() const { return retryDue_; }

 private:
  // Hands out bytes read ahead; 0 when none are left.
  int TakeAhead(unsigned char* buf, int n);
  // Takes an opened and set handle as the port: nothing lost, no error.
  int Adopt(std::intptr_t handle);
  PortRoots Roots() const { return {sysRoot_, devRoot_}; }

  std::intptr_t handle_ = -1;
  bool lost_ = false;
  int abortsInRow_ = 0;  // Windows: aborted reads and writes in a row
  long long writesNotCompleted_ = 0;
  char error_[kSystemErrorTextMax + 64] = "";  // a whole system text, with what the program adds
  // What one read from the device brought beyond the bytes asked for, so
  // that one-byte reads cost no system call while a telegram streams in.
  unsigned char ahead_[256] = {};
  int aheadPos_ = 0;
  int aheadCount_ = 0;

  char sysRoot_[kPortPathSize] = "";  // the roots of the last list
  char devRoot_[kPortPathSize] = "";
  PortList present_{};  // the ports present, as last listed
  PortEntry port_{};    // what identifies the port opened: its own copy
  int number_ = 0;      // its index 0..5
  Clock::time_point retryDue_{};
  int failedRetries_ = 0;  // in a row, since the loss

  // Windows: the overlapped read kept pending and the write under way
  // (serial_win32.cpp's state, in storage that outlives both).
  bool StartRead();
  void Collect();
  void CollectArrived();
  void Refill();
  bool SendChunk(const unsigned char* buf, int n);
  void JudgeFailure(bool isWrite, unsigned long code);
  std::intptr_t event_ = -1;  // the pending read's event; -1 on POSIX
  Clock::time_point leftOutUntil_{};
  alignas(8) unsigned char io_[400] = {};
};

extern ComPort hCom;  // the one port of the program

// Opens port index 0..5 at baud into hCom. Returns 0, or -1 (reason in
// hCom.Error(); "no such serial port" for a number past the ports present
// as last listed).
int OpenComPort(int index, int baud);
// Opens a device by path into hCom (tests use a pseudo-terminal's path).
int OpenComPortPath(const char* device, int baud);
// Writes n bytes to hCom; returns 0 whatever the write did.
int ComSend(const unsigned char* buf, int n);
// Reads up to n bytes from hCom; returns the count (0: nothing in 20 ms).
int ComReceive(unsigned char* buf, int n);
// Reads up to n bytes that have arrived on hCom, without waiting (for a loop
// that has waited for the line itself); a device found gone is Lost() at
// once. Returns the count.
int ComReceiveArrived(unsigned char* buf, int n);
