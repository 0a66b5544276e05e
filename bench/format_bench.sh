#!/bin/sh
# Builds the number-formatting micro-benchmark from the repository sources and runs it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TMPDIR:-/tmp}/zemlo_format_bench.$$
trap 'rm -f "$out"' EXIT
${CXX:-g++} -std=c++20 -O2 -I"$root/src" "$root/bench/format_bench.cpp" "$root/src/format/number.cpp" -o "$out"
"$out"
