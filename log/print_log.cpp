#include "print_log.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "log_file.h"

char m_OutputFile[128];
char m_BakFile[128];
int32_t m_logfilesize;
int16_t m_log_enabled;

namespace {

constexpr int kBaseNameMax = 123;  // leaves room for ".log" and the NUL
constexpr std::size_t kStampSize = 24;
constexpr std::size_t kStampLineSize = 40;

PrintlogEcho g_echo = nullptr;  // nullptr: echo character by character

void ReadFlags(const char*& f, int& width, int& pad) {
  width = 0;
  pad = 0;
  if (*f == '-') {
    ++f;
    pad = kPadRight;
  }
  while (*f == '0') {
    ++f;
    pad |= kPadZero;
  }
  for (; *f >= '0' && *f <= '9'; ++f) {
    width = width * 10 + (*f - '0');
    if (width > 4096) width = 4096;  // wider than any buffer: stops overflow
  }
}

// One conversion after the flags and width; returns the characters emitted.
int Convert(PrintOut* out, char conversion, va_list& args, int width, int pad) {
  switch (conversion) {
    case 's': {
      const char* s = va_arg(args, const char*);
      return prints(out, s ? s : "(null)", width, pad);
    }
    case 'd':
      return printi(out, va_arg(args, int32_t), 10, 1, width, pad, 'a');
    case 'u':
      return printi(out, va_arg(args, int32_t), 10, 0, width, pad, 'a');
    case 'x':
      return printi(out, va_arg(args, int32_t), 16, 0, width, pad, 'a');
    case 'X':
      return printi(out, va_arg(args, int32_t), 16, 0, width, pad, 'A');
    case 'c': {
      const char text[2] = {static_cast<char>(va_arg(args, int)), '\0'};
      return prints(out, text, width, pad);
    }
    default:  // unknown conversion: nothing emitted, no argument consumed
      return 0;
  }
}

void CopyPath(char (&dst)[128], const char* base, const char* ext) {
  std::snprintf(dst, sizeof dst, "%.*s%s", kBaseNameMax, base ? base : "", ext);
}

// A line as it goes to the file: a line break first when a fragment that
// could not be cut back ends the file, the stamp, and the message with each
// '\n' written as the platform's line break.
constexpr std::size_t kLogLineMax = 2 + kStampLineSize + 2 * kLogMessageMax;

// What the log's writing has come to, for the notices and the report.
struct LogHealth {
  bool failing = false;          // a line was not written, and the screen said so
  bool fragmentLeft = false;     // the file ends in a fragment that could not be cut back
  long long lost = 0;            // lines not written since printlog_init
  long long lostNow = 0;         // lines not written since writing failed
  bool rotationFailing = false;  // a rotation failed, and the echo and the log said so
  bool lockBusy = false;         // another program held the lock for a whole wait
};
LogHealth g_health;

// How long another program's lock is waited for, while it has not yet
// made a line wait in vain; after that each line tries it once.
constexpr std::chrono::milliseconds kLockWait{200};

// The notices of one line, kept while the log's lock is held and said
// once it is let go, so that a console that is slow to take them never
// holds up another program's lines. At most three: a rotation failed, the
// log written again, a line not written.
class Notices {
 public:
  void Add(const char* text) {
    if (count_ < kMax) std::snprintf(text_[count_++], kLogMessageMax, "%s", text);
  }
  void Say() const;

 private:
  static constexpr int kMax = 3;
  char text_[kMax][kLogMessageMax] = {};
  int count_ = 0;
};

void Put(char*& p, const char* end, const char* text) {
  while (*text && p < end) *p++ = *text++;
}

std::size_t BuildLine(char (&line)[kLogLineMax], const char* stamp, const char* message) {
  char* p = line;
  const char* const end = line + sizeof line;
  if (g_health.fragmentLeft) Put(p, end, kLogLineBreak);
  Put(p, end, stamp);
  for (const char* m = message; *m && p < end; ++m) {
    const char one[2] = {*m, '\0'};
    Put(p, end, *m == '\n' ? kLogLineBreak : one);
  }
  return static_cast<std::size_t>(p - line);
}

// Appends one message with its stamp; true when it is in the file whole.
bool AppendLine(LogAppendFile& f, const char* stamp, const char* message) {
  char line[kLogLineMax];
  const LogAppend result = f.Append(line, BuildLine(line, stamp, message));
  if (result != LogAppend::None) g_health.fragmentLeft = result == LogAppend::Fragment;
  return result == LogAppend::Whole;
}

// The log's own name, without its folder, for the notices.
const char* LogName() {
  const char* name = m_OutputFile;
  for (const char* p = m_OutputFile; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

// A notice about the log itself goes to the echo only.
void Notices::Say() const {
  for (int i = 0; i < count_; ++i) {
    if (g_echo) {
      g_echo(text_[i]);
    } else {
      std::fputs(text_[i], stdout);
    }
  }
}

void LineNotWritten(const char* reason, Notices& notices) {
  ++g_health.lost;
  ++g_health.lostNow;
  if (g_health.failing) return;
  g_health.failing = true;
  char notice[kLogMessageMax];
  std::snprintf(notice, sizeof notice, "%s cannot be written: %s\n", LogName(), reason);
  notices.Add(notice);
}

// After a failure, the first line that can be written is the notice that
// the log is written again. False when it could not be written either.
bool SayWrittenAgain(LogAppendFile& f, const char* stamp, Notices& notices) {
  if (!g_health.failing) return true;
  char notice[kLogMessageMax];
  std::snprintf(notice, sizeof notice, "%s written again; %lld lines were not written\n", LogName(),
                g_health.lostNow);
  if (!AppendLine(f, stamp, notice)) return false;
  g_health.failing = false;
  g_health.lostNow = 0;
  notices.Add(notice);
  return true;
}

// A rotation that fails (the backup cannot be removed, the log cannot be
// renamed) is said once, on the echo and in the log, and said again only
// after a rotation has succeeded; the log meanwhile grows past its limit.
void RotationFailed(LogAppendFile& f, const char* stamp, Notices& notices) {
  if (g_health.rotationFailing) return;
  g_health.rotationFailing = true;
  char notice[kLogMessageMax];
  std::snprintf(notice, sizeof notice, "%s cannot be rotated: %s\n", LogName(), f.Error());
  notices.Add(notice);
  AppendLine(f, stamp, notice);
}

// Rotates the open log first when it is over the limit; a rotation that
// fails is tried again with the next line.
void RotateWhenFull(LogAppendFile& f, const char* stamp, Notices& notices) {
  if (!f.IsOpen() || f.Size() <= static_cast<long long>(m_logfilesize)) return;
  if (!f.Rotate(m_BakFile)) return RotationFailed(f, stamp, notices);
  g_health.fragmentLeft = false;
  g_health.rotationFailing = false;
}

// Writes one message to the log under the log's lock, which f holds from
// its making to its end: the size test, the rotation, the write and a
// cut-back. The notices are kept for after.
void WriteLogLine(const char* stamp, const char* message, Notices& notices) {
  LogAppendFile f(m_OutputFile, g_health.lockBusy ? std::chrono::milliseconds{0} : kLockWait);
  RotateWhenFull(f, stamp, notices);
  g_health.lockBusy = f.LockBusy();
  if (!f.IsOpen()) return LineNotWritten(f.Error(), notices);
  if (SayWrittenAgain(f, stamp, notices) && AppendLine(f, stamp, message)) return;
  LineNotWritten(f.Error(), notices);
}

}  // namespace

void printlog_init(const char* basename, int enabled, int32_t limit) {
  CopyPath(m_OutputFile, basename, ".log");
  CopyPath(m_BakFile, basename, ".bak");
  m_log_enabled = static_cast<int16_t>(enabled);
  m_logfilesize = limit;
  g_health = LogHealth{};
}

long long printlog_lines_lost() { return g_health.lost; }

void printlog_set_echo(PrintlogEcho echo) { g_echo = echo; }

int printchar(PrintOut* out, int c) {
  if (out->pos + 1 >= out->end) return 0;
  if (!g_echo) std::putchar(c);
  *out->pos++ = static_cast<char>(c);
  return 1;
}

int prints(PrintOut* out, const char* text, int width, int pad) {
  int count = 0;
  int padCount = 0;
  const char padChar = (pad & kPadZero) ? '0' : ' ';
  if (width > 0) {
    const int len = static_cast<int>(std::strlen(text));
    padCount = len >= width ? 0 : width - len;
  }
  if (!(pad & kPadRight))
    for (int i = 0; i < padCount; ++i) count += printchar(out, padChar);
  for (const char* p = text; *p; ++p) count += printchar(out, *p);
  if (pad & kPadRight)
    for (int i = 0; i < padCount; ++i) count += printchar(out, padChar);
  return count;
}

int printi(PrintOut* out, int32_t value, int base, int sign, int width, int pad, int letterbase) {
  if (value == 0) return prints(out, "0", width, pad);
  char scratch[12];
  char* s = scratch + sizeof scratch - 1;
  *s = '\0';
  auto u = static_cast<uint32_t>(value);
  bool negative = false;
  if (sign && base != 16 && value < 0) {
    negative = true;
    u = 0u - u;
  }
  const uint32_t b = base == 16 ? 16u : 10u;  // the only bases there are
  while (u) {
    const auto d = static_cast<int>(u % b);
    *--s = static_cast<char>(d < 10 ? '0' + d : letterbase + d - 10);
    u /= b;
  }
  int count = 0;
  if (negative) {
    if (width && (pad & kPadZero)) {
      count += printchar(out, '-');
      --width;
    } else {
      *--s = '-';
    }
  }
  return count + prints(out, s, width, pad);
}

int print(PrintOut* out, const char* fmt, va_list args) {
  va_list ap;
  va_copy(ap, args);
  int count = 0;
  for (const char* f = fmt; *f; ++f) {
    if (*f != '%') {
      count += printchar(out, *f);
      continue;
    }
    ++f;
    if (*f == '\0') break;
    if (*f == '%') {
      count += printchar(out, '%');
      continue;
    }
    int width = 0;
    int pad = 0;
    ReadFlags(f, width, pad);
    if (*f == '\0') break;
    count += Convert(out, *f, ap, width, pad);
  }
  va_end(ap);
  if (out->pos < out->end) *out->pos = '\0';
  return count;
}

int printlog_stamp(char* out, std::size_t size, std::time_t seconds, unsigned millis) {
  char stamp[kStampSize] = "";
  const std::tm* local = std::localtime(&seconds);
  if (local) std::strftime(stamp, sizeof stamp, "%Y\\%m\\%d %I:%M:%S.", local);
  const int n = std::snprintf(out, size, "%s%3u -> ", stamp, millis % 1000);
  return n < 0 ? 0 : n;
}

int printlog(const char* fmt, ...) {
  if (m_log_enabled != 1) return 0;
  char message[kLogMessageMax];
  PrintOut out{message, message + sizeof message};
  va_list args;
  va_start(args, fmt);
  print(&out, fmt, args);
  va_end(args);
  if (g_echo) g_echo(message);

  // One reading of the clock for date, time and milliseconds, so that
  // stamps never run backwards across a second.
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  char stamp[kStampLineSize];
  printlog_stamp(stamp, sizeof stamp, static_cast<std::time_t>(ms / 1000),
                 static_cast<unsigned>(ms % 1000));

  Notices notices;
  WriteLogLine(stamp, message, notices);
  notices.Say();  // the lock is let go by now
  return 0;
}
