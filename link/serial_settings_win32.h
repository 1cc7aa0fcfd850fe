// The Windows port's settings, as a function of the DCB the driver reports,
// so that what the program makes of any starting DCB can be checked.
#pragma once

#include <windows.h>

// Receive queue size taken when the driver reports none.
constexpr DWORD kDefaultRxQueue = 4096;

// Makes dcb the program's line: 8N1 at baud, binary, no parity check, no
// flow control either way, no DSR gating, no dropped zero bytes, no error
// character, line errors that do not stop later reads, DTR inactive, RTS
// on; XON/XOFF characters and limits that every driver takes. rxQueue is
// the driver's receive queue (0: not reported).
void TakeLine(DCB& dcb, int baud, DWORD rxQueue);
