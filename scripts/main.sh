#!/usr/bin/env bash
# Builds the library, the command-line tool and the Python module
# (installing only the Debian packages they need), runs the quickstart
# example on the bundled sample run and writes its quality report into
# build/. scripts/test.sh installs and builds the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
run="${1:-examples/sample.raw}"
PYTHONPATH=build/binding /usr/bin/python3 examples/quickstart.py "$run"
build/cli/kestrune qc "$run" -o build/qc-report.html --mzqc build/qc-report.mzQC --no-progress
echo "quality report: $(pwd)/build/qc-report.html (metrics as mzQC: $(pwd)/build/qc-report.mzQC)"
