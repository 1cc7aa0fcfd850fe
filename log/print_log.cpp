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

// Opens the log for appending, rotating it first when it is over the limit.
// remove and rename act on the names themselves: a symbolic link planted as
// the backup is removed, never the file it points to.
std::FILE* OpenLogRotated() {
  std::FILE* f = OpenLogAppend(m_OutputFile);
  if (!f) return nullptr;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::rewind(f);
  if (size <= static_cast<long>(m_logfilesize)) return f;
  std::fclose(f);
  std::remove(m_BakFile);                  // a missing backup is fine
  std::rename(m_OutputFile, m_BakFile);    // on failure the next message retries
  return OpenLogAppend(m_OutputFile);
}

}  // namespace

void printlog_init(const char* basename, int enabled, int32_t limit) {
  CopyPath(m_OutputFile, basename, ".log");
  CopyPath(m_BakFile, basename, ".bak");
  m_log_enabled = static_cast<int16_t>(enabled);
  m_logfilesize = limit;
}

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

int printi(PrintOut* out, int32_t value, int base, int sign, int width, int pad,
           int letterbase) {
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

int printlog_stamp(char* out, std::size_t size, std::time_t seconds,
                   unsigned millis) {
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
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      now.time_since_epoch())
                      .count();
  char stamp[kStampLineSize];
  printlog_stamp(stamp, sizeof stamp, static_cast<std::time_t>(ms / 1000),
                 static_cast<unsigned>(ms % 1000));

  std::FILE* f = OpenLogRotated();
  if (!f) return 0;
  std::fputs(stamp, f);
  std::fputs(message, f);
  std::fclose(f);
  return 0;
}
