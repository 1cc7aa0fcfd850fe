// What a failed read or write on a Windows serial port means. Kept apart
// from the port's platform code, and over plain numbers, so that the
// decision can be checked on any platform.
//
// A driver whose device was pulled may answer only ERROR_OPERATION_ABORTED;
// a line error (a framing error, an overrun) gives the same code once, and
// ClearCommError then reports the error. So an abort alone is a line error,
// to be cleared; several in a row with no line error reported between them
// mean the device is gone.
#pragma once

// The Windows error codes this decision needs (winerror.h's values; the
// Windows port file checks that they agree).
constexpr unsigned long kCodeSemTimeout = 121;        // ERROR_SEM_TIMEOUT
constexpr unsigned long kCodeOperationAborted = 995;  // ERROR_OPERATION_ABORTED
constexpr unsigned long kCodeTimeout = 1460;          // ERROR_TIMEOUT
constexpr int kAbortsMeaningLost = 3;                 // aborts in a row, reads and writes together

enum class PortFailure {
  LineError,      // cleared with ClearCommError; the loop goes on
  WriteTimedOut,  // the line did not take the write in time: it is given up
  Lost,           // the device has gone
};

// What a read (isWrite false) or a write that failed with code means.
// abortsInRow counts the aborts since the last operation that did not fail
// and the last line error that ClearCommError reported; the caller sets it
// to 0 on either.
PortFailure JudgePortFailure(int& abortsInRow, bool isWrite, unsigned long code);
