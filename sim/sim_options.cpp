#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim_values.h"

namespace {

constexpr const char* kFaultNames[kFaultCount] = {"checksum", "garbage", "slow",   "oversize",
                                                  "info",     "unknown", "rframe", "noise"};

// A whole-text number within [lo, hi].
bool ToNumber(const char* text, double lo, double hi, double& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ToInteger(const char* text, double lo, double hi, double& out) {
  return ToNumber(text, lo, hi, out) && std::floor(out) == out;
}

std::string Bad(const char* option, const char* expected, const char* got) {
  return std::string(option) + ": expected " + expected + ", got '" + (got ? got : "") + "'";
}

bool ReadNames(const char* path, SimOptions& o, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = std::string("--names: cannot read '") + path + "': " + std::strerror(errno);
    return false;
  }
  o.names.clear();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxNameLength) {
      error = "--names: name longer than " + std::to_string(kMaxNameLength) + " bytes: '" +
              line.substr(0, 20) + "...'";
      return false;
    }
    o.names.push_back(line);
  }
  if (o.names.empty() || o.names.size() > kMaxValues) {
    error = std::string("--names: '") + path + "' must hold 1 to " + std::to_string(kMaxValues) +
            " names, one a line (has " + std::to_string(o.names.size()) + ")";
    return false;
  }
  return true;
}

// One option: its name, whether it takes a value, and what it does with it.
struct OptionEntry {
  const char* name;
  bool hasValue;
  bool (*apply)(const char* value, SimOptions& o, std::string& error);
};

bool SetRate(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToNumber(v, 0.001, 1e6, d))
    return e = Bad("--rate", "telegrams a second, 0.001 to 1000000", v), false;
  o.rate = d;
  return true;
}
bool SetDuration(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToNumber(v, 0.001, 1e7, d)) return e = Bad("--duration", "seconds above 0", v), false;
  o.duration = d;
  return true;
}
bool SetCount(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToInteger(v, 0, 1e12, d))
    return e = Bad("--count", "a whole number of telegrams, 0 or more", v), false;
  o.count = static_cast<int64_t>(d);
  return true;
}
bool SetSeed(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToInteger(v, 0, 4294967295.0, d))
    return e = Bad("--seed", "a whole number 0 to 4294967295", v), false;
  o.seed = static_cast<uint32_t>(d);
  return true;
}
bool SetWindow(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToInteger(v, 1, 64, d)) return e = Bad("--window", "a whole number 1 to 64", v), false;
  o.window = static_cast<int>(d);
  return true;
}
bool SetAckTimeout(const char* v, SimOptions& o, std::string& e) {
  double d = 0;
  if (!ToInteger(v, 10, 600000, d))
    return e = Bad("--ack-timeout", "milliseconds 10 to 600000", v), false;
  o.ackTimeoutMs = static_cast<int>(d);
  return true;
}
bool SetFlood(const char*, SimOptions& o, std::string&) { return o.flood = true; }
bool SetJson(const char* v, SimOptions& o, std::string&) { return o.json = v, true; }
bool SetDevice(const char* v, SimOptions& o, std::string&) { return o.device = v, true; }
bool SetNames(const char* v, SimOptions& o, std::string& e) { return ReadNames(v, o, e); }
bool SetFaults(const char* v, SimOptions& o, std::string& e) { return ParseFaults(v, o, e); }

constexpr OptionEntry kOptions[] = {
    {"--rate", true, SetRate},     {"--duration", true, SetDuration},
    {"--count", true, SetCount},   {"--seed", true, SetSeed},
    {"--faults", true, SetFaults}, {"--flood", false, SetFlood},
    {"--window", true, SetWindow}, {"--ack-timeout", true, SetAckTimeout},
    {"--json", true, SetJson},     {"--device", true, SetDevice},
    {"--names", true, SetNames},
};

const OptionEntry* FindOption(const std::string& name) {
  for (const OptionEntry& s : kOptions)
    if (name == s.name) return &s;
  return nullptr;
}

bool SetFault(const std::string& name, double p, SimOptions& o) {
  for (int k = 0; k < kFaultCount; ++k) {
    if (name == kFaultNames[k]) {
      o.faults[k] = p;
      return true;
    }
  }
  if (name != "all") return false;
  for (int k = 0; k < kFaultCount; ++k)
    if (k != kFaultNoise) o.faults[k] = p;  // "all" keeps the PC in step
  return true;
}

}  // namespace

const char* FaultName(int kind) {
  return kind >= 0 && kind < kFaultCount ? kFaultNames[kind] : "?";
}

bool ParseFaults(const char* list, SimOptions& o, std::string& error) {
  std::string rest = list ? list : "";
  if (rest.empty()) return error = Bad("--faults", "a list of fault kinds", list), false;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    const std::size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    double p = kDefaultFaultProbability;
    if (colon != std::string::npos && !ToNumber(item.c_str() + colon + 1, 0.0, 1.0, p)) {
      error = Bad("--faults", "a probability 0 to 1 after ':'", item.c_str());
      return false;
    }
    if (!SetFault(name, p, o)) {
      error = "--faults: unknown fault kind '" + name +
              "' (checksum, garbage, slow, oversize, info, unknown, rframe, noise, all)";
      return false;
    }
  }
  return true;
}

ParseResult ParseOptions(int argc, const char* const* argv, SimOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    const char* value = nullptr;
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos && arg.compare(0, 2, "--") == 0) {
      value = argv[i] + eq + 1;
      arg.resize(eq);
    }
    const OptionEntry* entry = FindOption(arg);
    if (!entry) {
      error = "unknown option '" + arg + "' (see --help)";
      return ParseResult::Error;
    }
    if (entry->hasValue && !value) {
      if (i + 1 >= argc) {
        error = arg + ": missing value";
        return ParseResult::Error;
      }
      value = argv[++i];
    } else if (!entry->hasValue && value) {
      error = arg + ": takes no value";
      return ParseResult::Error;
    }
    if (!entry->apply(value, o, error)) return ParseResult::Error;
  }
  if (o.names.empty()) o.names = DefaultNames();
  return ParseResult::Ok;
}

std::vector<std::string> DefaultNames() {
  std::vector<std::string> names;
  for (int i = 0; i < DefaultValueCount(); ++i) names.emplace_back(DefaultValue(i).name);
  return names;
}

const char* Usage() {
  return "usage: varnhalt_sim [options]\n"
         "Plays the controller on a serial line: answers the PC's requests, sends\n"
         "value names, its clock once a second and values, and checks every\n"
         "acknowledgement the PC sends.\n"
         "  --device PATH     use a serial port (9600 8N1, raw) instead of a new\n"
         "                    pseudo-terminal, whose path is printed on the first line\n"
         "  --rate R          '1' value telegrams a second (default 2)\n"
         "  --flood           send as fast as the PC acknowledges (see --window)\n"
         "  --window N        flood: acknowledgements owed at most (default 4)\n"
         "  --count N         stop after N '1' telegrams\n"
         "  --duration S      stop S seconds after start\n"
         "  --seed N          seed of values and faults (default 1)\n"
         "  --faults LIST     comma list of KIND or KIND:P (P = probability per '1'\n"
         "                    telegram, default 0.1); kinds: checksum, garbage, slow,\n"
         "                    oversize, info, unknown, rframe, noise (may put the PC\n"
         "                    out of step), all (every kind but noise)\n"
         "  --names FILE      value names, one a line (default: 24 built-in names)\n"
         "  --ack-timeout MS  an acknowledgement later than this is missing (2000)\n"
         "  --json FILE       write the summary as JSON\n"
         "Exit status: 0 every acknowledgement as expected, 1 missing, doubled or\n"
         "wrong acknowledgements, 2 bad options, 3 the line cannot be opened.\n";
}
