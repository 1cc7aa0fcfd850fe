#include "simulator.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "telegram_link.h"

namespace {

constexpr int64_t kSecondUs = 1000000;
constexpr int64_t kSlowGapUs = 2000;        // between the bytes of a slow telegram
constexpr int64_t kSignalGraceUs = 200000;  // acknowledgements still waited for after SIGINT
constexpr int kMaxWaitMs = 1000;
constexpr int kHangupPauseMs = 50;     // a pty whose slave nobody holds yet
constexpr int kPacedQueueLimit = 256;  // chunks queued before a paced sender holds back
constexpr int kMaxPcTelegram = 16;     // the PC's telegrams carry at most this many data bytes

constexpr unsigned char kIdentity[3] = {0x00, 0xFF, 0xF4};  // requester -12
constexpr int kParamNumber = 155;
constexpr int kParamValue = 4;

// The faults that come as bytes of their own before a '1' telegram, in the
// order they go out, and what each is for the accounting (-1: not tracked).
struct ExtraFault {
  int fault;
  Bytes (*make)(std::mt19937&);
  int kind;
};
constexpr ExtraFault kExtraFaults[] = {
    {kFaultGarbage, GarbageGroups, -1},         {kFaultNoise, NoiseBytes, -1},
    {kFaultOversize, OversizeHeader, -1},       {kFaultInfo, InfoTelegram, kInfo},
    {kFaultUnknown, UnknownTelegram, kUnknown},
};

}  // namespace

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kSecondUs + ts.tv_nsec / 1000;
}

const char* EndReasonText(EndReason r) {
  static const char* const kTexts[] = {"running", "count reached", "duration reached",
                                       "signal",  "PC gone",       "line error"};
  return kTexts[static_cast<int>(r)];
}

Simulator::Simulator(const SimOptions& o, int fd, int ownSlave)
    : o_(o), fd_(fd), ownSlave_(ownSlave), rng_(o.seed) {}

uint64_t Simulator::Errors() const {
  const AckCounts& c = book_.counts();
  return c.missing + c.doubled + c.wrong + line_.pcWrong + line_.requestsMissing;
}

// ---- Sending ----

int64_t Simulator::TailDue(int64_t nowUs) const {
  if (qSize_ == 0) return nowUs;
  const int64_t tail = queue_[(qHead_ + qSize_ - 1) % kQueueChunks].dueUs;
  return tail > nowUs ? tail : nowUs;
}

void Simulator::Enqueue(const Bytes& b, int kind, bool corrupted, int64_t dueUs) {
  if (qSize_ == kQueueChunks || b.n <= 0) return;
  if (kind >= 0 && spans_.Add(enqueued_, b.n, kind, corrupted)) {
    ++book_.kind(kind).sent;
    if (corrupted) ++book_.kind(kind).corrupted;
  }
  queue_[(qHead_ + qSize_) % kQueueChunks] = {b, dueUs, 0};
  ++qSize_;
  enqueued_ += static_cast<uint64_t>(b.n);
}

void Simulator::EnqueueSlow(const Bytes& b, bool corrupted, int64_t nowUs) {
  if (kQueueChunks - qSize_ < b.n) return Enqueue(b, kValues, corrupted, nowUs);
  spans_.Add(enqueued_, b.n, kValues, corrupted);
  ++book_.kind(kValues).sent;
  if (corrupted) ++book_.kind(kValues).corrupted;
  ++line_.slow;
  int64_t due = TailDue(nowUs);
  for (int i = 0; i < b.n; ++i, due += kSlowGapUs) {
    Bytes one;
    one.b[0] = b.b[i];
    one.n = 1;
    queue_[(qHead_ + qSize_) % kQueueChunks] = {one, due, 0};
    ++qSize_;
  }
  enqueued_ += static_cast<uint64_t>(b.n);
}

bool Simulator::Roll(int fault) {
  const double p = o_.faults[fault];
  return p > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

void Simulator::EnqueueFaults(int64_t nowUs) {
  for (const ExtraFault& f : kExtraFaults) {
    if (!Roll(f.fault)) continue;
    const Bytes b = f.make(rng_);
    Enqueue(b, f.kind, false, TailDue(nowUs));
    if (f.fault == kFaultGarbage) line_.garbageBytes += static_cast<uint64_t>(b.n);
    if (f.fault == kFaultNoise) line_.noiseBytes += static_cast<uint64_t>(b.n);
    if (f.fault == kFaultOversize) ++line_.oversize;
  }
  if (Roll(kFaultRFrame)) {
    Enqueue(RFrame('r', 0x00), -1, false, TailDue(nowUs));  // unasked: the PC drops it
    ++line_.rframes;
  }
}

void Simulator::SendValues(int64_t nowUs) {
  EnqueueFaults(nowUs);
  int16_t values[kMaxValues];
  const int count = static_cast<int>(o_.names.size());
  ValuesAt(static_cast<double>(nowUs - sessionUs_) / kSecondUs, count, rng_, values);
  Bytes t = ValuesTelegram(values, count);
  const bool corrupt = Roll(kFaultChecksum);
  if (corrupt) t.b[t.n - 1] = static_cast<unsigned char>(t.b[t.n - 1] + 1);
  if (Roll(kFaultSlow)) {
    EnqueueSlow(t, corrupt, nowUs);
  } else {
    Enqueue(t, kValues, corrupt, TailDue(nowUs));
  }
  ++valuesSent_;
  if (line_.firstValueUs == 0) {
    line_.firstValueUs = nowUs;
    line_.bytesAtFirstValue = line_.bytesOut;
  }
}

void Simulator::SendClock(int64_t nowUs) {
  const std::time_t now = std::time(nullptr);
  std::tm lt{};
  localtime_r(&now, &lt);
  Enqueue(ClockTelegram(lt), kClock, false, TailDue(nowUs));
}

void Simulator::StartSession(int64_t nowUs) {
  sessionUs_ = nowUs;
  valuesStarted_ = false;
  naming_ = true;
  nextName_ = 0;
  SendName(nowUs, false);
  if (stage_ == Stage::WaitRa) stage_ = Stage::Run;
}

// The name nextName_ (sent again whole when again), or after the last one
// the first clock.
void Simulator::SendName(int64_t nowUs, bool again) {
  if (nextName_ >= o_.names.size()) {
    naming_ = false;
    nameOwed_ = false;
    SendClock(nowUs);
    nextClockUs_ = nowUs + kSecondUs;
    return;
  }
  Bytes t = NameTelegram(static_cast<int>(nextName_), o_.names[nextName_]);
  const bool corrupt = !again && Roll(kFaultName);
  if (corrupt) t.b[t.n - 1] = static_cast<unsigned char>(t.b[t.n - 1] + 1);
  Enqueue(t, kName, corrupt, TailDue(nowUs));
  nameOwed_ = true;
}

// The PC answered the name that is out (or its answer went missing: taken
// as given, so that the session goes on).
void Simulator::NameAnswered(bool taken, int64_t nowUs) {
  if (taken) ++nextName_;
  SendName(nowUs, !taken);
}

void Simulator::Plan(int64_t nowUs) {
  if (stage_ != Stage::Run) return;
  if (naming_) {
    if (nameOwed_ && qSize_ == 0 && book_.outstanding() == 0) NameAnswered(true, nowUs);
    return;
  }
  if (nowUs >= nextClockUs_) {
    SendClock(nowUs);
    nextClockUs_ += kSecondUs;
    if (nextClockUs_ < nowUs) nextClockUs_ = nowUs + kSecondUs;
  }
  // Values start once the PC has taken the names and the first clock.
  if (!valuesStarted_) {
    if (qSize_ > 0 || book_.outstanding() > 0) return;
    valuesStarted_ = true;
    nextValueUs_ = nowUs;
  }
  const bool more = o_.count < 0 || valuesSent_ < o_.count;
  if (!more) return BeginDrain(EndReason::Count, nowUs, o_.ackTimeoutMs * int64_t{1000});
  if (o_.flood) {
    if (qSize_ == 0 && book_.outstanding() < o_.window) SendValues(nowUs);
    return;
  }
  const auto interval = static_cast<int64_t>(kSecondUs / o_.rate);
  if (nowUs < nextValueUs_ || qSize_ > kPacedQueueLimit) return;
  SendValues(nowUs);
  nextValueUs_ += interval > 0 ? interval : 1;
  if (nextValueUs_ < nowUs - kSecondUs) nextValueUs_ = nowUs;  // no catching up after a stall
}

// ---- Line ----

void Simulator::Written(const unsigned char* b, int n, int64_t nowUs) {
  line_.bytesOut += static_cast<uint64_t>(n);
  for (int i = 0; i < n; ++i) {
    const FrameEvent e = framer_.Feed(b[i]);
    if (e.type == FrameEventType::None) continue;
    const int kind = spans_.Settle(e, book_);
    if (e.type == FrameEventType::Data) book_.Expect(e.ack, kind, nowUs);
  }
}

bool Simulator::WriteDue(int64_t nowUs) {
  while (qSize_ > 0) {
    Chunk& c = queue_[qHead_];
    if (c.dueUs > nowUs) return true;
    const ssize_t w = write(fd_, c.bytes.b + c.done, static_cast<size_t>(c.bytes.n - c.done));
    if (w < 0) return errno == EAGAIN || errno == EINTR;
    Written(c.bytes.b + c.done, static_cast<int>(w), NowUs());
    c.done += static_cast<int>(w);
    if (c.done < c.bytes.n) return true;
    qHead_ = (qHead_ + 1) % kQueueChunks;
    --qSize_;
  }
  return true;
}

void Simulator::HandleRequest(const unsigned char* t, int n, int64_t nowUs) {
  const bool request = n == 8 && std::memcmp(t + 3, kIdentity, 3) == 0;
  if (request && t[1] == 'a') {
    ++line_.requestRa;
    if (ownSlave_ >= 0) close(ownSlave_);  // from now on the PC's going hangs up the line
    ownSlave_ = -1;
    Enqueue(RFrame('a', 0x01), -1, false, TailDue(nowUs));
    ++line_.rframes;
    if (stage_ != Stage::Drain && stage_ != Stage::Done) StartSession(nowUs);
    return;
  }
  if (request && t[1] == 'b') {
    ++line_.requestRb;
  } else if (n == 9 && t[1] == 'I' && ((t[3] << 8) | t[4]) == kParamNumber &&
             ((t[5] << 8) | t[6]) == kParamValue) {
    ++line_.paramWrite;
  } else {
    ++line_.pcWrong;
    return;
  }
  Enqueue(RFrame(t[1], 0x01), -1, false, TailDue(nowUs));
  ++line_.rframes;
}

void Simulator::HandlePc(const unsigned char* t, int n, int64_t nowUs) {
  if (!checkCheckSum(t, n)) {
    ++line_.pcWrong;
  } else if (t[0] == 'M' && n == kAckLength) {
    book_.Received(t, nowUs);
    line_.lastAckUs = nowUs;
    if (naming_ && nameOwed_ && t[1] == 'A') NameAnswered(t[3] == 0x01, nowUs);
  } else if (t[0] == 'R') {
    HandleRequest(t, n, nowUs);
  } else {
    ++line_.pcWrong;
  }
}

// Reads what the PC sent and frames it by its length bytes. False: the PC is gone.
bool Simulator::ReadPc(int64_t nowUs) {
  if (inN_ == kInMax) inN_ = 0;  // cannot happen: a PC telegram is at most 21 bytes
  const ssize_t r = read(fd_, in_ + inN_, static_cast<size_t>(kInMax - inN_));
  if (r < 0) return errno == EAGAIN || errno == EINTR;
  if (r == 0) return false;
  line_.bytesIn += static_cast<uint64_t>(r);
  inN_ += static_cast<int>(r);
  int used = 0;
  while (inN_ - used >= 3) {
    const unsigned char* t = in_ + used;
    if ((t[0] != 'R' && t[0] != 'M') || t[2] > kMaxPcTelegram) {
      ++line_.pcWrong;  // out of step with the PC: skip a byte
      ++used;
      continue;
    }
    const int n = t[2] + kTelegramOverhead;
    if (inN_ - used < n) break;
    HandlePc(t, n, nowUs);
    used += n;
  }
  std::memmove(in_, in_ + used, static_cast<size_t>(inN_ - used));
  inN_ -= used;
  return true;
}

int Simulator::WaitMs(int64_t nowUs) const {
  int64_t wake = nowUs + kMaxWaitMs * int64_t{1000};
  auto earlier = [&wake](int64_t t) {
    if (t > 0 && t < wake) wake = t;
  };
  if (o_.duration > 0) earlier(startUs_ + static_cast<int64_t>(o_.duration * kSecondUs));
  if (stage_ == Stage::Run) {
    earlier(nextClockUs_);
    if (!o_.flood && valuesStarted_ && qSize_ <= kPacedQueueLimit) earlier(nextValueUs_);
  }
  if (stage_ == Stage::Drain) earlier(drainEndUs_);
  if (qSize_ > 0 && queue_[qHead_].dueUs > nowUs) earlier(queue_[qHead_].dueUs);
  if (book_.outstanding() > 0) earlier(book_.oldestUs() + o_.ackTimeoutMs * int64_t{1000} + 1);
  const int64_t ms = (wake - nowUs + 999) / 1000;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

void Simulator::BeginDrain(EndReason r, int64_t nowUs, int64_t graceUs) {
  if (stage_ == Stage::Drain || stage_ == Stage::Done) return;
  if (stage_ == Stage::WaitRa) return Finish(r, nowUs);
  reason_ = r;
  stage_ = Stage::Drain;
  drainEndUs_ = nowUs + graceUs;
}

void Simulator::Finish(EndReason r, int64_t nowUs) {
  if (stage_ == Stage::Done) return;
  if (reason_ == EndReason::None || r == EndReason::PcGone || r == EndReason::LineError)
    reason_ = r;
  stage_ = Stage::Done;
  const bool gone = reason_ == EndReason::PcGone || reason_ == EndReason::Signal ||
                    reason_ == EndReason::LineError;
  book_.Close(gone);
  spans_.Close(book_, line_.bytesOut);
  // The first good clock telegram makes the PC ask "Rb" and write parameter
  // 155 (one with a bad checksum it refuses).
  const KindStats& clock = book_.kind(kClock);
  if (!gone && clock.acked > 0)
    line_.requestsMissing = (line_.requestRb ? 0 : 1) + (line_.paramWrite ? 0 : 1);
  line_.runUs = nowUs - startUs_;
}

EndReason Simulator::Run(const volatile std::sig_atomic_t& stop) {
  startUs_ = NowUs();
  bool stopSeen = false;
  while (stage_ != Stage::Done) {
    int64_t now = NowUs();
    if (stop && !stopSeen) {
      stopSeen = true;
      BeginDrain(EndReason::Signal, now, kSignalGraceUs);
    }
    if (o_.duration > 0 && now - startUs_ >= static_cast<int64_t>(o_.duration * kSecondUs))
      BeginDrain(EndReason::Duration, now, o_.ackTimeoutMs * int64_t{1000});
    if (stage_ == Stage::Drain && ((qSize_ == 0 && book_.outstanding() == 0) || now >= drainEndUs_))
      Finish(reason_, now);
    if (stage_ == Stage::Done) break;
    Plan(now);
    if (stage_ != Stage::WaitRa) book_.Expire(now, o_.ackTimeoutMs * int64_t{1000});
    const bool due = qSize_ > 0 && queue_[qHead_].dueUs <= now;
    pollfd p{fd_, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0};
    if (poll(&p, 1, WaitMs(now)) < 0) {
      if (errno == EINTR) continue;
      Finish(EndReason::LineError, NowUs());
      break;
    }
    now = NowUs();
    if ((p.revents & POLLIN) && !ReadPc(now)) Finish(EndReason::PcGone, now);
    if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) {
      // Before "Ra" a pty with no slave open hangs up: wait for the PC.
      if (stage_ == Stage::WaitRa) {
        poll(nullptr, 0, kHangupPauseMs);
      } else {
        Finish(EndReason::PcGone, now);
      }
    }
    if (stage_ != Stage::Done && (p.revents & POLLOUT) && !WriteDue(now))
      Finish(EndReason::PcGone, now);
  }
  return reason_;
}
