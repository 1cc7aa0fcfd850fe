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
#include "telegram_link.h"

namespace {

constexpr int kComMax = 256;  // COM1 .. COM255
constexpr const char* kDevices[kComPortCount] = {"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3",
                                                 "\\\\.\\COM4", "\\\\.\\COM5", "\\\\.\\COM6"};

bool g_present[kComMax] = {};

// The number of "COM<n>", or 0.
int ComNumber(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return 0;
  char* end = nullptr;
  const long n = std::strtol(name + 3, &end, 10);
  return *end == '\0' && n > 0 && n < kComMax ? static_cast<int>(n) : 0;
}

// The ports the serial drivers registered: each value's data is "COM<n>".
void MarkRegistered() {
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
    g_present[ComNumber(data)] = true;
  }
  RegCloseKey(key);
}

// The COM devices in the DOS device names (a list of NUL-terminated names).
void MarkDosDevices() {
  static char names[65536];
  const DWORD n = QueryDosDeviceA(nullptr, names, sizeof names);
  for (DWORD i = 0; i < n && names[i] != '\0'; i += static_cast<DWORD>(std::strlen(names + i)) + 1)
    g_present[ComNumber(names + i)] = true;
}

}  // namespace

void RefreshComPorts() {
  for (bool& p : g_present) p = false;
  MarkRegistered();
  MarkDosDevices();
  g_present[0] = false;  // where names that are no COM port were counted
}

const char* ComDevicePath(int index) {
  return index >= 0 && index < kComPortCount ? kDevices[index] : nullptr;
}

void ComPortListText(DeviceTextRenderer, char* out, std::size_t size) {
  int used = std::snprintf(out, size, "Serial ports on this PC:");
  bool any = false;
  bool aboveSix = false;
  for (int n = 1; n < kComMax; ++n) {
    if (!g_present[n] || used < 0 || static_cast<std::size_t>(used) >= size) continue;
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

void ComPortOpenedText(int index, DeviceTextRenderer, char* out, std::size_t size) {
  std::snprintf(out, size, "%s opened", ComPortName(index));
}

int ReopenComPort(int index, int baud) { return OpenComPort(index, baud) == 0 ? 0 : -1; }
