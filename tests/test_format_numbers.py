"""Number renderings of the native core, checked through a small probe program.

The probe (tests/native/format_probe.cpp) is compiled from the repository's sources and
prints format_number, format_shortest, format_coefficient, format_repr and
format_mps_number for doubles given as bit patterns. Besides the tables, every rendering is
compared with Python's own correctly rounded float formatting over many doubles.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import random
import struct
import subprocess
from decimal import Decimal
from fractions import Fraction

import pytest

from support import native_program

NAN = float("nan")
INF = float("inf")
COLUMNS = ("number", "shortest", "coefficient", "repr", "mps")


@pytest.fixture(scope="session")
def render():
    """Return a function mapping a list of floats to a list of {column: text} dicts."""
    exe = native_program("format_probe")

    def run(xs):
        stdin = "".join(struct.pack(">d", x).hex() + "\n" for x in xs)
        out = subprocess.run([str(exe)], input=stdin.encode(), capture_output=True, check=True).stdout
        lines = out.decode().split("\n")
        assert lines.pop() == ""
        assert len(lines) == len(xs)
        return [dict(zip(COLUMNS, line.split("\t"), strict=True)) for line in lines]

    return run


@pytest.mark.parametrize(
    ("x", "expected"),
    [
        (1.0, "1"),
        (-1.0, "-1"),
        (0.5, "0.5"),
        (1e-5, "1e-5"),
        (0.0001, "0.0001"),
        (0.00012345678901234, "0.000123456789012"),
        (123456789012.0, "123456789012"),
        (123456789012.5, "123456789012"),
        (999999999999.5, "1000000000000"),
        (1e12, "1e12"),
        (1.5e20, "1.5e20"),
        (1 / 3, "0.333333333333"),
        (2 / 3, "0.666666666667"),
        (-0.0, "0"),
        (12345.678, "12345.678"),
        (0.1 + 0.2, "0.3"),
        (-1234.5, "-1234.5"),
        (2.5e-7, "2.5e-7"),
        (123456789012345678.0, "1.234567890123e17"),
        (9.99999999999995, "10"),
        (5e-324, "4.940656458412e-324"),
        (NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
        # Exact binary ties at the last kept digit go to the even digit.
        (821 / 8192, "0.100219726562"),
        (823 / 8192, "0.100463867188"),
        (12345678901.25, "12345678901.2"),
        (12345678901.75, "12345678901.8"),
        (1.0000000000000002e-300, "1e-300"),
    ],
)
def test_number_text(render, x, expected):
    assert render([x])[0]["number"] == expected


@pytest.mark.parametrize(
    ("x", "shortest", "coefficient", "repr_"),
    [
        (3.0, "3", "3", "3.0"),
        (-2.0, "-2", "-2", "-2.0"),
        (2.5, "2.5", "2.5", "2.5"),
        (1 / 3, "0.3333333333333333", "0.3333333333333333", "0.3333333333333333"),
        (1e20, "100000000000000000000", "100000000000000000000", "100000000000000000000.0"),
        (1e18, "1000000000000000000", "1000000000000000000", "1000000000000000000.0"),
        (1e-7, "0.0000001", "0.0000001", "0.0000001"),
        (-0.0, "-0", "0", "-0.0"),
        (3.0000000000000004, "3.0000000000000004", "3", "3.0000000000000004"),
        (2.9999999999999996, "2.9999999999999996", "2.9999999999999996", "2.9999999999999996"),
        (1e-16, "0.0000000000000001", "0", "0.0000000000000001"),
        (-1e-16, "-0.0000000000000001", "0", "-0.0000000000000001"),
        (NAN, "NaN", "NaN", "NaN"),
        (INF, "inf", "inf", "inf"),
        (-INF, "-inf", "-inf", "-inf"),
        # The shortest digits padded with zeros, not the exact integer value of the double.
        (1e23, "1" + "0" * 23, "1" + "0" * 23, "1" + "0" * 23 + ".0"),
        (2.0**60, "1152921504606847000", "1152921504606846976", "1152921504606847000.0"),
        # Truncation saturates: 2^63 becomes the largest 64-bit integer, which converts back
        # to 2^63 exactly; the largest double below 2^63 is still in range.
        (2.0**63, "9223372036854776000", "9223372036854775807", "9223372036854776000.0"),
        (9223372036854774784.0, "9223372036854775000", "9223372036854774784", "9223372036854775000.0"),
        (-(2.0**63), "-9223372036854776000", "-9223372036854775808", "-9223372036854776000.0"),
        (-(2.0**64), "-18446744073709552000", "-18446744073709552000", "-18446744073709552000.0"),
        (5e-324, "0." + "0" * 323 + "5", "0", "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292, "17976931348623157" + "0" * 292,
         "17976931348623157" + "0" * 292 + ".0"),
    ],
)
def test_shortest_coefficient_repr(render, x, shortest, coefficient, repr_):
    got = render([x])[0]
    assert (got["shortest"], got["coefficient"], got["repr"]) == (shortest, coefficient, repr_)


@pytest.mark.parametrize(
    ("x", "expected"),
    [
        (1.0, " 1.000000000000e0"),
        (10.0, " 1.000000000000e1"),
        (-1.0, "-1.000000000000e0"),
        (0.00125, " 1.250000000000e-3"),
        (0.0, " 0.000000000000e0"),
        (-0.0, " -0.000000000000e0"),
        (INF, " inf"),
        (-INF, "-inf"),
        (NAN, " NaN"),
        (1e300, " 1.000000000000e300"),
        (-5e-324, "-4.940656458412e-324"),
        (12345678901235.0, " 1.234567890124e13"),
        (12345678901225.0, " 1.234567890122e13"),
    ],
)
def test_mps_number_text(render, x, expected):
    assert render([x])[0]["mps"] == expected


# --- independent oracle -------------------------------------------------------------------


def _libm_log10():
    name = ctypes.util.find_library("m")
    if name is None:
        return None
    fn = ctypes.CDLL(name).log10
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_double]
    return fn


def oracle_number(x):
    if x == 0:
        return "0"
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    e = math.floor(math.log10(abs(x)))
    if -4 <= e <= 11:
        s = format(x, f".{11 - e}f")
        if "." in s:
            s = s.rstrip("0").removesuffix(".")
        return s
    mantissa, exponent = format(x, ".12e").split("e")
    mantissa = mantissa.rstrip("0").removesuffix(".")
    return f"{mantissa}e{int(exponent)}"


def oracle_shortest(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    s = format(Decimal(repr(x)), "f")
    if "." in s:
        s = s.rstrip("0").removesuffix(".")
    return s


def oracle_coefficient(x):
    if math.isnan(x):
        g = 0
    elif x > 9223372036854774784.0:
        g = 2**63 - 1
    elif x < -(2.0**63):
        g = -(2**63)
    else:
        g = int(x)
    if abs(x - float(g)) < 1e-15:
        return str(g)
    return oracle_shortest(x)


def oracle_repr(x):
    s = oracle_shortest(x)
    if any(c in s for c in ".eE") or s in ("inf", "NaN", "-inf"):
        return s
    return s + ".0"


def oracle_mps(x):
    if math.isnan(x):
        return " NaN"
    if math.isinf(x):
        return " inf" if x > 0 else "-inf"
    mantissa, exponent = format(x, ".12e").split("e")
    text = f"{mantissa}e{int(exponent)}"
    return text if x < 0 else " " + text


ORACLES = {
    "number": oracle_number,
    "shortest": oracle_shortest,
    "coefficient": oracle_coefficient,
    "repr": oracle_repr,
    "mps": oracle_mps,
}


def _neighbours(x, steps=3):
    out = [x]
    up = down = x
    for _ in range(steps):
        up = math.nextafter(up, INF)
        down = math.nextafter(down, -INF)
        out += [up, down]
    return out


def _binary_ties(rng, significant, count):
    """Exact doubles M / 2^j with `significant` decimal digits, the last one a 5."""
    out = []
    while len(out) < count:
        j = rng.randint(1, 22)
        lo = -(-(10 ** (significant - 1)) // 5**j)
        hi = min(10**significant // 5**j, 2**53)
        if lo >= hi:
            continue
        m = rng.randrange(lo, hi) | 1
        if m >= hi:
            continue
        x = m / 2**j
        assert Fraction(x) == Fraction(m, 2**j)
        out.append(x)
    return out


def edge_weighted_doubles(seed=20240611):
    rng = random.Random(seed)
    xs = [0.0, -0.0, NAN, INF, -INF, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
          1.7976931348623157e308, 2.0**63, 2.0**63 - 1024, 2.0**64, 1e-15, 1e-16, 0.5, 1.5, 2.5]
    xs += _neighbours(2.0**63, 5) + _neighbours(-(2.0**63), 5)
    # Powers of ten and the doubles next to them; the window edges more closely.
    for k in range(-325, 309):
        xs += _neighbours(float(f"1e{k}"), 3)
    for edge in (1e-4, 1e12, 999999999999.5, 0.000099999999999995, 9.99999999999995):
        xs += _neighbours(edge, 40)
    # Integers plus one half between 1e11 and 1e12: exact ties at the last kept digit.
    xs += [rng.randrange(10**11, 10**12) + 0.5 for _ in range(6000)]
    # Exact binary ties at the 12th and the 13th significant digit.
    xs += _binary_ties(rng, 13, 15000) + _binary_ties(rng, 14, 15000)
    # Fourteen-digit integers ending in 5, and times 10 and 100: ties in exponent form.
    xs += [(rng.randrange(10**12, 10**13) * 10 + 5) * 10 ** rng.randint(0, 2) for _ in range(6000)]
    # Near integers, around the 1e-15 threshold of the coefficient text.
    for _ in range(8000):
        n = rng.choice([0, 1, 3, 1000, rng.randrange(2**52)])
        xs += [n + rng.uniform(-3e-15, 3e-15), n + rng.choice([1e-15, -1e-15, 9.99e-16])]
    # Short decimals and integers.
    xs += [rng.randrange(10**rng.randint(1, 15)) / 10 ** rng.randint(0, 8) for _ in range(30000)]
    # Random mantissas over all decimal magnitudes, and around the positional window.
    xs += [rng.random() * 10.0 ** rng.randint(-330, 308) for _ in range(25000)]
    xs += [rng.random() * 10.0 ** rng.randint(-6, 14) for _ in range(30000)]
    # Subnormals and raw bit patterns.
    xs += [struct.unpack(">d", struct.pack(">Q", rng.getrandbits(52)))[0] for _ in range(5000)]
    xs += [struct.unpack(">d", struct.pack(">Q", rng.getrandbits(64)))[0] for _ in range(25000)]
    xs += [-x for x in xs[: len(xs) // 3]]
    return xs


def test_renderings_match_python_formatting(render):
    xs = edge_weighted_doubles()
    assert len(xs) > 200_000

    # format_number takes its exponent from the C library's log10; math.log10 is that
    # function for positive finite arguments on this platform. Check it for these values.
    libm_log10 = _libm_log10()
    if libm_log10 is not None:
        for x in xs:
            if x != 0 and math.isfinite(x):
                assert math.log10(abs(x)) == libm_log10(abs(x)), x.hex()

    failures = []
    for x, got in zip(xs, render(xs), strict=True):
        for column, oracle in ORACLES.items():
            want = oracle(x)
            if got[column] != want:
                failures.append((x.hex(), column, got[column], want))
        shortest = got["shortest"]
        if math.isfinite(x) and float(shortest) != x:
            failures.append((x.hex(), "round trip", shortest, repr(x)))
    assert failures[:20] == []
