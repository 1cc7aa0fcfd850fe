#include "name_text.h"

#include <cstring>

namespace {

// The well-formed UTF-8 lead bytes, with the range their second byte must
// lie in: this rules out overlong forms, surrogates and code points past
// U+10FFFF. Third and fourth bytes are always 0x80-0xBF.
struct Lead {
  unsigned char first, last;  // lead byte range
  std::size_t length;         // bytes in the sequence
  unsigned char secondLo, secondHi;
};
constexpr Lead kLeads[] = {{0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
                           {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F},
                           {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
                           {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};

bool IsContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// The length of the well-formed multi-byte sequence at s (n bytes left), or 0.
std::size_t Utf8Length(const unsigned char* s, std::size_t n) {
  for (const Lead& l : kLeads) {
    if (s[0] < l.first || s[0] > l.last) continue;
    if (n < l.length || s[1] < l.secondLo || s[1] > l.secondHi) return 0;
    for (std::size_t k = 2; k < l.length; ++k)
      if (!IsContinuation(s[k])) return 0;
    return l.length;
  }
  return 0;
}

// U+0080-U+009F, the C1 controls, encoded.
bool IsEncodedC1(const unsigned char* s, std::size_t length) {
  return length == 2 && s[0] == 0xC2 && s[1] <= 0x9F;
}

// One byte shown on its own: a control, or a high byte the console cannot
// take as it is, becomes '?'.
char ShownByte(unsigned char b, ConsoleCharset charset) {
  if (b < 0x20 || b == 0x7F) return '?';
  if (b >= 0x80 && charset != ConsoleCharset::Glyphs) return '?';
  return static_cast<char>(b);
}

// The code point of the well-formed sequence of length bytes at s.
char32_t CodePoint(const unsigned char* s, std::size_t length) {
  constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code = s[0] & kLeadBits[length];
  for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (s[k] & 0x3Fu);
  return code;
}

bool Append(NameText& out, const void* bytes, std::size_t n) {
  if (n > sizeof out.text - static_cast<std::size_t>(out.size)) return false;
  std::memcpy(out.text + out.size, bytes, n);
  out.size += static_cast<int>(n);
  ++out.columns;
  return true;
}

}  // namespace

NameText RenderName(const unsigned char* name, std::size_t len, ConsoleCharset charset,
                    int maxColumns) {
  NameText out{};
  for (std::size_t i = 0; i < len && out.columns < maxColumns;) {
    const std::size_t seq =
        charset == ConsoleCharset::Utf8 && name[i] >= 0x80 ? Utf8Length(name + i, len - i) : 0;
    if (seq > 0 && !IsEncodedC1(name + i, seq)) {
      if (!Append(out, name + i, seq)) break;
      i += seq;
      continue;
    }
    // A single byte, or an encoded C1 control shown byte by byte.
    const std::size_t bytes = seq > 0 ? seq : 1;
    for (std::size_t k = 0; k < bytes && out.columns < maxColumns; ++k) {
      const char c = ShownByte(name[i + k], charset);
      if (!Append(out, &c, 1)) return out;
    }
    i += bytes;
  }
  return out;
}

std::size_t ColumnBytes(const char* text, std::size_t len, int columns, ConsoleCharset charset) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t at = 0;
  for (int c = 0; c < columns && at < len; ++c) {
    const std::size_t seq =
        charset == ConsoleCharset::Utf8 && s[at] >= 0x80 ? Utf8Length(s + at, len - at) : 0;
    at += seq > 0 ? seq : 1;
  }
  return at;
}

int Utf16Cells(const char* text, std::size_t len, char16_t* cells, int maxCells) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  int n = 0;
  for (std::size_t at = 0; at < len && n < maxCells; ++n) {
    const std::size_t seq = s[at] >= 0x80 ? Utf8Length(s + at, len - at) : 1;
    const char32_t code = seq > 0 ? CodePoint(s + at, seq) : U'?';
    cells[n] = code <= 0xFFFF ? static_cast<char16_t>(code) : u'?';
    at += seq > 0 ? seq : 1;
  }
  return n;
}
