#!/usr/bin/env bash
# Development build: static core library, C++ unit tests, benchmarks and the
# extension module for CPython and PyPy, in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ ! -f build/build.ninja ]; then
  meson setup build -Ddev=true --buildtype=release >/dev/null
fi
ninja -C build >/dev/null
