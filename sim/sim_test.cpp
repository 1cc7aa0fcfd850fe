// Tests of the simulator's own logic: the model of the PC's receiver, the
// acknowledgement check, option parsing, the telegrams it builds, the built
// program against a scripted PC on its pseudo-terminal, and its JSON summary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_model.h"
#include "sim_options.h"
#include "sim_report.h"
#include "sim_values.h"
#include "telegram_link.h"

namespace {

using Stream = std::vector<unsigned char>;

void Append(Stream& s, const Bytes& b) { s.insert(s.end(), b.b, b.b + b.n); }

// Runs the model over a stream; returns its events other than None.
std::vector<FrameEvent> Frame(const Stream& s, PcFramer& f) {
  std::vector<FrameEvent> events;
  for (unsigned char b : s) {
    const FrameEvent e = f.Feed(b);
    if (e.type != FrameEventType::None) events.push_back(e);
  }
  return events;
}

Bytes SomeValues() {
  const int16_t v[3] = {100, -3, 2070};
  return ValuesTelegram(v, 3);
}

// ---- Model of the PC's receiver ----

TEST(PcFramer, AGoodTelegramIsAcknowledgedPositively) {
  PcFramer f;
  Stream s;
  Append(s, SomeValues());
  const auto ev = Frame(s, f);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].type, FrameEventType::Data);
  EXPECT_TRUE(ev[0].checksumOk);
  EXPECT_EQ(ev[0].start, 0u);
  EXPECT_EQ(ev[0].end, s.size());
  const unsigned char want[6] = {'M', '1', 0x01, 0x01, 0x00, 0x80};
  EXPECT_EQ(0, std::memcmp(ev[0].ack, want, 6));
}

TEST(PcFramer, ACorruptedChecksumGetsTheNegativeAcknowledgement) {
  PcFramer f;
  Bytes t = SomeValues();
  ++t.b[t.n - 1];
  Stream s;
  Append(s, t);
  const auto ev = Frame(s, f);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_FALSE(ev[0].checksumOk);
  const unsigned char want[6] = {'M', '1', 0x01, 0x00, 0x00, 0x7F};
  EXPECT_EQ(0, std::memcmp(ev[0].ack, want, 6));
}

TEST(PcFramer, RFramesAreSixBytesWhateverTheirLengthByte) {
  PcFramer f;
  const Stream s = {'R', 'x', 0x05, 1, 2, 3};
  const auto ev = Frame(s, f);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].type, FrameEventType::Short);
  EXPECT_FALSE(f.midFrame());
}

TEST(PcFramer, BadHeadersDropThreeBytes) {
  PcFramer f;
  const Stream s = {'M', '1', 0x80, 'X', 'Y', 'Z', 'M', 'A', 0xFF};
  const auto ev = Frame(s, f);
  ASSERT_EQ(ev.size(), 3u);
  for (const FrameEvent& e : ev) EXPECT_EQ(e.type, FrameEventType::Dropped);
  EXPECT_EQ(ev[2].start, 6u);
}

TEST(PcFramer, OneStrayByteSwallowsTheNextTelegram) {
  // 'M' then "M1\x06...": the header is 'M','M','1' and asks for 0x31 + 5 bytes.
  PcFramer f;
  Stream s = {'M'};
  Append(s, SomeValues());
  for (int i = 0; i < 6; ++i) Append(s, SomeValues());
  const auto ev = Frame(s, f);
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev[0].type, FrameEventType::Data);
  EXPECT_EQ(ev[0].start, 0u);
  EXPECT_EQ(ev[0].end, 0x31u + 5u);
  EXPECT_EQ(ev[0].ack[1], 'M');
}

// ---- Spans: in step or lost ----

TEST(SpanTracker, AStrayByteLosesTelegramsAndTheRestAreFramed) {
  PcFramer f;
  SpanTracker spans;
  AckBook book;
  Stream s = {'M'};
  for (int i = 0; i < 8; ++i) {
    spans.Add(s.size(), SomeValues().n, kValues, false);
    Append(s, SomeValues());
  }
  int framed = 0, stray = 0;
  for (const FrameEvent& e : Frame(s, f)) {
    const int kind = spans.Settle(e, book);
    if (e.type == FrameEventType::Data) (kind == kValues ? framed : stray)++;
  }
  spans.Close(book, s.size());
  EXPECT_EQ(stray, 1);
  EXPECT_GT(framed, 0);
  EXPECT_EQ(book.kind(kValues).lost + static_cast<uint64_t>(framed), 8u);
}

TEST(SpanTracker, TelegramsNotWrittenWholeAreTakenBackFromSent) {
  SpanTracker spans;
  AckBook book;
  book.kind(kValues).sent = 2;
  book.kind(kValues).corrupted = 1;
  spans.Add(0, 11, kValues, false);
  spans.Add(11, 11, kValues, true);
  spans.Close(book, 15);  // the second one is only partly written
  EXPECT_EQ(book.kind(kValues).sent, 1u);
  EXPECT_EQ(book.kind(kValues).corrupted, 0u);
  EXPECT_EQ(book.kind(kValues).lost, 1u);
}

// ---- Acknowledgement check ----

struct Acks {
  unsigned char name[6], values[6], valuesBad[6];
  Acks() {
    const unsigned char a[2] = {'M', 'A'}, v[2] = {'M', '1'};
    BuildAck(a, true, name);
    BuildAck(v, true, values);
    BuildAck(v, false, valuesBad);
  }
};

// Owed acknowledgements, the answers that came, and how the book counts them.
TEST(AckBook, CountsEachAnswerAsWhatItIs) {
  const Acks a;
  struct Owed {
    const unsigned char* ack;
    int kind;
    int64_t us;
  };
  struct Answer {
    const unsigned char* ack;
    int64_t us;
  };
  const struct {
    const char* what;
    std::vector<Owed> owed;
    std::vector<Answer> answers;
    uint64_t good, missing, doubled, wrong;
  } kCases[] = {
      {"in order",
       {{a.name, kName, 1000}, {a.valuesBad, kValues, 1000}},
       {{a.name, 1300}, {a.valuesBad, 1500}},
       2,
       0,
       0,
       0},
      {"one skipped", {{a.name, kName, 0}, {a.values, kValues, 0}}, {{a.values, 10}}, 1, 1, 0, 0},
      {"one twice", {{a.name, kName, 0}}, {{a.name, 10}, {a.name, 20}}, 1, 0, 1, 0},
      {"positive for a corrupted one", {{a.valuesBad, kValues, 0}}, {{a.values, 10}}, 0, 0, 0, 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    AckBook book;
    for (const Owed& o : c.owed) book.Expect(o.ack, o.kind, o.us);
    for (const Answer& r : c.answers) book.Received(r.ack, r.us);
    EXPECT_EQ(book.counts().good, c.good);
    EXPECT_EQ(book.counts().missing, c.missing);
    EXPECT_EQ(book.counts().doubled, c.doubled);
    EXPECT_EQ(book.counts().wrong, c.wrong);
    EXPECT_EQ(book.outstanding(), 0);
    if (c.good != 2) continue;
    EXPECT_EQ(book.kind(kName).acked, 1u);  // in order: by kind and timed
    EXPECT_EQ(book.kind(kValues).nacked, 1u);
    EXPECT_EQ(book.latency().max(), 500u);
  }
}

TEST(AckBook, LateOnesExpireAndTheRestDependOnWhyWeStopped) {
  Acks a;
  AckBook book;
  book.Expect(a.name, kName, 0);
  book.Expect(a.name, kName, 5000);
  book.Expire(3000, 2000);
  EXPECT_EQ(book.counts().missing, 1u);
  book.Close(true);
  EXPECT_EQ(book.counts().unanswered, 1u);
  EXPECT_EQ(book.counts().missing, 1u);
}

TEST(Latency, PercentilesAreWithinAFractionOfAPercent) {
  Latency l;
  for (uint64_t us = 1; us <= 10000; ++us) l.Add(us);
  EXPECT_NEAR(static_cast<double>(l.Percentile(50)), 5000.0, 5000.0 / 512);
  EXPECT_NEAR(static_cast<double>(l.Percentile(99)), 9900.0, 9900.0 / 512);
  EXPECT_EQ(l.max(), 10000u);
  EXPECT_EQ(Latency().Percentile(99), 0u);
}

// ---- Options ----

ParseResult Parse(std::vector<const char*> args, SimOptions& o, std::string& error) {
  args.insert(args.begin(), "varnhalt_sim");
  return ParseOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(Options, BadValuesNameTheirOption) {
  const std::vector<std::vector<const char*>> bad = {
      {"--rate", "0"},      {"--rate", "fast"},     {"--count", "-1"},
      {"--count", "2.5"},   {"--duration", ""},     {"--window", "65"},
      {"--faults", "heat"}, {"--faults", "slow:2"}, {"--faults", ","},
      {"--seed"},           {"--flood=yes"},        {"--names", "/nonexistent/names"}};
  for (const auto& args : bad) {
    SimOptions o;
    std::string error;
    EXPECT_EQ(Parse(args, o, error), ParseResult::Error) << args[0];
    const std::string option = std::string(args[0]).substr(0, std::string(args[0]).find('='));
    EXPECT_NE(error.find(option), std::string::npos) << error;
  }
  SimOptions o;
  std::string error;
  EXPECT_EQ(Parse({"--verbose"}, o, error), ParseResult::Error);
  EXPECT_NE(error.find("--verbose"), std::string::npos);
}

TEST(Options, GoodValuesAndTheFaultList) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(
      Parse({"--rate=50", "--count", "7", "--flood", "--faults", "all:0.2,noise:0.5"}, o, error),
      ParseResult::Ok)
      << error;
  EXPECT_EQ(o.rate, 50.0);
  EXPECT_EQ(o.count, 7);
  EXPECT_TRUE(o.flood);
  EXPECT_EQ(o.faults[kFaultChecksum], 0.2);
  EXPECT_EQ(o.faults[kFaultRFrame], 0.2);
  EXPECT_EQ(o.faults[kFaultNoise], 0.5);
  EXPECT_GE(o.names.size(), 24u);
}

TEST(Options, WholeNumbersAreDecimalAndTheLastOfARepeatedOptionHolds) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(Parse({"--window", "010", "--count", "1e3", "--seed", "4294967295", "--rate", "1",
                   "--rate", "3"},
                  o, error),
            ParseResult::Ok)
      << error;
  EXPECT_EQ(o.window, 10);
  EXPECT_EQ(o.count, 1000);
  EXPECT_EQ(o.seed, 4294967295u);
  EXPECT_EQ(o.rate, 3.0);
}

TEST(Options, EveryFaultsListCounts) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(Parse({"--faults", "slow", "--faults=noise:0.5,checksum:0"}, o, error), ParseResult::Ok)
      << error;
  EXPECT_EQ(o.faults[kFaultSlow], kDefaultFaultProbability);
  EXPECT_EQ(o.faults[kFaultNoise], 0.5);
  EXPECT_EQ(o.faults[kFaultChecksum], 0.0);
  EXPECT_EQ(o.faults[kFaultGarbage], 0.0);
}

TEST(Options, NamesFileOfTooManyNamesIsRefused) {
  const std::string path = ::testing::TempDir() + "/names.txt";
  {
    std::ofstream out(path);
    for (int i = 0; i <= kMaxValues; ++i) out << "Value " << i << "\n";
  }
  SimOptions o;
  std::string error;
  EXPECT_EQ(Parse({"--names", path.c_str()}, o, error), ParseResult::Error);
  EXPECT_NE(error.find("--names"), std::string::npos);
}

// ---- Telegrams ----

TEST(Telegrams, NamesStandAtOffsetEight) {
  const Bytes t = NameTelegram(3, "Flow temp C");
  EXPECT_EQ(t.n, 8 + 11 + 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.b + 8), 11), "Flow temp C");
  EXPECT_EQ(checkCheckSum(t.b, t.n), 1);
}

TEST(Telegrams, ClockFieldsArePackedBcdAtTheirOffsets) {
  std::tm tm{};
  tm.tm_sec = 7;
  tm.tm_min = 5;
  tm.tm_hour = 21;
  tm.tm_mday = 14;
  tm.tm_mon = 2;
  tm.tm_wday = 4;
  tm.tm_year = 113;
  const Bytes t = ClockTelegram(tm);
  const Stream want = {'M', '2', 7, 0x07, 0x05, 0x21, 0x14, 0x03, 0x04, 0x13};
  EXPECT_EQ(Stream(t.b, t.b + 10), want);
  EXPECT_EQ(checkCheckSum(t.b, t.n), 1);
}

TEST(Telegrams, DefaultValuesFillTheScaledRowsAndSomeAreNegative) {
  ASSERT_GE(DefaultValueCount(), 24);
  std::mt19937 rng(1);
  int negative = 0;
  for (int s = 0; s < 600; s += 7) {
    int16_t v[24];
    ValuesAt(s, 24, rng, v);
    for (int16_t x : v) negative += x < 0;
  }
  EXPECT_GT(negative, 0);
}

// Run hours and burner starts are counters: over a long run they go up
// and never back, whatever the noise of the other values.
TEST(Telegrams, CountersOnlyCountUp) {
  std::mt19937 rng(3);
  int16_t first[24];
  int16_t last[24];
  ValuesAt(0, 24, rng, first);
  std::copy(first, first + 24, last);
  for (double t = 0.5; t < 4 * 3600; t += 0.5) {
    int16_t v[24];
    ValuesAt(t, 24, rng, v);
    for (int i = 0; i < 24; ++i) {
      if (DefaultValue(i).motion != Motion::Count) continue;
      ASSERT_GE(v[i], last[i]) << DefaultValue(i).name << " at " << t << " s";
      last[i] = v[i];
    }
  }
  for (const char* name : {"Run hours h", "Burner starts"}) {
    int i = 0;
    while (i < 24 && std::string(DefaultValue(i).name) != name) ++i;
    ASSERT_LT(i, 24) << name;
    EXPECT_EQ(DefaultValue(i).motion, Motion::Count) << name;
    EXPECT_GT(last[i], first[i]) << name;
  }
}

// ---- PcRequests: what the PC sends besides acknowledgements ----

// Only the first clock with a good checksum brings "Rb" and the parameter
// write; a refused clock before it, and every later clock, bring nothing.
TEST(PcRequests, OnlyTheFirstGoodClockAsksForMore) {
  std::tm t{};
  t.tm_year = 113;
  Bytes bad = ClockTelegram(t);
  bad.b[bad.n - 1] ^= 0xFF;
  const struct {
    Bytes telegram;
    int more;
  } kSteps[] = {{SomeValues(), 0}, {bad, 0}, {ClockTelegram(t), 8 + 9}, {ClockTelegram(t), 0}};
  PcFramer f;
  PcRequests requests;
  for (const auto& step : kSteps) {
    Stream s;
    Append(s, step.telegram);
    const std::vector<FrameEvent> events = Frame(s, f);
    ASSERT_EQ(events.size(), 1u);
    unsigned char more[PcRequests::kMax];
    const int n = requests.After(events[0], more);
    ASSERT_EQ(n, step.more);
    unsigned char want[PcRequests::kMax];
    if (n > 0) {
      const int rb = BuildRequest("Rb", -12, want);
      BuildParamWrite(155, 4, want + rb);
      EXPECT_EQ(Stream(more, more + n), Stream(want, want + n));
    }
  }
  EXPECT_TRUE(requests.configured());
}

TEST(Telegrams, InStepFaultsLeaveThePcAtATelegramStart) {
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    PcFramer f;
    Stream s;
    Append(s, GarbageGroups(rng));
    Append(s, OversizeHeader(rng));
    Append(s, InfoTelegram(rng));
    Append(s, UnknownTelegram(rng));
    Append(s, RFrame('r', 0));
    const auto ev = Frame(s, f);
    EXPECT_FALSE(f.midFrame());
    int data = 0;
    for (const FrameEvent& e : ev) data += e.type == FrameEventType::Data && e.checksumOk;
    EXPECT_EQ(data, 2);
  }
}

// ---- The built program against a scripted PC ----

struct Program {
  pid_t pid = -1;
  int out = -1;
  std::string path;
};

Program Start(std::vector<const char*> args) {
  Program p;
  int fds[2];
  if (pipe(fds) != 0) return p;
  p.pid = fork();
  if (p.pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    args.insert(args.begin(), VARNHALT_SIM);
    args.push_back(nullptr);
    execv(VARNHALT_SIM, const_cast<char**>(args.data()));
    _exit(127);
  }
  close(fds[1]);
  p.out = fds[0];
  char c = 0;
  std::string line;
  while (read(p.out, &c, 1) == 1 && c != '\n') line += c;
  p.path = line.substr(line.rfind(' ') + 1);
  return p;
}

// Waits for the program's end; its standard output goes to output if given.
int Wait(Program& p, std::string* output = nullptr) {
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(p.out, buf, sizeof buf)) > 0)
    if (output) output->append(buf, static_cast<std::size_t>(n));
  close(p.out);
  int st = 0;
  waitpid(p.pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Reads the controller's bytes through the model of the PC's receiver until
// it completes a data telegram. False on time-out or hang-up.
bool NextTelegram(int fd, PcFramer& f, FrameEvent& e) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    unsigned char b = 0;
    if (poll(&p, 1, 3000) <= 0 || read(fd, &b, 1) != 1) return false;
    e = f.Feed(b);
    if (e.type == FrameEventType::Data) return true;
  }
}

// Plays the PC until the simulator hangs up; copies(n) may skip (0) or
// double (2) the n-th acknowledgement; seen gets every data telegram.
void PlayPc(const std::string& path, int (*copies)(int),
            const std::function<void(const FrameEvent&, const PcFramer&)>& seen = {}) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  unsigned char t[9];
  ASSERT_EQ(write(fd, t, BuildRequest("Ra", -12, t)), 8);
  PcFramer f;
  PcRequests requests;
  FrameEvent e;
  for (int n = 0; NextTelegram(fd, f, e);) {
    for (int k = copies(n++); k > 0; --k) ASSERT_EQ(write(fd, e.ack, 6), 6);
    if (seen) seen(e, f);
    unsigned char more[PcRequests::kMax];
    // Nothing owed is not written: after the last telegram the simulator may
    // have hung up already, and even an empty write then fails.
    const int m = requests.After(e, more);
    if (m > 0) {
      ASSERT_EQ(write(fd, more, static_cast<std::size_t>(m)), m);
    }
  }
  close(fd);
}

TEST(Program, BadOptionExitsWithTwo) {
  Program p = Start({"--rate", "-5"});
  EXPECT_EQ(Wait(p), 2);
}

TEST(Program, APcThatAnswersEverythingRightGivesZero) {
  Program p = Start({"--count", "20", "--rate", "200", "--faults", "all:0.3", "--seed", "9"});
  PlayPc(p.path, [](int) { return 1; });
  EXPECT_EQ(Wait(p), 0);
}

// Names with a wrong checksum, refused by the PC: each is sent again until
// taken, and the next name waits for it, so the PC takes every name once
// and in order, and the summary counts the refusals.
TEST(Program, ARefusedNameIsSentAgainBeforeTheNext) {
  const std::string path =
      ::testing::TempDir() + "/sim_names_" + std::to_string(getpid()) + ".json";
  Program p = Start({"--count", "3", "--rate", "200", "--faults", "name:0.5", "--seed", "4",
                     "--json", path.c_str()});
  std::vector<std::string> taken;
  int refused = 0;
  PlayPc(
      p.path, [](int) { return 1; },
      [&](const FrameEvent& e, const PcFramer& f) {
        if (f.frame()[1] != 'A') return;
        if (!e.checksumOk) ++refused;
        const auto* name = reinterpret_cast<const char*>(f.frame() + 8);
        if (e.checksumOk) taken.emplace_back(name, e.end - e.start - 10);
      });
  EXPECT_EQ(Wait(p), 0);
  EXPECT_EQ(taken, DefaultNames());
  EXPECT_GT(refused, 3);
  const nlohmann::json j = ReadSimJson(path);
  std::remove(path.c_str());
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& names = j.at("kinds").at("name");
  EXPECT_EQ(names.at("nacked"), refused);
  EXPECT_EQ(names.at("corrupted"), refused);
  EXPECT_EQ(names.at("acked"), taken.size());
}

TEST(Program, AMissingAcknowledgementGivesOne) {
  Program p = Start({"--count", "10", "--rate", "200", "--ack-timeout", "300"});
  PlayPc(p.path, [](int n) { return n == 27 ? 0 : 1; });
  EXPECT_EQ(Wait(p), 1);
}

TEST(Program, ADoubledAcknowledgementGivesOne) {
  Program p = Start({"--count", "10", "--rate", "200", "--ack-timeout", "300"});
  PlayPc(p.path, [](int n) { return n == 3 ? 2 : 1; });
  EXPECT_EQ(Wait(p), 1);
}

// ---- The summary ----

TEST(Report, TheJsonSummaryReadsBackWithTheFiguresOfTheTable) {
  const std::string path =
      ::testing::TempDir() + "/sim_report_" + std::to_string(getpid()) + ".json";
  Program p = Start({"--count", "10", "--rate", "200", "--json", path.c_str()});
  PlayPc(p.path, [](int) { return 1; });
  std::string table;
  EXPECT_EQ(Wait(p, &table), 0);
  const nlohmann::json j = ReadSimJson(path);
  std::remove(path.c_str());
  ASSERT_FALSE(j.is_discarded()) << path;
  EXPECT_TRUE(ReadSimJson(path).is_discarded());  // no file: no exception either
  EXPECT_EQ(j.at("end"), "count reached");
  EXPECT_EQ(j.at("kinds").at("values").at("sent"), 10);
  const nlohmann::json& acks = j.at("acks");
  EXPECT_GT(acks.at("expected"), 10);
  EXPECT_EQ(acks.at("good"), acks.at("expected"));
  EXPECT_EQ(j.at("errors"), 0);
  EXPECT_TRUE(j.at("seconds").is_number_float());
  EXPECT_TRUE(j.at("bytes_per_s").is_number_integer());
  const std::string row =
      "expected " + acks.at("expected").dump() + ", as expected " + acks.at("good").dump();
  EXPECT_NE(table.find(row), std::string::npos) << table;
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
}

}  // namespace
