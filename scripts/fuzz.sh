#!/usr/bin/env bash
# Runs every libFuzzer target of fuzz/ for a given time each, under
# AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   scripts/fuzz.sh [-j JOBS] [SECONDS_PER_TARGET] [TARGET...]
#   scripts/fuzz.sh --build-only
#
# (default: one target at a time, 60 s each, every target).
#
# Builds the targets (declared in fuzz/meson.build) with clang 14 into
# build-fuzz/ (the project's Meson build with -Dfuzzing=true and
# AddressSanitizer and UndefinedBehaviorSanitizer), writes the start corpus
# anew with the project's run writer (build-fuzz/start/), and keeps what the
# fuzzer finds in build-fuzz/corpus/ across runs. Inputs that crash a target
# are saved as build-fuzz/crashes/<target>-*. Prints the executions per
# target and exits non-zero when any target failed.
#
# With KESTRUNE_FUZZ_JUNIT=DIR, each target's outcome is also written as a
# JUnit report DIR/fuzz-<target>.xml (for the summary of scripts/test.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_only=false
if [ "${1:-}" = --build-only ]; then build_only=true; shift; fi
parallel=1
if [ "${1:-}" = -j ] && [[ ${2:-} =~ ^[1-9][0-9]*$ ]]; then parallel=$2; shift 2; fi
seconds=60
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
junit=${KESTRUNE_FUZZ_JUNIT:-}
out=$root/build-fuzz
bin=$out/fuzz

record() {  # name pass|fail
  [ -n "$junit" ] && /usr/bin/python3 scripts/summary.py --record "$junit/fuzz-$1.xml" "fuzz_$1" "$2"
  return 0
}

scripts/setup.sh --test || { echo "fuzz: setup failed" >&2; record build fail; exit 1; }
mkdir -p "$out"
if ! { { [ -f "$out/build.ninja" ] \
         || meson setup "$out" --native-file fuzz/clang.ini -Dfuzzing=true \
              -Db_sanitize=address,undefined -Db_lundef=false --buildtype=plain -Doptimization=1 \
              -Dcpp_args=-gline-tables-only -Dc_args=-gline-tables-only; } \
       && ninja -C "$out"; } > "$out/build.log" 2>&1; then
  grep -E -A5 'error|FAILED' "$out/build.log" | head -n 60 >&2
  echo "fuzz: build failed (full log: $out/build.log)" >&2
  record build fail
  exit 1
fi
$build_only && exit 0
# The clang build uses the stand-in for std::expected (src/expected.h):
# check it before trusting the targets built on it.
if "$bin/expected_test" > "$out/expected_test.log" 2>&1; then
  record expected_stand_in pass
else
  cat "$out/expected_test.log" >&2
  echo "fuzz: the expected stand-in fails its checks" >&2
  record expected_stand_in fail
  exit 1
fi
mapfile -t all < "$bin/targets.txt"
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")

rm -rf "$out/start"
mkdir -p "$out/corpus" "$out/crashes" "$out/logs"
if ! "$bin/make_corpus" "$out/start" > "$out/logs/make_corpus.txt" 2>&1; then
  cat "$out/logs/make_corpus.txt" >&2
  echo "fuzz: start corpus generation failed" >&2
  record build fail
  exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-/usr/lib/llvm-14/bin/llvm-symbolizer}

run_target() {  # target; writes its result line to logs/<target>.result
  local t=$1 exe=$bin/fuzz_$1 log=$out/logs/$1.log res=$out/logs/$1.result
  mkdir -p "$out/corpus/$t"
  local dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  # The whole-run target writes a run directory per input: on tmpfs when
  # there is one.
  local tmp=${TMPDIR:-/tmp}
  [ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm
  # -malloc_limit_mb: no input here is larger than a few hundred kilobytes,
  # so a single allocation of this size means a size field was trusted.
  TMPDIR=$tmp "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 \
    -print_final_stats=1 -artifact_prefix="$out/crashes/$t-" "${dict[@]}" \
    "$out/corpus/$t" "$out/start/$t" $([ -d "fuzz/seeds/$t" ] && echo "fuzz/seeds/$t") > "$log" 2>&1
  local rc=$?
  local execs cov
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')
  if [ $rc -eq 0 ]; then
    printf 'fuzz %-14s ok    %10s executions in %ss, coverage %s\n' "$t" "${execs:-?}" "$seconds" "${cov:-?}" > "$res"
    record "$t" pass
  else
    {
      printf 'fuzz %-14s FAIL  (exit %s) after %s executions; log %s\n' "$t" "$rc" "${execs:-?}" "$log"
      grep -E 'ERROR: |runtime error|fuzz check failed|Test unit written' "$log" | head -n 8 | sed 's/^/    /'
    } > "$res"
    record "$t" fail
  fi
}

status=0
valid=()
for t in "${targets[@]}"; do
  if [ ! -x "$bin/fuzz_$t" ]; then
    echo "fuzz: unknown target $t (known: ${all[*]})" >&2
    status=1
    continue
  fi
  valid+=("$t")
  rm -f "$out/logs/$t.result"
  while (( $(jobs -rp | wc -l) >= parallel )); do wait -n; done
  run_target "$t" &
done
wait
for t in "${valid[@]}"; do
  cat "$out/logs/$t.result"
  grep -q '^fuzz [^ ]* *ok ' "$out/logs/$t.result" || status=1
done
exit $status
