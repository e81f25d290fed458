#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the quickstart
# example on the bundled sample run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
PYTHONPATH=build/binding exec /usr/bin/python3 examples/quickstart.py "${1:-examples/sample.raw}"
