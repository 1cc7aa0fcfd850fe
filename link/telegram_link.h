// Telegram link: the serial port, the telegram layout and its checksum,
// packed-BCD clock fields, the telegrams the PC sends, and trace lines.
//
// Telegram: start byte, command byte, length byte n, n data bytes, and a
// 16-bit big-endian checksum (sum of all bytes before it): n + 5 bytes.
// Conventions: 0 for success and -1 for failure, a count, or 1/0 for a test.
//
// These names are the program's established interface and keep their mixed
// styles (OpenComPort, Send_Msg, checkCheckSum, sendAcq); helpers added since
// follow the module's own style.
#pragma once

#include <cstdint>

#include "system_error.h"

// ---- Serial port (platform code: serial_posix.cpp, serial_win32.cpp) ----

constexpr int kComPortCount = 6;  // "COM1" .. "COM6"
constexpr int kReadTimeoutMs = 20;

// The open serial port. It keeps the platform's handle (a file descriptor on
// POSIX, a HANDLE on Windows) as an integer, so that nothing above the port
// files needs a platform header. Closed by its destructor.
class ComPort {
 public:
  ComPort() = default;
  ~ComPort() { Close(); }
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // Opens a device by its platform path ("\\.\COMn" or "/dev/tty...")
  // exclusively, as an existing device, and sets the line: baud, 8N1, raw,
  // no flow control, DTR inactive, RTS on, 1-byte reads that wait at most
  // 20 ms; bytes an earlier user left are discarded. A port that does not
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
  // The system's reason for the last failed Open, or for the loss of the
  // device, e.g. "Device or resource busy".
  const char* Error() const { return error_; }
  // True once a read found the device gone (a USB adapter pulled: hang-up or
  // an I/O error); the reason is in Error(). Open clears it.
  bool Lost() const { return lost_; }
  // Writes given up, cut short or failed since the program started.
  long long WritesNotCompleted() const { return writesNotCompleted_; }
  // Closes the port and keeps reason for Error(): a port that cannot be
  // opened for a reason of the program's own.
  void Refuse(const char* reason);

 private:
  // Hands out bytes read ahead; 0 when none are left.
  int TakeAhead(unsigned char* buf, int n);
  // Takes an opened and set handle as the port: nothing lost, no error.
  int Adopt(std::intptr_t handle);

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
};

extern ComPort hCom;  // the one port of the program

// The platform device behind port index 0..5 ("COM1".."COM6"); nullptr for
// an index out of range or past the ports present (see port_list.h).
const char* ComDevicePath(int index);
// The user's name of port index 0..5: "COM1".."COM6"; "COM?" out of range.
const char* ComPortName(int index);

// Opens port index 0..5 at baud into hCom. Returns 0, or -1 (reason in
// hCom.Error(); "no such serial port" for a number past the ports present).
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

// ---- Telegrams ----

constexpr int kTelegramOverhead = 5;  // start, command, length, checksum x2
constexpr int kAckLength = 6;

// What the PC's receiver takes. It frames the line by 3-byte headers: a
// length byte above kMaxDataLength, or a start byte other than these two,
// drops the header's 3 bytes.
constexpr int kMaxDataLength = 0x7F;  // the largest length byte
constexpr int kMaxTelegramLength = kMaxDataLength + kTelegramOverhead;
// 'M': a data telegram of n + 5 bytes, acknowledged (positively when its
// checksum holds). 'R': the PC's own requests and the controller's replies to
// them; the PC takes a reply as a frame of kShortFrameLength bytes, whatever
// its length byte says, and does not answer it.
constexpr unsigned char kDataStart = 'M';
constexpr unsigned char kRequestStart = 'R';
constexpr int kShortFrameLength = 6;

extern int16_t glsUserID;  // requester identity sent in every request

// Writes the 16-bit sum of data[0..len-1] to out[0] (high), out[1] (low).
void CreateCheckSum(const unsigned char* data, int len, unsigned char* out);
// 1 when the last two of len bytes hold the checksum of those before, else 0
// (also 0 for len below 2).
int checkCheckSum(const unsigned char* data, int len);
// Packed BCD to a number: 0x59 gives 59.
int convert_VarnhaltTime(unsigned char b);
// A number 0..99 to packed BCD: 59 gives 0x59.
unsigned char convert_2_VarnhaltTime(int v);

// Senders; each returns 0 (the result of ComSend).
int Send_Msg(const char* cmd);                  // request, e.g. "Ra"; traced
int Set_ParamValue(int param, int value);       // parameter write; traced
int Set_Time();                                 // PC clock to controller
int sendAcq(const unsigned char* t, int len);   // positive acknowledgement
int sendNAcq(const unsigned char* t, int len);  // negative; traced

// Builds the telegram bytes without sending them (for the senders above and
// for anyone who needs the exact bytes, such as the controller simulator).
// Each returns the telegram's total length.
int BuildRequest(const char* cmd, int16_t identity, unsigned char out[8]);
int BuildParamWrite(int param, int value, unsigned char out[9]);
int BuildAck(const unsigned char* t, bool positive, unsigned char out[6]);
// Fills header and checksum around data already at out+3; returns n + 5.
int BuildTelegram(unsigned char start, unsigned char command, int n, unsigned char* out);

// ---- Trace lines ----

enum TraceKind { kTraceSent = 0, kTraceReceived = 1, kTraceError = 2, kTraceInfo = 3 };
constexpr int kTraceLineMax = 2048;

// Renders len bytes of data as a trace line (no line break) into line
// (kTraceLineMax bytes). Returns its length; 0 for an unknown kind.
int RenderComLog(int kind, const unsigned char* data, int len, char* line);
// Renders a trace line and writes it to the log with printlog("%s\n").
void PrintComLog(int kind, const unsigned char* data, int len);
