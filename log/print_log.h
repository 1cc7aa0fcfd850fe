// Log writer: a small printf-style formatter and the time-stamped,
// size-rotated, append-only log file with one backup generation.
//
// Every message formatted by printlog is echoed to standard output while it
// is produced, and appended to the log file with a time stamp
// "YYYY\MM\DD hh:mm:ss.mmm -> " (12-hour clock, milliseconds in three
// columns). The file is opened and closed again for every message, and each
// line goes out whole or not at all: built in one buffer, written with one
// write, and a part left by a short write cut back.
//
// When a line cannot be written (a full disk, a removed folder, a file that
// cannot be written), the echo says so once, with the system's reason:
// "comlog.log cannot be written: No space left on device". The first line
// that can be written again is "comlog.log written again; N lines were not
// written", in the log and on the echo.
//
// Past the size limit the log becomes the backup and a new one starts. A
// rotation that fails is said once, on the echo and in the log, "comlog.log
// cannot be rotated: <reason>", tried again with every later line, and said
// again only after one has succeeded. Programs that share the log's folder
// take turns: each line's size test, rotation and write happen under a lock
// that all of them take (see log_file.h). Another program's lock is waited
// for at most 200 ms; a line that could not have it then is not written and
// counted, the echo says once "comlog.log cannot be written: another program
// holds the log's lock", and while the lock stays taken later lines try it
// once without waiting. Notices are echoed after the lock is let go.
//
// These names are the program's established interface and keep their mixed
// styles (printlog_init, prints, the m_ prefix of the module's state).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Module state, zero (logging off) until printlog_init.
extern char m_OutputFile[128];  // base name + ".log"
extern char m_BakFile[128];     // base name + ".bak"
extern int32_t m_logfilesize;   // rotate when the log is larger than this
extern int16_t m_log_enabled;   // messages are written only while this is 1

// Pad flags of prints/printi.
constexpr int kPadRight = 1;  // left-justify: padding goes after the text
constexpr int kPadZero = 2;   // pad with '0' instead of spaces

// Size of the message buffer: longer messages are cut to kLogMessageMax - 1.
constexpr std::size_t kLogMessageMax = 2048;

// Destination of the formatter: a write position inside a caller's buffer.
// Characters beyond end - 1 are dropped (one place is kept for the NUL).
struct PrintOut {
  char* pos;
  char* end;
};

// Configures the log: the first 123 characters of basename + ".log"/".bak",
// enabled (logging happens only when it is 1) and the size limit in bytes.
void printlog_init(const char* basename, int enabled, int32_t limit);

// Where printlog's echo goes. The default (nullptr) echoes every character
// to stdout as the formatter produces it; a console that places the echo
// itself installs a function that gets each whole message instead.
using PrintlogEcho = void (*)(const char* message);
void printlog_set_echo(PrintlogEcho echo);

// Formats one message, echoes it to stdout and appends it, time-stamped, to
// the log file, rotating the file first when it is larger than the limit.
// Returns 0 always; a line that cannot be written is counted and dropped.
int printlog(const char* fmt, ...);

// The lines that could not be written to the log since printlog_init.
long long printlog_lines_lost();

// Formats fmt with args into out and stores a NUL after the text.
// Returns the number of characters stored (the NUL not counted).
int print(PrintOut* out, const char* fmt, va_list args);

// Emits text padded to width (see kPadRight, kPadZero). Returns the count.
int prints(PrintOut* out, const char* text, int width, int pad);

// Emits a 32-bit integer in base 10 or 16; letterbase 'a' or 'A' gives the
// case of hex digits. Returns the number of characters emitted.
int printi(PrintOut* out, int32_t value, int base, int sign, int width, int pad, int letterbase);

// Echoes c to stdout (unless an echo function is installed) and stores it at
// out's write position.
// Returns 1, or 0 when the buffer is full and c was dropped.
int printchar(PrintOut* out, int c);

// Renders the log's time stamp for a moment given as calendar seconds and
// milliseconds: "YYYY\MM\DD hh:mm:ss.mmm -> " into out (at least 32 bytes).
// Returns the number of characters written.
int printlog_stamp(char* out, std::size_t size, std::time_t seconds, unsigned millis);
