"""Timing shared by the benchmarks (imported, not run on its own, and before NumPy).

Times are CPU seconds of this process (time.process_time: user plus system), which a busy
shared machine disturbs far less than wall time; each figure is the minimum over rounds.
Process time counts every thread, and a BLAS library that NumPy loads keeps threads spinning
after any call into it: importing this module first limits them to the calling thread, so that
their spinning is not counted against whatever is measured next.
"""

from __future__ import annotations

import os

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import functools  # noqa: E402
import gc  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402


def _timed(fn: Callable[[], object]) -> float:
    """CPU time of fn(). What fn returns is released after the clock stops: dropping a
    reader's records is timed on its own where it matters, not inside the read."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.process_time()
        result = fn()
        elapsed = time.process_time() - t0
        del result
        return elapsed
    finally:
        gc.enable()


def best_of(fn: Callable[[], object], repeat: int = 5) -> float:
    """Smallest CPU time of `repeat` runs of fn() in seconds, each with the cyclic collector
    off after a full collection, so a collection started by earlier work is not timed."""
    return min(_timed(fn) for _ in range(repeat))


def interleaved(fns: dict[str, Callable[[], object]], rounds: int = 3) -> dict[str, float]:
    """The smallest CPU time of each function over `rounds` rounds, the functions taking turns
    within each round, so that a slow spell of the machine hits all of them alike."""
    best = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            best[name] = min(best[name], _timed(fn))
    return best


class Targets:
    """Collects missed targets, so a benchmark prints every figure and fails only at the end."""

    def __init__(self) -> None:
        self.missed: list[str] = []

    def check(self, ok: bool, text: str) -> None:
        print(f"{'':<4}target {text}: {'met' if ok else 'MISSED'}")
        if not ok:
            self.missed.append(text)

    def exit_status(self) -> int:
        for text in self.missed:
            print(f"missed target: {text}")
        return 1 if self.missed else 0


def interleaved_after(fns: dict[str, tuple[Callable[[], object], Callable[[object], object]]],
                      rounds: int = 3) -> dict[str, float]:
    """As `interleaved`, for pairs (setup, fn): each timed run is fn(setup()), setup() untimed,
    so that one call can be timed on a state made fresh for it (a model with its variables,
    say). What setup returns is released after the clock stops, with what fn returns."""
    best = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, (setup, fn) in fns.items():
            best[name] = min(best[name], _timed(functools.partial(fn, setup())))
    return best
