// The serial ports present on POSIX, read from sysfs and /dev; no port is
// opened to make the list.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "port_list.h"

namespace {

constexpr int kUartCount = 6;        // ttyS0 .. ttyS5
constexpr int kUsbFolderLevels = 8;  // how far above the device link idVendor is looked for
constexpr int kNumberedMax = 64;     // ttyUSB / ttyACM devices looked at per kind

// Copies text into out (size bytes) when it fits whole; false otherwise, so
// that no cut path is ever used.
bool CopyWhole(char* out, std::size_t size, const char* text) {
  const std::size_t len = std::strlen(text);
  if (len >= size) return false;
  std::memcpy(out, text, len + 1);
  return true;
}

// Reads a small text file whole into out, without its line ends. False when
// it cannot be read.
bool ReadText(const char* path, char* out, std::size_t size) {
  out[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, out, size - 1);
  close(fd);
  if (n < 0) return false;
  std::size_t len = static_cast<std::size_t>(n);
  while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == '\r')) --len;
  out[len] = '\0';
  return true;
}

bool IsCharDevice(const char* path, dev_t* rdev) {
  struct stat st {};
  if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  *rdev = st.st_rdev;
  return true;
}

// A ttyS<n> that is a port: the kernel reports a UART for it, or the node
// is not the kernel's (something was put in its place).
bool UartPresent(const char* sysRoot, const char* devRoot, int n, char* path) {
  std::snprintf(path, kPortPathSize, "%s/ttyS%d", devRoot, n);
  dev_t rdev = 0;
  if (!IsCharDevice(path, &rdev)) return false;
  char file[PATH_MAX];
  char text[32];
  std::snprintf(file, sizeof file, "%s/ttyS%d/dev", sysRoot, n);
  unsigned major = 0, minor = 0;
  if (!ReadText(file, text, sizeof text) || std::sscanf(text, "%u:%u", &major, &minor) != 2)
    return true;
  if (makedev(major, minor) != rdev) return true;
  std::snprintf(file, sizeof file, "%s/ttyS%d/type", sysRoot, n);
  return ReadText(file, text, sizeof text) && std::strcmp(text, "0") != 0;
}

// The USB device's texts: from the first folder at or above the tty's
// device link that holds idVendor.
void ReadUsbTexts(const char* sysRoot, const char* name, PortEntry& e) {
  char link[PATH_MAX];
  char folder[PATH_MAX];
  std::snprintf(link, sizeof link, "%s/%s/device", sysRoot, name);
  if (!realpath(link, folder)) return;
  char file[PATH_MAX + 16];
  for (int level = 0; level < kUsbFolderLevels && folder[0] == '/' && folder[1]; ++level) {
    std::snprintf(file, sizeof file, "%s/idVendor", folder);
    if (access(file, F_OK) == 0) {
      const struct {
        const char* name;
        char* out;
        std::size_t size;
      } texts[] = {{"manufacturer", e.manufacturer, kPortTextSize},
                   {"product", e.product, kPortTextSize},
                   {"serial", e.serial, kPortTextSize},
                   {"idVendor", e.vendorId, kPortIdSize},
                   {"idProduct", e.productId, kPortIdSize}};
      for (const auto& t : texts) {
        std::snprintf(file, sizeof file, "%s/%s", folder, t.name);
        ReadText(file, t.out, t.size);
      }
      return;
    }
    char* slash = std::strrchr(folder, '/');
    if (!slash) return;
    *slash = '\0';
  }
}

// The by-id name that points at the device, for an adapter with a serial
// number (those without one share their by-id name).
void FindById(const char* devRoot, PortEntry& e) {
  if (e.serial[0] == '\0') return;
  char folder[PATH_MAX];
  char device[PATH_MAX];
  char target[PATH_MAX];
  std::snprintf(folder, sizeof folder, "%s/serial/by-id", devRoot);
  if (!realpath(e.path, device)) return;
  DIR* dir = opendir(folder);
  if (!dir) return;
  while (const dirent* d = readdir(dir)) {
    if (d->d_name[0] == '.') continue;
    char entry[PATH_MAX + 256];
    std::snprintf(entry, sizeof entry, "%s/%s", folder, d->d_name);
    if (realpath(entry, target) && std::strcmp(target, device) == 0) {
      if (!CopyWhole(e.byId, sizeof e.byId, entry)) e.byId[0] = '\0';
      break;
    }
  }
  closedir(dir);
}

// The numbers n of the sysfs entries "<prefix><n>", in order.
int NumberedEntries(const char* sysRoot, const char* prefix, int (&numbers)[kNumberedMax]) {
  DIR* dir = opendir(sysRoot);
  if (!dir) return 0;
  const std::size_t plen = std::strlen(prefix);
  int count = 0;
  while (const dirent* d = readdir(dir)) {
    if (std::strncmp(d->d_name, prefix, plen) != 0 || d->d_name[plen] == '\0') continue;
    char* end = nullptr;
    const long n = std::strtol(d->d_name + plen, &end, 10);
    if (*end == '\0' && n >= 0 && n < INT_MAX && count < kNumberedMax)
      numbers[count++] = static_cast<int>(n);
  }
  closedir(dir);
  std::sort(numbers, numbers + count);
  return count;
}

void AddUsbPorts(const char* sysRoot, const char* devRoot, const char* prefix, PortList& out) {
  int numbers[kNumberedMax];
  const int count = NumberedEntries(sysRoot, prefix, numbers);
  for (int i = 0; i < count && out.count < kPortListMax; ++i) {
    PortEntry& e = out.entries[out.count];
    e = PortEntry{};
    char name[32];
    std::snprintf(name, sizeof name, "%s%d", prefix, numbers[i]);
    std::snprintf(e.path, sizeof e.path, "%s/%s", devRoot, name);
    dev_t rdev = 0;
    if (!IsCharDevice(e.path, &rdev)) continue;
    ReadUsbTexts(sysRoot, name, e);
    FindById(devRoot, e);
    ++out.count;
  }
}

// Adds devRoot/<name> to the list when it is a character device.
void AddCharDevice(const char* devRoot, const char* name, PortList& out) {
  if (out.count >= kPortListMax) return;
  PortEntry& e = out.entries[out.count];
  e = PortEntry{};
  std::snprintf(e.path, sizeof e.path, "%s/%s", devRoot, name);
  dev_t rdev = 0;
  if (IsCharDevice(e.path, &rdev)) ++out.count;
}

// Without a readable sysfs (a container, a chroot): the character devices
// in devRoot, without names, USB first (ttyUSB<n>, then ttyACM<n>, each in
// number order), then ttyS0..ttyS5. A phantom ttyS cannot be told from a
// UART here, and six of them would leave an adapter no number.
void ListDevOnly(const char* devRoot, PortList& out) {
  char name[32];
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    int numbers[kNumberedMax];
    const int count = NumberedEntries(devRoot, prefix, numbers);
    for (int i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "%s%d", prefix, numbers[i]);
      AddCharDevice(devRoot, name, out);
    }
  }
  for (int n = 0; n < kUartCount; ++n) {
    std::snprintf(name, sizeof name, "ttyS%d", n);
    AddCharDevice(devRoot, name, out);
  }
}

// Appends text to out (size bytes) at *used, cut where it does not fit.
void Append(char* out, std::size_t size, std::size_t* used, const char* text) {
  if (*used >= size) return;
  const int n = std::snprintf(out + *used, size - *used, "%s", text);
  if (n > 0) *used = std::min(size - 1, *used + static_cast<std::size_t>(n));
}

}  // namespace

int ListSerialPorts(const PortRoots& roots, PortList& out) {
  out.count = 0;
  if (access(roots.sys, R_OK | X_OK) != 0) {
    ListDevOnly(roots.dev, out);
    return out.count;
  }
  for (int n = 0; n < kUartCount && out.count < kPortListMax; ++n) {
    PortEntry& e = out.entries[out.count];
    e = PortEntry{};
    if (UartPresent(roots.sys, roots.dev, n, e.path)) ++out.count;
  }
  AddUsbPorts(roots.sys, roots.dev, "ttyUSB", out);
  AddUsbPorts(roots.sys, roots.dev, "ttyACM", out);
  return out.count;
}

void PortListText(const PortList& list, DeviceTextRenderer render, char* out, std::size_t size) {
  std::size_t used = 0;
  out[0] = '\0';
  if (list.count == 0) Append(out, size, &used, "No serial port found\n");
  for (int i = 0; i < list.count && i < kPortListMax; ++i) {
    char line[kPortLinesSize];
    PortLineText(i, list.entries[i], render, line, sizeof line);
    Append(out, size, &used, line);
    Append(out, size, &used, "\n");
  }
}

// "COM1 = /dev/ttyUSB0 (FTDI FT232R USB UART A50285BI)", the device's texts
// rendered by render.
void PortLineText(int index, const PortEntry& e, DeviceTextRenderer render, char* out,
                  std::size_t size) {
  std::size_t used = 0;
  out[0] = '\0';
  char head[kPortPathSize + 16];
  std::snprintf(head, sizeof head, "%s = %s", ComPortName(index), e.path);
  Append(out, size, &used, head);
  const char* texts[] = {e.manufacturer, e.product, e.serial};
  bool first = true;
  for (const char* t : texts) {
    if (t[0] == '\0') continue;
    char shown[kPortTextSize * 4];
    render(t, std::strlen(t), shown, sizeof shown);
    Append(out, size, &used, first ? " (" : " ");
    Append(out, size, &used, shown);
    first = false;
  }
  if (!first) Append(out, size, &used, ")");
}

bool RetryPath(const PortEntry& port, const PortRoots& roots, char* path) {
  // The by-id name follows the adapter to whatever tty it has now; while the
  // name is missing (the adapter is away, or udev has not made the link
  // yet) the old path may belong to another adapter, so nothing is opened.
  if (port.byId[0] != '\0' && port.serial[0] != '\0') {
    char now[PATH_MAX];
    char before[PATH_MAX];
    if (!realpath(port.byId, now)) return false;
    const bool same = realpath(port.path, before) && std::strcmp(before, now) == 0;
    return CopyWhole(path, kPortPathSize, same ? port.path : now);
  }
  if (port.vendorId[0] != '\0') {
    // A USB port without a serial number: its old name only while the same
    // kind of device is there again.
    const char* slash = std::strrchr(port.path, '/');
    PortEntry there{};
    ReadUsbTexts(roots.sys, slash ? slash + 1 : port.path, there);
    if (std::strcmp(there.vendorId, port.vendorId) != 0 ||
        std::strcmp(there.productId, port.productId) != 0)
      return false;
  }
  return CopyWhole(path, kPortPathSize, port.path);
}
