#!/usr/bin/env bash
# Builds the fuzz targets for libFuzzer with clang (every library instrumented
# for coverage, AddressSanitizer and UndefinedBehaviorSanitizer) and runs each
# for a while over a copy of its seed corpus (fuzz/corpus/<target>). Fails when
# any target finds anything: a crash, a failed check, a leak, a timeout or
# running out of memory. Prints each target's executions, edges (cov) and
# features (ft).
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]     default: 30 seconds, every target
#
# OSTREL_FUZZ_BUILD   build folder (default build-fuzz)
# OSTREL_FUZZ_OUT     where each target's log, grown corpus and findings go
#                     (default <build folder>/fuzz-out)
# OSTREL_FUZZ_RUNS    stop each target after this many executions, as well
# OSTREL_FUZZ_ARGS    further libFuzzer options, e.g. "-max_len=8192"
#
# Needs clang and its runtime libraries (Debian: clang, libclang-rt-14-dev or
# the runtime package of the installed clang).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
build=${OSTREL_FUZZ_BUILD:-build-fuzz}
out=${OSTREL_FUZZ_OUT:-$build/fuzz-out}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_LIBFUZZER=ON -DOSTREL_BUILD_TESTS=OFF \
  -DOSTREL_BUILD_BENCH=OFF -DOSTREL_CHECK_LAYERS=OFF "${launcher[@]}" >/dev/null
# The layer check is the main build's: here it would wait for every object of
# the project, the module among them, which does not link with libFuzzer.
cmake --build "$build" --target ostrel_fuzz -j"$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export OSTREL_UI=none

mkdir -p "$out"
failed=()
printf '%-14s %12s %8s %8s %8s  %s\n' target executions cov ft corpus findings
for t in "${targets[@]}"; do
  program="$build/bin/fuzz_$t"
  work="$out/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp fuzz/corpus/"$t"/* "$work/corpus/"
  extra=()
  [ -n "${OSTREL_FUZZ_RUNS:-}" ] && extra+=(-runs="$OSTREL_FUZZ_RUNS")
  [ -f "fuzz/dict/$t.dict" ] && extra+=(-dict="fuzz/dict/$t.dict")
  # The unattended user interface writes each message box on standard
  # error, captioned with the module's name ("OSTREL: ...") or, for code
  # linked into the fuzz program, the program's ("fuzz_inspect: ..."); the
  # log keeps the fuzzer's own lines.
  set +e
  # shellcheck disable=SC2086
  "$program" -max_total_time="$seconds" "${extra[@]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" ${OSTREL_FUZZ_ARGS:-} \
    "$work/corpus" 2>&1 | grep -avE '^(OSTREL|fuzz_[a-z_]+): ' >"$work/log"
  status=${PIPESTATUS[0]}
  set -e
  execs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$work/log" | tail -n1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$work/log" | tail -n1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  units=$(find "$work/corpus" -type f | wc -l)
  findings=$(find "$work" -maxdepth 1 -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  printf '%-14s %12s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$units" \
    "$findings"
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    failed+=("$t")
    echo "---- $t: exit status $status; the end of $work/log:" >&2
    tail -n 40 "$work/log" >&2
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found something in: ${failed[*]} (inputs and logs in $out)" >&2
  exit 1
fi
echo "no findings"
