// What the simulated controller says: its value names, values that drift
// plausibly over time, its clock, and the odd bytes of the fault kinds.
#pragma once

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

// How a built-in value moves: a level swings around its base; a counter
// (run hours, burner starts) only counts up, as the real ones do.
enum class Motion : uint8_t { Swing, Count };

// One built-in value, in raw 16-bit units (what the PC scales: rows 4,
// 12..18 and 22 are halved on screen, row 11 divided by 207). A level swings
// around base by amplitude over period seconds, with a little noise; a
// counter starts at base and goes up by amplitude every period seconds.
struct ValueSwing {
  const char* name;
  int base;
  int amplitude;
  double period;
  Motion motion;
};
int DefaultValueCount();
const ValueSwing& DefaultValue(int i);

constexpr int kTelegramMax = 0x7F + 5;  // a telegram the PC can take whole

// A built telegram or stretch of bytes.
struct Bytes {
  unsigned char b[kTelegramMax] = {};
  int n = 0;
};

// 'A': index (2 bytes), unit 0, 2 spare bytes, then the name.
Bytes NameTelegram(int index, const std::string& name);
// '1': count signed 16-bit values, big-endian.
Bytes ValuesTelegram(const int16_t* values, int count);
// '2': the clock fields of t in packed BCD: s, min, h, day, month, weekday, year - 2000.
Bytes ClockTelegram(const std::tm& t);
// A 6-byte 'R' frame, the controller's answer to a request (status 1: done).
Bytes RFrame(unsigned char command, unsigned char status);

// Values at t seconds into the run, with a little noise from rng.
void ValuesAt(double t, int count, std::mt19937& rng, int16_t* out);

// Fault bytes.
Bytes GarbageGroups(std::mt19937& rng);    // 3..9 bytes, dropped by the PC in groups of 3
Bytes NoiseBytes(std::mt19937& rng);       // 1..12 random bytes
Bytes OversizeHeader(std::mt19937& rng);   // 'M', a command, a length byte 0x80..0xFF
Bytes InfoTelegram(std::mt19937& rng);     // 'I' with a service text
Bytes UnknownTelegram(std::mt19937& rng);  // a command the PC does not know
