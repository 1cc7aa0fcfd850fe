#include "sim_values.h"

#include <cmath>
#include <cstring>

#include "telegram_link.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The built-in plant: a boiler with two heating zones and hot water.
// Temperatures of the halved rows are in half degrees.
constexpr ValueSwing kValues[] = {
    {"Outdoor temp C", -4, 6, 600, Motion::Swing},      // 0
    {"Boiler temp C", 72, 4, 120, Motion::Swing},       // 1
    {"Flow temp C", 55, 3, 90, Motion::Swing},          // 2
    {"Return temp C", 41, 3, 100, Motion::Swing},       // 3
    {"Flue gas temp C", 296, 24, 60, Motion::Swing},    // 4, halved
    {"Burner load %", 60, 35, 45, Motion::Swing},       // 5
    {"Pump speed %", 70, 20, 80, Motion::Swing},        // 6
    {"Fan speed rpm", 3200, 800, 50, Motion::Swing},    // 7
    {"Flame current uA", 12, 6, 30, Motion::Swing},     // 8
    {"Water press 0.1bar", 18, 2, 200, Motion::Swing},  // 9
    {"Gas valve %", 45, 30, 40, Motion::Swing},         // 10
    {"Heat output kW", 4968, 1656, 70, Motion::Swing},  // 11, divided by 207
    {"Zone 1 set C", 42, 2, 300, Motion::Swing},        // 12, halved
    {"Zone 1 room C", 40, 3, 250, Motion::Swing},       // 13, halved
    {"Zone 2 set C", 38, 2, 320, Motion::Swing},        // 14, halved
    {"Zone 2 room C", 36, 3, 270, Motion::Swing},       // 15, halved
    {"DHW set C", 110, 4, 400, Motion::Swing},          // 16, halved
    {"DHW temp C", 104, 10, 150, Motion::Swing},        // 17, halved
    {"Mixer deviation K", 0, 12, 35, Motion::Swing},    // 18, halved
    {"Return dev K", -3, 5, 55, Motion::Swing},         // 19
    {"Run hours h", 12873, 1, 3600, Motion::Count},     // 20
    {"Burner starts", 4211, 1, 45, Motion::Count},      // 21
    {"Frost margin K", -4, 10, 500, Motion::Swing},     // 22, halved
    {"Fault code", 0, 0, 1, Motion::Swing},             // 23
};
constexpr int kValueCount = sizeof kValues / sizeof kValues[0];

// Values past the built-in table (more names from --names): a slow swing
// around 0, so that some are negative.
constexpr ValueSwing kExtraValue = {"", 0, 100, 90, Motion::Swing};

int Pick(std::mt19937& rng, int lo, int hi) {
  return std::uniform_int_distribution<int>(lo, hi)(rng);
}

unsigned char PickByte(std::mt19937& rng, int lo, int hi) {
  return static_cast<unsigned char>(Pick(rng, lo, hi));
}

Bytes Telegram(unsigned char command, const unsigned char* data, int n) {
  Bytes t;
  if (n < 0 || n > 0x7F) n = 0;
  if (n > 0) std::memcpy(t.b + 3, data, static_cast<std::size_t>(n));
  t.n = BuildTelegram('M', command, n, t.b);
  return t;
}

long Swung(const ValueSwing& s, double t, int phase, std::mt19937& rng) {
  const double swing = s.amplitude * std::sin(2 * kPi * t / s.period + phase);
  const int jitter = s.amplitude >= 4 ? Pick(rng, -1, 1) : 0;
  return std::lround(s.base + swing) + jitter;
}

// A counter never runs backwards: whole steps since the start, no noise.
long Counted(const ValueSwing& s, double t) {
  const double steps = t > 0 ? std::floor(t / s.period) : 0;
  return s.base + static_cast<long>(steps) * s.amplitude;
}

}  // namespace

int DefaultValueCount() { return kValueCount; }

const ValueSwing& DefaultValue(int i) {
  return i >= 0 && i < kValueCount ? kValues[i] : kExtraValue;
}

Bytes NameTelegram(int index, const std::string& name) {
  unsigned char d[0x7F] = {static_cast<unsigned char>(index >> 8),
                           static_cast<unsigned char>(index & 0xFF), 0, 0, 0};
  const std::size_t len = name.size() < 0x7F - 5 ? name.size() : 0x7F - 5;
  std::memcpy(d + 5, name.data(), len);
  return Telegram('A', d, static_cast<int>(len) + 5);
}

Bytes ValuesTelegram(const int16_t* values, int count) {
  unsigned char d[0x7F];
  if (count > 0x7F / 2) count = 0x7F / 2;
  for (int i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(values[i]);
    d[2 * i] = static_cast<unsigned char>(v >> 8);
    d[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
  }
  return Telegram('1', d, 2 * count);
}

Bytes ClockTelegram(const std::tm& t) {
  const int fields[7] = {t.tm_sec,     t.tm_min,  t.tm_hour,      t.tm_mday,
                         t.tm_mon + 1, t.tm_wday, t.tm_year - 100};
  unsigned char d[7];
  for (int i = 0; i < 7; ++i) d[i] = convert_2_VarnhaltTime(fields[i] % 100);
  return Telegram('2', d, 7);
}

Bytes RFrame(unsigned char command, unsigned char status) {
  Bytes t;
  t.b[3] = status;
  t.n = BuildTelegram('R', command, 1, t.b);
  return t;
}

void ValuesAt(double t, int count, std::mt19937& rng, int16_t* out) {
  for (int i = 0; i < count; ++i) {
    const ValueSwing& s = DefaultValue(i);
    long v = s.motion == Motion::Count ? Counted(s, t) : Swung(s, t, i, rng);
    if (v > 32767) v = 32767;
    if (v < -32768) v = -32768;
    out[i] = static_cast<int16_t>(v);
  }
}

Bytes GarbageGroups(std::mt19937& rng) {
  // Each group starts with a byte that is neither 'R' nor 'M', so the PC
  // rejects the group as a header and is at a telegram's start again.
  static const unsigned char kStarts[] = {0x00, 0x0D, 0x0A, 0xFF, 'X', 0x55, 0xAA, 0x7E};
  Bytes g;
  const int groups = Pick(rng, 1, 3);
  for (int i = 0; i < groups; ++i) {
    g.b[g.n++] = kStarts[Pick(rng, 0, sizeof kStarts - 1)];
    g.b[g.n++] = PickByte(rng, 0, 255);
    g.b[g.n++] = PickByte(rng, 0, 255);
  }
  return g;
}

Bytes NoiseBytes(std::mt19937& rng) {
  Bytes g;
  g.n = Pick(rng, 1, 12);
  for (int i = 0; i < g.n; ++i) g.b[i] = PickByte(rng, 0, 255);
  return g;
}

Bytes OversizeHeader(std::mt19937& rng) {
  Bytes g;
  g.b[0] = 'M';
  g.b[1] = Pick(rng, 0, 1) ? '1' : 'A';
  g.b[2] = PickByte(rng, 0x80, 0xFF);
  g.n = 3;
  return g;
}

Bytes InfoTelegram(std::mt19937& rng) {
  static const char* const kTexts[] = {"Service due in 1200 h", "Filter check",
                                       "Chimney sweep mode off", "Firmware 4.17"};
  const char* text = kTexts[Pick(rng, 0, 3)];
  return Telegram('I', reinterpret_cast<const unsigned char*>(text),
                  static_cast<int>(std::strlen(text)));
}

Bytes UnknownTelegram(std::mt19937& rng) {
  static const unsigned char kCommands[] = {'X', '7', 'q', 0x00, 0xC4};
  unsigned char d[8];
  const int n = Pick(rng, 0, 8);
  for (int i = 0; i < n; ++i) d[i] = PickByte(rng, 0, 255);
  return Telegram(kCommands[Pick(rng, 0, sizeof kCommands - 1)], d, n);
}
