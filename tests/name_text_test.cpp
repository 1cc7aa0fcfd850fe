// How value names reach the terminal: never a control character or a byte
// that an 8-bit terminal takes as a command, UTF-8 kept whole where the
// terminal takes it, and the cut at a column count that never splits a
// character.
#include "name_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* what;
  std::string name;
  int maxColumns;
  std::string utf8;      // shown on a UTF-8 terminal
  std::string eightBit;  // shown under any other character set
  int utf8Columns;
};

const Case kCases[] = {
    {"plain text", "Boiler", 20, "Boiler", "Boiler", 6},
    {"C0 and DEL", "A\x01\x1b[2J\x7f", 20, "A??[2J?", "A??[2J?", 7},
    {"raw C1 byte (CSI on 8-bit terminals)",
     "A\x9b"
     "2J",
     20, "A?2J", "A?2J", 4},
    {"UTF-8 encoded U+009B",
     "A\xc2\x9b"
     "2J",
     20, "A??2J", "A??2J", 5},
    {"Latin-1 degree sign",
     "Temp\xb0"
     "C",
     20, "Temp?C", "Temp?C", 6},
    {"valid UTF-8",
     "Temp\xc2\xb0"
     "C",
     20,
     "Temp\xc2\xb0"
     "C",
     "Temp??C", 6},
    {"s acute carries 0x9B", "\xc5\x9b", 20, "\xc5\x9b", "??", 1},
    {"three and four bytes", "\xe2\x82\xac\xf0\x9f\x94\xa5", 20, "\xe2\x82\xac\xf0\x9f\x94\xa5",
     "???????", 2},
    {"overlong forms", "\xc0\xaf\xe0\x80\xaf", 20, "?????", "?????", 5},
    {"surrogate", "\xed\xa0\x80", 20, "???", "???", 3},
    {"past U+10FFFF", "\xf4\x90\x80\x80\xf5\x80", 20, "??????", "??????", 6},
    {"stray continuation and cut sequences", "\x80x\xe2\x82", 20, "?x??", "?x??", 4},
    {"sequence at the end of the name is not read past", "ab\xf0\x9f", 20, "ab??", "ab??", 4},
    {"cut by characters",
     "\xc3\xa4\xc3\xb6\xc3\xbc"
     "abc",
     4,
     "\xc3\xa4\xc3\xb6\xc3\xbc"
     "a",
     "????", 4},
    {"cut between the bytes of a C1 control", "abc\xc2\x9b", 4, "abc?", "abc?", 4},
    {"nothing in no columns", "abc", 0, "", "", 0},
};

std::string Shown(const NameText& t) {
  return std::string(t.text, static_cast<std::size_t>(t.size));
}

TEST(NameText, RendersUnderEitherCharacterSet) {
  for (const Case& c : kCases) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.name.data());
    const NameText utf8 = RenderName(bytes, c.name.size(), ConsoleCharset::Utf8, c.maxColumns);
    EXPECT_EQ(Shown(utf8), c.utf8) << c.what;
    EXPECT_EQ(utf8.columns, c.utf8Columns) << c.what;
    const NameText eight = RenderName(bytes, c.name.size(), ConsoleCharset::EightBit, c.maxColumns);
    EXPECT_EQ(Shown(eight), c.eightBit) << c.what;
    EXPECT_EQ(eight.columns, eight.size) << c.what;  // one byte, one column
  }
}

TEST(NameText, ConsoleCellsShowHighBytesAndHideControls) {
  const std::string name =
      "Temp\xb0\x9b\x1b"
      "C";
  const NameText t = RenderName(reinterpret_cast<const unsigned char*>(name.data()), name.size(),
                                ConsoleCharset::Glyphs, 20);
  EXPECT_EQ(Shown(t), "Temp\xb0\x9b?C");
}

TEST(NameText, ALongNameFillsTheBufferAndNoMore) {
  const std::string name(300, 'x');
  const NameText t = RenderName(reinterpret_cast<const unsigned char*>(name.data()), name.size(),
                                ConsoleCharset::Utf8, 1000);
  EXPECT_EQ(t.size, static_cast<int>(sizeof t.text));
  EXPECT_EQ(t.columns, t.size);
}

// A row cut at two columns keeps whole characters; UTF-8 fills one UTF-16
// cell a character (at most 5 here), '?' above U+FFFF and per byte not UTF-8.
TEST(NameText, CutsByCharactersAndFillsOneCellACharacter) {
  const std::pair<std::string, std::size_t> kCuts[] = {
      {"G\xc3\xa4t", 3}, {"\x80\xe2\x82\xac-", 4}, {"\xf0\x9f\x94\xa5x", 5}, {"a\xe2\x82", 2}};
  for (const auto& [text, bytes] : kCuts)
    EXPECT_EQ(ColumnBytes(text.data(), text.size(), 2, ConsoleCharset::Utf8), bytes) << text;
  const std::pair<std::string, std::u16string> kCells[] = {
      {"Ger\xc3\xa4t\xe2\x82\xac", u"Ger\u00e4t"},
      {"a\xf0\x9f\x94\xa5-", u"a?-"},
      {"\xc3(\xed\xa0\x80", u"?(???"}};
  for (const auto& [text, cells] : kCells) {
    char16_t out[5];
    const int n = Utf16Cells(text.data(), text.size(), out, 5);
    EXPECT_EQ(std::u16string(out, static_cast<std::size_t>(n)), cells) << text;
  }
}

}  // namespace
