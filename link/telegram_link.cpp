#include "telegram_link.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "print_log.h"

int16_t glsUserID;

namespace {

constexpr const char* kTracePrefix[] = {"<<< ", ">>> ", "ERR ", "INF"};
constexpr int kTraceKinds = 4;

unsigned char High(int v) { return static_cast<unsigned char>((v >> 8) & 0xFF); }
unsigned char Low(int v) { return static_cast<unsigned char>(v & 0xFF); }

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int Sum16(const unsigned char* data, int len) {
  unsigned sum = 0;
  for (int i = 0; i < len; ++i) sum += data[i];
  return static_cast<int>(sum & 0xFFFF);
}

// Traces (when asked) and sends a built telegram.
int SendBuilt(const unsigned char* t, int len, bool trace) {
  if (trace) PrintComLog(kTraceSent, t, len);
  return ComSend(t, len);
}

}  // namespace

void CreateCheckSum(const unsigned char* data, int len, unsigned char* out) {
  const int sum = Sum16(data, len);
  out[0] = High(sum);
  out[1] = Low(sum);
}

int checkCheckSum(const unsigned char* data, int len) {
  if (len < 2) return 0;
  const int stored = (data[len - 2] << 8) | data[len - 1];
  return stored == Sum16(data, len - 2) ? 1 : 0;
}

int convert_VarnhaltTime(unsigned char b) { return (b >> 4) * 10 + (b & 0x0F); }

unsigned char convert_2_VarnhaltTime(int v) {
  return static_cast<unsigned char>((v / 10) * 16 + v % 10);
}

int BuildTelegram(unsigned char start, unsigned char command, int n, unsigned char* out) {
  out[0] = start;
  out[1] = command;
  out[2] = static_cast<unsigned char>(n);
  CreateCheckSum(out, 3 + n, out + 3 + n);
  return n + kTelegramOverhead;
}

int BuildRequest(const char* cmd, int16_t identity, unsigned char out[8]) {
  // Only the first two characters of cmd count; a shorter text sends zeros.
  const std::size_t len = cmd ? strnlen(cmd, 2) : 0;
  out[3] = 0x00;
  out[4] = High(identity);
  out[5] = Low(identity);
  return BuildTelegram(len > 0 ? cmd[0] : 0, len > 1 ? cmd[1] : 0, 3, out);
}

int BuildParamWrite(int param, int value, unsigned char out[9]) {
  out[3] = High(param);
  out[4] = Low(param);
  out[5] = High(value);
  out[6] = Low(value);
  return BuildTelegram('R', 'I', 4, out);
}

int BuildAck(const unsigned char* t, bool positive, unsigned char out[6]) {
  out[3] = positive ? 0x01 : 0x00;
  return BuildTelegram(t[0], t[1], 1, out);
}

int Send_Msg(const char* cmd) {
  unsigned char t[8];
  return SendBuilt(t, BuildRequest(cmd, glsUserID, t), true);
}

int Set_ParamValue(int param, int value) {
  unsigned char t[9];
  return SendBuilt(t, BuildParamWrite(param, value, t), true);
}

int Set_Time() {
  const std::time_t now = std::time(nullptr);
  const std::tm* lt = std::localtime(&now);
  if (!lt) return 0;
  const int fields[7] = {lt->tm_sec,     lt->tm_min,  lt->tm_hour,      lt->tm_mday,
                         lt->tm_mon + 1, lt->tm_wday, lt->tm_year - 100};
  unsigned char t[12];
  for (int i = 0; i < 7; ++i) t[3 + i] = convert_2_VarnhaltTime(fields[i]);
  return SendBuilt(t, BuildTelegram('R', '2', 7, t), false);
}

int sendAcq(const unsigned char* t, int len) {
  if (len < 2) return 0;
  unsigned char a[kAckLength];
  return SendBuilt(a, BuildAck(t, true, a), false);
}

int sendNAcq(const unsigned char* t, int len) {
  if (len < 2) return 0;
  unsigned char a[kAckLength];
  return SendBuilt(a, BuildAck(t, false, a), true);
}

int RenderComLog(int kind, const unsigned char* data, int len, char* line) {
  line[0] = '\0';
  if (kind < 0 || kind >= kTraceKinds) return 0;
  char* p = line;
  char* const end = line + kTraceLineMax - 1;  // one place for the NUL
  for (const char* s = kTracePrefix[kind]; *s && p < end; ++s) *p++ = *s;
  for (int i = 0; i < len && p < end; ++i)
    if (IsAlnum(data[i])) *p++ = static_cast<char>(data[i]);
  if (kind == kTraceSent || kind == kTraceReceived) {
    for (const char* s = " {"; *s && p < end; ++s) *p++ = *s;
    for (int i = 0; i < len && end - p >= 3; ++i) {
      std::snprintf(p, 4, "%02x ", data[i]);
      p += 3;
    }
    if (p < end) *p++ = '}';
  }
  *p = '\0';
  return static_cast<int>(p - line);
}

void PrintComLog(int kind, const unsigned char* data, int len) {
  char line[kTraceLineMax];
  const int n = RenderComLog(kind, data, len, line);
  // A log message holds kLogMessageMax - 1 characters: a line that fills
  // them would lose its line break there, and the next message would run
  // on behind it. Cut it by one more.
  if (n > static_cast<int>(kLogMessageMax) - 2) line[kLogMessageMax - 2] = '\0';
  if (n > 0) printlog("%s\n", line);
}
