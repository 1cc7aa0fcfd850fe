#include "monitor_loop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

#include "console.h"
#include "name_text.h"
#include "port_list.h"
#include "port_loss.h"
#include "print_log.h"
#include "screen.h"
#include "telegram_link.h"

std::unique_ptr<char[]> ValueNames[kMaxNames];
int32_t ValueCount = 0;

namespace {

constexpr const char* kLogBaseName = "./comlog";
constexpr int32_t kLogLimit = 500000;
constexpr int kBaud = 9600;
constexpr int16_t kUserId = -12;
constexpr int kParamNumber = 155;
constexpr int kParamValue = 4;
constexpr int kNameOffset = 8;  // an 'A' telegram's name starts here
constexpr int kInputLineSize = 256;
constexpr int kClockDataBytes = 7;       // second .. year
constexpr int kDeviceTextColumns = 128;  // a device's text is cut here

constexpr const char* kPrompt = "ComPort-Nummer [1..6]: ";

// ---- Command dispatch: command byte of a complete telegram -> state ----

struct Command {
  unsigned char byte;
  MonitorState state;
};
constexpr Command kCommands[] = {{'A', MonitorState::StoreName},
                                 {'1', MonitorState::ShowValues},
                                 {'2', MonitorState::TakeClock},
                                 {'I', MonitorState::LogInfo}};

MonitorState StateForCommand(unsigned char byte) {
  for (const Command& c : kCommands)
    if (c.byte == byte) return c.state;
  return MonitorState::Receive;
}

// ---- Row scaling: row index -> how its value is shown ----

enum class Scaling { AsReceived, Halved, Per207 };
struct RowScaling {
  int row;
  Scaling scaling;
};
constexpr RowScaling kRowScaling[] = {
    {4, Scaling::Halved},  {11, Scaling::Per207}, {12, Scaling::Halved}, {13, Scaling::Halved},
    {14, Scaling::Halved}, {15, Scaling::Halved}, {16, Scaling::Halved}, {17, Scaling::Halved},
    {18, Scaling::Halved}, {22, Scaling::Halved}};

// ---- Start dialogue ----

// Reads one line; the rest of a longer line is discarded. False at end of input.
bool ReadLine(std::FILE* in, char (&line)[kInputLineSize]) {
  if (!std::fgets(line, sizeof line, in)) return false;
  if (!std::strchr(line, '\n')) {
    int c = 0;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
    }
  }
  return true;
}

// The number at the start of line as scanf's "%i" reads it, or 0.
int32_t ParsePortNumber(const char* line) {
  char* end = nullptr;
  const long n = std::strtol(line, &end, 0);
  return end != line && n >= 1 && n <= kComPortCount ? static_cast<int32_t>(n) : 0;
}

// The ports present as they are now, so that an adapter plugged in
// meanwhile appears.
void ShowPortList() {
  hCom.ListPorts();
  static char lines[kPortLinesSize];
  hCom.PortsText(RenderDeviceText, lines, sizeof lines);
  std::fputs(lines, stdout);
}

// The port's line in the log, so that each run's start can be found there.
void LogPortLine() {
  char line[kPortLinesSize];
  hCom.OpenedText(RenderDeviceText, line, sizeof line);
  printlog("%s\n", line);
}

// Asks for the port until one opens, showing the ports present before the
// first prompt and after a port that could not be opened. False when the
// input ends.
bool AskAndOpenPort(MonitorLoop& m) {
  ShowPortList();
  for (;;) {
    std::fputs(kPrompt, stdout);
    ConsoleFlush();
    char line[kInputLineSize];
    if (!ReadLine(m.input, line)) return false;
    m.portNumber = ParsePortNumber(line);
    if (m.portNumber == 0) continue;
    if (OpenComPort(m.portNumber - 1, kBaud) == 0) return true;
    std::printf("%s cannot be opened: %s\n", ComPortName(m.portNumber - 1), hCom.Error());
    ShowPortList();
  }
}

int StartTurn(MonitorLoop& m) {
  glsUserID = kUserId;
  ValueCount = 0;
  m.count = 0;
  m.screenPrepared = false;
  m.expected = 0;
  if (!AskAndOpenPort(m)) return 1;
  m.portOpened = true;
  m.openedAt = MonitorClock::now();
  LogPortLine();
  char ready[64];
  std::snprintf(ready, sizeof ready, "Ready to receive from ComPort: %i\n",
                static_cast<int>(m.portNumber));
  ConsoleText(ready);
  ConsoleText(kEscHint);
  Send_Msg("Ra");
  m.phase = ReceivePhase::Header;
  m.state = MonitorState::Receive;
  return kRunning;
}

// ---- Receiver ----

void CheckHeader(MonitorLoop& m) {
  const auto length = static_cast<unsigned char>(m.buffer[2]);
  // Length bytes 0x80..0xFF do not fit (and 0xFB..0xFF would give fewer
  // bytes than a telegram's own header and checksum).
  if (length > kMaxDataLength) {
    static const char kTooBig[] = "Buffersize to small for telegram";
    PrintComLog(kTraceError, reinterpret_cast<const unsigned char*>(kTooBig), sizeof kTooBig - 1);
    ++m.counts.rejected;
    m.count = 0;
    m.expected = 0;
    return;
  }
  m.expected = length + kTelegramOverhead;
  if (m.buffer[0] == kRequestStart) {
    m.phase = ReceivePhase::ShortFrame;
  } else if (m.buffer[0] == kDataStart) {
    m.phase = ReceivePhase::DataFrame;
  } else {
    static const char kBadStart[] = "Unvalid telegram startvalue";
    PrintComLog(kTraceError, reinterpret_cast<const unsigned char*>(kBadStart),
                sizeof kBadStart - 1);
    ++m.counts.rejected;
    m.count = 0;
  }
}

// A complete data telegram: acknowledge it at once, then pick its handling.
// A telegram whose checksum fails is refused: answered negatively, traced as
// it arrived, and not acted upon, so that a garbled name, value or clock
// never reaches the table.
void CompleteTelegram(MonitorLoop& m) {
  const int len = static_cast<int>(m.expected);
  const bool good = checkCheckSum(m.buffer, len) != 0;
  if (good) {
    sendAcq(m.buffer, len);
    ++m.counts.acknowledged;
  } else {
    sendNAcq(m.buffer, len);
    ++m.counts.negative;
  }
  m.count = 0;
  m.phase = ReceivePhase::Header;
  m.state = good ? StateForCommand(m.buffer[1]) : MonitorState::Receive;
  if (m.state == MonitorState::Receive) PrintComLog(kTraceReceived, m.buffer, len);
}

// ---- A device that goes away (a USB adapter pulled) ----

// Says why the port was lost, and starts from an empty receiver: a
// telegram cut by the loss is dropped.
void LosePort(MonitorLoop& m) {
  printlog("%s lost: %s\n", ComPortName(m.portNumber - 1), hCom.Error());
  ++m.counts.portLosses;
  m.count = 0;
  m.expected = 0;
  m.phase = ReceivePhase::Header;
}

// The ports present now, each line a log message, for a port that stays
// away (an adapter back under another name or number).
void LogPortsPresent(int32_t portNumber) {
  printlog("%s still away; the ports present now:\n", ComPortName(portNumber - 1));
  static char lines[kPortLinesSize];
  hCom.PortsText(RenderDeviceText, lines, sizeof lines);
  for (char* line = lines; *line != '\0';) {
    char* end = std::strchr(line, '\n');
    if (end) *end = '\0';
    printlog("%s\n", line);
    if (!end) break;
    line = end + 1;
  }
}

// Tries the lost port again when its retry is due. The controller is not
// asked for anything: names, date line and screen stay as they are.
void TryReopen(MonitorLoop& m) {
  const ComPort::Retry retry = hCom.RetryIfDue(kBaud);
  if (retry == ComPort::Retry::StillAway) LogPortsPresent(m.portNumber);
  if (retry != ComPort::Retry::Opened && retry != ComPort::Retry::Moved) return;
  printlog("%s open again\n", ComPortName(m.portNumber - 1));
  if (retry == ComPort::Retry::Moved) LogPortLine();  // it came back under another path
}

// The turn's byte: taken at once when the turn's wait saw one on the line
// (or, on Windows, timed out: the read then asks whether the device is
// still there), not asked for when it saw none (a read would only wait out
// its time-out), and read with its time-out where nothing waited (the first
// turn, before the keyboard).
int ReadLineByte(MonitorLoop& m) {
  const LineWait line = m.line;
  m.line = LineWait::Unwatched;
  if (line == LineWait::Quiet || m.count >= kReceiveBufferSize) return 0;
  unsigned char* next = m.buffer + m.count;
  return line == LineWait::Ready ? ComReceiveArrived(next, 1) : ComReceive(next, 1);
}

int ReceiveTurn(MonitorLoop& m) {
  if (hCom.Lost()) TryReopen(m);
  if (ReadLineByte(m) > 0) {
    ++m.count;
    ++m.counts.bytes;
  } else if (hCom.TakeLoss()) {
    LosePort(m);  // from now on the turn's wait ends for the retry, no sooner
  }
  if (m.phase == ReceivePhase::Header && m.count >= 3) CheckHeader(m);
  if (m.phase == ReceivePhase::ShortFrame && m.count >= kShortFrameLength) {
    m.count = 0;  // the controller's short frames need no answer
    m.phase = ReceivePhase::Header;
    ++m.counts.shortFrames;
  }
  if (m.phase == ReceivePhase::DataFrame && m.count >= static_cast<int32_t>(m.expected))
    CompleteTelegram(m);
  return kRunning;
}

// ---- Handlers of complete telegrams ----

int StoreNameTurn(MonitorLoop& m) {
  const int len = static_cast<int>(m.expected);
  if (ValueCount < kMaxNames) {
    // Too short to carry a name: an empty one keeps names and rows aligned.
    const int nameLen = len >= kNameOffset + 2 ? len - kNameOffset - 2 : 0;
    auto name = std::make_unique<char[]>(static_cast<std::size_t>(nameLen) + 1);
    std::memcpy(name.get(), m.buffer + kNameOffset, static_cast<std::size_t>(nameLen));
    name[static_cast<std::size_t>(nameLen)] = '\0';
    ValueNames[ValueCount++] = std::move(name);
    if (m.screenPrepared) DrawLateName(ValueCount - 1);
  }
  PrintComLog(kTraceReceived, m.buffer, len);
  m.state = MonitorState::Receive;
  return kRunning;
}

int ShowValuesTurn(MonitorLoop& m) {
  const int dataEnd = static_cast<int>(m.expected) - 2;  // the checksum starts here
  int shown[kMaxNames];
  int n = 0;
  for (; n < ValueCount; ++n) {
    const int hi = 3 + 2 * n;
    if (hi + 1 >= dataEnd) break;  // rows beyond the data keep their old value
    shown[n] = ScaleRow(n, static_cast<int16_t>((m.buffer[hi] << 8) | m.buffer[hi + 1]));
  }
  DrawValues(m.dateLine, shown, n);
  m.state = MonitorState::Receive;
  return kRunning;
}

int TakeClockTurn(MonitorLoop& m) {
  if (!m.screenPrepared) {
    Send_Msg("Rb");
    m.screenPrepared = true;
    PrepareScreen();
    Set_ParamValue(kParamNumber, kParamValue);
  }
  // The clock's year sits at offset 9: shorter telegrams keep the old line.
  if (m.expected >= kClockDataBytes + kTelegramOverhead) {
    const unsigned char* b = m.buffer;
    std::snprintf(m.dateLine, sizeof m.dateLine, "\nDate: %02i.%02i.%02i - Time: %02i:%02i:%02i",
                  convert_VarnhaltTime(b[6]), convert_VarnhaltTime(b[7]),
                  convert_VarnhaltTime(b[9]), convert_VarnhaltTime(b[5]),
                  convert_VarnhaltTime(b[4]), convert_VarnhaltTime(b[3]));
  }
  m.state = MonitorState::Receive;
  return kRunning;
}

int LogInfoTurn(MonitorLoop& m) {
  PrintComLog(kTraceReceived, m.buffer, static_cast<int>(m.expected));
  m.state = MonitorState::Receive;
  return kRunning;
}

// What each state does, in the order of MonitorState.
using Handler = int (*)(MonitorLoop&);
constexpr Handler kHandlers[] = {
    StartTurn,       // Start
    ReceiveTurn,     // Receive
    StoreNameTurn,   // StoreName
    ShowValuesTurn,  // ShowValues
    TakeClockTurn,   // TakeClock
    LogInfoTurn,     // LogInfo
};
static_assert(std::size(kHandlers) == kMonitorStateCount &&
                  static_cast<int>(MonitorState::LogInfo) == kMonitorStateCount - 1,
              "one handler per monitor state, in the order of MonitorState");

// Milliseconds from now until due, 0 when overdue.
long long MsUntil(MonitorClock::time_point due, MonitorClock::time_point now) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  return left > 0 ? left : 0;
}

// The turn's one wait, before a turn that reads the line: for a byte, a
// key, a signal or a terminal that takes output; while the port is lost, no
// longer than its next retry; a port left out after a wake that brought
// nothing is watched again once its time is up. Bytes read ahead and
// complete telegrams need no wait.
void WaitForWork(Keyboard& keyboard, MonitorLoop& m) {
  if (m.state != MonitorState::Receive || hCom.Buffered() > 0) return;
  const auto now = MonitorClock::now();
  WaitDues dues;
  if (hCom.Lost()) dues.retryMs = MsUntil(hCom.RetryDue(), now);
  std::intptr_t line = hCom.IsOpen() ? hCom.WaitHandle() : -1;
  if (line != -1 && hCom.LeftOutUntil() > now) {
    dues.portBackMs = MsUntil(hCom.LeftOutUntil(), now);
    line = -1;
  }
  m.line = keyboard.Wait(line, WaitTimeoutMs(dues));
}

// The keys of this turn: ESC ends the program with 0, the keyboard's end with 1.
int PollKeys(Keyboard& keyboard, MonitorLoop& m) {
  const int key = keyboard.Poll();
  if (key == kKeyEnd) return 1;
  if (key < 0) return kRunning;
  m.lastKey = static_cast<unsigned char>(key);
  return m.lastKey == kKeyEsc ? 0 : kRunning;
}

// One figure of the report: "label: number", on the screen and in the log.
void PrintFigure(const char* label, long long value) {
  char number[24];  // the log's formatter has no 64-bit conversion
  std::snprintf(number, sizeof number, "%lld", value);
  printlog("%s: %s\n", label, number);
}

}  // namespace

std::size_t RenderDeviceText(const char* text, std::size_t len, char* out, std::size_t size) {
  if (size == 0) return 0;
  const NameText shown = RenderName(reinterpret_cast<const unsigned char*>(text), len,
                                    ConsoleNameCharset(), kDeviceTextColumns);
  const std::size_t n = std::min(static_cast<std::size_t>(shown.size), size - 1);
  std::memcpy(out, shown.text, n);
  out[n] = '\0';
  return n;
}

int ScaleRow(int row, int16_t value) {
  for (const RowScaling& r : kRowScaling) {
    if (r.row != row) continue;
    return r.scaling == Scaling::Halved ? value >> 1 : value / 207;
  }
  return value;
}

void FreeValueNames() {
  for (auto& name : ValueNames) name.reset();
  ValueCount = 0;
}

void PrintLineReport(const MonitorLoop& m) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(MonitorClock::now() - m.openedAt);
  const LineCounts& c = m.counts;
  const struct {
    const char* label;
    long long value;
  } figures[] = {{"Run time in seconds", seconds.count()},
                 {"Bytes received", c.bytes},
                 {"Telegrams acknowledged", c.acknowledged},
                 {"Negative acknowledgements (bad checksum)", c.negative},
                 {"R frames (not answered)", c.shortFrames},
                 {"Rejected headers", c.rejected},
                 {"Times the port was lost", c.portLosses}};
  for (const auto& f : figures) PrintFigure(f.label, f.value);
  PrintFigure("Writes not completed", hCom.WritesNotCompleted());
  // Last, so that it counts the report's own lines that could not be written.
  PrintFigure("Log lines not written", printlog_lines_lost());
}

int MonitorTurn(MonitorLoop& m) { return kHandlers[static_cast<int>(m.state)](m); }

int RunMonitor() {
  // Whole turns reach the terminal at once: flushed at the end of each turn
  // (and before waiting for input), not line by line.
  static char screenBuffer[16384];
  std::setvbuf(stdout, screenBuffer, _IOFBF, sizeof screenBuffer);
  printlog_init(kLogBaseName, 1, kLogLimit);
  printlog_set_echo(TraceEcho);
  MonitorLoop m;
  std::optional<Keyboard> keyboard;  // key mode from the first poll, after the dialogue
  int status = kRunning;
  while (status == kRunning) {
    if (keyboard) WaitForWork(*keyboard, m);
    status = MonitorTurn(m);
    if (status == kRunning) {
      if (!keyboard) keyboard.emplace();
      status = PollKeys(*keyboard, m);
    }
    // A signal that asks to end wins over ESC and the end of input.
    if (const int sig = ConsolePendingSignal()) status = 128 + sig;
    if (status == kRunning && ConsoleTakeRedraw() && m.screenPrepared)
      RedrawScreen(m.dateLine, ConsoleTakeDroppedLines());
    ConsoleFlush();
  }
  LeaveScreen();
  if (m.portOpened) PrintLineReport(m);
  ConsoleFlush();
  hCom.Close();
  FreeValueNames();
  return status;
}
