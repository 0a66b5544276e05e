#!/bin/sh
# Runs the number-formatting micro-benchmark (CMake target format_bench, linked with the plain
# library ondrel_core), which the package build makes in its own tree (see pyproject.toml):
# `make install` (or `make bench`) first.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
python="$root/.venv/bin/python"
tag=$("$python" -c 'import sys, sysconfig; v = f"cp{sys.version_info[0]}{sys.version_info[1]}"; print(f"{v}-{v}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
bench="$root/build/$tag/format_bench"
if [ ! -x "$bench" ]; then
    echo "$bench is not built: run make install first" >&2
    exit 1
fi
"$bench"
