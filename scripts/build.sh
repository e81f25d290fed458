#!/usr/bin/env bash
# Release build in build/: the core library, the command-line tool and the
# extension module for CPython; with --test also the C++ unit tests and
# the extension module for PyPy. Installs missing Debian packages first
# (scripts/setup.sh, with --test those of the tests too). Quiet when it
# succeeds; on failure prints what Meson or the compiler said (the whole
# output is in build/build.log).
set -uo pipefail
cd "$(dirname "$0")/.."
options=(-Dtests=false -Dpypy=false -Dinstall_library=true)
setup=()
if [ "${1:-}" = "--test" ]; then
  options=(-Dtests=true -Dpypy=true -Dinstall_library=true)
  setup=(--test)
fi
scripts/setup.sh "${setup[@]}" || exit 1
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
