#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests, then pytest
# under CPython and under PyPy. Ends with one summary line; exits non-zero
# on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

results=build/test-results
rm -rf "$results" && mkdir -p "$results/builds"
status=0

# The builds of the later stages (sanitizer build, fuzz targets, wheel) run
# in the background, one after the other, while the first stages test: most
# of those stages keep only one of the cores busy.
asan=build-asan
ext_suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
scratch=$(mktemp -d)
build_asan() {
  { [ -f "$asan/build.ninja" ] \
    || meson setup "$asan" -Ddev=true --buildtype=debug -Db_sanitize=address,undefined -Db_lundef=false; } \
    && ninja -C "$asan" tests/cpp/unit_tests "binding/kestrune$ext_suffix"
}
build_wheel() {
  /usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps -w "$scratch/wheel" .
}
(
  for step in asan fuzz wheel; do
    case $step in
      asan) nice -n 5 bash -c "$(declare -f build_asan); asan=$asan ext_suffix=$ext_suffix build_asan" ;;
      fuzz) scripts/setup.sh && nice -n 5 fuzz/build.sh build-fuzzers ;;
      wheel) nice -n 5 bash -c "$(declare -f build_wheel); scratch=$scratch build_wheel" ;;
    esac > "$results/builds/$step.log" 2>&1
    echo $? > "$results/builds/$step.rc"
  done
) &
background_builds=$!

# Waits for one background build; its exit status.
built() {
  while [ ! -f "$results/builds/$1.rc" ]; do
    kill -0 "$background_builds" 2>/dev/null || break
    sleep 1
  done
  local rc; rc=$(cat "$results/builds/$1.rc" 2>/dev/null || echo 1)
  [ "$rc" -eq 0 ] || { echo "$1 build failed:"; tail -n 30 "$results/builds/$1.log"; }
  return "$rc"
}

echo "== C++ unit tests"
build/tests/cpp/unit_tests --gtest_brief=1 --gtest_output="xml:$results/cpp.xml" || status=1

echo "== command-line tool unit tests"
build/tests/cli/cli_tests --gtest_brief=1 --gtest_output="xml:$results/cli.xml" || status=1

run_pytest() {  # name, interpreter, extension dir, extra PYTHONPATH
  local name=$1 interp=$2 ext=$3 extra=${4:-}
  echo "== pytest ($name)"
  PYTHONPATH="$ext${extra:+:$extra}" PYTHONDONTWRITEBYTECODE=1 \
    "$interp" -m pytest -q -p no:cacheprovider tests/python --junitxml="$results/pytest-$name.xml"
  local rc=$?
  # 5: nothing collected, which is not a failure of its own.
  if [ $rc -ne 0 ] && [ $rc -ne 5 ]; then status=1; fi
}

run_pytest cpython /usr/bin/python3 build/binding
# Debian ships pytest for CPython only; its pure-Python files serve PyPy too.
run_pytest pypy pypy3 build/binding/pypy /usr/lib/python3/dist-packages

# End-to-end tests of the command-line tool (CPython, this build's binary).
echo "== command-line tool end-to-end tests"
KESTRUNE_CLI=build/cli/kestrune PYTHONPATH=build/binding PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/tool --junitxml="$results/tool.xml" || status=1


# Hardening (tests/hardening, CPython, this build's module): the malformed-run
# campaign, the read-only check under strace and the leak checks; their
# summaries go to $results/hardening.
echo "== hardening (cpython)"
KESTRUNE_HARDENING_REPORTS="$results/hardening" PYTHONPATH=build/binding PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/hardening --junitxml="$results/hardening.xml" \
  || status=1

# Sanitizers: the C++ unit tests and the Python tests (CPython) once more,
# against a g++ build with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ (unoptimised: it compiles three times faster than -O2, and the
# tests are short). Undefined behaviour stops the process; leak detection is
# on. In the Python run the interpreter allocates through malloc
# (PYTHONMALLOC=malloc), so that objects lost by the extension are found
# too; fuzz/leak_check.py then fails on every leak with a frame in the
# extension or the core library and ignores those wholly inside the
# interpreter.
echo "== sanitizers (ASan, UBSan): C++ unit tests and pytest (cpython)"
if built asan; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$asan/tests/cpp/unit_tests" --gtest_brief=1 --gtest_output="xml:$results/cpp-asan.xml" || status=1
  mkdir -p "$results/lsan"
  LD_PRELOAD=$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path="$results/lsan/python" \
    LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH="$asan/binding" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python --junitxml="$results/pytest-cpython-asan.xml"
  rc=$?
  if [ $rc -ne 0 ] && [ $rc -ne 5 ]; then status=1; fi
  if /usr/bin/python3 fuzz/leak_check.py "$results/lsan/python"; then
    /usr/bin/python3 scripts/summary.py --record "$results/leaks-asan.xml" pytest_cpython_asan_no_leaks pass
  else
    /usr/bin/python3 scripts/summary.py --record "$results/leaks-asan.xml" pytest_cpython_asan_no_leaks fail
    status=1
  fi
else
  echo "sanitizer build failed"
  /usr/bin/python3 scripts/summary.py --record "$results/asan-build.xml" asan_build fail
  status=1
fi

# Fuzzing: every libFuzzer target of fuzz/ (clang 14, ASan and UBSan) for
# 8 s, two at a time; one JUnit case per target (fuzz-<target>.xml). Longer
# runs: scripts/fuzz.sh SECONDS.
echo "== fuzzing (8 s per target)"
built fuzz >/dev/null
KESTRUNE_FUZZ_JUNIT="$results" scripts/fuzz.sh -j 2 8 || status=1

# The installable package: a wheel built by meson-python, installed into a
# fresh virtual environment and imported from there.
echo "== wheel"
if built wheel \
   && /usr/bin/python3 -m venv --system-site-packages "$scratch/venv" \
   && "$scratch/venv/bin/python" -m pip install -q --no-index --no-deps "$scratch"/wheel/kestrune-*.whl \
   && (cd "$scratch" && "$scratch/venv/bin/python" -c '
import os, kestrune
assert kestrune.__all__[0] == "RawReader", kestrune.__all__
stub = os.path.join(os.path.dirname(kestrune.__file__), "kestrune.pyi")
assert os.path.exists(stub), stub
print("wheel installs and imports:", kestrune.__file__)'); then
  /usr/bin/python3 scripts/summary.py --record "$results/wheel.xml" wheel_installs_and_imports pass
else
  /usr/bin/python3 scripts/summary.py --record "$results/wheel.xml" wheel_installs_and_imports fail
  status=1
fi
rm -rf "$scratch"
wait "$background_builds"

/usr/bin/python3 scripts/summary.py "$results"/*.xml || status=1
exit $status
