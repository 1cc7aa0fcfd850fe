// The port numbers' names and devices, the same on every platform.
#include "port_list.h"

namespace {

constexpr const char* kPortNames[kComPortCount] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

}  // namespace

const char* ComPortName(int index) {
  return index >= 0 && index < kComPortCount ? kPortNames[index] : "COM?";
}

const char* ComDevicePath(const PortList& list, int index) {
  return index >= 0 && index < list.count && index < kPortListMax ? list.entries[index].path
                                                                  : nullptr;
}
