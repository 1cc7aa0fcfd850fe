// The serial ports present, and what the port numbers 1 to 6 reach.
//
// POSIX: the numbers stand for the ports present, in this order: the UARTs
// /dev/ttyS0..ttyS5 that the kernel reports (or a node put in place of one),
// then the USB adapters ttyUSB<n>, then the USB modems ttyACM<n>. Windows:
// COM1..COM6 as they are; the list only says which COM ports exist.
//
// Texts that come from a device (a USB adapter's manufacturer, product and
// serial number) are handed to the caller's renderer before they are shown
// or logged, so that a device cannot send commands to the terminal.
#pragma once

#include <cstddef>

constexpr int kPortListMax = 6;       // the numbers 1..6
constexpr int kPortPathSize = 256;    // a device path
constexpr int kPortTextSize = 512;    // a device's own texts, raw bytes
constexpr int kPortLinesSize = 4096;  // every line of the list

// One port of the list.
struct PortEntry {
  char path[kPortPathSize];          // "/dev/ttyUSB0" (Windows: "\\.\COM4")
  char manufacturer[kPortTextSize];  // the USB device's texts, empty where the
  char product[kPortTextSize];       // kernel names none
  char serial[kPortTextSize];
  char byId[kPortPathSize];  // its /dev/serial/by-id name, when it has a USB serial number
};

struct PortList {
  PortEntry entries[kPortListMax];
  int count;
};

// Makes the list of serial ports present (POSIX) from the sysfs tty class
// folder (normally "/sys/class/tty") and the device folder (normally
// "/dev"; its "serial/by-id" is searched too). Opens no port: opening one
// moves its modem lines. Returns the count.
int ListSerialPorts(const char* sysRoot, const char* devRoot, PortList& out);

// Renders a device's text (len bytes) into out (size bytes, NUL-terminated)
// as it may be shown and logged; returns the bytes written.
using DeviceTextRenderer = std::size_t (*)(const char* text, std::size_t len, char* out,
                                           std::size_t size);

// Makes the table of ports 1..6 again from the machine's ports present.
void RefreshComPorts();
// The same from other roots (POSIX; see ListSerialPorts).
void RefreshComPortsFrom(const char* sysRoot, const char* devRoot);
// The lines shown before the prompt, each ending in '\n', into out
// (kPortLinesSize bytes). POSIX: "COM1 = /dev/ttyUSB0 (FTDI ...)" per port,
// or "No serial port found". Windows: "Serial ports on this PC: COM1, COM4".
void ComPortListText(DeviceTextRenderer render, char* out, std::size_t size);
// The log's line for port index once it is open, without a line end:
// "COM1 = /dev/ttyUSB0 (FTDI ...)" (Windows: "COM1 opened").
void ComPortOpenedText(int index, DeviceTextRenderer render, char* out, std::size_t size);
// Opens port index again after it was lost. Where it had a by-id name, what
// that name points to now is opened, so an adapter that comes back under
// another name is found. Returns -1 when it does not open, 1 when it opened
// under another path than before, 0 when it opened as before.
int ReopenComPort(int index, int baud);
