// When a Windows port that answers with errors counts as lost: the decision
// over a sequence of failed reads and writes, line errors and successes.
#include "port_loss.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned long kNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
constexpr unsigned long kAccessDenied = 5;     // ERROR_ACCESS_DENIED

// One step: a failed read ('r') or write ('w') with its code, a line error
// that ClearCommError reported ('e'), or an operation that did not fail ('o').
struct Step {
  char what;
  unsigned long code;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  PortFailure last;  // what the last failure means
};

TEST(PortLoss, SequencesOfFailures) {
  constexpr unsigned long kAbort = kCodeOperationAborted;
  const Case cases[] = {
      {"one abort is a line error", {{'r', kAbort}}, PortFailure::LineError},
      {"three reads aborted in a row",
       {{'r', kAbort}, {'r', kAbort}, {'r', kAbort}},
       PortFailure::Lost},
      {"reads and writes count together",
       {{'r', kAbort}, {'w', kAbort}, {'r', kAbort}},
       PortFailure::Lost},
      {"a line error between them starts the count again",
       {{'r', kAbort}, {'r', kAbort}, {'e', 0}, {'r', kAbort}, {'w', kAbort}},
       PortFailure::LineError},
      {"a read that worked starts it again",
       {{'r', kAbort}, {'w', kAbort}, {'o', 0}, {'r', kAbort}, {'r', kAbort}},
       PortFailure::LineError},
      {"a write time-out is given up", {{'w', kCodeSemTimeout}}, PortFailure::WriteTimedOut},
      {"ERROR_TIMEOUT too", {{'r', kAbort}, {'w', kCodeTimeout}}, PortFailure::WriteTimedOut},
      {"a time-out breaks the row",
       {{'r', kAbort}, {'r', kAbort}, {'w', kCodeTimeout}, {'r', kAbort}},
       PortFailure::LineError},
      {"a write that fails otherwise", {{'w', kAccessDenied}}, PortFailure::Lost},
      {"a read that fails otherwise", {{'r', kNotConnected}}, PortFailure::Lost},
      {"a read time-out code is no write's", {{'r', kCodeSemTimeout}}, PortFailure::Lost},
  };
  for (const Case& c : cases) {
    int aborts = 0;
    PortFailure last = PortFailure::LineError;
    for (const Step& s : c.steps) {
      if (s.what == 'e' || s.what == 'o') {
        aborts = 0;
        continue;
      }
      last = JudgePortFailure(aborts, s.what == 'w', s.code);
    }
    EXPECT_EQ(last, c.last) << c.name;
  }
}

TEST(PortLoss, TheCodesAreWindowsOwn) {
  EXPECT_EQ(kCodeOperationAborted, 995u);
  EXPECT_EQ(kCodeSemTimeout, 121u);
  EXPECT_EQ(kCodeTimeout, 1460u);
  EXPECT_EQ(kAbortsMeaningLost, 3);
}

TEST(PortLoss, WhatAnOverlappedOperationCameTo) {
  const struct {
    bool done;
    unsigned long code, bytes;
    bool ownCancel;
    Completion seen;
  } rows[] = {
      {true, 0, 1, false, Completion::Bytes},
      {true, 0, 0, false, Completion::Empty},  // a wake that brought nothing
      {false, kCodeIoIncomplete, 0, false, Completion::Pending},
      {false, kCodeIoPending, 0, false, Completion::Pending},
      {false, kCodeOperationAborted, 0, true, Completion::OwnCancel},
      {false, kCodeOperationAborted, 0, false, Completion::Failed},
      {false, 21, 0, true, Completion::Failed},  // ERROR_NOT_READY: a pulled adapter
  };
  for (const auto& r : rows)
    EXPECT_EQ(JudgeCompletion(r.done, r.code, r.bytes, r.ownCancel), r.seen)
        << r.done << " " << r.code << " " << r.bytes << " " << r.ownCancel;
}

TEST(PortLoss, ASettingIsTriedThreeTimesOnlyWhenAborted) {
  EXPECT_TRUE(RetrySetting(1, kCodeOperationAborted));
  EXPECT_TRUE(RetrySetting(2, kCodeOperationAborted));
  EXPECT_FALSE(RetrySetting(3, kCodeOperationAborted));
  EXPECT_FALSE(RetrySetting(1, 31));  // ERROR_GEN_FAILURE
}

TEST(PortLoss, TheWaitEndsAtTheNearestDueTime) {
  const struct {
    WaitDues dues;
    int ms;
  } rows[] = {
      {{-1, -1, -1}, -1},   {{500, -1, -1}, 500}, {{500, 1000, -1}, 500},
      {{500, 300, 20}, 20}, {{-1, 0, -1}, 0},     {{-1, -1, 1LL << 40}, 0x7FFFFFFF},
  };
  for (const auto& r : rows)
    EXPECT_EQ(WaitTimeoutMs(r.dues), r.ms)
        << r.dues.sizeCheckMs << " " << r.dues.retryMs << " " << r.dues.portBackMs;
  EXPECT_TRUE(PeriodDue(484, 500, 16));  // a wake a tick early
  EXPECT_FALSE(PeriodDue(483, 500, 16));
}

}  // namespace
