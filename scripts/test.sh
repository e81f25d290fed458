#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests, pytest under
# CPython and PyPy, the command-line tool's end-to-end tests, the installed
# C++ library's consumers, the hardening stages, the sanitizer stage,
# fuzzing and the wheel. Every stage runs; a
# stage whose build fails counts as failed and shows the compiler's
# messages. Ends with one line per allowed skip reason and then
# 'summary: N passed, N failed, N skipped'; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
# --tsan adds the ThreadSanitizer stage (scripts/tsan.sh), which takes some
# minutes more than the 10 the default stages are kept within.
tsan=0
[ "${1:-}" = "--tsan" ] && tsan=1

results=build/test-results
mkdir -p build && rm -rf "$results" && mkdir -p "$results/builds"
status=0

stage() { echo "== $* (at ${SECONDS} s)"; }
record() {  # NAME pass|fail: one check of this script as a report
  /usr/bin/python3 scripts/summary.py --record "$results/$1.xml" "$1" "$2" 2>/dev/null \
    || echo "<testsuite><testcase name=\"$1\"><failure/></testcase></testsuite>" > "$results/$1.xml"
}
finish() {
  echo "test command took ${SECONDS} s"
  /usr/bin/python3 scripts/summary.py "$results"/*.xml || status=1
  exit $status
}

stage "build"
if scripts/build.sh --test; then
  record build pass
else
  record build fail
  status=1
  finish
fi

# The sanitizer build and the fuzz targets build in the background while the
# first stages test: those stages keep only one of the cores busy, and wait
# on Snakemake and SLURM at times. The fuzz build runs at a lower priority
# than the sanitizer build, which the earlier stage needs: it takes what
# processor time the others leave.
asan=build-asan
ext_suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
build_asan() {
  local again=()
  [ -f "$asan/build.ninja" ] && again=(--reconfigure)
  meson setup "${again[@]}" "$asan" -Dtests=true --buildtype=plain -Dcpp_args=-g1 -Dc_args=-g1 \
    -Db_sanitize=address,undefined -Db_lundef=false \
    && ninja -C "$asan" tests/cpp/unit_tests "binding/kestrune$ext_suffix" "binding/kestrune_data$ext_suffix"
}
declare -A builder
(
  nice -n 5 bash -c "$(declare -f build_asan); asan=$asan ext_suffix=$ext_suffix build_asan" \
    > "$results/builds/asan.log" 2>&1
  echo $? > "$results/builds/asan.rc"
) &
builder[asan]=$!
(
  nice -n 15 scripts/fuzz.sh --build-only > "$results/builds/fuzz.log" 2>&1
  echo $? > "$results/builds/fuzz.rc"
) &
builder[fuzz]=$!

# Waits for one background build; prints the compiler's messages when it
# failed; its exit status.
built() {
  while [ ! -f "$results/builds/$1.rc" ]; do
    kill -0 "${builder[$1]}" 2>/dev/null || break
    sleep 1
  done
  local rc; rc=$(cat "$results/builds/$1.rc" 2>/dev/null || echo 1)
  if [ "$rc" -ne 0 ]; then
    echo "$1 build failed:"
    tail -n 60 "$results/builds/$1.log"
  fi
  return "$rc"
}

pytest_stage() {  # report name, then the interpreter and its arguments
  local name=$1; shift
  PYTHONDONTWRITEBYTECODE=1 "$@" -m pytest -q -p no:cacheprovider --junitxml="$results/$name.xml" "${PYTEST_ARGS[@]}"
  local rc=$?
  # 5: nothing collected; a stage that collects nothing has lost its tests.
  if [ $rc -ne 0 ]; then status=1; [ $rc -eq 5 ] && record "$name-collected-nothing" fail; fi
  return 0
}

stage "C++ unit tests"
build/tests/cpp/unit_tests --gtest_brief=1 --gtest_output="xml:$results/cpp.xml" || status=1

stage "command-line tool unit tests"
build/tests/cli/cli_tests --gtest_brief=1 --gtest_output="xml:$results/cli.xml" || status=1

stage "pytest (cpython)"
PYTEST_ARGS=(tests/python tests/python_data)
PYTHONPATH=build/binding pytest_stage pytest-cpython /usr/bin/python3

stage "pytest (pypy)"
# Debian ships pytest for CPython only; its pure-Python files serve PyPy too.
PYTHONPATH=build/binding/pypy:/usr/lib/python3/dist-packages pytest_stage pytest-pypy pypy3

stage "command-line tool end-to-end tests"
PYTEST_ARGS=(tests/tool)
KESTRUNE_CLI=build/cli/kestrune PYTHONPATH=build/binding pytest_stage tool /usr/bin/python3

# The cluster path: a single-node SLURM on this machine (scripts/slurm.sh,
# brought up and stopped again by the tests), the workflow run through it with
# the profile of workflow/profiles/slurm, and the CWL description of export
# run by cwltool. The tests fail, never skip, when SLURM cannot be had.
stage "cluster: Snakemake through SLURM, CWL"
PYTEST_ARGS=(tests/cluster)
KESTRUNE_CLI=build/cli/kestrune pytest_stage cluster /usr/bin/python3

# The installable C++ library: meson install of the release build into a
# temporary prefix, the consumers of examples/cpp built against it with
# pkg-config and with CMake, their output checked against the module's.
stage "C++ library install and consumers"
PYTEST_ARGS=(tests/install)
PYTHONPATH=build/binding pytest_stage install /usr/bin/python3

# Hardening (CPython, this build's module): the malformed-run campaign, the
# read-only check under strace and the leak checks; their summaries go to
# $results/hardening. The checks against the sanitizer build follow below.
stage "hardening (cpython)"
PYTEST_ARGS=(tests/hardening -m "not asan")
KESTRUNE_HARDENING_REPORTS="$results/hardening" PYTHONPATH=build/binding \
  pytest_stage hardening /usr/bin/python3

# Sanitizers: the C++ unit tests and the Python tests (CPython) once more,
# against a g++ build with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ (unoptimised, with line tables only: it compiles three times
# faster than -O2 and a tenth faster than with full debug information, and
# the tests are short), then the hardening checks that need that build.
# Undefined behaviour stops the process; leak detection is on. In the Python
# run the interpreter allocates through malloc (PYTHONMALLOC=malloc), so
# that objects lost by the extension are found too; fuzz/leak_check.py then
# fails on every leak with a frame in the extension or the core library and
# ignores those wholly inside the interpreter.
stage "sanitizers (ASan, UBSan): C++ unit tests, pytest (cpython), hardening"
if built asan; then
  record asan-build pass
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$asan/tests/cpp/unit_tests" --gtest_brief=1 --gtest_output="xml:$results/cpp-asan.xml" || status=1
  mkdir -p "$results/lsan"
  PYTEST_ARGS=(tests/python)
  LD_PRELOAD=$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path="$results/lsan/python" \
    LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$asan/binding" \
    pytest_stage pytest-cpython-asan /usr/bin/python3
  # The data module's tests, with the sanitizer's fast unwinding: their
  # threads and NumPy make a full unwind at every allocation take minutes,
  # and the allocation sites inside the extension are found all the same.
  PYTEST_ARGS=(tests/python_data)
  LD_PRELOAD=$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:malloc_context_size=30:log_path="$results/lsan/python-data" \
    LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$asan/binding" \
    KESTRUNE_CLI=build/cli/kestrune pytest_stage pytest-data-asan /usr/bin/python3
  if /usr/bin/python3 fuzz/leak_check.py "$results/lsan/python" "$results/lsan/python-data"; then
    record pytest-cpython-asan-no-leaks pass
  else
    record pytest-cpython-asan-no-leaks fail
    status=1
  fi
  PYTEST_ARGS=(tests/hardening -m asan)
  KESTRUNE_ASAN_BUILD=$asan KESTRUNE_HARDENING_REPORTS="$results/hardening" PYTHONPATH=build/binding \
    pytest_stage hardening-asan /usr/bin/python3
else
  record asan-build fail
  status=1
fi

# The installable package: a wheel built by meson-python from the release
# build above (no second compile), installed into a fresh virtual
# environment and imported from there. It runs before the fuzzing, while
# the fuzz targets are still building.
stage "wheel"
scratch=$(mktemp -d)
# meson-python 0.12 applies its own options to a given build directory only
# when that directory was last configured by it, so the release build takes
# the interpreter's prefix and drops the C++ library from its install list
# here, as meson-python and pyproject.toml would, and regenerates its install
# plan, which meson-python reads (nothing is compiled again; the next
# scripts/build.sh puts the library back).
if meson configure build -Dprefix="$(/usr/bin/python3 -c 'import sys; print(sys.base_prefix)')" \
     -Dinstall_library=false > "$results/builds/wheel.log" 2>&1 \
   && ninja -C build >> "$results/builds/wheel.log" 2>&1 \
   && /usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps --config-settings=builddir=build --config-settings=setup-args=-Doptimization=3 \
     -w "$scratch/wheel" . >> "$results/builds/wheel.log" 2>&1 \
   && /usr/bin/python3 -m venv --system-site-packages "$scratch/venv" \
   && "$scratch/venv/bin/python" -m pip install -q --no-index --no-deps "$scratch"/wheel/kestrune-*.whl \
   && (cd "$scratch" && "$scratch/venv/bin/python" -c '
import os, kestrune, kestrune_data
assert kestrune.__all__[0] == "RawReader", kestrune.__all__
for module in (kestrune, kestrune_data):
    stub = os.path.join(os.path.dirname(module.__file__), module.__name__ + ".pyi")
    assert os.path.exists(stub), stub
print("wheel installs and imports:", kestrune.__file__, kestrune_data.__file__)') \
   && "$scratch/venv/bin/kestrune" --version; then
  record wheel-installs-and-imports pass
else
  tail -n 40 "$results/builds/wheel.log"
  record wheel-installs-and-imports fail
  status=1
fi
rm -rf "$scratch"

# Fuzzing: every libFuzzer target (declared in fuzz/meson.build; clang 14,
# ASan and UBSan) for 6 s, two at a time; one report per target. Longer
# runs: scripts/fuzz.sh SECONDS.
stage "fuzzing (6 s per target)"
if built fuzz; then
  KESTRUNE_FUZZ_JUNIT="$results" scripts/fuzz.sh -j 2 6 || status=1
else
  record fuzz-build fail
  status=1
fi
wait "${builder[@]}"

if [ $tsan -eq 1 ]; then
  stage "ThreadSanitizer: unit tests, threaded exports, batch, qc"
  KESTRUNE_TSAN_JUNIT="$results" scripts/tsan.sh || status=1
fi

finish
