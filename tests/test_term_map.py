"""Order rules of the term map: replacing keeps the position, new ids go to the end, removing
shifts the later entries down, removing a set keeps the relative order of the rest.

The C++ type is driven directly by a randomized check against a plain reference
(tests/native/term_map_check.cpp, built with the address and undefined-behaviour sanitizers
where available); the same rules are then checked through AffineExpr and Model with
hypothesis against a Python dict."""

from __future__ import annotations

import math
import re
import struct
import subprocess
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import native_program
from zemlo import _ondrel as z



@pytest.fixture(scope="session")
def term_map_check():
    return native_program("term_map_check")


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_term_map_against_reference(term_map_check, seed):
    run = subprocess.run([str(term_map_check), str(seed), "30000"], capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-4000:]
    stats = dict(re.findall(r"(\w+)=(\d+)", run.stdout))
    # The run really went back and forth over the linear/indexed threshold, reached thousands
    # of entries, stopped bulk additions part way, and worked on lent storage.
    assert int(stats["crossings"]) >= 100
    assert int(stats["max_size"]) >= 2000
    assert int(stats["bulk_stops"]) >= 50
    assert int(stats["lends"]) >= 100


# ---------------------------------------------------------------------------------------------
# Through the public API.

N = 48  # more distinct variables than a linearly searched map holds
_MODEL = z.Model("terms")
VARS = _MODEL.add_variables_batch([f"v{i}" for i in range(N)], 0.0, 1.0, z.Category.Continuous)

coefficients = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5]),
    st.floats(allow_nan=True, allow_infinity=True),
)
# Ids from a narrow range make repeats likely, from the wide one many distinct terms.
ops = st.one_of(
    st.lists(st.tuples(st.integers(0, 7), coefficients), max_size=40),
    st.lists(st.tuples(st.integers(0, N - 1), coefficients), max_size=160),
)


def bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def reference(pairs):
    """The documented rule: coefficient := c + old, with old 0.0 for a new id appended last."""
    terms = {}
    for i, c in pairs:
        terms[i] = c + terms.get(i, 0.0)
    return terms


def assert_matches(e, terms):
    assert [v.id() for v in e.keys()] == list(terms)
    assert [bits(c) for c in e.values()] == [bits(c) for c in terms.values()]
    assert [v.id() for v, _ in e.items()] == list(terms)
    assert e.num_terms() == len(terms)
    for i, v in enumerate(VARS):
        assert bits(e.get_coeff(v)) == bits(terms.get(i, 0.0))


@settings(deadline=None)
@given(ops)
def test_add_term_sequence_matches_an_ordered_dict(pairs):
    e = z.AffineExpr()
    for i, c in pairs:
        e.add_term(VARS[i], c)
    assert_matches(e, reference(pairs))


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(deadline=None)
@given(
    st.lists(st.tuples(st.booleans(), st.lists(st.tuples(st.integers(0, N - 1), finite), max_size=60)),
             max_size=6)
)
def test_bulk_additions_equal_repeated_add_term(chunks):
    # Each chunk goes in through the buffers or term by term; the result must not depend on it,
    # also when a bulk chunk lands on an expression that already has terms.
    bulk, single = z.AffineExpr(), z.AffineExpr()
    for use_buffers, pairs in chunks:
        for i, c in pairs:
            single.add_term(VARS[i], c)
        if use_buffers:
            bulk.add_term_ids_coeffs(_MODEL, array("Q", [i for i, _ in pairs]),
                                     array("d", [c for _, c in pairs]))
        else:
            for i, c in pairs:
                bulk.add_term(VARS[i], c)
    assert [v.id() for v in bulk.keys()] == [v.id() for v in single.keys()]
    assert [bits(c) for c in bulk.values()] == [bits(c) for c in single.values()]


def new_model():
    m = z.Model("m")
    return m, m.add_variables_batch([f"v{i}" for i in range(N)], 0.0, 1.0, z.Category.Continuous)


def ids_and_bits(pairs):
    return [(v if isinstance(v, int) else v.id(), bits(c)) for v, c in pairs]


@settings(deadline=None, max_examples=50)
@given(st.lists(st.tuples(st.integers(0, N - 1), st.floats(-1e6, 1e6)), max_size=120),
       st.lists(st.integers(0, N - 1), max_size=30))
def test_removing_variables_keeps_the_order_of_the_rest(pairs, removed):
    m, vs = new_model()
    e = z.AffineExpr()
    for i, c in pairs:
        e.add_term(vs[i], c)
    m.set_objective(e)
    e.set_sense(z.Sense.LessEqual)
    constraint = m.add_constraint(e)
    m.remove_variables(removed)
    kept = [(i, c) for i, c in reference(pairs).items() if i not in set(removed)]
    assert ids_and_bits(m.get_objective().items()) == ids_and_bits(kept)
    assert ids_and_bits(constraint.items()) == ids_and_bits(kept)


@settings(deadline=None, max_examples=60)
@given(st.lists(st.tuples(st.integers(0, N - 1), st.one_of(st.sampled_from([0.0, -0.0]), finite)),
                max_size=120))
def test_setting_and_removing_single_coefficients(pairs):
    # A dict has the same rules: assignment keeps an existing key's place, pop closes the gap.
    m, vs = new_model()
    e = z.AffineExpr()
    e.set_sense(z.Sense.Equal)
    constraint = m.add_constraint(e)
    terms = {}
    for i, c in pairs:
        constraint.set_coefficient(vs[i], c)
        if c == 0.0:
            terms.pop(i, None)
        else:
            terms[i] = c
    assert ids_and_bits(constraint.items()) == ids_and_bits(terms.items())
