#!/usr/bin/env bash
# Builds the C++ API reference from the public headers with Doxygen into
# build-docs/html (index.html); fails on any Doxygen warning (an
# undocumented public declaration, for one). Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh doxygen

out=build-docs
rm -rf "$out" && mkdir -p "$out/include/kestrune"
# The headers as installed: config.h filled in from its template with the
# project's version (the build generates it the same way).
cp include/kestrune/*.h "$out/include/kestrune/"
version=$(sed -n "s/^  version : '\([0-9.]*\)',$/\1/p" meson.build)
IFS=. read -r major minor patch <<< "$version"
sed -e "s/@VERSION@/$version/; s/@VERSION_MAJOR@/$major/; s/@VERSION_MINOR@/$minor/" \
    -e "s/@VERSION_PATCH@/$patch/; s/@STD_EXPECTED@/1/" \
    include/kestrune/config.h.in > "$out/include/kestrune/config.h"

KESTRUNE_DOCS_OUT="$out" KESTRUNE_DOCS_HEADERS="$out/include/kestrune" doxygen docs/Doxyfile
echo "API reference: $out/html/index.html"
