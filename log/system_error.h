// The Windows system's text for an error code, in the console's output code
// page, as the log and the console show it: "<text> (error N)". One function
// for the whole program (the log writer and the serial port).
#pragma once

#include <cstddef>

// Room for any system text: the longest the system gives, in any language,
// is a few hundred characters (up to three bytes each in UTF-8).
constexpr std::size_t kSystemErrorTextMax = 1024;

// Writes "<text> (error N)" for the Windows error code into out (size
// bytes, NUL-terminated), without the text's line breaks. The text is never
// empty: where the system has none, out reads "error N". Defined in
// log_file_win32.cpp; there is no POSIX counterpart (strerror serves there).
void SystemErrorText(unsigned long code, char* out, std::size_t size);
