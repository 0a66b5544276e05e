"""HiGHS through highspy, fed the model's arrays in memory.

The model is exported by the native core as arrays (every variable a column in id order, every
constraint a row) with the matrix in compressed columns and 32-bit indices, which is what HiGHS
keeps internally: `passModel` then copies them once and converts nothing (handed rows, it
transposes them, which costs more than the export spends building the columns). The objective
sense and constant are passed too, so the objective value HiGHS reports is the model's. The
answer comes back from `getSolution`, whose vectors highspy hands over only as lists; they are
turned into float64 arrays at once, which the native core stores in one pass.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

from zemlo import _native
from zemlo._ondrel import Model
from zemlo.solvers import Answer, Settings, SolverError

__all__ = ["SOLVER", "Highs"]


class Highs:
    """HiGHS, the default solver."""

    name = "highs"
    install_hint = "the highs solver needs the Python package highspy: pip install 'zemlo[solve]'"

    def available(self) -> bool:
        try:
            import highspy  # noqa: F401
        except ImportError:
            return False
        return True

    def solve(self, model: Model, settings: Settings) -> Answer:
        import highspy
        import numpy as np

        highs_class: Any = highspy.Highs  # its constructor carries no annotations
        with _native_stdout_discarded():  # only the banner, before the output can be turned off
            h = highs_class()
            h.setOptionValue("output_flag", False)
        _configure(h, settings)

        a = _native.export_model(model, column_wise=True, int32=True)
        n, m = a["columns"], a["rows"]
        cost, lower, upper = np.asarray(a["cost"]), np.asarray(a["col_lower"]), np.asarray(a["col_upper"])
        # Rows refuse NaN when they are made; the objective and the bounds are checked here, as
        # HiGHS would take a NaN cost and call the result optimal.
        unusable = np.flatnonzero(np.isnan(cost) | np.isnan(lower) | np.isnan(upper))
        if unusable.size:
            name = model.get_variable(int(unusable[0])).name
            raise ValueError(f"variable {name!r} has a NaN bound or objective coefficient")
        starts = np.asarray(a["starts"])
        index = np.asarray(a["index"])
        sense = highspy.ObjSense.kMaximize if a["maximize"] else highspy.ObjSense.kMinimize
        # The integrality array always has one entry per column: highspy reads its first entry
        # even when it is empty.
        integrality = np.asarray(a["integer"]).astype(np.int32)
        status = h.passModel(
            n, m, len(index), int(highspy.MatrixFormat.kColwise), int(sense), a["offset"],
            cost, lower, upper, np.asarray(a["row_lower"]), np.asarray(a["row_upper"]),
            starts[:n], index, np.asarray(a["value"]), integrality,
        )  # fmt: skip
        del a, cost, lower, upper, starts, index, integrality
        if status == highspy.HighsStatus.kError:
            raise SolverError("HiGHS refused the model (solve with verbose=True to see why)")
        if settings.verbose:
            sys.stdout.flush()
        if settings.threads is not None or "threads" in settings.options:
            # HiGHS runs on one scheduler per process, made with the thread count of the first
            # run; a run that asks for another count fails unless the scheduler is made anew.
            highs_class.resetGlobalScheduler(True)
        with _stopped_by_ctrl_c(h):
            h.run()
        if settings.verbose:
            _flush_native_stdout()

        model_status = h.getModelStatus()
        words = h.modelStatusToString(model_status)
        statuses: dict[object, str] = {
            highspy.HighsModelStatus.kOptimal: "optimal",
            highspy.HighsModelStatus.kInfeasible: "infeasible",
            highspy.HighsModelStatus.kUnbounded: "unbounded",
            highspy.HighsModelStatus.kUnboundedOrInfeasible: "infeasible or unbounded",
            highspy.HighsModelStatus.kTimeLimit: "time limit",
            highspy.HighsModelStatus.kInterrupt: "interrupted",
        }
        result = statuses.get(model_status, "other")
        solution = h.getSolution()
        if not solution.value_valid or result in ("infeasible", "unbounded", "infeasible or unbounded"):
            return Answer(result, words)

        def floats(values: list[float]) -> Any:
            return np.fromiter(values, dtype=np.float64, count=len(values))

        duals = solution.dual_valid
        sizes = [len(solution.col_value), len(solution.row_value)]
        if duals:
            sizes += [len(solution.col_dual), len(solution.row_dual)]
        if any(size != (n, m)[i % 2] for i, size in enumerate(sizes)):
            raise SolverError(f"HiGHS answered with a solution of {sizes[0]} columns and {sizes[1]} rows "
                              f"for a model of {n} columns and {m} rows")
        return Answer(
            result,
            words,
            objective=h.getInfo().objective_function_value,
            col_values=floats(solution.col_value),
            col_duals=floats(solution.col_dual) if duals else None,
            row_activities=floats(solution.row_value),
            row_duals=floats(solution.row_dual) if duals else None,
        )


SOLVER = Highs()

# The HiGHS options the named settings set; an options dict may set them only when the named
# setting is not given as well.
_NAMED = {"time_limit": "time_limit", "mip_rel_gap": "mip_gap", "threads": "threads"}


def _configure(h: Any, settings: Settings) -> None:
    """Sets the options of the request on `h` (whose output is off), the options dict last;
    ValueError names an option HiGHS does not have or a value it does not take."""
    import highspy

    chosen: dict[str, Any] = {}
    for option, setting in _NAMED.items():
        value = getattr(settings, setting)
        if value is None:
            continue
        if option in settings.options:
            raise ValueError(f"HiGHS option {option!r} is given twice: as {setting} and in options")
        chosen[option] = value
    chosen.update(settings.options)
    for option, value in chosen.items():
        try:
            status = h.setOptionValue(option, value)
        except TypeError:  # a value none of highspy's overloads takes
            status = highspy.HighsStatus.kError
        if status != highspy.HighsStatus.kError:
            continue
        found, kind = h.getOptionType(option)
        if found == highspy.HighsStatus.kError:
            raise ValueError(f"HiGHS has no option {option!r}")
        words = {
            highspy.HighsOptionType.kBool: "a bool",
            highspy.HighsOptionType.kInt: "an int",
            highspy.HighsOptionType.kDouble: "a number",
            highspy.HighsOptionType.kString: "a string",
        }.get(kind, "another value")
        raise ValueError(f"HiGHS option {option!r} cannot be {value!r}: it takes {words} in its range")
    if settings.verbose:
        for option in ("output_flag", "log_to_console"):
            if option not in settings.options:
                h.setOptionValue(option, True)


@contextlib.contextmanager
def _stopped_by_ctrl_c(h: Any) -> Iterator[None]:
    """Meanwhile, Ctrl-C (SIGINT) stops the run of `h` instead of waiting for its end: HiGHS asks
    its interrupt callbacks (simplex, interior point, MIP search) whether to stop, and the
    callback says so once the signal came. HiGHS then ends with the status "Interrupted by
    user" and whatever solution it has.

    Only where Python's own SIGINT handler is in force, in the main thread: a handler the
    program installed, or SIGINT ignored (a background job), is left as it is.
    """
    import highspy

    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    ):
        yield
        return
    stop = threading.Event()
    # The signal also writes a byte to this pipe at once, which a callback that HiGHS calls
    # from another thread of its own sees even before the handler runs in the main thread.
    woken, wake = os.pipe()
    os.set_blocking(woken, False)
    os.set_blocking(wake, False)

    def on_interrupt_check(kind: Any, message: Any, data_out: Any, data_in: Any, user_data: Any) -> None:
        # Called often (between iterations) by HiGHS.
        if not stop.is_set():
            with contextlib.suppress(BlockingIOError):
                if signal.SIGINT in os.read(woken, 64):  # one byte per signal: its number
                    stop.set()
        if stop.is_set():
            data_in.user_interrupt = True

    kinds = highspy.cb.HighsCallbackType
    checks = (kinds.kCallbackSimplexInterrupt, kinds.kCallbackIpmInterrupt, kinds.kCallbackMipInterrupt)
    h.setCallback(on_interrupt_check, None)
    for kind in checks:
        h.startCallback(kind)
    previous = signal.signal(signal.SIGINT, lambda signum, frame: stop.set())
    previous_wakeup = signal.set_wakeup_fd(wake, warn_on_full_buffer=False)
    try:
        yield
    finally:
        signal.set_wakeup_fd(previous_wakeup)
        signal.signal(signal.SIGINT, previous)
        for kind in checks:
            h.stopCallback(kind)
        os.close(woken)
        os.close(wake)


def _flush_native_stdout() -> None:
    """Writes out what HiGHS's log left in the C library's stdout buffer, so that the whole log
    comes before whatever the caller prints next."""
    import ctypes

    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).fflush(None)


@contextlib.contextmanager
def _native_stdout_discarded() -> Iterator[None]:
    """Discards what native code prints on file descriptor 1 meanwhile, so the banner HiGHS
    prints even with its output turned off never mixes with the caller's output."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
