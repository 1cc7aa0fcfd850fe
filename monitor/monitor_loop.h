// Monitor console: the program's one loop. Each turn reads at most one byte
// from the port into a byte-wise telegram receiver (or, for one turn after a
// complete data telegram, acts on it), then polls the keyboard; ESC ends it.
//
// Received commands: 'A' a value name, '1' the current values, '2' the
// controller's clock, 'I' information. Every complete 'M' telegram is
// acknowledged before it is handled; one whose checksum fails is answered
// negatively and only traced. 'R' frames are dropped unanswered.
//
// These names are the program's established interface and keep their mixed
// styles.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "console.h"
#include "value_names.h"

constexpr int kReceiveBufferSize = 512;
constexpr int kDateLineSize = 48;
constexpr int kRunning = -1;  // MonitorTurn: the loop goes on

// What the loop does in its next turn. Start runs once; StoreName,
// ShowValues, TakeClock and LogInfo act on a complete telegram for one turn.
enum class MonitorState : uint8_t { Start, Receive, StoreName, ShowValues, TakeClock, LogInfo };
constexpr int kMonitorStateCount = 6;
// Where the receiver stands in the telegram being received.
enum class ReceivePhase : uint8_t { Header, ShortFrame, DataFrame };

// What the line did since the port was opened, for the report at the end.
struct LineCounts {
  long long bytes = 0;         // bytes received
  long long acknowledged = 0;  // telegrams answered with a positive acknowledgement
  long long negative = 0;      // negative acknowledgements sent (bad checksum)
  long long shortFrames = 0;   // 'R' frames, dropped unanswered
  long long rejected = 0;      // headers rejected (start byte or length)
  long long portLosses = 0;    // times the device went away
};

using MonitorClock = std::chrono::steady_clock;

struct MonitorLoop {
  MonitorState state = MonitorState::Start;
  ReceivePhase phase = ReceivePhase::Header;
  unsigned char buffer[kReceiveBufferSize] = {};
  int32_t count = 0;      // bytes received into buffer
  uint32_t expected = 0;  // total length of the telegram being received
  char dateLine[kDateLineSize] = "";
  bool screenPrepared = false;
  unsigned char lastKey = 0;
  int32_t portNumber = 0;
  std::FILE* input = stdin;             // where the port number is typed
  bool portOpened = false;              // the start dialogue opened a port
  LineWait line = LineWait::Unwatched;  // what the turn's wait saw on the line
  MonitorClock::time_point openedAt{};
  LineCounts counts;
};

// The program: log set-up, the loop, shut-down. Returns the exit status:
// 0 after ESC, 1 when the input ends.
int RunMonitor();

// One turn's action for the current state (no key polling). Returns
// kRunning, or an exit status when the program must end.
int MonitorTurn(MonitorLoop& m);

// Prints the report of the line ("label: number", one figure per line) at
// the cursor and appends the same lines to the log; the last figure is the
// log lines that could not be written.
void PrintLineReport(const MonitorLoop& m);

// A device's own text (a USB adapter's maker, product, serial number) into
// out (size bytes, NUL-terminated) as it is shown and logged: rendered like
// a value name, so it can send the terminal no command. Returns the bytes
// written.
std::size_t RenderDeviceText(const char* text, std::size_t len, char* out, std::size_t size);

// The shown value of row i for the received 16-bit value.
int ScaleRow(int row, int16_t value);
