#!/bin/sh
# Builds the number-formatting micro-benchmark (CMake target format_bench, linked with the plain
# library ondrel_core) in build/native and runs it. cmake and ninja come from .venv when present.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/.venv/bin"
cmake=$( [ -x "$bin/cmake" ] && echo "$bin/cmake" || command -v cmake )
generator=""
if [ -x "$bin/ninja" ]; then generator="-G Ninja -DCMAKE_MAKE_PROGRAM=$bin/ninja"; fi
build="$root/build/native"
# shellcheck disable=SC2086
"$cmake" -S "$root" -B "$build" $generator -DONDREL_PYTHON=OFF -DONDREL_NATIVE_TOOLS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS= >/dev/null
"$cmake" --build "$build" --target format_bench >/dev/null
"$build/format_bench"
