// Set-up shared by the fuzz targets.
#pragma once

// Sends stdout (the formatter's echo, the screen) to /dev/null and points
// the log at comlog.log/.bak in a fresh directory (under $VARNHALT_FUZZ_LOGDIR,
// /dev/shm or /tmp; removed at exit) with a small limit, so that rotation
// happens often. The log is written for inputs of up to logSize bytes
// (opening the file for every line can cost more than all the rest);
// VARNHALT_FUZZ_LOG=1 writes it for every input, VARNHALT_FUZZ_LOG=0 never.
void FuzzSetUp(unsigned long logSize);

// Whether the log is written for an input of this size.
bool FuzzLogFor(unsigned long size);

// Aborts unless the log file is missing, empty or ends in a line break, so
// that the next message starts a line of its own.
void FuzzCheckLogEndsInLineBreak();
