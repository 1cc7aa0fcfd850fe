#include "port_loss.h"

PortFailure JudgePortFailure(int& abortsInRow, bool isWrite, unsigned long code) {
  if (code == kCodeOperationAborted)
    return ++abortsInRow >= kAbortsMeaningLost ? PortFailure::Lost : PortFailure::LineError;
  abortsInRow = 0;
  if (isWrite && (code == kCodeSemTimeout || code == kCodeTimeout))
    return PortFailure::WriteTimedOut;
  return PortFailure::Lost;
}
