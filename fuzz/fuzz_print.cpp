// Fuzz target: the log formatter with arbitrary formats and arguments that
// match them.
//
// Input: two bytes give the destination's size (1..2048), the next 32 bytes
// eight 32-bit argument values (little-endian), the rest is the format (up
// to its first NUL). The target reads the format's conversions itself and
// passes, for each one that takes an argument, an argument of the type the
// conversion reads: an int for d, u, x, X and c, a text for s. A text is
// chosen by the argument value from a fixed set of valid C strings (a null
// pointer among them, which the formatter shows as "(null)"). At most eight
// arguments: a format with more conversions is cut before the ninth.
//
// Each input is formatted twice, by print into a heap buffer of exactly the
// chosen size (so the address sanitizer sees any write past it) and by a
// plain model of the formatter's rules below; the two must agree, cut to
// the destination's size. The same message then goes through printlog.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "print_log.h"

namespace {

constexpr int kMaxArgs = 8;
constexpr int kHeaderSize = 2 + 4 * kMaxArgs;
constexpr int kWidthCap = 4096;  // the formatter's own cap on a width

struct Call {
  const char* fmt = nullptr;
  PrintOut* out = nullptr;
  bool toLog = false;
  int count = 0;  // arguments the format takes
  bool isText[kMaxArgs] = {};
  int32_t value[kMaxArgs] = {};
  const char* text[kMaxArgs] = {};
};

int PrintV(PrintOut* out, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int n = print(out, fmt, args);
  va_end(args);
  return n;
}

// Calls print (or printlog) with the call's arguments, each with its own
// type: one instance per sequence of types, up to kMaxArgs arguments.
template <int Left, typename... A>
int Invoke(const Call& c, int i, A... a) {
  if constexpr (Left > 0) {
    if (i < c.count) {
      if (c.isText[i]) return Invoke<Left - 1>(c, i + 1, a..., c.text[i]);
      return Invoke<Left - 1>(c, i + 1, a..., static_cast<int>(c.value[i]));
    }
  }
  return c.toLog ? printlog(c.fmt, a...) : PrintV(c.out, c.fmt, a...);
}

// ---- The formatter's rules, written plainly ----

std::string Padded(const std::string& text, int width, bool left, bool zero) {
  const int len = static_cast<int>(text.size());
  const std::string pad(width > len ? static_cast<std::size_t>(width - len) : 0, zero ? '0' : ' ');
  return left ? text + pad : pad + text;
}

std::string Number(int32_t value, int base, bool sign, int width, bool left, bool zero,
                   char letter) {
  if (value == 0) return Padded("0", width, left, zero);
  auto u = static_cast<uint32_t>(value);
  const bool negative = sign && base == 10 && value < 0;
  if (negative) u = 0u - u;
  std::string digits;
  for (; u; u /= static_cast<uint32_t>(base)) {
    const int d = static_cast<int>(u % static_cast<uint32_t>(base));
    digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : letter + d - 10));
  }
  if (negative && width != 0 && zero) return "-" + Padded(digits, width - 1, left, zero);
  return Padded(negative ? "-" + digits : digits, width, left, zero);
}

// One conversion's text, as print gives it for the argument v (a number or
// a character) or t (a text).
std::string Converted(char conv, int32_t v, const char* t, int width, bool left, bool zero) {
  struct NumberRule {
    char conv;
    int base;
    bool sign;
    char letter;
  };
  static constexpr NumberRule kNumbers[] = {
      {'d', 10, true, 'a'}, {'u', 10, false, 'a'}, {'x', 16, false, 'a'}, {'X', 16, false, 'A'}};
  for (const NumberRule& r : kNumbers)
    if (r.conv == conv) return Number(v, r.base, r.sign, width, left, zero, r.letter);
  if (conv == 's') return Padded(t ? t : "(null)", width, left, zero);
  const char ch = static_cast<char>(v);  // 'c'
  return Padded(ch ? std::string(1, ch) : std::string(), width, left, zero);
}

// Formats like print; with scan set, only fills in which arguments the
// format takes, and cuts fmt before a conversion past kMaxArgs.
std::string Model(char* fmt, Call& c, bool scan) {
  std::string out;
  int arg = 0;
  for (char* f = fmt; *f;) {
    if (*f != '%') {
      out += *f++;
      continue;
    }
    char* const percent = f++;
    if (!*f) break;
    if (*f == '%') {
      out += '%';
      ++f;
      continue;
    }
    bool left = false, zero = false;
    int width = 0;
    if (*f == '-') {
      left = true;
      ++f;
    }
    for (; *f == '0'; ++f) zero = true;
    for (; *f >= '0' && *f <= '9'; ++f) width = std::min(width * 10 + (*f - '0'), kWidthCap);
    if (!*f) break;
    const char conv = *f++;
    if (std::strchr("sduxXc", conv) == nullptr) continue;
    if (scan) {
      if (arg == kMaxArgs) {
        *percent = '\0';
        break;
      }
      c.isText[arg] = conv == 's';
      c.count = ++arg;
      continue;
    }
    out += Converted(conv, c.value[arg], c.text[arg], width, left, zero);
    ++arg;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSetUp(512);  // the log for inputs up to 512 bytes
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  m_log_enabled = FuzzLogFor(size) ? 1 : 0;
  uint8_t head[kHeaderSize] = {};
  std::memcpy(head, data, std::min<std::size_t>(size, kHeaderSize));
  const std::size_t fmtSize = size > kHeaderSize ? size - kHeaderSize : 0;
  std::string fmt(reinterpret_cast<const char*>(data) + (size - fmtSize), fmtSize);
  fmt.resize(std::strlen(fmt.c_str()));  // up to the first NUL

  static const std::string kLong(3000, 'x');
  const char* const texts[] = {nullptr,           "",         "ab", "abcd", kLong.c_str(),
                               "%d%s%%\x1b[2J\n", fmt.c_str()};
  Call c;
  std::string scanned = fmt;
  Model(scanned.data(), c, true);
  for (int i = 0; i < kMaxArgs; ++i) {
    const uint8_t* p = head + 2 + 4 * i;
    c.value[i] =
        static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
    c.text[i] = texts[static_cast<uint32_t>(c.value[i]) % (sizeof texts / sizeof texts[0])];
  }
  const std::string expected = Model(scanned.data(), c, false);

  const std::size_t bufSize = 1 + (head[0] | head[1] << 8) % kLogMessageMax;
  const auto buf = std::make_unique<char[]>(bufSize);
  PrintOut out{buf.get(), buf.get() + bufSize};
  c.fmt = scanned.c_str();
  c.out = &out;
  const int n = Invoke<kMaxArgs>(c, 0);

  const std::string want = expected.substr(0, bufSize - 1);
  if (n != static_cast<int>(want.size()) || std::memcmp(buf.get(), want.data(), want.size()) != 0 ||
      buf[want.size()] != '\0' || out.pos != buf.get() + want.size()) {
    std::fprintf(stderr, "print: format \"%s\" gave %d characters, \"%.*s\", expected \"%s\"\n",
                 c.fmt, n, n, buf.get(), want.c_str());
    std::abort();
  }
  c.toLog = true;
  Invoke<kMaxArgs>(c, 0);
  return 0;
}
