#!/usr/bin/env bash
# Builds everything (installing what is missing), runs the quickstart
# example on the bundled sample run and writes its quality report into
# build/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
run="${1:-examples/sample.raw}"
PYTHONPATH=build/binding /usr/bin/python3 examples/quickstart.py "$run"
build/cli/kestrune qc "$run" -o build/qc-report.html --mzqc build/qc-report.mzQC --no-progress
echo "quality report: $(pwd)/build/qc-report.html (metrics as mzQC: $(pwd)/build/qc-report.mzQC)"
