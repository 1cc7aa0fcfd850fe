// The controller simulator's bookkeeping: a model of the PC's receiver,
// the list of acknowledgements the PC owes, and the latency histogram.
//
// The model runs over exactly the bytes the simulator has written. It frames
// them as the PC's receiver does (3-byte header rule, no hunting for a start
// byte), so it knows which telegrams the PC will acknowledge, how, and which
// ones it will swallow while it is out of step.
#pragma once

#include <cstdint>

#include "telegram_link.h"

// What one byte did to the PC's receiver.
enum class FrameEventType : uint8_t { None, Dropped, Short, Data };

struct FrameEvent {
  FrameEventType type = FrameEventType::None;
  uint64_t start = 0;  // stream offset of the frame's first byte
  uint64_t end = 0;    // one past its last byte
  bool checksumOk = false;
  unsigned char ack[6] = {};  // for Data: the acknowledgement the PC sends
};

// The PC's byte-wise receiver: header of 3 bytes, then a 6-byte 'R' frame,
// an n + 5 byte 'M' telegram, or the 3 bytes dropped. The one model of it
// that the simulator, its tests, the benchmark's minimal PC and the fuzz
// targets' in-memory line share.
class PcFramer {
 public:
  FrameEvent Feed(unsigned char b);
  uint64_t offset() const { return offset_; }
  bool midFrame() const { return count_ > 0; }
  // The bytes of the frame the last event closed (e.end - e.start of them),
  // until the next Feed.
  const unsigned char* frame() const { return buf_; }
  void Reset();

 private:
  enum class Phase : uint8_t { Header, Short, Data };
  FrameEvent Finish(FrameEventType type);
  unsigned char buf_[kMaxTelegramLength] = {};
  int count_ = 0;
  int expected_ = 0;
  Phase phase_ = Phase::Header;
  uint64_t offset_ = 0;  // stream offset of the next byte
};

// What the PC sends besides acknowledgements: after the first clock
// telegram with a good checksum (a refused one does not count), the request
// "Rb" and the parameter write 155 = 4, once per run. Later clocks bring
// nothing. The one statement of that rule that the simulator's tests, the
// end-to-end tests, the unit tests and the benchmark's minimal PC ask.
class PcRequests {
 public:
  static constexpr int kMax = 8 + 9;  // "Rb" and the parameter write
  // What the PC sends after acknowledging the frame of e, into out; returns
  // the count of bytes (0 for most frames).
  int After(const FrameEvent& e, unsigned char (&out)[kMax]);
  bool configured() const { return configured_; }

 private:
  bool configured_ = false;
};

// What the simulator sends, for the per-kind accounting. Stray: a frame the
// PC cut out of the stream while out of step, not one the simulator sent.
enum TelegramKind : uint8_t { kName, kValues, kClock, kInfo, kUnknown, kStray, kKindCount };
const char* KindLabel(int kind);

struct KindStats {
  uint64_t sent = 0;
  uint64_t corrupted = 0;  // sent with a bad checksum on purpose
  uint64_t acked = 0;
  uint64_t nacked = 0;
  uint64_t lost = 0;  // swallowed by the PC's receiver while out of step
};

// Latency histogram in microseconds: exact below 1024, 1/512 resolution above.
class Latency {
 public:
  void Add(uint64_t us);
  uint64_t count() const { return count_; }
  uint64_t max() const { return max_; }
  uint64_t Percentile(double p) const;  // p in 0..100; 0 when empty

 private:
  static constexpr int kLinear = 1024;
  static constexpr int kSub = 512;
  static constexpr int kBuckets = kLinear + 40 * kSub;
  static int Bucket(uint64_t us);
  static uint64_t BucketValue(int b);
  uint32_t buckets_[kBuckets] = {};
  uint64_t count_ = 0;
  uint64_t max_ = 0;
};

struct AckCounts {
  uint64_t expected = 0;
  uint64_t good = 0;        // as expected (positive or negative)
  uint64_t missing = 0;     // expected, never came
  uint64_t doubled = 0;     // the same acknowledgement again
  uint64_t wrong = 0;       // bytes that fit no expectation
  uint64_t unanswered = 0;  // still owed when the PC went away or we were stopped
};

// The acknowledgements the PC owes, oldest first, and the check of each one
// it sends against them.
class AckBook {
 public:
  static constexpr int kCapacity = 4096;
  static constexpr int kLookahead = 8;  // how far a later match marks earlier ones missing

  // One more owed acknowledgement, for a frame whose last byte went out at sentUs.
  void Expect(const unsigned char ack[6], int kind, int64_t sentUs);
  // An acknowledgement from the PC, its last byte read at nowUs.
  void Received(const unsigned char ack[6], int64_t nowUs);
  // Owed acknowledgements older than timeoutUs become missing.
  void Expire(int64_t nowUs, int64_t timeoutUs);
  // At the end: what is still owed is missing (PC still there) or unanswered.
  void Close(bool pcGone);

  int outstanding() const { return size_; }
  int64_t oldestUs() const;  // sent time of the oldest owed one; 0 when none
  const AckCounts& counts() const { return counts_; }
  const KindStats& kind(int k) const { return kinds_[k]; }
  KindStats& kind(int k) { return kinds_[k]; }
  const Latency& latency() const { return latency_; }
  const Latency& valuesLatency() const { return valuesLatency_; }  // '1' telegrams only

 private:
  struct Owed {
    unsigned char ack[6];
    int kind;
    int64_t sentUs;
  };
  const Owed& At(int i) const { return ring_[(head_ + i) % kCapacity]; }
  void Pop();
  void Match(int i, int64_t nowUs);

  Owed ring_[kCapacity] = {};
  int head_ = 0;
  int size_ = 0;
  unsigned char last_[6] = {};  // the last acknowledgement matched
  bool haveLast_ = false;
  AckCounts counts_;
  KindStats kinds_[kKindCount];
  Latency latency_;
  Latency valuesLatency_;
};

// The 'M' telegrams written, with their offsets in the stream, so that each
// frame the model completes can be told apart: the telegram itself (in
// step) or a stray cut (telegrams in it are lost).
class SpanTracker {
 public:
  static constexpr int kCapacity = 4096;
  // Returns false (span not tracked) when full.
  bool Add(uint64_t start, int length, int kind, bool corrupted);
  // A frame event of the model: pops the spans it covered. Returns the kind
  // of the telegram that was framed exactly, or kStray for a data frame that
  // matches none; counts lost telegrams in book.
  int Settle(const FrameEvent& e, AckBook& book);
  // At the end, with written bytes on the line: telegrams written whole but
  // never framed are lost; those not (fully) written are taken back from sent.
  void Close(AckBook& book, uint64_t written);

 private:
  struct Span {
    uint64_t start;
    uint64_t end;
    int kind;
    bool corrupted;
  };
  Span ring_[kCapacity] = {};
  int head_ = 0;
  int size_ = 0;
};
