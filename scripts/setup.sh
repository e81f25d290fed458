#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  g++ meson ninja-build pkg-config
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-pytest python3-mesonpy python3-pip python3-venv
  pypy3 pypy3-dev python3-exceptiongroup python3-tomli
  libcli11-dev zlib1g-dev python3-pymzml
  # the export: SHA-1 and base64 (OpenSSL), deflate (ISA-L, libdeflate), MS-Numpress
  libssl-dev libisal-dev libdeflate-dev libmsnumpress-dev
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
  # the data module's tests and benchmark (NumPy under CPython)
  python3-numpy
  # workflow tests: the Snakemake workflow of workflow/
  snakemake
)
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
