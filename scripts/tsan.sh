#!/usr/bin/env bash
# ThreadSanitizer: a g++ build with -Db_sanitize=thread in build-tsan/, then
# the C++ unit tests (core, export and report layers, tool), threaded
# exports in every ion-mobility layout, with centroiding, lock mass and
# numpress, and a batch of runs exported at once. Any report fails it
# (halt_on_error). Run by `scripts/test.sh --tsan`, or alone; it takes some
# minutes on a 2-core machine and is not part of the default test command.
set -uo pipefail
cd "$(dirname "$0")/.."
out=build-tsan
junit=${KESTRUNE_TSAN_JUNIT:-}
record() {  # name pass|fail
  [ -n "$junit" ] && /usr/bin/python3 scripts/summary.py --record "$junit/tsan-$1.xml" "tsan_$1" "$2"
  return 0
}
scripts/setup.sh --test >&2 || { record build fail; exit 1; }
again=()
[ -f "$out/build.ninja" ] && again=(--reconfigure)
if ! { meson setup "${again[@]}" "$out" -Dtests=true --buildtype=debugoptimized -Db_sanitize=thread \
         -Db_lundef=false && ninja -C "$out" tests/cpp/unit_tests tests/export/export_tests tests/cli/cli_tests \
         cli/kestrune; } > "$out.log" 2>&1; then
  tail -n 60 "$out.log" >&2
  echo "tsan: build failed" >&2
  record build fail
  exit 1
fi
record build pass
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
status=0
check() {  # name command...
  local name=$1; shift
  if "$@" > "$out/$name.log" 2>&1; then
    echo "tsan $name: ok"
    record "$name" pass
  else
    echo "tsan $name: FAIL (log $out/$name.log)"
    grep -A12 'WARNING: ThreadSanitizer' "$out/$name.log" | head -n 30
    record "$name" fail
    status=1
  fi
}
check unit_tests "$out/tests/cpp/unit_tests" --gtest_brief=1
check export_tests "$out/tests/export/export_tests" --gtest_brief=1
check cli_tests "$out/tests/cli/cli_tests" --gtest_brief=1
runs=$(mktemp -d)
trap 'rm -rf "$runs"' EXIT
/usr/bin/python3 - "$runs" <<'PY'
import sys
sys.path.insert(0, "tests/python")
import rawwriter as rw
from sample_runs import standard_builder, synapt_builder
base = sys.argv[1]
standard_builder().build(base + "/standard.raw")
synapt_builder().build(base + "/synapt.raw")
run = rw.RunBuilder()
f = run.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0)
for k in range(200):
    mz, intensity = rw.profile_peaks([300.0 + k, 650.0, 1200.0], [500 + k, 8000, 300])
    f.add_scan(mz, intensity, rt_min=0.01 * k)
run.build(base + "/profile.raw")
PY
for layout in combined per-bin summed; do
  check "export-$layout" "$out/cli/kestrune" export "$runs/synapt.raw" -o "$runs/x.mzML" --threads 4 \
    --ims-layout "$layout" --centroid --keep-lockmass -q
done
check export-profile "$out/cli/kestrune" export "$runs/profile.raw" -o "$runs/p.mzML" --threads 4 --centroid \
  --numpress slof -q
check export-lockmass "$out/cli/kestrune" export "$runs/standard.raw" -o "$runs/s.mzML" --threads 3 \
  --lockmass 556.2771 --lockmass-optional -q
check batch "$out/cli/kestrune" export "$runs/standard.raw" "$runs/synapt.raw" "$runs/profile.raw" \
  -O "$runs/batch" --jobs 3 --threads 2 -q
check qc "$out/cli/kestrune" qc "$runs/standard.raw" "$runs/synapt.raw" -o "$runs/r.html" -q
exit $status
