// Fuzz target: arbitrary bytes on the serial line, through the monitor's
// receiver and command handling, turn by turn, as the loop runs them.
//
// The start dialogue runs first (port "1" typed), then the monitor turns
// until every byte is read and the last telegram is handled. The memory
// line (serial_memory.cpp) checks every acknowledgement; this file checks
// the loop's state after every turn and that each receive turn makes
// progress.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "memory_line.h"
#include "monitor_loop.h"
#include "print_log.h"
#include "screen.h"
#include "telegram_link.h"

namespace {

[[noreturn]] void Fail(const char* what, const MonitorLoop& m) {
  std::fprintf(stderr, "monitor: %s (state %d, phase %d, count %d, expected %u)\n", what,
               static_cast<int>(m.state), static_cast<int>(m.phase), m.count, m.expected);
  std::abort();
}

void CheckState(const MonitorLoop& m) {
  if (m.count < 0 || m.count >= kReceiveBufferSize) Fail("byte count out of range", m);
  if (m.expected > kMaxTelegramLength) Fail("expected length out of range", m);
  if (ValueCount < 0 || ValueCount > kMaxNames) Fail("name count out of range", m);
  if (std::memchr(m.dateLine, '\0', sizeof m.dateLine) == nullptr)
    Fail("date line not terminated", m);
  if (m.state > MonitorState::LogInfo || m.phase > ReceivePhase::DataFrame)
    Fail("no such state", m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSetUp(512);                // the log for inputs up to 512 bytes
  printlog_set_echo(TraceEcho);  // echoes placed in the trace area, as in the program
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  m_log_enabled = FuzzLogFor(size) ? 1 : 0;
  MemoryLineReset(data, size);
  TheScreen() = MonitorScreen();  // each input starts with a screen never drawn
  MonitorLoop m;
  char typed[] = "1\n";
  m.input = fmemopen(typed, sizeof typed - 1, "r");
  if (!m.input) std::abort();
  const int status = MonitorTurn(m);
  std::fclose(m.input);
  m.input = nullptr;
  if (status != kRunning || m.state != MonitorState::Receive)
    Fail("start dialogue did not open the port", m);

  // Every receive turn reads a byte while there are any, and every other
  // state lasts one turn: more turns than this means the loop is stuck.
  const std::size_t maxTurns = 2 * size + 4;
  std::size_t turns = 0;
  while (MemoryLineLeft() > 0 || m.state != MonitorState::Receive) {
    if (MonitorTurn(m) != kRunning) Fail("loop ended without ESC", m);
    CheckState(m);
    if (++turns > maxTurns) Fail("loop makes no progress", m);
  }
  MemoryLineFinish();
  if (m_log_enabled) FuzzCheckLogEndsInLineBreak();
  LeaveScreen();  // the program's way out
  FreeValueNames();
  hCom.Close();
  return 0;
}
