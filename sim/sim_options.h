// Command line of the controller simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Faults the simulator can put on the line. All but Noise keep the PC's
// receiver in step; Noise (random bytes of random length) may throw it out.
// The probability is per '1' telegram, for Name per name telegram.
enum FaultKind : uint8_t {
  kFaultChecksum,  // a '1' telegram with a wrong checksum: a negative acknowledgement
  kFaultGarbage,   // 1..3 groups of 3 bytes that the PC drops as a bad header
  kFaultSlow,      // a '1' telegram written byte by byte, 2 ms apart
  kFaultOversize,  // a lone header with a length byte of 0x80..0xFF
  kFaultInfo,      // an 'I' information telegram
  kFaultUnknown,   // a telegram with a command the PC does not know
  kFaultRFrame,    // a controller 'R' frame, which the PC drops unanswered
  kFaultNoise,     // 1..12 random bytes: may put the PC out of step
  kFaultName,      // an 'A' name telegram with a wrong checksum (probability per name),
                   // sent again whole after its negative acknowledgement
  kFaultCount
};
const char* FaultName(int kind);

constexpr double kDefaultFaultProbability = 0.1;

struct SimOptions {
  double rate = 2.0;      // '1' telegrams a second
  double duration = 0.0;  // seconds from start; 0: no limit
  int64_t count = -1;     // '1' telegrams; -1: no limit
  uint32_t seed = 1;
  double faults[kFaultCount] = {};  // probability per '1' telegram; 0: off
  bool flood = false;
  int window = 4;  // flood: acknowledgements owed at most
  int ackTimeoutMs = 2000;
  std::string json;
  std::string device;  // empty: a new pseudo-terminal
  std::vector<std::string> names;
};

constexpr int kMaxValues = 63;       // a '1' telegram holds 2 bytes a value in 127
constexpr int kMaxNameLength = 122;  // an 'A' telegram holds 5 bytes and the name in 127

enum class ParseResult { Ok, Help, Error };

// Parses argv into o; on Error, error is one line that names the option and
// what is wrong. A --faults list reads "checksum,garbage:0.3" or "all:0.05".
ParseResult ParseOptions(int argc, const char* const* argv, SimOptions& o, std::string& error);
// The default value names (24 of them).
std::vector<std::string> DefaultNames();
// The --help text.
std::string Usage();
