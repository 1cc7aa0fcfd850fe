// The simulated controller on an open line: session, sending schedule,
// faults, and the check of what the PC sends back.
#pragma once

#include <csignal>
#include <cstdint>
#include <random>

#include "sim_model.h"
#include "sim_options.h"
#include "sim_values.h"

enum class EndReason : uint8_t { None, Count, Duration, Signal, PcGone, LineError };
const char* EndReasonText(EndReason r);

// What the line saw besides the acknowledgements.
struct LineStats {
  uint64_t bytesOut = 0;
  uint64_t bytesIn = 0;
  uint64_t rframes = 0;       // 'R' frames sent, answers and faults
  uint64_t garbageBytes = 0;  // in-step garbage
  uint64_t noiseBytes = 0;    // random bytes
  uint64_t oversize = 0;      // rejected headers
  uint64_t slow = 0;          // telegrams written byte by byte
  uint64_t requestRa = 0;
  uint64_t requestRb = 0;
  uint64_t paramWrite = 0;       // 155 = 4
  uint64_t pcWrong = 0;          // PC telegrams of a wrong form (counted as wrong)
  uint64_t requestsMissing = 0;  // "Rb" or the parameter write never came
  int64_t firstValueUs = 0;      // first '1' written
  int64_t lastAckUs = 0;         // last acknowledgement read
  uint64_t bytesAtFirstValue = 0;
  int64_t runUs = 0;  // from start to the end
};

class Simulator {
 public:
  // fd: the line (non-blocking). ownSlave: our own descriptor of a pty's
  // slave, held until the PC has connected so that the line does not hang
  // up before it; closed then, so that the PC's going is seen. -1: none.
  Simulator(const SimOptions& o, int fd, int ownSlave);
  // Runs until an end; stop is set by SIGINT/SIGTERM.
  EndReason Run(const volatile std::sig_atomic_t& stop);

  const AckBook& book() const { return book_; }
  const LineStats& line() const { return line_; }
  // Missing, doubled and wrong acknowledgements (and wrong PC telegrams).
  uint64_t Errors() const;

 private:
  enum class Stage : uint8_t { WaitRa, Run, Drain, Done };
  struct Chunk {
    Bytes bytes;
    int64_t dueUs;
    int done;
  };
  static constexpr int kQueueChunks = 1024;
  static constexpr int kInMax = 256;

  // Sending
  void Enqueue(const Bytes& b, int kind, bool corrupted, int64_t dueUs);
  void EnqueueSlow(const Bytes& b, bool corrupted, int64_t nowUs);
  void EnqueueFaults(int64_t nowUs);
  void SendValues(int64_t nowUs);
  void SendClock(int64_t nowUs);
  void StartSession(int64_t nowUs);
  void SendName(int64_t nowUs, bool again);
  void NameAnswered(bool taken, int64_t nowUs);
  void Plan(int64_t nowUs);
  bool Roll(int fault);
  int64_t TailDue(int64_t nowUs) const;
  // Line
  bool WriteDue(int64_t nowUs);
  void Written(const unsigned char* b, int n, int64_t nowUs);
  bool ReadPc(int64_t nowUs);
  void HandlePc(const unsigned char* t, int n, int64_t nowUs);
  void HandleRequest(const unsigned char* t, int n, int64_t nowUs);
  int WaitMs(int64_t nowUs) const;
  void Finish(EndReason r, int64_t nowUs);
  void BeginDrain(EndReason r, int64_t nowUs, int64_t graceUs);

  const SimOptions& o_;
  int fd_;
  int ownSlave_;
  Stage stage_ = Stage::WaitRa;
  EndReason reason_ = EndReason::None;
  std::mt19937 rng_;
  int64_t startUs_ = 0;
  int64_t sessionUs_ = 0;
  int64_t nextClockUs_ = 0;
  int64_t nextValueUs_ = 0;
  int64_t drainEndUs_ = 0;
  int64_t valuesSent_ = 0;
  bool valuesStarted_ = false;
  // The names go out one at a time, each once the one before is answered;
  // a name refused is sent again, so the PC's table gets every name once
  // and in order. The first clock follows the last name.
  bool naming_ = false;
  bool nameOwed_ = false;  // the name nextName_ is out, its answer not yet read
  std::size_t nextName_ = 0;

  Chunk queue_[kQueueChunks];
  int qHead_ = 0;
  int qSize_ = 0;
  uint64_t enqueued_ = 0;  // stream offset after the last queued byte

  unsigned char in_[kInMax] = {};
  int inN_ = 0;

  PcFramer framer_;
  SpanTracker spans_;
  AckBook book_;
  LineStats line_;
};

int64_t NowUs();
