// The console on POSIX: ANSI sequences for clearing and placing the
// cursor, and a non-canonical, no-echo standard input for key polling.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "console.h"

namespace {

constexpr int kEscSequenceMs = 25;  // bytes this close behind an ESC belong to its key

// Saved terminal settings, reachable from the signal handler.
termios g_saved{};
volatile sig_atomic_t g_restore = 0;
// Set once the screen is cleared for the table: a way out must then lift the
// scroll area and leave the cursor on a fresh row at the bottom.
volatile sig_atomic_t g_screen = 0;
// The scroll area set on the terminal (rows, from 0); -1 when none.
int g_areaTop = -1;
int g_areaBottom = -1;

void RestoreTerminal() {
  if (g_restore) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

extern "C" void OnEndSignal(int sig) {
  RestoreTerminal();
  if (g_screen) {
    // Whole scroll region back, then a fresh row below everything.
    static const char kLeave[] = "\x1b[r\x1b[999;1H\n";
    const ssize_t ignored = write(STDOUT_FILENO, kLeave, sizeof kLeave - 1);
    (void)ignored;
  }
  _exit(128 + sig);  // the kernel releases the serial port with the process
}

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

bool InputWaiting(int timeoutMs) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

// Reads and drops the rest of a key sequence that follows an ESC.
void DropSequence() {
  unsigned char rest[32];
  while (InputWaiting(0) && read(STDIN_FILENO, rest, sizeof rest) > 0) {
  }
}

}  // namespace

void ConsoleClear() {
  std::fputs("\x1b[H\x1b[2J", stdout);
  g_screen = 1;
}

void GotoXY(int x, int y) { std::printf("\x1b[%d;%dH", y + 1, x + 1); }

void ConsoleText(const char* text) { std::fputs(text, stdout); }

void ConsoleFlush() { std::fflush(stdout); }

void ConsoleClearToEndOfRow() { std::fputs("\x1b[K", stdout); }

void ConsolePutRow(int x, int y, const char* text, int n) {
  GotoXY(x, y);
  std::fwrite(text, 1, static_cast<std::size_t>(n), stdout);
  ConsoleClearToEndOfRow();
}

ConsoleSize ConsoleWindowSize() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0) return {0, 0};
  return {ws.ws_col, ws.ws_row};
}

// A line feed on the area's bottom row scrolls only the terminal's scroll
// region (set here whenever the area moved or the window changed size).
void ConsoleScrollArea(int top, int bottom) {
  if (top != g_areaTop || bottom != g_areaBottom) {
    std::printf("\x1b[%d;%dr", top + 1, bottom + 1);
    g_areaTop = top;
    g_areaBottom = bottom;
  }
  GotoXY(0, bottom);
  std::putchar('\n');
}

void ConsoleEndScrollArea() {
  if (g_areaTop < 0) return;
  std::fputs("\x1b[r", stdout);
  g_areaTop = -1;
  g_areaBottom = -1;
}

Keyboard::Keyboard() {
  struct sigaction sa {};
  sa.sa_handler = OnEndSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kEndSignals) sigaction(sig, &sa, nullptr);
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  g_restore = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

Keyboard::~Keyboard() {
  RestoreTerminal();
  g_restore = 0;
}

int Keyboard::Poll() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return kKeyNone;
  unsigned char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1) return kKeyEnd;  // end of input or hang-up
  if (c != kKeyEsc) return c;
  if (!InputWaiting(kEscSequenceMs)) return kKeyEsc;
  DropSequence();
  return kKeyNone;
}

// Not yet watched: the window's size, stops and output dropped.
bool ConsoleTakeRedraw() { return false; }
int ConsoleTakeDroppedLines() { return 0; }
int ConsolePendingSignal() { return 0; }
