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

constexpr unsigned long kCodeIoIncomplete = 996;  // ERROR_IO_INCOMPLETE
constexpr unsigned long kCodeIoPending = 997;     // ERROR_IO_PENDING
constexpr int kSettingTries = 3;  // a port setting aborted this often: the port cannot be opened

// What an overlapped read or write came to when it was looked at: done is
// GetOverlappedResult's answer, code the system's code when it failed,
// bytes what it moved, ownCancel whether the program cancelled it itself.
enum class Completion {
  Bytes,      // bytes moved
  Empty,      // ended with no byte (a wake that brought nothing)
  Pending,    // still under way: no failure
  OwnCancel,  // the program's own cancel: neither a failure nor an abort
  Failed,     // a failure, judged by JudgePortFailure
};
Completion JudgeCompletion(bool done, unsigned long code, unsigned long bytes, bool ownCancel);

// Whether a setting call of the port's opening that failed with code on
// try (1, 2, ...) is tried again, after ClearCommError: only an abort,
// and only kSettingTries times in all.
bool RetrySetting(int tryNumber, unsigned long code);

// How long the loop's one wait may last, in ms; each due time is given in
// ms from now, -1 for none: the window's size check, the lost port's
// retry, the port's return after an empty wake. The nearest one (0 when
// overdue), or -1 for no limit.
struct WaitDues {
  long long sizeCheckMs = -1;
  long long retryMs = -1;
  long long portBackMs = -1;
};
int WaitTimeoutMs(const WaitDues& dues);

// Whether a periodic check is due: a wake up to one clock tick before
// its time counts, so that a timer's rounding costs no second wake.
bool PeriodDue(unsigned long long elapsedMs, unsigned long long periodMs,
               unsigned long long tickMs);
