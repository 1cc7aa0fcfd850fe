#!/bin/sh
# Builds the fuzz targets with clang-14 (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each one for a bounded time, starting
# from the seed corpus in fuzz/corpus/<target>. Fails on any finding: a
# crash, a sanitizer report, a leak, a failed check of the in-memory line,
# an input that takes longer than 10 s, or memory beyond 2 GB.
#
#   fuzz/run-fuzz.sh                 all three targets, 60 s each
#   FUZZ_SECONDS=600 fuzz/run-fuzz.sh monitor
#
# Environment: FUZZ_SECONDS (per target, default 60), FUZZ_BUILD (build
# directory, default build-fuzz), FUZZ_CXX (default clang++-14),
# VARNHALT_FUZZ_LOG (0: no log file, 1: log every input; default: inputs of
# up to 512 bytes). Findings are kept as <build>/findings/<target>-crash-...;
# replay one with <build>/fuzz/fuzz_<target> <file>.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-clang++-14}
targets=${*:-monitor print trace}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNHALT_FUZZ=ON -DVARNHALT_TESTS=OFF -DVARNHALT_WERROR=ON >/dev/null
cmake --build "$build" --target fuzz -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$build/findings" "$build/logs"
failed=""
for t in $targets; do
  bin="$build/fuzz/fuzz_$t"
  work="$build/corpus/$t"  # grows as the fuzzer finds new inputs; seeds stay clean
  log="$build/logs/$t.log"
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s (log: $log)"
  if ASAN_OPTIONS=detect_leaks=1 "$bin" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
      "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(sed -n 's/^#[0-9]*[[:space:]]*DONE *\(cov: [0-9]*\).*/\1/p' "$log")
    echo "   ok: $runs runs, $rate exec/s, $cov"
  else
    echo "   FINDING: see $log and $build/findings/"
    grep -E 'ERROR|SUMMARY|memory line|monitor:|print:|trace:|Test unit written' "$log" | head -n 20 || true
    failed="$failed $t"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing found faults in:$failed"
  exit 1
fi
echo "fuzzing: no findings"
