#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests, then pytest
# under CPython and under PyPy. Ends with one summary line; exits non-zero
# on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

results=build/test-results
rm -rf "$results" && mkdir -p "$results"
status=0

echo "== C++ unit tests"
build/tests/cpp/unit_tests --gtest_brief=1 --gtest_output="xml:$results/cpp.xml" || status=1

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

/usr/bin/python3 scripts/summary.py "$results"/*.xml || status=1
exit $status
