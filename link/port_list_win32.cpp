// The serial ports present on Windows: the names under SERIALCOMM in the
// registry, and the COM devices QueryDosDevice knows. Ports 1 to 6 stay
// COM1 to COM6, opened as "\\.\COMn" (the only form that reaches COM10 and
// above, and safe for every number: "Naming Files, Paths, and Namespaces",
// Microsoft Learn).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_list.h"

namespace {

constexpr const char* kDevices[kComPortCount] = {"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3",
                                                 "\\\\.\\COM4", "\\\\.\\COM5", "\\\\.\\COM6"};

// The number of "COM<n>", or 0.
int ComNumber(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return 0;
  char* end = nullptr;
  const long n = std::strtol(name + 3, &end, 10);
  return *end == '\0' && n > 0 && n < kComNumberMax ? static_cast<int>(n) : 0;
}

// The ports the serial drivers registered: each value's data is "COM<n>".
void MarkRegistered(bool (&present)[kComNumberMax]) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameSize = sizeof name;
    char data[64] = "";
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG r = RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &dataSize);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize < sizeof data ? dataSize : sizeof data - 1] = '\0';
    present[ComNumber(data)] = true;
  }
  RegCloseKey(key);
}

// The COM devices in the DOS device names (a list of NUL-terminated names).
void MarkDosDevices(bool (&present)[kComNumberMax]) {
  static char names[65536];
  const DWORD n = QueryDosDeviceA(nullptr, names, sizeof names);
  for (DWORD i = 0; i < n && names[i] != '\0'; i += static_cast<DWORD>(std::strlen(names + i)) + 1)
    present[ComNumber(names + i)] = true;
}

}  // namespace

int ListSerialPorts(const PortRoots&, PortList& out) {
  for (bool& p : out.comPresent) p = false;
  MarkRegistered(out.comPresent);
  MarkDosDevices(out.comPresent);
  out.comPresent[0] = false;  // where names that are no COM port were counted
  // The numbers reach COM1..COM6 whether or not they are present.
  for (int i = 0; i < kComPortCount; ++i) {
    out.entries[i] = PortEntry{};
    std::snprintf(out.entries[i].path, sizeof out.entries[i].path, "%s", kDevices[i]);
  }
  out.count = kComPortCount;
  return out.count;
}

void PortListText(const PortList& list, DeviceTextRenderer, char* out, std::size_t size) {
  int used = std::snprintf(out, size, "Serial ports on this PC:");
  bool any = false;
  bool aboveSix = false;
  for (int n = 1; n < kComNumberMax; ++n) {
    if (!list.comPresent[n] || used < 0 || static_cast<std::size_t>(used) >= size) continue;
    used += std::snprintf(out + used, size - static_cast<std::size_t>(used), "%s COM%d",
                          any ? "," : "", n);
    any = true;
    aboveSix = aboveSix || n > kComPortCount;
  }
  if (!any) {
    std::snprintf(out, size, "No serial port found\n");
    return;
  }
  if (used < 0 || static_cast<std::size_t>(used) >= size) return;
  std::snprintf(out + used, size - static_cast<std::size_t>(used), "\n%s",
                aboveSix ? "Only COM1 to COM6 can be chosen: give the adapter one of those numbers "
                           "in the Device Manager.\n"
                         : "");
}

void PortLineText(int index, const PortEntry&, DeviceTextRenderer, char* out, std::size_t size) {
  std::snprintf(out, size, "%s opened", ComPortName(index));
}

bool RetryPath(const PortEntry& port, const PortRoots&, char* path) {
  std::snprintf(path, kPortPathSize, "%s", port.path);
  return true;
}
