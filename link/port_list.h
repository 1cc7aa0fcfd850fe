// The serial ports present, and what the port numbers 1 to 6 reach.
//
// POSIX: the numbers stand for the ports present, in this order: the UARTs
// /dev/ttyS0..ttyS5 that the kernel reports (or a node put in place of one),
// then the USB adapters ttyUSB<n>, then the USB modems ttyACM<n>. Windows:
// COM1..COM6 as they are; the list only says which COM ports exist.
//
// A list is a value: making one changes nothing else, and the serial port
// (com_port.h) keeps its own copy of what identifies the port it opened.
//
// Texts that come from a device (a USB adapter's manufacturer, product and
// serial number) are handed to the caller's renderer before they are shown
// or logged, so that a device cannot send commands to the terminal.
#pragma once

#include <cstddef>

constexpr int kComPortCount = 6;      // "COM1" .. "COM6"
constexpr int kPortListMax = 6;       // the numbers 1..6
constexpr int kPortPathSize = 256;    // a device path
constexpr int kPortTextSize = 512;    // a device's own texts, raw bytes
constexpr int kPortIdSize = 8;        // a USB vendor or product id, "0403"
constexpr int kPortLinesSize = 4096;  // every line of the list
constexpr int kComNumberMax = 256;    // Windows: COM1 .. COM255

// One port of the list, and what identifies it.
struct PortEntry {
  char path[kPortPathSize];          // "/dev/ttyUSB0" (Windows: "\\.\COM4")
  char manufacturer[kPortTextSize];  // the USB device's texts, empty where the
  char product[kPortTextSize];       // kernel names none
  char serial[kPortTextSize];
  char byId[kPortPathSize];     // its /dev/serial/by-id name, when it has a USB serial number
  char vendorId[kPortIdSize];   // the USB device's idVendor and idProduct; empty
  char productId[kPortIdSize];  // for a port that is no USB device
};

struct PortList {
  PortEntry entries[kPortListMax];  // what the numbers reach
  int count;
  bool comPresent[kComNumberMax];  // Windows: the COM numbers present (COM4 at 4)
};

// Where the kernel's tty class folder and the device folder are; tests
// make trees of their own.
struct PortRoots {
  const char* sys = "/sys/class/tty";
  const char* dev = "/dev";
};

// Renders a device's text (len bytes) into out (size bytes, NUL-terminated)
// as it may be shown and logged; returns the bytes written.
using DeviceTextRenderer = std::size_t (*)(const char* text, std::size_t len, char* out,
                                           std::size_t size);

// The user's name of port index 0..5: "COM1".."COM6"; "COM?" out of range.
const char* ComPortName(int index);
// The platform device that port index 0..5 reaches in list; nullptr for an
// index out of range or past the ports present.
const char* ComDevicePath(const PortList& list, int index);

// ---- Platform code: port_list_posix.cpp, port_list_win32.cpp ----

// Makes the list of serial ports present. POSIX: from the sysfs tty class
// folder and the device folder (its "serial/by-id" is searched too); Windows
// asks the system and ignores the roots. Opens no port: opening one moves
// its modem lines. Returns the count.
int ListSerialPorts(const PortRoots& roots, PortList& out);
// The lines shown before the prompt, each ending in '\n', into out
// (kPortLinesSize bytes). POSIX: "COM1 = /dev/ttyUSB0 (FTDI ...)" per port,
// or "No serial port found". Windows: "Serial ports on this PC: COM1, COM4",
// and a hint where a port above COM6 is present.
void PortListText(const PortList& list, DeviceTextRenderer render, char* out, std::size_t size);
// The log's line for port index once it is open, without a line end:
// "COM1 = /dev/ttyUSB0 (FTDI ...)" (Windows: "COM1 opened").
void PortLineText(int index, const PortEntry& port, DeviceTextRenderer render, char* out,
                  std::size_t size);
// Where a port that was lost may be opened again now, into path
// (kPortPathSize bytes); false when nothing may be opened yet. POSIX: an
// adapter with a by-id name and a USB serial number only through that name,
// and not while the name is missing; another USB port at its old path only
// while sysfs shows the same USB vendor and product there; any other port at
// its old path. Windows: the same COM port.
bool RetryPath(const PortEntry& port, const PortRoots& roots, char* path);
