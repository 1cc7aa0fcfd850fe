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

#include "com_port.h"

// ---- Serial port: the port's owner, hCom, in com_port.h ----

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
