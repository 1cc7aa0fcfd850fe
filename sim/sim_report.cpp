#include "sim_report.h"

#include <cinttypes>
#include <cmath>
#include <fstream>

using nlohmann::ordered_json;

namespace {

// The JSON keys of the telegram kinds, in TelegramKind order.
constexpr const char* kKindKeys[kKindCount] = {"name", "values",  "clock",
                                               "info", "unknown", "stray"};

// Telegrams a second and bytes a second of the '1' stream, from the first
// '1' telegram to the last acknowledgement.
struct Throughput {
  double seconds = 0;
  double telegrams = 0;
  double bytes = 0;
};

Throughput ThroughputOf(const Simulator& sim) {
  const LineStats& l = sim.line();
  Throughput t;
  if (l.firstValueUs == 0 || l.lastAckUs <= l.firstValueUs) return t;
  t.seconds = static_cast<double>(l.lastAckUs - l.firstValueUs) / 1e6;
  const KindStats& v = sim.book().kind(kValues);
  t.telegrams = static_cast<double>(v.acked + v.nacked) / t.seconds;
  t.bytes = static_cast<double>(l.bytesOut - l.bytesAtFirstValue) / t.seconds;
  return t;
}

ordered_json LatencyFigures(const Latency& l) {
  return {
      {"count", l.count()}, {"p50", l.Percentile(50)}, {"p99", l.Percentile(99)}, {"max", l.max()}};
}

ordered_json KindFigures(const AckBook& b) {
  ordered_json kinds;
  for (int k = 0; k < kKindCount; ++k) {
    const KindStats& s = b.kind(k);
    kinds[kKindKeys[k]] = {{"sent", s.sent},
                           {"corrupted", s.corrupted},
                           {"acked", s.acked},
                           {"nacked", s.nacked},
                           {"lost", s.lost}};
  }
  return kinds;
}

uint64_t U(const ordered_json& j, const char* key) { return j.at(key).get<uint64_t>(); }

void PrintKinds(std::FILE* out, const ordered_json& kinds) {
  std::fprintf(out, "%-22s %10s %10s %10s %10s %10s\n", "telegrams", "sent", "corrupted", "acked",
               "nacked", "lost");
  for (int k = 0; k < kKindCount; ++k) {
    const ordered_json& s = kinds.at(kKindKeys[k]);
    std::fprintf(
        out, "%-22s %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 "\n",
        KindLabel(k), U(s, "sent"), U(s, "corrupted"), U(s, "acked"), U(s, "nacked"), U(s, "lost"));
  }
}

void PrintLatencies(std::FILE* out, const ordered_json& f) {
  const ordered_json& lat = f.at("latency_us");
  std::fprintf(out,
               "latency us             p50 %" PRIu64 ", p99 %" PRIu64 ", max %" PRIu64 " (%" PRIu64
               " acknowledgements)\n",
               U(lat, "p50"), U(lat, "p99"), U(lat, "max"), U(lat, "count"));
  const ordered_json& vl = f.at("values_latency_us");
  std::fprintf(out, "latency us, '1' only   p50 %" PRIu64 ", p99 %" PRIu64 ", max %" PRIu64 "\n",
               U(vl, "p50"), U(vl, "p99"), U(vl, "max"));
}

}  // namespace

ordered_json SimFigures(const Simulator& sim, EndReason reason) {
  const AckBook& b = sim.book();
  const AckCounts& c = b.counts();
  const LineStats& l = sim.line();
  const Throughput t = ThroughputOf(sim);
  ordered_json f;
  f["end"] = EndReasonText(reason);
  f["seconds"] = std::round(static_cast<double>(l.runUs) / 1e3) / 1e3;  // to the millisecond
  f["kinds"] = KindFigures(b);
  f["rframes"] = l.rframes;
  f["garbage_bytes"] = l.garbageBytes;
  f["noise_bytes"] = l.noiseBytes;
  f["oversize"] = l.oversize;
  f["slow"] = l.slow;
  f["requests"] = {{"Ra", l.requestRa},
                   {"Rb", l.requestRb},
                   {"param", l.paramWrite},
                   {"missing", l.requestsMissing}};
  f["acks"] = {{"expected", c.expected},       {"good", c.good},
               {"missing", c.missing},         {"doubled", c.doubled},
               {"wrong", c.wrong + l.pcWrong}, {"unanswered", c.unanswered}};
  f["latency_us"] = LatencyFigures(b.latency());
  f["values_latency_us"] = LatencyFigures(b.valuesLatency());
  f["bytes_out"] = l.bytesOut;
  f["bytes_in"] = l.bytesIn;
  f["values_per_s"] = std::round(t.telegrams * 10) / 10;
  f["bytes_per_s"] = static_cast<uint64_t>(std::llround(t.bytes));
  f["errors"] = sim.Errors();
  return f;
}

void PrintSummary(std::FILE* out, const ordered_json& f) {
  std::fprintf(out, "\nvarnhalt_sim summary (%s, %.1f s)\n", f.at("end").get<std::string>().c_str(),
               f.at("seconds").get<double>());
  PrintKinds(out, f.at("kinds"));
  std::fprintf(
      out,
      "other bytes            R frames %" PRIu64 ", garbage %" PRIu64 " bytes, noise %" PRIu64
      " bytes\n"
      "                       oversize headers %" PRIu64 ", slow telegrams %" PRIu64 "\n",
      U(f, "rframes"), U(f, "garbage_bytes"), U(f, "noise_bytes"), U(f, "oversize"), U(f, "slow"));
  const ordered_json& r = f.at("requests");
  std::fprintf(out,
               "from the PC            Ra %" PRIu64 ", Rb %" PRIu64 ", parameter 155=4 %" PRIu64
               ", bytes %" PRIu64 "\n",
               U(r, "Ra"), U(r, "Rb"), U(r, "param"), U(f, "bytes_in"));
  const ordered_json& a = f.at("acks");
  std::fprintf(out,
               "acknowledgements       expected %" PRIu64 ", as expected %" PRIu64
               ", unanswered at end %" PRIu64
               "\n"
               "                       missing %" PRIu64 ", doubled %" PRIu64 ", wrong %" PRIu64
               "\n",
               U(a, "expected"), U(a, "good"), U(a, "unanswered"), U(a, "missing"), U(a, "doubled"),
               U(a, "wrong"));
  if (U(r, "missing") > 0)
    std::fprintf(out, "requests missing       %" PRIu64 " (\"Rb\" or the parameter write)\n",
                 U(r, "missing"));
  PrintLatencies(out, f);
  std::fprintf(out, "'1' throughput         %.1f telegrams/s, %" PRIu64 " bytes/s\n",
               f.at("values_per_s").get<double>(), U(f, "bytes_per_s"));
  std::fprintf(out, "result                 %s\n",
               U(f, "errors") == 0 ? "OK: every acknowledgement as expected"
                                   : "FAILED: missing, doubled or wrong acknowledgements");
  std::fflush(out);
}

bool WriteJson(const char* path, const ordered_json& figures) {
  const std::string text = figures.dump(2) + '\n';
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && written;
}

nlohmann::json ReadSimJson(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in, nullptr, false);
}
