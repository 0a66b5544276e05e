"""Timing shared by the benchmarks (imported, not run on its own)."""

import gc
import time


def best_of(fn, repeat=5):
    """Smallest wall time of `repeat` runs of fn() in seconds, each with the cyclic collector
    off after a full collection, so a collection started by earlier work is not timed."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - t0)
        finally:
            gc.enable()
    return best
