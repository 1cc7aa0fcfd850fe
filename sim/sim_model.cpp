#include "sim_model.h"

#include <cstring>

#include "telegram_link.h"

// ---- PcFramer ----

void PcFramer::Reset() {
  count_ = 0;
  expected_ = 0;
  phase_ = Phase::Header;
}

FrameEvent PcFramer::Finish(FrameEventType type) {
  FrameEvent e;
  e.type = type;
  e.end = offset_;
  e.start = offset_ - static_cast<uint64_t>(count_);
  if (type == FrameEventType::Data) {
    e.checksumOk = checkCheckSum(buf_, count_) == 1;
    BuildAck(buf_, e.checksumOk, e.ack);
  }
  Reset();
  return e;
}

FrameEvent PcFramer::Feed(unsigned char b) {
  if (count_ < kMaxTelegramLength) buf_[count_++] = b;
  ++offset_;
  if (phase_ == Phase::Header && count_ == 3) {
    // The PC's rule: a length byte of 0x80 or more, or a start byte other
    // than 'R' or 'M', drops all three header bytes.
    if (buf_[2] > kMaxDataLength) return Finish(FrameEventType::Dropped);
    expected_ = buf_[2] + kTelegramOverhead;
    if (buf_[0] == kRequestStart) {
      phase_ = Phase::Short;
    } else if (buf_[0] == kDataStart) {
      phase_ = Phase::Data;
    } else {
      return Finish(FrameEventType::Dropped);
    }
  }
  if (phase_ == Phase::Short && count_ >= kShortFrameLength) return Finish(FrameEventType::Short);
  if (phase_ == Phase::Data && count_ >= expected_) return Finish(FrameEventType::Data);
  return {};
}

// ---- PcRequests ----

int PcRequests::After(const FrameEvent& e, unsigned char (&out)[kMax]) {
  const bool goodClock = e.type == FrameEventType::Data && e.ack[1] == '2' && e.checksumOk;
  if (!goodClock || configured_) return 0;
  configured_ = true;
  const int rb = BuildRequest("Rb", -12, out);
  return rb + BuildParamWrite(155, 4, out + rb);
}

// ---- Kinds ----

const char* KindLabel(int kind) {
  static const char* const kLabels[kKindCount] = {"name 'A'", "values '1'", "clock '2'",
                                                  "info 'I'", "unknown",    "stray (out of step)"};
  return kind >= 0 && kind < kKindCount ? kLabels[kind] : "?";
}

// ---- Latency ----

int Latency::Bucket(uint64_t us) {
  if (us < kLinear) return static_cast<int>(us);
  const int e = 63 - __builtin_clzll(us);  // 10 or more
  const int sub = static_cast<int>((us >> (e - 9)) & (kSub - 1));
  const int b = kLinear + (e - 10) * kSub + sub;
  return b < kBuckets ? b : kBuckets - 1;
}

uint64_t Latency::BucketValue(int b) {
  if (b < kLinear) return static_cast<uint64_t>(b);
  const int e = (b - kLinear) / kSub + 10;
  const uint64_t sub = static_cast<uint64_t>((b - kLinear) % kSub);
  return (uint64_t{1} << e) + (sub << (e - 9));
}

void Latency::Add(uint64_t us) {
  ++buckets_[Bucket(us)];
  ++count_;
  if (us > max_) max_ = us;
}

uint64_t Latency::Percentile(double p) const {
  if (count_ == 0) return 0;
  auto rank = static_cast<uint64_t>(p / 100.0 * static_cast<double>(count_) + 0.5);
  if (rank < 1) rank = 1;
  if (rank > count_) rank = count_;
  uint64_t seen = 0;
  for (int b = 0; b < kBuckets; ++b) {
    seen += buckets_[b];
    if (seen >= rank) return BucketValue(b) < max_ ? BucketValue(b) : max_;
  }
  return max_;
}

// ---- AckBook ----

void AckBook::Expect(const unsigned char ack[6], int kind, int64_t sentUs) {
  if (size_ == kCapacity) {  // the PC answers nothing: the oldest is missing
    ++counts_.missing;
    Pop();
  }
  Owed& o = ring_[(head_ + size_) % kCapacity];
  std::memcpy(o.ack, ack, sizeof o.ack);
  o.kind = kind;
  o.sentUs = sentUs;
  ++size_;
  ++counts_.expected;
}

void AckBook::Pop() {
  head_ = (head_ + 1) % kCapacity;
  --size_;
}

int64_t AckBook::oldestUs() const { return size_ > 0 ? At(0).sentUs : 0; }

void AckBook::Match(int i, int64_t nowUs) {
  counts_.missing += static_cast<uint64_t>(i);
  for (int k = 0; k < i; ++k) Pop();
  const Owed& o = At(0);
  KindStats& ks = kinds_[o.kind];
  if (o.ack[3] == 0x01) {
    ++ks.acked;
  } else {
    ++ks.nacked;
  }
  ++counts_.good;
  const auto us = static_cast<uint64_t>(nowUs > o.sentUs ? nowUs - o.sentUs : 0);
  latency_.Add(us);
  if (o.kind == kValues) valuesLatency_.Add(us);
  std::memcpy(last_, o.ack, sizeof last_);
  haveLast_ = true;
  Pop();
}

void AckBook::Received(const unsigned char ack[6], int64_t nowUs) {
  // The oldest owed one, with the right command but the wrong verdict: wrong.
  if (size_ > 0 && std::memcmp(At(0).ack, ack, 2) == 0 && std::memcmp(At(0).ack, ack, 6) != 0) {
    ++counts_.wrong;
    Pop();
    return;
  }
  const int look = size_ < kLookahead ? size_ : kLookahead;
  for (int i = 0; i < look; ++i) {
    if (std::memcmp(At(i).ack, ack, 6) == 0) {
      Match(i, nowUs);
      return;
    }
  }
  if (haveLast_ && std::memcmp(last_, ack, 6) == 0) {
    ++counts_.doubled;
  } else {
    ++counts_.wrong;
  }
}

void AckBook::Expire(int64_t nowUs, int64_t timeoutUs) {
  while (size_ > 0 && nowUs - At(0).sentUs > timeoutUs) {
    ++counts_.missing;
    Pop();
  }
}

void AckBook::Close(bool pcGone) {
  if (pcGone) {
    counts_.unanswered += static_cast<uint64_t>(size_);
  } else {
    counts_.missing += static_cast<uint64_t>(size_);
  }
  size_ = 0;
}

// ---- SpanTracker ----

bool SpanTracker::Add(uint64_t start, int length, int kind, bool corrupted) {
  if (size_ == kCapacity) return false;
  ring_[(head_ + size_) % kCapacity] = {start, start + static_cast<uint64_t>(length), kind,
                                        corrupted};
  ++size_;
  return true;
}

int SpanTracker::Settle(const FrameEvent& e, AckBook& book) {
  int framed = kStray;
  while (size_ > 0 && ring_[head_].end <= e.end) {
    const Span& s = ring_[head_];
    if (e.type == FrameEventType::Data && s.start == e.start && s.end == e.end) {
      framed = s.kind;
    } else {
      ++book.kind(s.kind).lost;
    }
    head_ = (head_ + 1) % kCapacity;
    --size_;
  }
  return framed;
}

void SpanTracker::Close(AckBook& book, uint64_t written) {
  for (; size_ > 0; --size_, head_ = (head_ + 1) % kCapacity) {
    const Span& s = ring_[head_];
    KindStats& ks = book.kind(s.kind);
    if (s.end <= written) {
      ++ks.lost;
      continue;
    }
    --ks.sent;
    if (s.corrupted) --ks.corrupted;
  }
}
