#include "port_loss.h"

#include <initializer_list>

PortFailure JudgePortFailure(int& abortsInRow, bool isWrite, unsigned long code) {
  if (code == kCodeOperationAborted)
    return ++abortsInRow >= kAbortsMeaningLost ? PortFailure::Lost : PortFailure::LineError;
  abortsInRow = 0;
  if (isWrite && (code == kCodeSemTimeout || code == kCodeTimeout))
    return PortFailure::WriteTimedOut;
  return PortFailure::Lost;
}

Completion JudgeCompletion(bool done, unsigned long code, unsigned long bytes, bool ownCancel) {
  if (done) return bytes > 0 ? Completion::Bytes : Completion::Empty;
  if (code == kCodeIoIncomplete || code == kCodeIoPending) return Completion::Pending;
  if (code == kCodeOperationAborted && ownCancel) return Completion::OwnCancel;
  return Completion::Failed;
}

bool RetrySetting(int tryNumber, unsigned long code) {
  return code == kCodeOperationAborted && tryNumber < kSettingTries;
}

int WaitTimeoutMs(const WaitDues& dues) {
  long long nearest = -1;
  for (const long long due : {dues.sizeCheckMs, dues.retryMs, dues.portBackMs}) {
    if (due < 0) continue;
    if (nearest < 0 || due < nearest) nearest = due;
  }
  constexpr long long kMaxMs = 0x7FFFFFFF;
  return nearest < 0 ? -1 : static_cast<int>(nearest > kMaxMs ? kMaxMs : nearest);
}

bool PeriodDue(unsigned long long elapsedMs, unsigned long long periodMs,
               unsigned long long tickMs) {
  return elapsedMs + tickMs >= periodMs;
}
