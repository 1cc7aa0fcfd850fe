// The console on POSIX: ANSI sequences for clearing and placing the cursor,
// a non-canonical, no-echo standard input for key polling, and output that
// never holds up the loop.
//
// While keys are polled, output goes through a non-blocking description of
// the terminal of the program's own (the shell's stays blocking). What the
// terminal does not take at once waits in a bounded backlog; when the
// terminal stops reading for long, the backlog is dropped and the whole
// screen is drawn again once it reads again. Before that (the port dialogue)
// and when standard output is no terminal, output goes through stdout.
//
// Signal handlers only set flags (except a second end signal, which ends the
// program at once); the loop acts on them at the end of its turn.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

constexpr int kEscSequenceMs = 25;  // bytes this close behind an ESC belong to its key
constexpr std::size_t kBacklogMax = 64 * 1024;
constexpr int kLeaveDrainMs = 1000;  // how long the backlog may hold up a way out or a stop
constexpr std::size_t kKeyChunk = 4096;
constexpr int kKeyReadsPerTurn = 16;  // bounds a turn under a flood of input

// Whole scroll region back, then a fresh row below everything.
constexpr char kLeave[] = "\x1b[r\x1b[999;1H\n";

// ---- State shared with the signal handlers ----

termios g_saved{};
volatile sig_atomic_t g_restore = 0;   // key mode is on; g_saved holds the settings to restore
volatile sig_atomic_t g_screen = 0;    // the screen was cleared for the table
volatile sig_atomic_t g_keyboard = 0;  // a Keyboard exists: end signals wait for the turn's end
volatile sig_atomic_t g_pending = 0;   // the end signal asked for, or 0
volatile sig_atomic_t g_stopAsked = 0;
volatile sig_atomic_t g_continued = 0;
volatile sig_atomic_t g_resized = 0;
volatile sig_atomic_t g_sizeChanges = 0;
volatile sig_atomic_t g_ttyFd = -1;  // the program's own description of the terminal

// ---- Output ----

struct Output {
  char backlog[kBacklogMax];
  std::size_t size = 0;
  bool dropping = false;   // the terminal stopped reading: output is dropped
  bool suspended = false;  // in the background after a stop: output is dropped
  bool redraw = false;
  int linesPending = 0;  // trace lines whose output is still in the backlog
  int linesDropped = 0;
};
Output g_out;

// The scroll area set on the terminal (rows, from 0); -1 when none.
int g_areaTop = -1;
int g_areaBottom = -1;

bool Discarding() { return g_out.dropping || g_out.suspended; }

void WriteBacklog();

void Emit(const char* text, std::size_t n) {
  if (g_ttyFd < 0) {
    std::fwrite(text, 1, n, stdout);
    return;
  }
  if (Discarding()) return;
  if (n > kBacklogMax - g_out.size) WriteBacklog();  // room, if the terminal takes some now
  if (n > kBacklogMax - g_out.size) {
    // The terminal has not read for long: drop what waits, and draw the
    // whole screen again once it reads.
    g_out.size = 0;
    g_out.linesDropped += g_out.linesPending;
    g_out.linesPending = 0;
    g_out.dropping = true;
    return;
  }
  std::memcpy(g_out.backlog + g_out.size, text, n);
  g_out.size += n;
}

void Emit(const char* text) { Emit(text, std::strlen(text)); }

// Writes as much of the backlog as the terminal takes now.
void WriteBacklog() {
  std::size_t done = 0;
  while (done < g_out.size) {
    const ssize_t n = write(g_ttyFd, g_out.backlog + done, g_out.size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      if (done < g_out.size) break;  // the terminal is full: the rest waits for a later turn
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // EAGAIN: the rest waits. Any other error: the terminal is gone.
      if (!(n < 0 && errno == EAGAIN)) done = g_out.size;
      break;
    }
  }
  std::memmove(g_out.backlog, g_out.backlog + done, g_out.size - done);
  g_out.size -= done;
  if (g_out.size == 0) g_out.linesPending = 0;
}

bool Writable(int timeoutMs) {
  pollfd p{g_ttyFd, POLLOUT, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLOUT);
}

// Writes the backlog, waiting at most kLeaveDrainMs for the terminal.
void DrainBacklog() {
  if (g_ttyFd < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLeaveDrainMs);
  for (WriteBacklog(); g_out.size > 0; WriteBacklog()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Writable(static_cast<int>(left.count()))) break;
  }
}

void OpenOwnTerminal() {
  if (g_ttyFd >= 0 || !isatty(STDOUT_FILENO)) return;
  const char* name = ttyname(STDOUT_FILENO);
  if (name) g_ttyFd = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void CloseOwnTerminal() {
  if (g_ttyFd < 0) return;
  const int fd = g_ttyFd;
  g_ttyFd = -1;
  close(fd);
  g_out.size = 0;
  g_out.dropping = g_out.suspended = g_out.redraw = false;
}

// ---- Terminal settings and the signals ----

void RestoreTerminal() {
  if (g_restore) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  g_restore = 0;
}

// Key mode: no canonical input, no echo, no flow control (Ctrl+S and Ctrl+Q
// are keys, so that the terminal's output can never be held up by them).
// The settings to restore are read when key mode is not on already: after a
// stop, the shell may have changed them.
void EnterKeyMode() {
  if (!isatty(STDIN_FILENO)) return;
  if (!g_restore && tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  g_restore = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

bool InForeground() { return !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) == getpgrp(); }

// The terminal as the shell wants it: settings, the whole scroll region, the
// cursor on a fresh row.
void LeaveTerminal(int fd) {
  RestoreTerminal();
  if (g_screen) {
    const ssize_t ignored = write(fd, kLeave, sizeof kLeave - 1);
    (void)ignored;
  }
}

extern "C" void OnEndSignal(int sig) {
  if (g_keyboard && !g_pending) {
    g_pending = sig;  // the loop ends at the end of its turn, with the report
    return;
  }
  LeaveTerminal(g_ttyFd >= 0 ? g_ttyFd : STDOUT_FILENO);
  _exit(128 + sig);  // the kernel releases the serial port with the process
}

extern "C" void OnStop(int) { g_stopAsked = 1; }
extern "C" void OnContinue(int) { g_continued = 1; }
extern "C" void OnResize(int) {
  g_resized = 1;
  g_sizeChanges = g_sizeChanges + 1;
}

constexpr int kEndSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

struct Handler {
  int sig;
  void (*handler)(int);
  bool keepIgnored;  // a stop ignored by whoever started the program (no job control) stays so
};
constexpr Handler kWindowHandlers[] = {
    {SIGTSTP, OnStop, true}, {SIGCONT, OnContinue, false}, {SIGWINCH, OnResize, false}};

void Install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// A stop asked for with Ctrl+Z: the terminal is left as the shell wants it,
// then the program stops with SIGTSTP, as the shell expects.
void StopHere() {
  g_stopAsked = 0;
  Emit(kLeave);
  DrainBacklog();
  RestoreTerminal();
  g_areaTop = -1;  // the region is set again when the screen is drawn again
  g_areaBottom = -1;
  Install(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
  Install(SIGTSTP, OnStop);  // continued from here
  g_continued = 1;
}

// After a continue, key mode and the screen come back once the program is in
// the terminal's foreground; in the background it waits, drawing nothing.
void ResumeWhenForeground() {
  if (g_continued) {
    g_continued = 0;
    g_out.suspended = true;
  }
  if (!g_out.suspended || !InForeground()) return;
  g_out.suspended = false;
  EnterKeyMode();  // also after a stop that was not ours (SIGSTOP)
  g_out.redraw = true;
}

// Output dropped: once the terminal takes output again, a byte that ends any
// sequence cut short, then the whole screen.
void ResumeWhenReading() {
  if (!g_out.dropping || !Writable(0)) return;
  g_out.dropping = false;
  Emit("\x18");
  g_out.redraw = true;
}

bool InputWaiting(int timeoutMs) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

// Keys as they arrive: a lone ESC, or an ESC with the sequence of an arrow or
// function key behind it (CSI: ESC [ parameters final; SS3: ESC O x; or ESC
// and one character), which is dropped whole.
enum class KeyScan { Ground, Esc, Csi, Ss3 };
KeyScan g_scan = KeyScan::Ground;

void ScanKey(unsigned char c, int& last) {
  switch (g_scan) {
    case KeyScan::Ground:
      if (c == kKeyEsc)
        g_scan = KeyScan::Esc;
      else
        last = c;
      return;
    case KeyScan::Esc:
      g_scan = c == '[' ? KeyScan::Csi : c == 'O' ? KeyScan::Ss3 : KeyScan::Ground;
      return;
    case KeyScan::Csi:
      if (c < 0x20 || c > 0x3F) g_scan = KeyScan::Ground;  // the final byte
      return;
    case KeyScan::Ss3:
      g_scan = KeyScan::Ground;
      return;
  }
}

}  // namespace

void ConsoleClear() {
  // The scroll region is lifted, so that it is set afresh for the new area.
  Emit("\x1b[H\x1b[2J\x1b[r");
  g_areaTop = -1;
  g_areaBottom = -1;
  g_screen = 1;
}

void GotoXY(int x, int y) {
  char move[32];
  const int n = std::snprintf(move, sizeof move, "\x1b[%d;%dH", y + 1, x + 1);
  Emit(move, static_cast<std::size_t>(n));
}

void ConsoleText(const char* text) { Emit(text); }

void ConsoleFlush() {
  std::fflush(stdout);
  if (g_ttyFd >= 0) {
    WriteBacklog();
    ResumeWhenReading();
  }
  if (g_stopAsked && g_keyboard) StopHere();
  if (g_keyboard) ResumeWhenForeground();
}

void ConsoleClearToEndOfRow() { Emit("\x1b[K"); }

void ConsolePutRow(int x, int y, const char* text, int n) {
  GotoXY(x, y);
  Emit(text, static_cast<std::size_t>(n));
  ConsoleClearToEndOfRow();
}

// While keys are polled the size is asked once per change of the window.
ConsoleSize ConsoleWindowSize() {
  static ConsoleSize known{};
  static int knownAt = -1;
  if (g_keyboard && knownAt == g_sizeChanges) return known;
  winsize ws{};
  known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0
              ? ConsoleSize{0, 0}
              : ConsoleSize{ws.ws_col, ws.ws_row};
  knownAt = g_keyboard ? static_cast<int>(g_sizeChanges) : -1;
  return known;
}

// A line feed on the area's bottom row scrolls only the terminal's scroll
// region (set here whenever the area moved or the screen was cleared).
void ConsoleScrollArea(int top, int bottom) {
  if (top != g_areaTop || bottom != g_areaBottom) {
    char region[32];
    const int n = std::snprintf(region, sizeof region, "\x1b[%d;%dr", top + 1, bottom + 1);
    Emit(region, static_cast<std::size_t>(n));
    g_areaTop = top;
    g_areaBottom = bottom;
  }
  GotoXY(0, bottom);
  Emit("\n");
}

void ConsoleEndScrollArea() {
  if (g_areaTop < 0) return;
  Emit("\x1b[r");
  g_areaTop = -1;
  g_areaBottom = -1;
}

Keyboard::Keyboard() {
  std::fflush(stdout);  // the dialogue's text stays ahead of all that follows
  OpenOwnTerminal();
  for (int sig : kEndSignals) Install(sig, OnEndSignal);
  for (const Handler& h : kWindowHandlers) {
    struct sigaction old {};
    if (h.keepIgnored && sigaction(h.sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
      continue;
    Install(h.sig, h.handler);
  }
  EnterKeyMode();
  g_keyboard = 1;
}

Keyboard::~Keyboard() {
  g_keyboard = 0;
  RestoreTerminal();
  for (const Handler& h : kWindowHandlers) Install(h.sig, SIG_DFL);
  DrainBacklog();
  CloseOwnTerminal();
}

int Keyboard::Poll() {
  if (g_out.suspended) return kKeyNone;  // in the background: reading would stop the program
  int last = kKeyNone;
  for (int reads = 0;;) {
    const int waitMs = g_scan == KeyScan::Ground ? 0 : kEscSequenceMs;
    if (!InputWaiting(waitMs)) {
      const bool loneEsc = g_scan == KeyScan::Esc;
      g_scan = KeyScan::Ground;  // a sequence cut short is dropped
      return loneEsc ? kKeyEsc : last;
    }
    if (reads++ == kKeyReadsPerTurn) return last;  // the rest waits for the next turn
    unsigned char keys[kKeyChunk];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n < 0 && errno == EINTR) return last;
    if (n <= 0) return kKeyEnd;  // end of input or hang-up
    for (ssize_t i = 0; i < n; ++i) ScanKey(keys[i], last);
  }
}

bool ConsoleTakeRedraw() {
  if (g_resized) {
    g_resized = 0;
    g_out.redraw = true;
  }
  if (!g_out.redraw || Discarding()) return false;
  g_out.redraw = false;
  return true;
}

int ConsoleTakeDroppedLines() {
  const int n = g_out.linesDropped;
  g_out.linesDropped = 0;
  return n;
}

int ConsolePendingSignal() { return g_pending; }

void ConsoleCountTraceLine() {
  if (g_ttyFd < 0) return;
  if (Discarding())
    ++g_out.linesDropped;
  else
    ++g_out.linesPending;
}

ConsoleCharset ConsoleNameCharset() {
  static const ConsoleCharset charset = [] {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    const bool utf8 =
        codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    return utf8 ? ConsoleCharset::Utf8 : ConsoleCharset::EightBit;
  }();
  return charset;
}
