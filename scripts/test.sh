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

echo "== command-line tool unit tests"
build/tests/cli/cli_tests --gtest_brief=1 --gtest_output="xml:$results/cli.xml" || status=1

# The end-to-end tests of the command-line tool run this binary.
export KESTRUNE_CLI=build/cli/kestrune

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

# The installable package: a wheel built by meson-python, installed into a
# fresh virtual environment and imported from there.
echo "== wheel"
scratch=$(mktemp -d)
if /usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps -w "$scratch/wheel" . \
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

# Hardening (tests/hardening, CPython, this build's module): the malformed-run
# campaign, the read-only check under strace and the leak checks; their
# summaries go to $results/hardening.
echo "== hardening (cpython)"
KESTRUNE_HARDENING_REPORTS="$results/hardening" PYTHONPATH=build/binding PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/hardening --junitxml="$results/hardening.xml" \
  || status=1

/usr/bin/python3 scripts/summary.py "$results"/*.xml || status=1
exit $status
