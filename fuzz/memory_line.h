// In-memory ends of the monitor for the fuzz targets: the serial port
// (serial_memory.cpp) and the console (console_memory.cpp) replace the
// platform files behind the same declarations, link/telegram_link.h and
// monitor/console.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts a new run: the line will hand out data[0..size-1], one byte per
// Receive call, then nothing. The port is closed and every record cleared.
void MemoryLineReset(const uint8_t* data, std::size_t size);
// Bytes not yet handed out.
std::size_t MemoryLineLeft();
// Data telegrams that the line has seen completed (by PcFramer) and
// acknowledgements sent for them.
int MemoryLineTelegrams();
int MemoryLineAcks();
// Aborts when a completed 'M' telegram is still waiting for its
// acknowledgement. Call when the run is over.
void MemoryLineFinish();
