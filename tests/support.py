"""Helpers shared by the test files (importable because pytest puts tests/ on the path)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

from zemlo._ondrel import AffineExpr

ROOT = Path(__file__).resolve().parents[1]
SANITIZERS = ("-fsanitize=address,undefined", "-fno-sanitize-recover=all")


def make_expr(terms=(), constant=0.0, sense=None, name=None):
    """An AffineExpr with the (variable, coefficient) terms added in order."""
    e = AffineExpr()
    for var, coeff in terms:
        e.add_term(var, coeff)
    e.set_constant(constant)
    if sense is not None:
        e.set_sense(sense)
    if name is not None:
        e.set_name(name)
    return e


def build_native(tmp_path_factory, program: str, sources: list[str], flags: list[str],
                 sanitize: bool = False) -> Path:
    """Compiles tests/native/<program>.cpp with the given repository sources (paths relative to
    the repository root) and returns the executable. Skips when g++ is missing. With
    `sanitize`, the address and undefined-behaviour sanitizers are used when the toolchain has
    them; only a toolchain without their runtimes falls back to a plain build."""
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip(f"g++ is not installed; {program} cannot be built")
    exe = tmp_path_factory.mktemp(program) / program
    command = [cxx, "-std=c++20", *flags, f"-I{ROOT / 'src'}", str(ROOT / "tests/native" / f"{program}.cpp"),
               *(str(ROOT / s) for s in sources), "-o", str(exe)]
    if sanitize:
        if subprocess.run(command + list(SANITIZERS), capture_output=True, text=True).returncode == 0:
            return exe
    subprocess.run(command, check=True, capture_output=True, text=True)
    return exe
