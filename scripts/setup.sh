#!/usr/bin/env bash
# Installs the Debian packages that are missing: those the build and the
# main job need, with --test also those of every test stage, and any
# package named after the options.
#   scripts/setup.sh                 build and main job (scripts/main.sh)
#   scripts/setup.sh --test          and every test (scripts/test.sh)
#   scripts/setup.sh [--test] PKG... and these
set -euo pipefail

packages=(
  g++ meson ninja-build pkg-config python3-dev
  libfmt-dev libcli11-dev
  # the export: SHA-1 and base64 (OpenSSL), deflate (ISA-L, libdeflate),
  # MS-Numpress; zlib for the PNG of the quality report's heat maps
  libssl-dev libisal-dev libdeflate-dev libmsnumpress-dev zlib1g-dev
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-mesonpy python3-pip python3-venv python3-numpy
  pypy3 pypy3-dev python3-exceptiongroup python3-tomli python3-pymzml
  # benchmarks: peak memory in bench/bench_export
  time
  # independent mzML readers and validator of the export tests (OpenMS TOPP tools)
  topp
  # the installed C++ library's CMake consumer; the API reference (scripts/docs.sh)
  cmake doxygen
  # fuzzing: clang 14 with libFuzzer and the sanitizer runtimes, llvm-symbolizer
  clang-14 libfuzzer-14-dev libclang-rt-14-dev llvm-14
  # hardening tests: system-call trace of the read-only check, leak check
  strace valgrind
  # QC report tests: mzQC schema validation, rendering in a headless browser
  python3-jsonschema chromium
  # workflow tests: the Snakemake workflow of workflow/, through a
  # single-node SLURM (scripts/slurm.sh), and its CWL description
  snakemake slurmctld slurmd slurm-client munge cwltool
)
if [ "${1:-}" = "--test" ]; then
  shift
  packages+=("${test_packages[@]}")
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
