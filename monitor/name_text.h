// A value name as the console shows it: bytes in, display bytes and their
// width in columns out. A name never sends a command to the terminal: control
// characters, and bytes the console's character set cannot show safely, are
// shown as one '?' per byte.
#pragma once

#include <cstddef>

#include "console.h"

struct NameText {
  char text[128];  // display bytes, not NUL-terminated
  int size;        // bytes used in text
  int columns;     // columns they take on the screen
};

// Renders the len bytes at name (reading no further) in at most maxColumns
// columns. A UTF-8 character counts as one column and is never cut.
NameText RenderName(const unsigned char* name, std::size_t len, ConsoleCharset charset,
                    int maxColumns);

// The bytes of the first `columns` characters of text (len bytes, reading no
// further), for cutting a row: under Utf8 a well-formed UTF-8 sequence is one
// character and any other byte one; under the other charsets a byte is one.
// A cut never falls inside a character.
std::size_t ColumnBytes(const char* text, std::size_t len, int columns, ConsoleCharset charset);

// UTF-8 text (len bytes) as console cells, one UTF-16 unit a character: a
// character above U+FFFF, and every byte that is not part of well-formed
// UTF-8, is one '?'. Fills at most maxCells cells; returns the cells filled.
int Utf16Cells(const char* text, std::size_t len, char16_t* cells, int maxCells);
