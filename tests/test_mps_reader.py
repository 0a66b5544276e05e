"""read_mps and the MPS record classes.

Files are written to a temporary directory and read back through zemlo._ondrel.read_mps, as a
user would. Numbers are checked against Python's own float(), real files against GLPK's
glpsol reading the same netlib models, and their optimum, through a model built from the
records and written with write_mps, against a solver on the original file.
"""

from __future__ import annotations

import gc
import gzip
import math
import os
import re
import subprocess
import sys
import textwrap
import weakref
from array import array
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zemlo import _ondrel
from zemlo._ondrel import AffineExpr, Category, Model, ObjSense, Sense
from support import DEMO_MPS, netlib_model, netlib_sources, require_tool

WORKED_EXAMPLE_RECORDS = {
    "parameters": ("demo", 1),
    "objective": ("OBJ", [("x", 3.0), ("y", 2.0), ("z", -1.0)]),
    "variables": [
        ("x", "Continuous", 0.0, None, None, None),
        ("y", "Integer", 0.0, 10.0, None, None),
        ("z", "Integer", 0.0, 1.0, None, None),
        ("w", "Continuous", None, None, None, None),
    ],
    "constraints": [
        ("c2", -1, [("x", 1.0), ("y", 1.0)], None, -4.0),
        ("c1", 1, [("x", -1.0), ("w", 1.0)], None, 1.0),
        ("c3", -1, [], None, -5.0),
    ],
    "sos1": [],
    "sos2": [],
}


def plain(result) -> dict:
    """The whole content of an MpsResult as plain Python values."""
    return {
        "parameters": (result.parameters.name, result.parameters.sense),
        "objective": (
            result.objective.name,
            [(c.name, c.value) for c in result.objective.coefficients],
        ),
        "variables": [
            (v.name, v.cat, v.lowBound, v.upBound, v.varValue, v.dj) for v in result.variables
        ],
        "constraints": [
            (c.name, c.sense, [(k.name, k.value) for k in c.coefficients], c.pi, c.constant)
            for c in result.constraints
        ],
        "sos1": list(result.sos1),
        "sos2": list(result.sos2),
    }


@pytest.fixture
def read(tmp_path):
    """read(text_or_bytes, sense=1, drop_cons_names=False) -> MpsResult, through a file."""
    counter = iter(range(10**9))

    def _read(content, sense=1, drop_cons_names=False):
        path = tmp_path / f"model{next(counter)}.mps"
        if isinstance(content, str):
            content = content.encode("utf-8")
        path.write_bytes(content)
        return _ondrel.read_mps(str(path), sense, drop_cons_names)

    return _read


def model(body: str) -> str:
    """A small model with rows r1 (L), r2 (G), r3 (E) and objective obj, plus `body`."""
    return "NAME m\nROWS\n N obj\n L r1\n G r2\n E r3\n" + body


# ---------------------------------------------------------------------------------------------
# The worked example.


def test_worked_example(read):
    assert plain(read(DEMO_MPS, 1)) == WORKED_EXAMPLE_RECORDS


def test_worked_example_drop_cons_names(read):
    expected = dict(WORKED_EXAMPLE_RECORDS)
    expected["objective"] = (None, expected["objective"][1])
    expected["constraints"] = [(None,) + c[1:] for c in expected["constraints"]]
    assert plain(read(DEMO_MPS, 1, drop_cons_names=True)) == expected


@pytest.mark.parametrize("sense", [-1, 0, 7, 2**31 - 1, -(2**31)])
def test_sense_is_copied_unchanged(read, sense):
    assert read(DEMO_MPS, sense).parameters.sense == sense


def test_arguments_by_keyword(tmp_path):
    path = tmp_path / "m.mps"
    path.write_text(DEMO_MPS)
    result = _ondrel.read_mps(drop_cons_names=True, sense=-1, path=str(path))
    assert result.parameters.sense == -1 and result.constraints[0].name is None


@pytest.mark.parametrize(
    "kwargs, exc, parameter",
    [
        ({"sense": 2**31}, OverflowError, "sense"),
        ({"sense": 1.0}, TypeError, "sense"),
        ({"drop_cons_names": 1}, TypeError, "drop_cons_names"),
        ({"drop_cons_names": None}, TypeError, "drop_cons_names"),
        ({"path": b"m.mps"}, TypeError, "path"),
        ({"path": Path("m.mps")}, TypeError, "path"),
        ({"path": "\udc80"}, UnicodeEncodeError, "path"),
    ],
)
def test_argument_conversion_errors(tmp_path, kwargs, exc, parameter):
    args = {"path": str(tmp_path / "missing.mps"), "sense": 1, **kwargs}
    with pytest.raises(exc) as info:
        _ondrel.read_mps(**args)
    assert any(parameter in note for note in getattr(info.value, "__notes__", []))


def test_argument_binding_errors():
    with pytest.raises(TypeError):
        _ondrel.read_mps("m.mps")
    with pytest.raises(TypeError):
        _ondrel.read_mps("m.mps", 1, False, 3)
    with pytest.raises(TypeError):
        _ondrel.read_mps("m.mps", 1, mode="r")


def test_function_docstring():
    assert _ondrel.read_mps.__text_signature__ == "(path, sense, drop_cons_names=False)"
    assert _ondrel.read_mps.__doc__ == (
        "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it)."
    )


# ---------------------------------------------------------------------------------------------
# Keyword lines and sections.


def test_lines_outside_sections_are_ignored(read):
    # Data lines before the first section (the sense comment of the writer, an OBJSENSE
    # section) are ignored; the sense in the result is always the argument.
    text = "*SENSE:Maximize\nOBJSENSE\n MAX\ngarbage 1 2 3\n" + model("COLUMNS\n x obj 2 r1 3\n")
    result = plain(read(text, 5))
    assert result["parameters"] == ("m", 5)
    assert result["objective"] == ("obj", [("x", 2.0)])
    assert result["constraints"][0][2] == [("x", 3.0)]


@pytest.mark.parametrize(
    "name_line, expected",
    [("NAME", ""), ("NAME only", "only"), ("NAME first second third", "first"), ("", "")],
)
def test_name_line(read, name_line, expected):
    assert read(name_line + "\nROWS\n N obj\n").parameters.name == expected


def test_name_line_keeps_the_section(read):
    result = read(model("COLUMNS\n x r1 1\nNAME late\n x r2 2\n"))
    assert result.parameters.name == "late"
    assert [c.coefficients[0].value for c in result.constraints[:2]] == [1.0, 2.0]


def test_comments_and_star_tokens(read):
    # "*" alone is a comment in every section; a longer first token starting with "*" is data.
    result = read(model("COLUMNS\n* x r1 99\n x r1 1\n*x r1 2\n"))
    assert [v.name for v in result.variables] == ["x", "*x"]
    with pytest.raises(RuntimeError) as info:
        read("ROWS\n*SENSE:Minimize\n")
    assert str(info.value) == "Unknown row type: *SENSE:Minimize"


def test_keywords_are_case_sensitive(read):
    # "columns" is no keyword: inside ROWS it is a data line with an unknown row type.
    with pytest.raises(RuntimeError) as info:
        read("ROWS\n N obj\ncolumns\n")
    assert str(info.value) == "Unknown row type: columns"
    result = read(model("COLUMNS\n x r1 1\nendata\n y r1 2\n"))
    assert [v.name for v in result.variables] == ["x", "endata", "y"]


def test_rhs_and_bounds_header_forms(read):
    # Three or more tokens make RHS and BOUNDS data lines of the current section.
    result = read(model("COLUMNS\n x r1 1\n RHS r1 5\nRHS\n RHS r2 6\nBOUNDS\n UP BND x 3\n"))
    assert [v.name for v in result.variables] == ["x", "RHS"]
    assert [c.constant for c in result.constraints] == [0.0, -6.0, 0.0]
    assert result.variables[0].upBound == 3.0


def test_text_after_endata_is_ignored(read):
    base = model("COLUMNS\n x r1 1\nRHS\n R r1 2\n")
    with_end = read(base + "ENDATA\nROWS\n Q bad\nCOLUMNS\n x r1 not-a-number\n\xff is fine as text\n")
    assert plain(with_end) == plain(read(base)) == plain(read(base + "ENDATA\n"))


def test_empty_file(read):
    assert plain(read("")) == {
        "parameters": ("", 1),
        "objective": ("", []),
        "variables": [],
        "constraints": [],
        "sos1": [],
        "sos2": [],
    }


# ---------------------------------------------------------------------------------------------
# Errors. Every failure is a RuntimeError with an exact message and returns nothing.

ERRORS = [
    ("ROWS\n X r1\n", "Unknown row type: X"),
    ("ROWS\n NN r1\n", "Unknown row type: NN"),
    ("ROWS\n n r1\n", "Unknown row type: n"),
    ("ROWS\n Q\n", "Unknown row type: Q"),
    # A ROWS line of one token is rejected with its line number.
    ("NAME m\nROWS\n N obj\n\n L\n", "ROWS line 5: missing row name"),
    (model("COLUMNS\n x r1 1.5.2\n"), "Parse error: invalid float literal"),
    # The value of a pair is parsed even when its row does not exist.
    (model("COLUMNS\n x nosuch abc\n"), "Parse error: invalid float literal"),
    (model("COLUMNS\n x r1 1 r2 x\n"), "Parse error: invalid float literal"),
    (model("COLUMNS\n x r1 1\nRHS\n R r1 one\n"), "Parse error: invalid float literal"),
    (model("COLUMNS\n x r1 1\nRHS\n R r1 1 r2 1e\n"), "Parse error: invalid float literal"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n UP B x 1,5\n"), "Parse error: invalid float literal"),
    (
        model("COLUMNS\n x r1 1\nRHS rhs\n rhs r1 1\n other r2 2\n"),
        "Other RHS name was given even though name was set after RHS tag.",
    ),
    (
        model("COLUMNS\n x r1 1\nBOUNDS bnd\n UP bnd x 1\n UP other x 2\n"),
        "Other BOUNDS name was given even though name was set after BOUNDS tag.",
    ),
    # In a named BOUNDS section the set name is checked before the column is looked up.
    (
        model("COLUMNS\n x r1 1\nBOUNDS bnd\n UP other nosuch 2\n"),
        "Other BOUNDS name was given even though name was set after BOUNDS tag.",
    ),
    (model("COLUMNS\n x r1 1\nBOUNDS\n XX B x 1\n"), "Unknown bound type: XX"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n up B x 1\n"), "Unknown bound type: up"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n LO B x\n"), "Missing value for bound type Lo"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n UP B x\n"), "Missing value for bound type Up"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n FX B x\n"), "Missing value for bound type Fx"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n LI B x\n"), "Missing value for bound type Li"),
    (model("COLUMNS\n x r1 1\nBOUNDS\n UI B x\n"), "Missing value for bound type Ui"),
    # BOUNDS lines of fewer than three tokens (here a lone section word of a section this
    # reader does not know) are rejected with their line number, in named and unnamed sections.
    (model("COLUMNS\n x r1 1\nBOUNDS\n UP B x 4\nSOS\n"), "BOUNDS line 11: missing bound set name and column name"),
    (model("COLUMNS\n x r1 1\nBOUNDS bnd\n UP x\n"), "BOUNDS line 10: missing column name"),
]


@pytest.mark.parametrize("text, message", ERRORS)
def test_error_messages(read, text, message):
    with pytest.raises(RuntimeError) as info:
        read(text)
    assert str(info.value) == message


def test_first_error_wins(read):
    text = model("COLUMNS\n x r1 bad\nBOUNDS\n XX B x 1\n")
    with pytest.raises(RuntimeError, match="^Parse error: invalid float literal$"):
        read(text)


def test_missing_file(tmp_path):
    with pytest.raises(RuntimeError) as info:
        _ondrel.read_mps(str(tmp_path / "missing.mps"), 1)
    assert str(info.value) == "Cannot read file: No such file or directory (os error 2)"


def test_directory(tmp_path):
    with pytest.raises(RuntimeError) as info:
        _ondrel.read_mps(str(tmp_path), 1)
    assert str(info.value) == "Cannot read file: Is a directory (os error 21)"


def test_unreadable_file(tmp_path):
    path = tmp_path / "m.mps"
    path.write_text(DEMO_MPS)
    path.chmod(0)
    # Root reads files regardless of their permissions: the read runs in a child that, as root,
    # gives up root for the unprivileged user nobody once the module is loaded.
    code = textwrap.dedent("""
        import os, sys
        from zemlo import _ondrel
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        try:
            _ondrel.read_mps(sys.argv[1], 1)
        except RuntimeError as e:
            print(e)
        """)
    run = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True)
    assert run.stdout == "Cannot read file: Permission denied (os error 13)\n", run.stderr


def test_nul_in_path(tmp_path):
    with pytest.raises(RuntimeError) as info:
        _ondrel.read_mps(str(tmp_path / "a\0b"), 1)
    assert str(info.value) == "Cannot read file: path contains a NUL character"


@pytest.mark.parametrize(
    "content",
    [
        b"\xff",
        b"NAME m\nROWS\n N caf\xe9\n",  # Latin-1, not UTF-8
        b"ROWS\n N \xc0\xaf\n",  # overlong form
        b"ROWS\n N \xed\xa0\x80\n",  # surrogate
        b"ROWS\n N \xf4\x90\x80\x80\n",  # above U+10FFFF
        b"ROWS\n N \xe2\x80",  # truncated at the end
        # Invalid text anywhere wins over a parse error, even one before it or after ENDATA,
        # also when it comes long after (the reader reads in pieces of 1 MiB).
        b"ROWS\n Q r\nENDATA\n\x80\n",
        model("COLUMNS\n x r1 bad\n").encode() + b" x r1 1\n" * 300000 + b"\xfe\n",
    ],
    ids=["ff", "latin1", "overlong", "surrogate", "too-large", "truncated", "after-endata", "late"],
)
def test_invalid_utf8(read, content):
    with pytest.raises(RuntimeError) as info:
        read(content)
    assert str(info.value) == "Cannot read file: stream did not contain valid UTF-8"


def test_error_message_quotes_the_token(read):
    with pytest.raises(RuntimeError) as info:
        read("ROWS\n ĉ\0x r\n")
    assert str(info.value) == "Unknown row type: ĉ\0x"


# ---------------------------------------------------------------------------------------------
# Lines and white space.

UNICODE_SPACES = [
    "\t", "\v", "\f", "\r", " ", "\x85", "\xa0", "\u1680", "\u2000", "\u2001", "\u2002",
    "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a", "\u2028",
    "\u2029", "\u202f", "\u205f", "\u3000",
]


@pytest.mark.parametrize("space", UNICODE_SPACES, ids=[f"U+{ord(c):04X}" for c in UNICODE_SPACES])
def test_white_space_between_tokens(read, space):
    text = DEMO_MPS.replace(" ", space)
    assert plain(read(text)) == WORKED_EXAMPLE_RECORDS


def test_crlf_tabs_and_mixed_space(read):
    text = DEMO_MPS.replace("\n", "\r\n").replace("    ", "\t \u3000\xa0")
    assert plain(read(text)) == WORKED_EXAMPLE_RECORDS


def test_last_line_without_line_feed(read):
    assert plain(read(DEMO_MPS.replace("ENDATA\n", "").rstrip("\n"))) == WORKED_EXAMPLE_RECORDS


@pytest.mark.parametrize("char", ["\u200b", "\x1c", "\x1f", "\x00", "\ufeff", "é", "\U0001f600"])
def test_other_characters_are_part_of_tokens(read, char):
    # Zero width space, the ASCII separators (white space to str.split, not here), NUL, BOM,
    # letters and emoji are not Unicode white space.
    name = f"a{char}b"
    result = read(model(f"COLUMNS\n {name} r1 1\n {char} r2 2\n"))
    assert [v.name for v in result.variables] == [name, char]


def test_long_lines_and_names(read):
    # Lines far longer than the reader's buffer, and names longer than its short keys.
    long_row = "r" * 5000
    name = "x" * 70000
    pairs = " ".join(f"{long_row}{i} {i}" for i in range(300))
    text = "ROWS\n N obj\n" + "".join(f" L {long_row}{i}\n" for i in range(300))
    text += f"COLUMNS\n {name} {pairs}\n {name}z obj 1\n"
    result = read(text)
    assert [v.name for v in result.variables] == [name, name + "z"]
    assert [c.coefficients[0].value for c in result.constraints] == [float(i) for i in range(300)]


# ---------------------------------------------------------------------------------------------
# ROWS, COLUMNS, RHS and BOUNDS semantics.


def test_two_n_rows(read):
    result = read("ROWS\n N a\n L r\n N b\nCOLUMNS\n x a 1 r 2\n x b 3\n")
    assert result.objective.name == "b"
    assert [(c.name, c.value) for c in result.objective.coefficients] == [("x", 3.0)]
    assert [c.name for c in result.constraints] == ["r"]


def test_objective_list_keeps_coefficients_of_an_earlier_objective_row(read):
    result = read("ROWS\n N a\nCOLUMNS\n x a 1\nROWS\n N b\nCOLUMNS\n x a 2 b 3\n")
    assert [(c.name, c.value) for c in result.objective.coefficients] == [("x", 1.0), ("x", 3.0)]


def test_duplicate_row(read):
    # The second definition keeps the first position, takes the new sense, and starts with an
    # empty coefficient list and a zero constant.
    text = (
        "ROWS\n L r1\n G r2\nCOLUMNS\n x r1 1 r2 2\nRHS\n R r1 5\n"
        "ROWS\n E r1\nCOLUMNS\n y r1 3\n"
    )
    result = read(text)
    assert [(c.name, c.sense, c.constant) for c in result.constraints] == [
        ("r1", 0, 0.0),
        ("r2", 1, 0.0),
    ]
    assert [(k.name, k.value) for k in result.constraints[0].coefficients] == [("y", 3.0)]
    assert [(k.name, k.value) for k in result.constraints[1].coefficients] == [("x", 2.0)]


def test_duplicate_row_with_many_coefficients(read):
    # Enough coefficients to span several of the reader's storage chunks, with a row
    # redefined in the middle: its earlier coefficients are dropped, all others kept in order.
    n = 100_000
    text = "ROWS\n L r1\n L r2\nCOLUMNS\n" + "".join(f" c{i} r1 {i} r2 {-i}\n" for i in range(n))
    text += "ROWS\n G r1\nCOLUMNS\n" + "".join(f" d{i} r2 {i} r1 {i}\n" for i in range(n))
    r1, r2 = read(text).constraints
    assert r1.sense == 1
    assert [(k.name, k.value) for k in r1.coefficients] == [(f"d{i}", float(i)) for i in range(n)]
    assert [k.value for k in r2.coefficients] == [float(-i) for i in range(n)] + [float(i) for i in range(n)]


def test_column_in_two_runs(read):
    text = model(
        "COLUMNS\n x r1 1\n MARK 'MARKER' 'INTORG'\n y r1 2\n x r2 3\n MARK 'MARKER' 'INTEND'\n"
        " y r3 4\n x obj 5\n"
    )
    result = read(text)
    assert [(v.name, v.cat) for v in result.variables] == [("x", "Continuous"), ("y", "Integer")]
    assert [[(k.name, k.value) for k in c.coefficients] for c in result.constraints] == [
        [("x", 1.0), ("y", 2.0)],
        [("x", 3.0)],
        [("y", 4.0)],
    ]
    assert [(k.name, k.value) for k in result.objective.coefficients] == [("x", 5.0)]


def test_columns_line_shapes(read):
    # Six tokens: two pairs and a lone last token; one and two tokens create the column only.
    # Coefficients of rows that do not exist are dropped; duplicates are kept.
    result = read(model("COLUMNS\n x r1 2 r2 3 r3\n y\n z r1\n w nosuch 1 r1 4 r1 5\n"))
    assert [v.name for v in result.variables] == ["x", "y", "z", "w"]
    assert [[(k.name, k.value) for k in c.coefficients] for c in result.constraints] == [
        [("x", 2.0), ("w", 4.0), ("w", 5.0)],
        [("x", 3.0)],
        [],
    ]


@pytest.mark.parametrize(
    "markers, expected",
    [
        ("MARK 'MARKER' 'INTORG'", "Integer"),
        # Any first token; 'INTEND' switches the flag off again.
        ("'MARKER' 'MARKER' 'INTORG'\n any 'MARKER' 'INTEND'", "Continuous"),
        # A missing or other third token leaves the flag as it is.
        ("MARK 'MARKER' 'INTORG'\n MARK 'MARKER' 'OTHER'", "Integer"),
        ("MARK 'MARKER' 'INTORG'\n MARK 'MARKER'", "Integer"),
        ("MARK 'MARKER' 'intorg'", "Continuous"),
    ],
)
def test_integer_markers(read, markers, expected):
    result = read(model(f"COLUMNS\n {markers}\n x r1 1\n"))
    assert [(v.name, v.cat) for v in result.variables] == [("x", expected)]


def test_marker_words_are_case_sensitive(read):
    # With a lower-case marker word the line is an ordinary line: column MARK, pair
    # ('marker', 'INTORG'), whose value is no number.
    with pytest.raises(RuntimeError, match="^Parse error: invalid float literal$"):
        read(model("COLUMNS\n MARK 'marker' 'INTORG'\n"))


def test_rhs_sections(read):
    base = model("COLUMNS\n x r1 1\n")
    # Unnamed: the set name is not compared; a row that does not exist (and the objective row)
    # is skipped without its value being parsed; two pairs per line; later lines replace.
    result = read(base + "RHS\n A r1 4 r2 -2\n B nosuch abc obj 7\n C r3 1 r2 3 extra\n")
    assert [c.constant for c in result.constraints] == [-4.0, -3.0, -1.0]
    # Named: lines must carry the set name.
    result = read(base + "RHS rhs\n rhs r1 4\n rhs r2\n")
    assert [c.constant for c in result.constraints] == [-4.0, 0.0, 0.0]
    # The constant is the negated value, so a zero right-hand side gives a negative zero.
    assert math.copysign(1.0, read(base + "RHS\n R r1 0\n").constraints[0].constant) == -1.0


BOUND_CASES = [
    ("FR B x", "Continuous", None, None),
    ("BV B x", "Integer", 0.0, 1.0),
    ("PL B x", "Continuous", 0.0, None),
    ("MI B x", "Continuous", None, None),
    ("LO B x -5", "Continuous", -5.0, None),
    ("UP B x 7", "Continuous", 0.0, 7.0),
    ("UP B x -5", "Continuous", 0.0, -5.0),  # the lower bound stays 0
    ("FX B x 3", "Continuous", 3.0, 3.0),
    ("LI B x 2", "Integer", 2.0, None),
    ("UI B x 9", "Integer", 0.0, 9.0),
    ("LO B x -5\n PL B x", "Continuous", 0.0, None),
    ("UP B x 4\n MI B x", "Continuous", None, 4.0),
    ("LO B x 1\n UP B x 2\n FR B x", "Continuous", None, None),
    ("FX B x 3 extra tokens", "Continuous", 3.0, 3.0),
    # Lines for columns that do not exist are ignored, whatever their type and value.
    ("ZZ B nosuch 1\n UP B nosuch\n LO B nosuch abc", "Continuous", 0.0, None),
]


@pytest.mark.parametrize("lines, cat, low, up", BOUND_CASES)
def test_bounds(read, lines, cat, low, up):
    v = read(model(f"COLUMNS\n x r1 1\nBOUNDS\n {lines}\n")).variables[0]
    assert (v.cat, v.lowBound, v.upBound, v.varValue, v.dj) == (cat, low, up, None, None)


def test_named_bounds_section(read):
    result = read(model("COLUMNS\n x r1 1\n y r1 1\nBOUNDS bnd\n UP bnd x 4\n LO bnd y 2\n"))
    assert [(v.lowBound, v.upBound) for v in result.variables] == [(0.0, 4.0), (2.0, None)]


def test_no_objective_row(read):
    assert read("ROWS\n L r\nCOLUMNS\n x r 1\n").objective.name == ""
    assert read("ROWS\n L r\nCOLUMNS\n x r 1\n", drop_cons_names=True).objective.name is None


def test_drop_cons_names_keeps_everything_else(read):
    text = model("COLUMNS\n x r1 1 obj 2\n y r2 3 r3 4\nRHS\n R r3 5\n")
    kept, dropped = plain(read(text)), plain(read(text, drop_cons_names=True))
    assert dropped["objective"] == (None, kept["objective"][1])
    assert dropped["constraints"] == [(None,) + c[1:] for c in kept["constraints"]]
    assert dropped["variables"] == kept["variables"]


def test_non_ascii_names(read):
    result = read("NAME café\nROWS\n N ценa\n L 行\nCOLUMNS\n x\u00e9 行 1 ценa 2\n")
    assert plain(result)["parameters"] == ("café", 1)
    assert plain(result)["objective"] == ("ценa", [("xé", 2.0)])
    assert plain(result)["constraints"] == [("行", -1, [("xé", 1.0)], None, 0.0)]


# ---------------------------------------------------------------------------------------------
# RANGES, and the sections the records cannot express: a read fails at the first data line that
# holds something the records would lose; empty sections read as if absent.

# Lines 1-9: NAME, ROWS with obj, r1 (L), r2 (G), r3 (E), then COLUMNS with x and y.
BASE = model("COLUMNS\n x r1 1 r2 1\n y r3 1\n")
NEW_SECTION_WORDS = ["RANGES", "QUADOBJ", "QMATRIX", "QSECTION", "QCMATRIX", "CSECTION", "INDICATORS"]


@pytest.mark.parametrize(
    "lines, message",
    [
        # The row of the reading with a set name, in the second or fourth token; in a named
        # section too, whose set name is not compared.
        ("RANGES\n RNG r2 4\n", "RANGES line 12: ranges are not supported (row r2)"),
        ("RANGES rng\n RNG nosuch 1 r3 2\n", "RANGES line 12: ranges are not supported (row r3)"),
        # Without a set name: (row, value) pairs from the first token on.
        ("RANGES\n r1 2.5\n", "RANGES line 12: ranges are not supported (row r1)"),
        ("RANGES\n obj 1 r3 2\n", "RANGES line 12: ranges are not supported (row r3)"),
        # Lines for unknown rows and the objective row are skipped; a later line fails.
        ("RANGES\n RNG nosuch 1\n RNG obj 2\n nosuch 3\n\n RNG r1 4\n",
         "RANGES line 16: ranges are not supported (row r1)"),
    ],
)
def test_ranges_for_rows_of_the_file_are_refused(read, lines, message):
    with pytest.raises(RuntimeError) as info:
        read(BASE + "RHS\n" + lines + "BOUNDS\n UP BND x 3\n")
    assert str(info.value) == message


@pytest.mark.parametrize(
    "lines",
    ["RANGES\n", "RANGES rng\n", "RANGES\n RNG nosuch 1\n RNG obj 2 nosuch 3\n obj 4\n x 5\n"],
    ids=["empty", "empty-named", "no-row-of-the-file"],
)
def test_ranges_without_rows_of_the_file_read_as_absent(read, lines):
    # Before RANGES was a keyword these lines were RHS lines of the open section.
    rhs = "RHS\n RHS r1 5\n"
    assert plain(read(BASE + rhs + lines + "BOUNDS\n UP BND x 3\n")) == plain(
        read(BASE + rhs + "BOUNDS\n UP BND x 3\n")
    )


UNSUPPORTED_SECTIONS = [
    ("QUADOBJ", "quadratic objectives are not supported"),
    ("QMATRIX", "quadratic objectives are not supported"),
    ("QSECTION", "quadratic terms are not supported"),
    ("QCMATRIX", "quadratic constraints are not supported"),
    ("CSECTION", "conic constraints are not supported"),
    ("INDICATORS", "indicator constraints are not supported"),
]


@pytest.mark.parametrize("keyword, what", UNSUPPORTED_SECTIONS)
@pytest.mark.parametrize("header", ["{}", "{} r1"], ids=["one-token", "two-token"])
def test_unsupported_sections_fail_at_their_first_data_line(read, keyword, what, header):
    # After BOUNDS, where such a header used to be read as a malformed bound line.
    text = BASE + "BOUNDS\n UP BND x 4\n" + header.format(keyword) + "\n* comment\n\n x x 2.0\nENDATA\n"
    with pytest.raises(RuntimeError) as info:
        read(text)
    assert str(info.value) == f"{keyword} line 15: {what}"


@pytest.mark.parametrize("keyword", [k for k, _ in UNSUPPORTED_SECTIONS])
def test_empty_unsupported_sections_read_as_absent(read, keyword):
    expected = plain(read(BASE + "RHS\n RHS r1 5\nBOUNDS\n UP BND x 4\n"))
    text = BASE + f"{keyword}\nRHS\n RHS r1 5\n{keyword} name\nBOUNDS\n UP BND x 4\n{keyword}\nENDATA\n x x 1\n"
    assert plain(read(text)) == expected


def test_section_words_with_three_tokens_are_data_lines(read):
    # As with RHS and BOUNDS: in COLUMNS such a line names a column.
    result = read(model("COLUMNS\n" + "".join(f" {w} r1 1\n" for w in NEW_SECTION_WORDS)))
    assert [v.name for v in result.variables] == NEW_SECTION_WORDS


# ---------------------------------------------------------------------------------------------
# Blank set-name fields. Files in fixed columns may leave the set name of RHS and BOUNDS lines
# blank; split at white space such a line lacks its first token.


@pytest.mark.parametrize(
    "lines, constants",
    [
        # (row, value) pairs from the first token on, in an unnamed RHS section.
        (" r1 4 r2 -2\n r3 7\n", [-4.0, 2.0, -7.0]),
        # The objective row may come first; its value and those of unknown rows are skipped.
        (" obj 9 r2 3\n r3 1 nosuch 5\n", [0.0, -3.0, -1.0]),
        # The second token names a row: the reading with a set name, as before.
        (" r1 r2 5 r3\n", [0.0, -5.0, 0.0]),
        # Fitting neither reading, as before nothing: a value that is no number, a first token
        # naming no row, an odd number of tokens without a row in the second.
        (" r1 4 r2 x\n", [0.0, 0.0, 0.0]),
        (" nosuch 4 r2 5\n", [0.0, 0.0, 0.0]),
        (" r1 4 r2\n", [0.0, 0.0, 0.0]),
    ],
)
def test_rhs_pairs_without_set_name(read, lines, constants):
    assert [c.constant for c in read(BASE + "RHS\n" + lines).constraints] == constants


def test_named_rhs_section_still_wants_its_set_name(read):
    with pytest.raises(RuntimeError, match="^Other RHS name was given"):
        read(BASE + "RHS rhs\n rhs r1 4\n r2 5\n")


@pytest.mark.parametrize(
    "lines, bounds",
    [
        # (type, column, value) for the types that take a value.
        (" UP x 4\n LO y -1\n", [(0.0, 4.0, "Continuous"), (-1.0, None, "Continuous")]),
        (" FX x 3\n LI y 2\n UI y 5\n", [(3.0, 3.0, "Continuous"), (2.0, 5.0, "Integer")]),
        # (type, column) for the types without value; such a line used to be refused.
        (" FR x\n MI y\n", [(None, None, "Continuous"), (None, None, "Continuous")]),
        (" MI x\n PL x\n BV y\n", [(0.0, None, "Continuous"), (0.0, 1.0, "Integer")]),
        # The third token names a column: the reading with a set name (x), as before.
        (" UP x y 6\n", [(0.0, None, "Continuous"), (0.0, 6.0, "Continuous")]),
        # The second token names no column: nothing, as before.
        (" UP nosuch 6\n", [(0.0, None, "Continuous"), (0.0, None, "Continuous")]),
    ],
)
def test_bounds_without_set_name(read, lines, bounds):
    result = read(BASE + "BOUNDS\n" + lines)
    assert [(v.lowBound, v.upBound, v.cat) for v in result.variables] == bounds


@pytest.mark.parametrize(
    "header, lines, message",
    [
        # As before: a column in the third token takes the second as set name.
        ("BOUNDS", " UP x y\n", "Missing value for bound type Up"),
        ("BOUNDS", " UP x\n", "BOUNDS line 11: missing column name"),
        ("BOUNDS", " FR nosuch\n", "BOUNDS line 11: missing column name"),
        ("BOUNDS bnd", " FR x\n", "BOUNDS line 11: missing column name"),
        ("BOUNDS bnd", " UP x 4\n", "Other BOUNDS name was given even though name was set after BOUNDS tag."),
        # New: the value of a bound read without set name must be a number.
        ("BOUNDS", " UP x abc\n", "Parse error: invalid float literal"),
    ],
)
def test_bound_lines_without_set_name_that_fail(read, header, lines, message):
    with pytest.raises(RuntimeError) as info:
        read(BASE + header + "\n" + lines)
    assert str(info.value) == message


# ---------------------------------------------------------------------------------------------
# Numbers.

NUMBERS = [
    "0", "-0", "+0", "1", "+3", "-2.5", "1.", ".5", "-.5", "00012", "1e5", "1E5", "1e+5", "1e-5",
    "2.5E-3", "0.000000000000000000000000001", "123456789012345678901234567890",
    "0.1000000000000000055511151231257827021181583404541015625", "9007199254740993",
    "1.7976931348623157e308", "4.9e-324", "0.1e-320", "2.2250738585072011e-308",
    "2.4703282292062328e-324", "1e22", "1e23", "8.5e-7",
    # Beyond the double range: an infinity; below half the smallest subnormal: a signed zero.
    "1e400", "-1e400", "1.7976931348623159e308", "0.001e311", "1e-400", "-1e-400",
    "2.4703282292062327e-324", "1000e-327", "1e99999999999999999999", "-1e-99999999999999999999",
    "inf", "INF", "-Infinity", "+infinity", "nan", "NaN", "-nan", "+NAN",
]


def same_float(a: float, b: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


@pytest.mark.parametrize("token", NUMBERS)
def test_numbers_match_python_float(read, token):
    expected = float(token)
    result = read(model(f"COLUMNS\n x r1 {token}\nRHS\n R r2 {token}\nBOUNDS\n LO B x {token}\n"))
    assert same_float(result.constraints[0].coefficients[0].value, expected)
    assert same_float(result.constraints[1].constant, -expected)
    assert same_float(result.variables[0].lowBound, expected)


@pytest.mark.parametrize(
    "token",
    ["e5", ".", "-", "+", "1e", "1e+", "1.2.3", "0x10", "1_000", "1,5", "--1", "+-1", "1e5.0",
     "infinit", "infinityy", "nan(1)", "in", "١", "½", "1d5", "0b1", "∞"],
)
def test_invalid_numbers(read, token):
    with pytest.raises(RuntimeError, match="^Parse error: invalid float literal$"):
        read(model(f"COLUMNS\n x r1 {token}\n"))


DECIMALS = st.from_regex(
    r"[+-]?([0-9]{1,40}(\.[0-9]{0,40})?|\.[0-9]{1,40})([eE][+-]?[0-9]{1,3})?", fullmatch=True
)


@settings(max_examples=60, deadline=None)
@given(st.lists(DECIMALS, min_size=1, max_size=40))
def test_random_decimals_match_python_float(tmp_path_factory, tokens):
    path = tmp_path_factory.mktemp("numbers") / "m.mps"
    path.write_text("ROWS\n N obj\nCOLUMNS\n" + "".join(f" x obj {t}\n" for t in tokens))
    values = [c.value for c in _ondrel.read_mps(str(path), 1).objective.coefficients]
    assert len(values) == len(tokens)
    for token, value in zip(tokens, values, strict=True):
        assert same_float(value, float(token)), token


# ---------------------------------------------------------------------------------------------
# The record classes.

RECORD_ATTRIBUTES = {
    "MpsParameters": ["name", "sense"],
    "MpsCoefficient": ["name", "value"],
    "MpsObjective": ["name", "coefficients"],
    "MpsVariable": ["name", "cat", "lowBound", "upBound", "varValue", "dj"],
    "MpsConstraint": ["name", "sense", "coefficients", "pi", "constant"],
    "MpsResult": ["parameters", "objective", "variables", "constraints", "sos1", "sos2"],
}


@pytest.fixture
def example(read):
    return read(DEMO_MPS)


def records_of(result) -> dict:
    return {
        "MpsParameters": result.parameters,
        "MpsCoefficient": result.objective.coefficients[0],
        "MpsObjective": result.objective,
        "MpsVariable": result.variables[0],
        "MpsConstraint": result.constraints[0],
        "MpsResult": result,
    }


@pytest.mark.parametrize("class_name", RECORD_ATTRIBUTES)
def test_record_class(example, class_name):
    cls = getattr(_ondrel, class_name)
    record = records_of(example)[class_name]
    assert type(record) is cls
    assert cls.__module__ == "builtins" and cls.__qualname__ == class_name
    assert cls.__doc__ is None
    assert [k for k in vars(cls) if not k.startswith("__")] == RECORD_ATTRIBUTES[class_name]
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    for attribute in RECORD_ATTRIBUTES[class_name]:
        with pytest.raises(AttributeError):
            setattr(record, attribute, getattr(record, attribute))
        with pytest.raises(AttributeError):
            delattr(record, attribute)
    with pytest.raises(AttributeError):
        record.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(record)
    assert not hasattr(record, "__dict__")
    assert not gc.is_tracked(record)


@pytest.mark.parametrize("class_name", RECORD_ATTRIBUTES)
def test_records_compare_by_identity(read, example, class_name):
    record = records_of(example)[class_name]
    twin = records_of(read(DEMO_MPS))[class_name]
    assert record == record and record != twin and hash(record) != hash(twin)
    assert repr(record).startswith(f"<builtins.{class_name} object at 0x")


def test_lists_and_records_are_shared(read, example):
    assert example.variables is example.variables
    assert example.constraints[0] is example.constraints[0]
    assert example.constraints[0].coefficients is example.constraints[0].coefficients
    assert example.objective.coefficients is example.objective.coefficients
    assert example.parameters is example.parameters and example.objective is example.objective
    example.constraints.append("anything")
    assert len(example.constraints) == 4
    example.variables.pop()
    assert [v.name for v in example.variables] == ["x", "y", "z"]
    example.sos1.append(1)
    assert example.sos1 == [1] and example.sos2 == []
    # Another read gives new lists.
    again = read(DEMO_MPS)
    assert again.variables is not example.variables and len(again.constraints) == 3


def test_scalars_are_new_values_at_each_read(read):
    # Names of more than one character (CPython shares one object per one-character string).
    text = "NAME model\nROWS\n N cost\n L row\nCOLUMNS\n column row 2.5 cost 1.5\n"
    result = read(text + "RHS\n R row 3\nBOUNDS\n UP B column 4\n")
    variable, constraint = result.variables[0], result.constraints[0]
    for record, attribute in [
        (result.parameters, "name"),
        (result.objective, "name"),
        (result.objective.coefficients[0], "name"),
        (result.objective.coefficients[0], "value"),
        (variable, "name"),
        (variable, "cat"),
        (variable, "upBound"),
        (constraint, "name"),
        (constraint, "constant"),
        (constraint.coefficients[0], "name"),
        (constraint.coefficients[0], "value"),
    ]:
        first, second = getattr(record, attribute), getattr(record, attribute)
        assert first == second and first is not second, attribute
    assert result.parameters.name == "model" and variable.cat == "Continuous"


def test_records_outlive_the_result(read):
    result = read(DEMO_MPS)
    coefficients = result.constraints[1].coefficients
    variable = result.variables[3]
    del result
    gc.collect()
    assert [(k.name, k.value) for k in coefficients] == [("x", -1.0), ("w", 1.0)]
    assert (variable.name, variable.lowBound) == ("w", None)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs Linux's glibc; the sanitizer build takes every block from its own heap")
def test_a_large_read_gives_its_scratch_back(tmp_path):
    """The reader's tables of a large file (names, entries, row data: tens of megabytes) go back
    to the system once the records exist, instead of staying with the process between the records
    allocated around them. What the C library holds freed but unreturned is measured as what a
    trim of its heap gives back."""
    import ctypes

    n_rows, n_cols, per_col = 60_000, 100_000, 16
    lines = ["NAME          BIG", "ROWS", " N  obj", *(f" L  r{i}" for i in range(n_rows)), "COLUMNS"]
    for j in range(n_cols):
        lines += [f"    x{j}  r{(j * 7919 + k * 104729) % n_rows}  {k + 1.5}" for k in range(per_col)]
    path = tmp_path / "big.mps"
    path.write_text("\n".join([*lines, "RHS", "ENDATA", ""]))
    del lines

    def rss_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    libc = ctypes.CDLL("libc.so.6")
    libc.malloc_trim(0)
    result = _ondrel.read_mps(str(path), 1)
    held = rss_mb()
    libc.malloc_trim(0)
    assert held - rss_mb() < 16, "freed reader scratch kept by the process"
    assert len(result.constraints) == n_rows and sum(len(c.coefficients) for c in result.constraints) == n_cols * per_col


# ---------------------------------------------------------------------------------------------
# Real files: the netlib models, compared with GLPK's glpsol reading the same files.

NETLIB_FILES = netlib_sources()

# The nine models that came back as a different model than the file describes, without an
# error, while RANGES was no keyword and blank set-name fields were not read: four read as
# glpsol reads them (and keep their optimum through write_mps, checked with the solver
# given), five are refused. boeing1, boeing2, nesm and seba have ranges on rows of the file;
# forplan has blanks inside its fixed-column names, so read by tokens a name lands where a
# number belongs, long before its RANGES section.
NINE = [
    ("blend", "glpsol", None),
    # glpsol's simplex takes half a minute on dfl001, clp a few seconds.
    ("dfl001", "clp", None),
    ("gfrd-pnc", "glpsol", None),
    ("sierra", "glpsol", None),
    ("boeing1", None, "RANGES line 2428: ranges are not supported (row DMBOSHNL)"),
    ("boeing2", None, "RANGES line 901: ranges are not supported (row DMBOSORD)"),
    ("forplan", None, "Parse error: invalid float literal"),
    ("nesm", None, "RANGES line 8237: ranges are not supported (row AP1P21)"),
    ("seba", None, "RANGES line 3165: ranges are not supported (row VILLKOR2)"),
]
NINE_NAMES = {name for name, _, _ in NINE}


@pytest.fixture(scope="module")
def netlib_dir(tmp_path_factory):
    sources = [netlib_model(model_name(source)) for source in NETLIB_FILES]
    directory = tmp_path_factory.mktemp("netlib")
    for source in sources:
        (directory / source.name[: -len(".gz")]).write_bytes(gzip.decompress(source.read_bytes()))
    return directory


def model_name(source: Path) -> str:
    return source.name[: -len(".mps.gz")]


OTHER_FILES = [s for s in NETLIB_FILES if model_name(s) not in NINE_NAMES]


@pytest.mark.parametrize("source", OTHER_FILES, ids=model_name)
def test_netlib_reads(netlib_dir, source):
    result = _ondrel.read_mps(str(netlib_dir / f"{model_name(source)}.mps"), 1)
    assert result.variables and result.constraints and result.objective.name
    assert all(v.cat == "Continuous" for v in result.variables)


GLPSOL_COUNTS = re.compile(r"^(\d+) rows?, (\d+) columns?, (\d+) non-zeros?$", re.M)


def free_mps_sections(path: Path) -> dict[str, list[list[str]]]:
    """The data lines of a free MPS file by section, split into fields ("$" comments removed)."""
    sections: dict[str, list[list[str]]] = {}
    current = None
    for line in path.read_text().splitlines():
        line = line.split("$")[0].rstrip()
        if not line:
            continue
        if not line[0].isspace():
            current = sections.setdefault(line.split()[0], [])
        elif current is not None:
            current.append(line.split())
    return sections


def glpsol_counts(mps: Path, free_copy: Path) -> tuple[int, int, int, int, int]:
    """glpsol's counts of rows, columns and non-zeros for a file, and the numbers of columns
    with bounds other than [0, inf) and of rows with a non-zero right-hand side in its free MPS
    rewrite of the file, which it writes to free_copy."""
    out = subprocess.run(
        [require_tool("glpsol", "glpk-utils"), "--mps", str(mps), "--check", "--wfreemps", str(free_copy)],
        capture_output=True, text=True, check=True, timeout=300,
    ).stdout
    match = GLPSOL_COUNTS.search(out)
    assert match, out
    rows, columns, nonzeros = (int(g) for g in match.groups())
    sections = free_mps_sections(free_copy)
    objective = next(f[1] for f in sections["ROWS"] if f[0] == "N")
    with_rhs = {f[k] for f in sections.get("RHS", []) for k in range(1, len(f) - 1, 2)
                if f[k] != objective and float(f[k + 1]) != 0}
    with_bounds = {f[2] for f in sections.get("BOUNDS", [])}
    return rows, columns, nonzeros, len(with_bounds), len(with_rhs)


def record_counts(result) -> tuple[int, int, int, int, int]:
    """The same counts for read_mps records. glpsol counts the objective row as a row and its
    coefficients as non-zeros, and stores no explicit zero coefficients (standgub has one)."""
    nonzeros = sum(1 for c in result.objective.coefficients if c.value != 0) + sum(
        1 for con in result.constraints for c in con.coefficients if c.value != 0
    )
    with_bounds = sum(1 for v in result.variables if (v.lowBound, v.upBound) != (0.0, None))
    with_rhs = sum(1 for c in result.constraints if c.constant != 0)
    return len(result.constraints) + 1, len(result.variables), nonzeros, with_bounds, with_rhs


def close(a: float | None, b: float | None) -> bool:
    # glpsol writes about ten significant digits.
    if a is None or b is None:
        return a is b
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


def assert_read_as_glpsol_reads(path: Path, tmp_path: Path):
    """read_mps gives glpsol's counts for the file, and the values of glpsol's free MPS
    rewrite of it read back by this reader, up to the ten digits glpsol writes."""
    free_copy = tmp_path / "glpsol.mps"
    counts = glpsol_counts(path, free_copy)
    result = _ondrel.read_mps(str(path), 1)
    assert record_counts(result) == counts

    rewrite = tmp_path / "glpsol_clean.mps"
    rewrite.write_text(
        "".join(line.split("$")[0] + "\n" for line in free_copy.read_text().splitlines())
    )
    theirs = _ondrel.read_mps(str(rewrite), 1)

    def coefficient_map(coefficients):
        return {c.name: c.value for c in coefficients if c.value != 0}

    def assert_same_coefficients(a, b):
        a, b = coefficient_map(a), coefficient_map(b)
        assert a.keys() == b.keys() and all(close(a[k], b[k]) for k in a)

    assert_same_coefficients(result.objective.coefficients, theirs.objective.coefficients)
    assert [v.name for v in result.variables] == [v.name for v in theirs.variables]
    assert [c.name for c in result.constraints] == [c.name for c in theirs.constraints]
    for ours, glpk in zip(result.constraints, theirs.constraints, strict=True):
        assert_same_coefficients(ours.coefficients, glpk.coefficients)
        assert ours.sense == glpk.sense, ours.name
        assert close(ours.constant, glpk.constant), ours.name
    for ours, glpk in zip(result.variables, theirs.variables, strict=True):
        assert ours.cat == glpk.cat
        assert close(ours.lowBound, glpk.lowBound) and close(ours.upBound, glpk.upBound), ours.name
    return result


@pytest.mark.parametrize("source", OTHER_FILES, ids=model_name)
def test_netlib_against_glpsol(netlib_dir, tmp_path, source):
    assert_read_as_glpsol_reads(netlib_dir / f"{model_name(source)}.mps", tmp_path)


def model_from_records(result):
    """A Model holding what the records say, objective minimized."""
    m = Model(result.parameters.name)
    ids = {}
    for v in result.variables:
        low = -math.inf if v.lowBound is None else v.lowBound
        up = math.inf if v.upBound is None else v.upBound
        category = Category.Integer if v.cat == "Integer" else Category.Continuous
        ids[v.name] = m.add_variable(v.name, low, up, category).id()

    def expression(coefficients):
        e = AffineExpr()
        e.add_term_ids_coeffs(m, array("Q", [ids[c.name] for c in coefficients]),
                              array("d", [c.value for c in coefficients]))
        return e

    senses = {-1: Sense.LessEqual, 0: Sense.Equal, 1: Sense.GreaterEqual}
    for c in result.constraints:
        e = expression(c.coefficients)
        e.set_sense(senses[c.sense])
        e.set_constant(c.constant)
        e.set_name(c.name)
        m.add_constraint(e)
    m.set_objective(expression(result.objective.coefficients))
    m.set_sense(ObjSense.Minimize)
    return m


def optimum(solver: str, path: Path, free: bool) -> float:
    """The optimal objective value a solver finds for an MPS file (free format or fixed)."""
    if solver == "glpsol":
        solution = path.with_suffix(".sol")
        subprocess.run([require_tool("glpsol", "glpk-utils"), "--freemps" if free else "--mps", str(path), "-w", str(solution)],
                       capture_output=True, text=True, check=True, timeout=300)
        fields = next(l for l in solution.read_text().splitlines() if l.startswith("s ")).split()
        assert fields[1:2] == ["bas"] and fields[-3:-1] == ["f", "f"], fields  # optimal basis
        return float(fields[-1])
    out = subprocess.run([require_tool(solver, f"coinor-{solver}"), str(path), "-solve"], capture_output=True, text=True,
                         check=True, timeout=300).stdout
    match = re.search(r"^Optimal objective (\S+)", out, re.M)
    assert match, out
    return float(match.group(1))


@pytest.mark.parametrize("name, solver, refusal", NINE, ids=[n for n, _, _ in NINE])
def test_netlib_read_right_or_refused(netlib_dir, tmp_path, name, solver, refusal):
    path = netlib_dir / f"{name}.mps"
    if refusal is not None:
        with pytest.raises(RuntimeError) as info:
            _ondrel.read_mps(str(path), 1)
        assert str(info.value) == refusal
        return
    for program, package in (("glpsol", "glpk-utils"), (solver, "glpk-utils" if solver == "glpsol" else f"coinor-{solver}")):
        require_tool(program, package)
    result = assert_read_as_glpsol_reads(path, tmp_path)
    written = tmp_path / "written.mps"
    # The writer's numbers run past the fixed columns: the file is read as free MPS.
    _ondrel.write_mps(model_from_records(result), str(written), 1, True, False, False, name, "COST")
    expected = optimum(solver, path, free=False)
    assert optimum(solver, written, free=True) == pytest.approx(expected, rel=1e-9)


# ---------------------------------------------------------------------------------------------
# Regressions found by fuzzing the plain reader (fuzz/): none so far.
