// Fuzz target: trace-line rendering with arbitrary kinds and data.
//
// Input: the first byte gives the kind (0x00..0x7F: that value modulo 5, so
// 0..3 and the unknown kind 4; 0x80..0xFF: -128..-1), the rest is the data.
// The line goes into a heap buffer of exactly kTraceLineMax bytes and must
// be what the rules give: the prefix, the data's letters and digits, and for
// kinds 0 and 1 " {", "xx " per byte and "}", cut to whole pieces where the
// line is full. Then the same line goes through PrintComLog to the log,
// which must still end in a line break.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "print_log.h"
#include "telegram_link.h"

namespace {

[[noreturn]] void Fail(const char* what, int kind, const std::string& line) {
  std::fprintf(stderr, "trace: %s (kind %d): \"%s\"\n", what, kind, line.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The log for every input: a full line takes some 700 bytes of data.
  FuzzSetUp(static_cast<unsigned long>(-1));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  m_log_enabled = FuzzLogFor(size) ? 1 : 0;
  if (size == 0) return 0;
  const int kind = data[0] < 0x80 ? data[0] % 5 : static_cast<int8_t>(data[0]);
  const unsigned char* bytes = data + 1;
  const int len = static_cast<int>(size - 1);

  const auto line = std::make_unique<char[]>(kTraceLineMax);
  std::memset(line.get(), '#', kTraceLineMax);
  const int n = RenderComLog(kind, bytes, len, line.get());
  if (n < 0 || n >= kTraceLineMax || line[n] != '\0' ||
      std::strlen(line.get()) != static_cast<std::size_t>(n))
    Fail("length and text disagree", kind, line.get());
  const std::string got(line.get(), static_cast<std::size_t>(n));

  static const char* const kPrefix[] = {"<<< ", ">>> ", "ERR ", "INF"};
  if (kind < 0 || kind > 3) {
    if (n != 0) Fail("a line for an unknown kind", kind, got);
    return 0;
  }
  std::string letters = kPrefix[kind];
  for (int i = 0; i < len; ++i) {
    const unsigned char b = bytes[i];
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'))
      letters += static_cast<char>(b);
  }
  constexpr std::size_t kRoom = kTraceLineMax - 1;
  if (kind >= 2) {
    if (got != letters.substr(0, kRoom)) Fail("wrong letters", kind, got);
  } else {
    std::string full = letters + " {";
    for (int i = 0; i < len; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x ", bytes[i]);
      full += hex;
    }
    full += '}';
    // A full line keeps whole "xx " groups only and still closes the brace
    // when there is room for it, so it may end short of the room by less
    // than one group.
    if (full.size() <= kRoom) {
      if (got != full) Fail("wrong line", kind, got);
    } else {
      std::string kept = got;
      if (kept.size() > letters.size() + 2 && kept.back() == '}') kept.pop_back();
      if (full.compare(0, kept.size(), kept) != 0 || got.size() + 3 < kRoom)
        Fail("wrong line cut", kind, got);
    }
  }
  PrintComLog(kind, bytes, len);
  if (m_log_enabled) FuzzCheckLogEndsInLineBreak();
  return 0;
}
