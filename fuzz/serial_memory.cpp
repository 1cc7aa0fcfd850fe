// The serial port in memory, for the fuzz targets: Receive hands out the
// fuzz input one byte per call, Send checks what the monitor writes.
//
// The line runs the bytes it hands out through the simulator's model of the
// PC's receiver (PcFramer), so it knows when the monitor owes an
// acknowledgement. It aborts on an acknowledgement that is malformed, has the
// wrong checksum, answers the wrong telegram or comes when none is owed, and
// on a next byte being read while one is still owed. Verdicts and checksums
// are summed here from the bytes, not taken from the link code under test.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "memory_line.h"
#include "port_list.h"
#include "sim_model.h"
#include "telegram_link.h"

namespace {

constexpr const char* kDevices[kComPortCount] = {"mem:COM1", "mem:COM2", "mem:COM3",
                                                 "mem:COM4", "mem:COM5", "mem:COM6"};

const uint8_t* g_data = nullptr;
std::size_t g_size = 0;
std::size_t g_next = 0;

// The model of the PC's receiver over the bytes handed out.
PcFramer g_framer;

// The telegram that waits for its acknowledgement.
bool g_owed = false;
unsigned char g_owedStart = 0;
unsigned char g_owedCommand = 0;
bool g_owedPositive = false;

int g_telegrams = 0;
int g_acks = 0;

[[noreturn]] void Fail(const char* what, const unsigned char* buf, int n) {
  std::fprintf(stderr, "memory line: %s:", what);
  for (int i = 0; i < n; ++i) std::fprintf(stderr, " %02x", buf[i]);
  std::fprintf(stderr, " (byte %zu of %zu)\n", g_next, g_size);
  std::abort();
}

unsigned Sum16(const unsigned char* p, int n) {
  unsigned s = 0;
  for (int i = 0; i < n; ++i) s += p[i];
  return s & 0xFFFF;
}

bool ChecksumHolds(const unsigned char* t, int len) {
  return len >= 2 && ((t[len - 2] << 8) | t[len - 1]) == static_cast<int>(Sum16(t, len - 2));
}

void Frame(unsigned char b) {
  const FrameEvent e = g_framer.Feed(b);
  if (e.type != FrameEventType::Data) return;
  const unsigned char* t = g_framer.frame();
  g_owed = true;
  g_owedStart = t[0];
  g_owedCommand = t[1];
  g_owedPositive = ChecksumHolds(t, static_cast<int>(e.end - e.start));
  ++g_telegrams;
}

void CheckAck(const unsigned char* a, int n) {
  if (!g_owed) Fail("acknowledgement that no telegram asked for", a, n);
  if (a[0] != g_owedStart || a[1] != g_owedCommand || a[2] != 0x01)
    Fail("acknowledgement of the wrong telegram", a, n);
  if (a[3] != (g_owedPositive ? 0x01 : 0x00)) Fail("acknowledgement with the wrong verdict", a, n);
  if (!ChecksumHolds(a, n)) Fail("acknowledgement with a bad checksum", a, n);
  g_owed = false;
  ++g_acks;
}

// Requests (8 bytes) and the parameter write (9 bytes) of the PC.
void CheckOwnTelegram(const unsigned char* t, int n) {
  if (g_owed) Fail("telegram sent before the owed acknowledgement", t, n);
  if (t[0] != kRequestStart || t[2] + kTelegramOverhead != n || !ChecksumHolds(t, n))
    Fail("malformed telegram sent", t, n);
}

}  // namespace

void MemoryLineReset(const uint8_t* data, std::size_t size) {
  hCom.Close();
  g_data = data;
  g_size = size;
  g_next = 0;
  g_framer = PcFramer();
  g_owed = false;
  g_telegrams = 0;
  g_acks = 0;
}

std::size_t MemoryLineLeft() { return g_size - g_next; }
int MemoryLineTelegrams() { return g_telegrams; }
int MemoryLineAcks() { return g_acks; }

void MemoryLineFinish() {
  if (g_owed) Fail("telegram left without acknowledgement", &g_owedStart, 1);
  if (g_acks != g_telegrams) Fail("acknowledgements and telegrams differ", nullptr, 0);
}

// The ports present are the memory lines: each listed by its name, none
// with a device text, none ever coming back under another name.
int ListSerialPorts(const PortRoots&, PortList& out) {
  out = PortList{};
  for (int i = 0; i < kComPortCount; ++i)
    std::snprintf(out.entries[i].path, sizeof out.entries[i].path, "%s", kDevices[i]);
  out.count = kComPortCount;
  return out.count;
}

void PortListText(const PortList& list, DeviceTextRenderer, char* out, std::size_t size) {
  if (size > 0) out[0] = '\0';
  for (int i = 0; i < list.count; ++i) {
    const std::size_t used = std::strlen(out);
    std::snprintf(out + used, size - used, "%s = %s\n", ComPortName(i), list.entries[i].path);
  }
}

void PortLineText(int index, const PortEntry& port, DeviceTextRenderer, char* out,
                  std::size_t size) {
  std::snprintf(out, size, "%s = %s", ComPortName(index), port.path);
}

bool RetryPath(const PortEntry& port, const PortRoots&, char* path) {
  std::snprintf(path, kPortPathSize, "%s", port.path);
  return true;
}

bool ComPort::IsOpen() const { return handle_ >= 0; }

int ComPort::Open(const char* device, int /*baud*/) {
  Close();
  if (!device || std::strncmp(device, "mem:", 4) != 0) {
    std::snprintf(error_, sizeof error_, "%s", "No such device");
    return -1;
  }
  handle_ = 0;
  error_[0] = '\0';
  return 0;
}

void ComPort::Close() { handle_ = -1; }

int ComPort::Send(const unsigned char* buf, int n) {
  if (n == kAckLength)
    CheckAck(buf, n);
  else if (n == 8 || n == 9)
    CheckOwnTelegram(buf, n);
  else
    Fail("unexpected telegram length", buf, n > 0 ? n : 0);
  return 0;
}

int ComPort::Receive(unsigned char* buf, int n, int) {
  if (n < 1) return 0;
  if (g_owed) Fail("next byte read before the owed acknowledgement", &g_owedStart, 1);
  if (handle_ < 0 || g_next >= g_size) return 0;
  buf[0] = g_data[g_next++];
  Frame(buf[0]);
  return 1;
}
