#include "sim_report.h"

#include <cinttypes>

namespace {

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

void PrintKinds(std::FILE* out, const AckBook& b) {
  std::fprintf(out, "%-22s %10s %10s %10s %10s %10s\n", "telegrams", "sent", "corrupted", "acked",
               "nacked", "lost");
  for (int k = 0; k < kKindCount; ++k) {
    const KindStats& s = b.kind(k);
    std::fprintf(out,
                 "%-22s %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 "\n",
                 KindLabel(k), s.sent, s.corrupted, s.acked, s.nacked, s.lost);
  }
}

}  // namespace

void PrintSummary(std::FILE* out, const Simulator& sim, EndReason reason) {
  const AckBook& b = sim.book();
  const AckCounts& c = b.counts();
  const LineStats& l = sim.line();
  const Latency& lat = b.latency();
  const Throughput t = ThroughputOf(sim);
  std::fprintf(out, "\nvarnhalt_sim summary (%s, %.1f s)\n", EndReasonText(reason),
               static_cast<double>(l.runUs) / 1e6);
  PrintKinds(out, b);
  std::fprintf(out,
               "other bytes            R frames %" PRIu64 ", garbage %" PRIu64
               " bytes, noise %" PRIu64 " bytes, oversize headers %" PRIu64
               ", slow telegrams %" PRIu64 "\n",
               l.rframes, l.garbageBytes, l.noiseBytes, l.oversize, l.slow);
  std::fprintf(out,
               "from the PC            Ra %" PRIu64 ", Rb %" PRIu64 ", parameter 155=4 %" PRIu64
               ", bytes %" PRIu64 "\n",
               l.requestRa, l.requestRb, l.paramWrite, l.bytesIn);
  std::fprintf(out,
               "acknowledgements       expected %" PRIu64 ", as expected %" PRIu64
               ", missing %" PRIu64 ", doubled %" PRIu64 ", wrong %" PRIu64
               ", unanswered at end %" PRIu64 "\n",
               c.expected, c.good, c.missing, c.doubled, c.wrong + l.pcWrong, c.unanswered);
  if (l.requestsMissing > 0)
    std::fprintf(out, "requests missing       %" PRIu64 " (\"Rb\" or the parameter write)\n",
                 l.requestsMissing);
  std::fprintf(out,
               "latency us             p50 %" PRIu64 ", p99 %" PRIu64 ", max %" PRIu64 " (%" PRIu64
               " acknowledgements)\n",
               lat.Percentile(50), lat.Percentile(99), lat.max(), lat.count());
  const Latency& vl = b.valuesLatency();
  std::fprintf(out, "latency us, '1' only   p50 %" PRIu64 ", p99 %" PRIu64 ", max %" PRIu64 "\n",
               vl.Percentile(50), vl.Percentile(99), vl.max());
  std::fprintf(out, "'1' throughput         %.1f telegrams/s, %.0f bytes/s\n", t.telegrams,
               t.bytes);
  std::fprintf(out, "result                 %s\n",
               sim.Errors() == 0 ? "OK: every acknowledgement as expected"
                                 : "FAILED: missing, doubled or wrong acknowledgements");
  std::fflush(out);
}

bool WriteJson(const char* path, const Simulator& sim, EndReason reason) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const AckBook& b = sim.book();
  const AckCounts& c = b.counts();
  const LineStats& l = sim.line();
  const Latency& lat = b.latency();
  const Throughput t = ThroughputOf(sim);
  static const char* const kKeys[kKindCount] = {"name", "values",  "clock",
                                                "info", "unknown", "stray"};
  std::fprintf(f, "{\n  \"end\": \"%s\",\n  \"seconds\": %.3f,\n  \"kinds\": {\n",
               EndReasonText(reason), static_cast<double>(l.runUs) / 1e6);
  for (int k = 0; k < kKindCount; ++k) {
    const KindStats& s = b.kind(k);
    std::fprintf(f,
                 "    \"%s\": {\"sent\": %" PRIu64 ", \"corrupted\": %" PRIu64
                 ", \"acked\": %" PRIu64 ", \"nacked\": %" PRIu64 ", \"lost\": %" PRIu64 "}%s\n",
                 kKeys[k], s.sent, s.corrupted, s.acked, s.nacked, s.lost,
                 k + 1 < kKindCount ? "," : "");
  }
  std::fprintf(f,
               "  },\n  \"rframes\": %" PRIu64 ",\n  \"garbage_bytes\": %" PRIu64
               ",\n  \"noise_bytes\": %" PRIu64 ",\n  \"oversize\": %" PRIu64
               ",\n  \"slow\": %" PRIu64 ",\n",
               l.rframes, l.garbageBytes, l.noiseBytes, l.oversize, l.slow);
  std::fprintf(f,
               "  \"requests\": {\"Ra\": %" PRIu64 ", \"Rb\": %" PRIu64 ", \"param\": %" PRIu64
               ", \"missing\": %" PRIu64 "},\n",
               l.requestRa, l.requestRb, l.paramWrite, l.requestsMissing);
  std::fprintf(f,
               "  \"acks\": {\"expected\": %" PRIu64 ", \"good\": %" PRIu64
               ", \"missing\": %" PRIu64 ", \"doubled\": %" PRIu64 ", \"wrong\": %" PRIu64
               ", \"unanswered\": %" PRIu64 "},\n",
               c.expected, c.good, c.missing, c.doubled, c.wrong + l.pcWrong, c.unanswered);
  std::fprintf(f,
               "  \"latency_us\": {\"count\": %" PRIu64 ", \"p50\": %" PRIu64 ", \"p99\": %" PRIu64
               ", \"max\": %" PRIu64 "},\n",
               lat.count(), lat.Percentile(50), lat.Percentile(99), lat.max());
  const Latency& vl = b.valuesLatency();
  std::fprintf(f,
               "  \"values_latency_us\": {\"count\": %" PRIu64 ", \"p50\": %" PRIu64
               ", \"p99\": %" PRIu64 ", \"max\": %" PRIu64 "},\n",
               vl.count(), vl.Percentile(50), vl.Percentile(99), vl.max());
  std::fprintf(f,
               "  \"bytes_out\": %" PRIu64 ",\n  \"bytes_in\": %" PRIu64
               ",\n  \"values_per_s\": %.1f,\n  \"bytes_per_s\": %.0f,\n  \"errors\": %" PRIu64
               "\n}\n",
               l.bytesOut, l.bytesIn, t.telegrams, t.bytes, sim.Errors());
  return std::fclose(f) == 0;
}
