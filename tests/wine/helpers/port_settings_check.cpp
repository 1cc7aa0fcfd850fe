// Prints the line settings that TakeLine makes of a hostile starting DCB
// (RTS off, XonChar equal to XoffChar, every flow-control flag on, odd
// framing), one line per receive queue size given on the command line, for
// the Wine tests to compare.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "serial_settings_win32.h"

namespace {

DCB Hostile() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 110;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fBinary = dcb.fTXContinueOnXoff = FALSE;
  // Every check, every kind of flow control, every byte filter: on.
  dcb.fParity = dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity =
      dcb.fNull = dcb.fErrorChar = dcb.fAbortOnError = TRUE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonChar = dcb.XoffChar = 0x00;  // equal: a driver refuses them as they are
  dcb.XonLim = dcb.XoffLim = 0xFFFF;
  return dcb;
}

void Print(const DCB& d, unsigned long queue) {
  std::printf(
      "queue %lu: baud %lu, %u data bits, parity %u, stop bits %u, binary %u, parity check %u, "
      "XON/XOFF out %u in %u, CTS %u, DSR %u, DSR sensitivity %u, continue on XOFF %u, "
      "null %u, error char %u, abort on error %u, DTR %u, RTS %u, XonChar %u, XoffChar %u, "
      "XonLim %u, XoffLim %u\n",
      queue, static_cast<unsigned long>(d.BaudRate), d.ByteSize, d.Parity, d.StopBits, d.fBinary,
      d.fParity, d.fOutX, d.fInX, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDsrSensitivity,
      d.fTXContinueOnXoff, d.fNull, d.fErrorChar, d.fAbortOnError, d.fDtrControl, d.fRtsControl,
      d.XonChar, d.XoffChar, d.XonLim, d.XoffLim);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const unsigned long queue = std::strtoul(argv[i], nullptr, 10);
    DCB dcb = Hostile();
    TakeLine(dcb, 9600, static_cast<DWORD>(queue));
    Print(dcb, queue);
  }
  return 0;
}
