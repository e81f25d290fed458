#!/usr/bin/env bash
# Development build in build/: the core library, the command-line tool, the
# extension module for CPython and PyPy, and the C++ unit tests (release
# optimisation). Installs missing Debian packages first. Quiet when it
# succeeds; on failure prints what Meson or the compiler said (the whole
# output is in build/build.log).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
options=(-Dtests=true -Dpypy=true -Dinstall_library=true)
mkdir -p build
log=build/build.log
{
  if [ -f build/build.ninja ]; then
    meson setup --reconfigure build "${options[@]}"
  else
    meson setup build "${options[@]}" --buildtype=release
  fi && ninja -C build
} > "$log" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
  # ninja stops at the first failed step: its command and the compiler's
  # messages are at the end.
  tail -n 80 "$log" >&2
  echo "build failed (exit $rc; full output: $log)" >&2
fi
exit $rc
