#include "sim_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim_values.h"

namespace {

constexpr const char* kFaultNames[kFaultCount] = {
    "checksum", "garbage", "slow", "oversize", "info", "unknown", "rframe", "noise", "name"};

// A whole-text number within [lo, hi].
bool ToNumber(const std::string& text, double lo, double hi, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Checks a number within [lo, hi], whole if asked, and rewrites it in plain
// decimal: CLI11 reads integers in base 0, which would take "010" as octal.
CLI::Validator Number(double lo, double hi, bool whole, const std::string& expected) {
  auto check = [=](std::string& text) -> std::string {
    double v = 0;
    if (!ToNumber(text, lo, hi, v) || (whole && std::floor(v) != v))
      return "expected " + expected + ", got '" + text + "'";
    char plain[40];
    std::snprintf(plain, sizeof plain, whole ? "%.0f" : "%.17g", v);
    text = plain;
    return {};
  };
  return CLI::Validator(check, "");
}

// Splits one --faults item, KIND or KIND:P; kind kFaultCount stands for "all".
// Returns what is wrong, or nothing.
std::string SplitFault(const std::string& item, int& kind, double& p) {
  const std::size_t colon = item.find(':');
  const std::string name = item.substr(0, colon);
  p = kDefaultFaultProbability;
  if (colon != std::string::npos && !ToNumber(item.substr(colon + 1), 0.0, 1.0, p))
    return "expected a probability 0 to 1 after ':', got '" + item + "'";
  for (kind = 0; kind < kFaultCount && name != kFaultNames[kind];) ++kind;
  if (kind < kFaultCount || name == "all") return {};
  return "unknown fault kind '" + name +
         "' (checksum, garbage, slow, oversize, info, unknown, rframe, noise, all)";
}

void SetFault(const std::string& item, SimOptions& o) {
  int kind = 0;
  double p = 0;
  if (!SplitFault(item, kind, p).empty()) return;  // refused by the check before
  if (kind < kFaultCount) {
    o.faults[kind] = p;
    return;
  }
  for (int k = 0; k < kFaultCount; ++k)
    if (k != kFaultNoise) o.faults[k] = p;  // "all" keeps the PC in step
}

// Reads the names file; returns what is wrong, or nothing.
std::string ReadNames(const std::string& path, SimOptions& o) {
  std::ifstream in(path);
  if (!in) return "cannot read '" + path + "': " + std::strerror(errno);
  o.names.clear();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxNameLength)
      return "name longer than " + std::to_string(kMaxNameLength) + " bytes: '" +
             line.substr(0, 20) + "...'";
    o.names.push_back(line);
  }
  if (o.names.empty() || o.names.size() > kMaxValues)
    return "'" + path + "' must hold 1 to " + std::to_string(kMaxValues) +
           " names, one a line (has " + std::to_string(o.names.size()) + ")";
  return {};
}

// A flag takes no value: "--flood=yes" is refused rather than read as a bool.
std::string NoValue(std::string& text) { return text == "true" ? "" : "takes no value"; }

void AddNumbers(CLI::App& app, SimOptions& o) {
  app.add_option("--rate", o.rate, "'1' value telegrams a second (default 2)")
      ->type_name("R")
      ->transform(Number(0.001, 1e6, false, "telegrams a second, 0.001 to 1000000"));
  app.add_flag("--flood", o.flood, "send as fast as the PC acknowledges (see --window)")
      ->check(CLI::Validator(NoValue, ""));
  app.add_option("--window", o.window, "flood: acknowledgements owed at most (default 4)")
      ->type_name("N")
      ->transform(Number(1, 64, true, "a whole number 1 to 64"));
  app.add_option("--count", o.count, "stop after N '1' telegrams")
      ->type_name("N")
      ->transform(Number(0, 1e12, true, "a whole number of telegrams, 0 or more"));
  app.add_option("--duration", o.duration, "stop S seconds after start")
      ->type_name("S")
      ->transform(Number(0.001, 1e7, false, "seconds above 0"));
  app.add_option("--seed", o.seed, "seed of values and faults (default 1)")
      ->type_name("N")
      ->transform(Number(0, 4294967295.0, true, "a whole number 0 to 4294967295"));
}

void Describe(CLI::App& app, SimOptions& o, std::vector<std::string>& faultItems) {
  app.description(
      "Plays the controller on a serial line: answers the PC's requests, sends\n"
      "value names, its clock once a second and values, and checks every\n"
      "acknowledgement the PC sends.");
  app.footer(
      "Exit status: 0 every acknowledgement as expected, 1 missing, doubled or\n"
      "wrong acknowledgements, 2 bad options, 3 the line cannot be opened.");
  app.get_formatter()->column_width(20);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--device", o.device,
                 "use a serial port (9600 8N1, raw) instead of a new\n"
                 "pseudo-terminal, whose path is printed on the first line")
      ->type_name("PATH");
  AddNumbers(app, o);
  app.add_option("--faults", faultItems,
                 "comma list of KIND or KIND:P (P = probability per '1'\n"
                 "telegram, default 0.1); kinds: checksum, garbage, slow,\n"
                 "oversize, info, unknown, rframe, noise (may put the PC\n"
                 "out of step), name (a name with a wrong checksum, P per\n"
                 "name, sent again after its negative acknowledgement),\n"
                 "all (every kind but noise)")
      ->type_name("LIST")
      ->option_text("LIST")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator(
          [](std::string& item) {
            int kind = 0;
            double p = 0;
            return SplitFault(item, kind, p);
          },
          ""))
      ->each([&o](const std::string& item) { SetFault(item, o); });
  app.add_option("--names", "value names, one a line (default: 24 built-in names)")
      ->type_name("FILE")
      ->check(CLI::Validator([&o](std::string& path) { return ReadNames(path, o); }, ""));
  app.add_option("--ack-timeout", o.ackTimeoutMs,
                 "an acknowledgement later than this is missing (2000)")
      ->type_name("MS")
      ->transform(Number(10, 600000, true, "milliseconds 10 to 600000"));
  app.add_option("--json", o.json, "write the summary as JSON")->type_name("FILE");
}

}  // namespace

const char* FaultName(int kind) {
  return kind >= 0 && kind < kFaultCount ? kFaultNames[kind] : "?";
}

ParseResult ParseOptions(int argc, const char* const* argv, SimOptions& o, std::string& error) {
  CLI::App app("", "varnhalt_sim");
  std::vector<std::string> faultItems;
  Describe(app, o, faultItems);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return ParseResult::Help;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) error += " (see --help)";
    return ParseResult::Error;
  }
  if (o.names.empty()) o.names = DefaultNames();
  return ParseResult::Ok;
}

std::vector<std::string> DefaultNames() {
  std::vector<std::string> names;
  for (int i = 0; i < DefaultValueCount(); ++i) names.emplace_back(DefaultValue(i).name);
  return names;
}

std::string Usage() {
  CLI::App app("", "varnhalt_sim");
  SimOptions o;
  std::vector<std::string> faultItems;
  Describe(app, o, faultItems);
  return app.help();
}
