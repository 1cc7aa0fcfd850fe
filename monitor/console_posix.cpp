// The console on POSIX: ANSI sequences for clearing and placing the cursor,
// a non-canonical, no-echo standard input for key polling, output that never
// holds up the loop, and the loop's one wait.
//
// While keys are polled, output goes through a non-blocking description of
// the terminal of the program's own (the shell's stays blocking). What the
// terminal does not take at once waits in a bounded backlog; when the
// terminal stops reading for long, the backlog is dropped and the whole
// screen is drawn again once it reads again. Before that (the port dialogue)
// and when standard output is no terminal, output goes through stdout.
//
// All of the console's state is one object. Signal handlers reach it through
// an atomic pointer, published once the terminal's saved settings are in it,
// and touch only its sig_atomic_t flags (except a second end signal, which
// restores the terminal and ends the program at once); each also writes a
// byte to a pipe, so that the loop's wait wakes, and the loop acts on the
// flags at the end of its turn.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEscSequenceMs = 25;  // bytes this close behind an ESC belong to its key
constexpr std::size_t kBacklogMax = 64 * 1024;
constexpr int kLeaveDrainMs = 1000;  // how long the backlog may hold up a way out or a stop
constexpr std::size_t kKeyChunk = 4096;
constexpr int kKeyReadsPerTurn = 16;  // bounds a turn under a flood of input

constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";
// Whole scroll region back, the cursor shown, then a fresh row below everything.
constexpr char kLeave[] = "\x1b[r\x1b[?25h\x1b[999;1H\n";

constexpr int kEndSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Keys as they arrive: a lone ESC, or an ESC with the sequence of an arrow or
// function key behind it (CSI: ESC [ parameters final; SS3: ESC O x; or ESC
// and one character), which is dropped whole.
enum class KeyScan { Ground, Esc, Csi, Ss3 };

struct Output {
  char backlog[kBacklogMax];
  std::size_t size = 0;
  bool dropping = false;   // the terminal stopped reading: output is dropped
  bool suspended = false;  // in the background after a stop: output is dropped
  bool redraw = false;
  int linesPending = 0;  // trace lines whose output is still in the backlog
  int linesDropped = 0;
};

class PosixConsole {
 public:
  PosixConsole() = default;
  ~PosixConsole();
  PosixConsole(const PosixConsole&) = delete;
  PosixConsole& operator=(const PosixConsole&) = delete;

  // Output.
  void Emit(const char* text, std::size_t n);
  void Emit(const char* text) { Emit(text, std::strlen(text)); }
  void Flush();
  void Clear();
  void ScrollArea(int top, int bottom);
  void EndScrollArea();
  ConsoleSize WindowSize();
  bool TakeRedraw();
  int TakeDroppedLines();
  int PendingSignal() const { return pending_; }
  void CountTraceLine();

  // The keyboard and the wait.
  void StartKeys();
  void EndKeys();
  int PollKeys();
  LineWait Wait(int line, int timeoutMs);

  // Called by the signal handlers only.
  void OnEndSignal(int sig);
  void OnStop() { stopAsked_ = 1; }
  void OnContinue() { continued_ = 1; }
  void OnResize() {
    resized_ = 1;
    sizeChanges_ = sizeChanges_ + 1;
  }
  void Wake() const;

 private:
  bool Discarding() const { return out_.dropping || out_.suspended; }
  void WriteBacklog();
  bool Writable(int timeoutMs) const;
  void DrainBacklog();
  void OpenOwnTerminal();
  void CloseOwnTerminal();
  void OpenWakePipe();
  void DrainWakes() const;
  void RestoreTerminal();
  void EnterKeyMode();
  void LeaveTerminal(int fd);
  void StopHere();
  void ResumeWhenForeground();
  void ResumeWhenReading();
  void ScanKey(unsigned char c, int& last);
  int EndOfSequence(int last);
  int WaitLimit(int timeoutMs) const;

  // What the signal handlers reach.
  termios saved_{};                     // filled in before the console is published
  volatile sig_atomic_t restore_ = 0;   // key mode is on; saved_ holds the settings to restore
  volatile sig_atomic_t screen_ = 0;    // the screen was cleared for the table
  volatile sig_atomic_t keyboard_ = 0;  // a Keyboard exists: end signals wait for the turn's end
  volatile sig_atomic_t pending_ = 0;   // the end signal asked for, or 0
  volatile sig_atomic_t stopAsked_ = 0;
  volatile sig_atomic_t continued_ = 0;
  volatile sig_atomic_t resized_ = 0;
  volatile sig_atomic_t sizeChanges_ = 0;
  volatile sig_atomic_t ttyFd_ = -1;      // the program's own description of the terminal
  volatile sig_atomic_t wakeWrite_ = -1;  // the pipe that wakes the loop's wait
  int wakeRead_ = -1;

  // The loop's own.
  Output out_;
  int areaTop_ = -1;  // the scroll area set on the terminal (rows, from 0); -1 when none
  int areaBottom_ = -1;
  KeyScan scan_ = KeyScan::Ground;
  Clock::time_point lastKeyAt_{};
  ConsoleSize knownSize_{};
  int knownSizeAt_ = -1;  // the size change knownSize_ was asked at; -1: ask again
};

static_assert(std::atomic<PosixConsole*>::is_always_lock_free,
              "signal handlers reach the console through a lock-free pointer");
std::atomic<PosixConsole*> g_published{nullptr};

PosixConsole& TheConsole() {
  static PosixConsole console;
  return console;
}

// ---- Output ----

void PosixConsole::Emit(const char* text, std::size_t n) {
  if (ttyFd_ < 0) {
    std::fwrite(text, 1, n, stdout);
    return;
  }
  if (Discarding()) return;
  if (n > kBacklogMax - out_.size) WriteBacklog();  // room, if the terminal takes some now
  if (n > kBacklogMax - out_.size) {
    // The terminal has not read for long: drop what waits, and draw the
    // whole screen again once it reads.
    out_.size = 0;
    out_.linesDropped += out_.linesPending;
    out_.linesPending = 0;
    out_.dropping = true;
    return;
  }
  std::memcpy(out_.backlog + out_.size, text, n);
  out_.size += n;
}

// Writes as much of the backlog as the terminal takes now.
void PosixConsole::WriteBacklog() {
  std::size_t done = 0;
  while (done < out_.size) {
    const ssize_t n = write(ttyFd_, out_.backlog + done, out_.size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      if (done < out_.size) break;  // the terminal is full: the rest waits for a later turn
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // EAGAIN: the rest waits. Any other error: the terminal is gone.
      if (!(n < 0 && errno == EAGAIN)) done = out_.size;
      break;
    }
  }
  std::memmove(out_.backlog, out_.backlog + done, out_.size - done);
  out_.size -= done;
  if (out_.size == 0) out_.linesPending = 0;
}

bool PosixConsole::Writable(int timeoutMs) const {
  pollfd p{ttyFd_, POLLOUT, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLOUT);
}

// Writes the backlog, waiting at most kLeaveDrainMs for the terminal.
void PosixConsole::DrainBacklog() {
  if (ttyFd_ < 0) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kLeaveDrainMs);
  for (WriteBacklog(); out_.size > 0; WriteBacklog()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Writable(static_cast<int>(left.count()))) break;
  }
}

void PosixConsole::OpenOwnTerminal() {
  if (ttyFd_ >= 0 || !isatty(STDOUT_FILENO)) return;
  const char* name = ttyname(STDOUT_FILENO);
  if (name) ttyFd_ = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void PosixConsole::CloseOwnTerminal() {
  if (ttyFd_ < 0) return;
  const int fd = ttyFd_;
  ttyFd_ = -1;
  close(fd);
  out_.size = 0;
  out_.dropping = out_.suspended = out_.redraw = false;
}

// ---- The wake-up pipe: a signal ends the loop's wait ----

void PosixConsole::OpenWakePipe() {
  int fds[2];
  if (wakeRead_ >= 0 || pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
}

void PosixConsole::Wake() const {
  const int saved = errno;  // a handler leaves errno as it found it
  if (wakeWrite_ >= 0) {
    const ssize_t ignored = write(wakeWrite_, "", 1);  // a full pipe wakes the wait already
    (void)ignored;
  }
  errno = saved;
}

void PosixConsole::DrainWakes() const {
  char bytes[64];
  if (wakeRead_ >= 0)
    while (read(wakeRead_, bytes, sizeof bytes) > 0) {
    }
}

PosixConsole::~PosixConsole() {
  if (wakeRead_ < 0) return;
  const int fd = wakeWrite_;
  wakeWrite_ = -1;
  close(fd);
  close(wakeRead_);
}

// ---- Terminal settings and the signals ----

void PosixConsole::RestoreTerminal() {
  if (restore_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  restore_ = 0;
}

// Key mode: no canonical input, no echo, no flow control (Ctrl+S and Ctrl+Q
// are keys, so that the terminal's output can never be held up by them).
// The settings to restore are read when key mode is not on already: after a
// stop, the shell may have changed them.
void PosixConsole::EnterKeyMode() {
  if (!isatty(STDIN_FILENO)) return;
  if (!restore_ && tcgetattr(STDIN_FILENO, &saved_) != 0) return;
  termios raw = saved_;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  restore_ = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

// Whether reading the keyboard is allowed: the program is in the terminal's
// foreground process group, or standard input is no controlling terminal of
// its (no terminal at all, or another one), where no job control applies.
bool InForeground() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground == getpgrp() || (foreground < 0 && errno == ENOTTY);
}

// The terminal as the shell wants it: settings, the whole scroll region, the
// cursor shown on a fresh row.
void PosixConsole::LeaveTerminal(int fd) {
  RestoreTerminal();
  if (screen_) {
    const ssize_t ignored = write(fd, kLeave, sizeof kLeave - 1);
    (void)ignored;
  }
}

void PosixConsole::OnEndSignal(int sig) {
  if (keyboard_ && !pending_) {
    pending_ = sig;  // the loop ends at the end of its turn, with the report
    return;
  }
  LeaveTerminal(ttyFd_ >= 0 ? ttyFd_ : STDOUT_FILENO);
  _exit(128 + sig);  // the kernel releases the serial port with the process
}

// Every handler reaches the console that was published with its handlers.
template <void (PosixConsole::*Act)()>
void Handle(int) {
  PosixConsole* console = g_published.load();
  (console->*Act)();
  console->Wake();
}

extern "C" void CatchEnd(int sig) {
  PosixConsole* console = g_published.load();
  console->OnEndSignal(sig);
  console->Wake();
}
extern "C" void CatchStop(int sig) { Handle<&PosixConsole::OnStop>(sig); }
extern "C" void CatchContinue(int sig) { Handle<&PosixConsole::OnContinue>(sig); }
extern "C" void CatchResize(int sig) { Handle<&PosixConsole::OnResize>(sig); }

struct Handler {
  int sig;
  void (*handler)(int);
  bool keepIgnored;  // a stop ignored by whoever started the program (no job control) stays so
};
constexpr Handler kWindowHandlers[] = {
    {SIGTSTP, CatchStop, true}, {SIGCONT, CatchContinue, false}, {SIGWINCH, CatchResize, false}};

void Install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// A stop asked for with Ctrl+Z: the terminal is left as the shell wants it,
// then the program stops with SIGTSTP, as the shell expects.
void PosixConsole::StopHere() {
  stopAsked_ = 0;
  Emit(kLeave);
  DrainBacklog();
  RestoreTerminal();
  areaTop_ = -1;  // the region is set again when the screen is drawn again
  areaBottom_ = -1;
  Install(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
  Install(SIGTSTP, CatchStop);  // continued from here
  continued_ = 1;
}

// After a continue, key mode and the screen come back once the program is in
// the terminal's foreground; in the background it waits, drawing nothing.
void PosixConsole::ResumeWhenForeground() {
  if (continued_) {
    continued_ = 0;
    out_.suspended = true;
  }
  if (!out_.suspended || !InForeground()) return;
  out_.suspended = false;
  EnterKeyMode();  // also after a stop that was not ours (SIGSTOP)
  out_.redraw = true;
}

// Output dropped: once the terminal takes output again, a byte that ends any
// sequence cut short, then the whole screen.
void PosixConsole::ResumeWhenReading() {
  if (!out_.dropping || !Writable(0)) return;
  out_.dropping = false;
  Emit("\x18");
  out_.redraw = true;
}

void PosixConsole::Flush() {
  std::fflush(stdout);
  if (ttyFd_ >= 0) {
    WriteBacklog();
    ResumeWhenReading();
  }
  if (stopAsked_ && keyboard_) StopHere();
  if (keyboard_) ResumeWhenForeground();
}

// ---- The screen ----

// The scroll region is lifted, so that it is set afresh for the new area;
// the cursor is hidden while the table is shown.
void PosixConsole::Clear() {
  Emit("\x1b[H\x1b[2J\x1b[r");
  Emit(kHideCursor);
  areaTop_ = -1;
  areaBottom_ = -1;
  screen_ = 1;
}

// A line feed on the area's bottom row scrolls only the terminal's scroll
// region (set here whenever the area moved or the screen was cleared).
void PosixConsole::ScrollArea(int top, int bottom) {
  if (top != areaTop_ || bottom != areaBottom_) {
    char region[32];
    const int n = std::snprintf(region, sizeof region, "\x1b[%d;%dr", top + 1, bottom + 1);
    Emit(region, static_cast<std::size_t>(n));
    areaTop_ = top;
    areaBottom_ = bottom;
  }
  GotoXY(0, bottom);
  Emit("\n");
}

void PosixConsole::EndScrollArea() {
  if (areaTop_ < 0) return;
  Emit("\x1b[r");
  areaTop_ = -1;
  areaBottom_ = -1;
}

// While keys are polled the size is asked once per change of the window.
ConsoleSize PosixConsole::WindowSize() {
  if (keyboard_ && knownSizeAt_ == sizeChanges_) return knownSize_;
  winsize ws{};
  knownSize_ = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0
                   ? ConsoleSize{0, 0}
                   : ConsoleSize{ws.ws_col, ws.ws_row};
  knownSizeAt_ = keyboard_ ? static_cast<int>(sizeChanges_) : -1;
  return knownSize_;
}

bool PosixConsole::TakeRedraw() {
  if (resized_) {
    resized_ = 0;
    out_.redraw = true;
  }
  if (!out_.redraw || Discarding()) return false;
  out_.redraw = false;
  return true;
}

int PosixConsole::TakeDroppedLines() {
  const int n = out_.linesDropped;
  out_.linesDropped = 0;
  return n;
}

void PosixConsole::CountTraceLine() {
  if (ttyFd_ < 0) return;
  if (Discarding())
    ++out_.linesDropped;
  else
    ++out_.linesPending;
}

// ---- The keyboard ----

void PosixConsole::StartKeys() {
  std::fflush(stdout);  // the dialogue's text stays ahead of all that follows
  OpenOwnTerminal();
  OpenWakePipe();
  EnterKeyMode();
  g_published.store(this);  // the saved settings are in place for the handlers
  for (int sig : kEndSignals) Install(sig, CatchEnd);
  for (const Handler& h : kWindowHandlers) {
    struct sigaction old {};
    if (h.keepIgnored && sigaction(h.sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
      continue;
    Install(h.sig, h.handler);
  }
  keyboard_ = 1;
}

void PosixConsole::EndKeys() {
  keyboard_ = 0;
  RestoreTerminal();
  for (const Handler& h : kWindowHandlers) Install(h.sig, SIG_DFL);
  if (screen_) Emit(kShowCursor);
  DrainBacklog();
  CloseOwnTerminal();
}

bool InputWaiting() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

void PosixConsole::ScanKey(unsigned char c, int& last) {
  switch (scan_) {
    case KeyScan::Ground:
      if (c == kKeyEsc)
        scan_ = KeyScan::Esc;
      else
        last = c;
      return;
    case KeyScan::Esc:
      scan_ = c == '[' ? KeyScan::Csi : c == 'O' ? KeyScan::Ss3 : KeyScan::Ground;
      return;
    case KeyScan::Csi:
      if (c < 0x20 || c > 0x3F) scan_ = KeyScan::Ground;  // the final byte
      return;
    case KeyScan::Ss3:
      scan_ = KeyScan::Ground;
      return;
  }
}

// A key's sequence comes with no more than kEscSequenceMs between its bytes:
// an ESC with nothing behind it for that long is a lone ESC, and a sequence
// cut short is dropped. Until then the loop's wait wakes in time to tell.
int PosixConsole::EndOfSequence(int last) {
  if (scan_ == KeyScan::Ground ||
      Clock::now() - lastKeyAt_ < std::chrono::milliseconds(kEscSequenceMs))
    return last;
  const bool loneEsc = scan_ == KeyScan::Esc;
  scan_ = KeyScan::Ground;
  return loneEsc ? kKeyEsc : last;
}

// In the background a read would stop the program (or fail), so before a
// read the foreground is asked here, not taken from the flag that the end of
// the turn sets: a stop that was not ours (SIGSTOP, then bg) is only noticed
// there, after this turn's keys. Found in the background, the console waits
// for the foreground as after a continue, and the wait leaves the keys out.
int PosixConsole::PollKeys() {
  if (out_.suspended) return kKeyNone;
  int last = kKeyNone;
  for (int reads = 0; InputWaiting();) {
    if (reads == 0 && !InForeground()) {
      out_.suspended = true;
      return kKeyNone;
    }
    if (reads++ == kKeyReadsPerTurn) return last;  // the rest waits for the next turn
    unsigned char keys[kKeyChunk];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n < 0 && errno == EINTR) return last;
    if (n <= 0) return kKeyEnd;  // end of input or hang-up
    lastKeyAt_ = Clock::now();
    for (ssize_t i = 0; i < n; ++i) ScanKey(keys[i], last);
  }
  return EndOfSequence(last);
}

// ---- The loop's one wait ----

// The caller's limit: none while the loop has work of the console's waiting
// (a redraw, a stop, a continue, an end signal), shortened while a key's
// sequence may still go on.
int PosixConsole::WaitLimit(int timeoutMs) const {
  if ((out_.redraw && !Discarding()) || resized_ || stopAsked_ || continued_ || pending_) return 0;
  if (scan_ == KeyScan::Ground) return timeoutMs;
  const auto left = lastKeyAt_ + std::chrono::milliseconds(kEscSequenceMs) - Clock::now();
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  const int leftMs = ms > 0 ? static_cast<int>(ms) : 0;
  return timeoutMs < 0 || leftMs < timeoutMs ? leftMs : timeoutMs;
}

// One poll: the line, the keys (not in the background, where the terminal
// would report input it does not let the program read), the terminal's
// write side only while output waits for it or is being dropped, and the
// wake-up pipe of the signal handlers.
LineWait PosixConsole::Wait(int line, int timeoutMs) {
  pollfd fds[4];
  nfds_t n = 0;
  if (line >= 0) fds[n++] = pollfd{line, POLLIN, 0};
  if (!out_.suspended) fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
  const nfds_t tty = n;
  if (ttyFd_ >= 0 && (out_.size > 0 || out_.dropping)) fds[n++] = pollfd{ttyFd_, POLLOUT, 0};
  const bool watchingTty = n > tty;
  const nfds_t wake = n;
  if (wakeRead_ >= 0) fds[n++] = pollfd{wakeRead_, POLLIN, 0};
  const int ready = poll(fds, n, WaitLimit(timeoutMs));
  // Emptied only when a handler may have written to it (a signal also ends
  // the poll with EINTR, revents unset): a busy line costs no read here.
  if (wake < n && (ready < 0 || fds[wake].revents != 0)) DrainWakes();
  if (watchingTty && (fds[tty].revents & (POLLERR | POLLHUP | POLLNVAL))) {
    out_.size = 0;  // the terminal is gone: nothing will take what waits
    out_.dropping = false;
  }
  return line >= 0 && ready > 0 && fds[0].revents != 0 ? LineWait::Ready : LineWait::Quiet;
}

}  // namespace

void ConsoleClear() { TheConsole().Clear(); }

void GotoXY(int x, int y) {
  char move[32];
  const int n = std::snprintf(move, sizeof move, "\x1b[%d;%dH", y + 1, x + 1);
  TheConsole().Emit(move, static_cast<std::size_t>(n));
}

void ConsoleText(const char* text) { TheConsole().Emit(text); }
void ConsoleFlush() { TheConsole().Flush(); }
void ConsoleClearToEndOfRow() { TheConsole().Emit("\x1b[K"); }

void ConsolePutRow(int x, int y, const char* text, int n) {
  GotoXY(x, y);
  TheConsole().Emit(text, static_cast<std::size_t>(n));
  ConsoleClearToEndOfRow();
}

ConsoleSize ConsoleWindowSize() { return TheConsole().WindowSize(); }
void ConsoleScrollArea(int top, int bottom) { TheConsole().ScrollArea(top, bottom); }
void ConsoleEndScrollArea() { TheConsole().EndScrollArea(); }

Keyboard::Keyboard() { TheConsole().StartKeys(); }
Keyboard::~Keyboard() { TheConsole().EndKeys(); }
int Keyboard::Poll() { return TheConsole().PollKeys(); }
LineWait Keyboard::Wait(std::intptr_t line, int timeoutMs) {
  return TheConsole().Wait(static_cast<int>(line), timeoutMs);
}

bool ConsoleTakeRedraw() { return TheConsole().TakeRedraw(); }
int ConsoleTakeDroppedLines() { return TheConsole().TakeDroppedLines(); }
int ConsolePendingSignal() { return TheConsole().PendingSignal(); }
void ConsoleCountTraceLine() { TheConsole().CountTraceLine(); }

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
