"""The type stubs and annotations of the installed package (zemlo and its native module's
zemlo/_ondrel.pyi) against what it holds at run time, checked by mypy's stubtest: every name,
signature, positional-only marker, property and class variable must match."""

from __future__ import annotations

import subprocess
import sys


def test_stubs_match_the_installed_package(tmp_path):
    # Run from an empty directory, so stubtest finds the installed package and its stubs and
    # leaves its cache there.
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zemlo"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
