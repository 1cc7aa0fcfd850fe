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
