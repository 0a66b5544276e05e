"""Names that would end a line in a written file.

A name written as it is must not be able to add lines to the file: a constraint named
"r\\nSubject To\\n bad: x >= 5" would otherwise put a constraint into an LP file that the model
does not have. Both writers refuse, before creating the file, any text they would write that
holds a character a reader may take as the end of a line (or NUL, where C readers stop).
"""

from __future__ import annotations

import pytest

from support import make_expr
from zemlo._ondrel import Category, Model, Sense, SosKind, write_lp, write_mps

# Each refused character, by name.
BREAKS = {
    "LF": "\n", "CR": "\r", "CRLF": "\r\n", "VT": "\v", "FF": "\f", "FS": "\x1c", "GS": "\x1d", "RS": "\x1e",
    "NEL": "\x85", "LS": "\u2028", "PS": "\u2029", "NUL": "\0",
}
# Characters that stay on their line, written as they are: blank, tab, no-break space, the unit
# separator (not a line separator), a one-dot leader (a neighbour of U+2028), a letter.
KEPT = {"space": " ", "tab": "\t", "NBSP": "\xa0", "US": "\x1f", "U+2024": "\u2024", "e-acute": "\xe9"}

# How a message quotes a name: escapes for the usual controls, \u{hex} for the rest of them.
ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0", '"': '\\"', "\\": "\\\\"}


def quoted(text):
    out = []
    for ch in text:
        if ch in ESCAPES:
            out.append(ESCAPES[ch])
        elif ch in "\v\f\x1c\x1d\x1e\x85\u2028\u2029":
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def refusal(what, text):
    return f"{what} {quoted(text)} contains a line break or NUL character and cannot be written to a file"


def model(var="x", row="r", model_name="m"):
    m = Model(model_name)
    x = m.add_variable(var, 0.0, 4.0, Category.Continuous)
    m.add_constraint(make_expr([(x, 1.0)], -1.0, Sense.LessEqual, row))
    m.add_constraint(make_expr([], -1.0, Sense.LessEqual, "empty"))  # written with the dummy variable
    m.set_objective(make_expr([(x, 1.0)]))
    return m


def lp(m, path, obj_name="OBJ", dummy="__dummy"):
    return write_lp(m, str(path), False, 255, obj_name, dummy)


def mps(m, path, model_name="M", obj_name="OBJ", rename=False):
    return write_mps(m, str(path), 1, False, False, rename, model_name, obj_name)


def test_the_injection_example_is_refused_before_the_file_exists(tmp_path):
    name = "r\nSubject To\n bad: x >= 5"
    for write in (lp, mps):
        with pytest.raises(RuntimeError) as info:
            write(model(row=name), tmp_path / "out")
        assert str(info.value) == (
            'Constraint name "r\\nSubject To\\n bad: x >= 5" contains a line break or NUL character and '
            "cannot be written to a file")
        assert not (tmp_path / "out").exists()


# (writer, what the message names, how the text gets into the file)
PLACES = [
    ("lp", "Variable name", lambda text, path: lp(model(var="x" + text), path)),
    ("lp", "Constraint name", lambda text, path: lp(model(row="r" + text), path)),
    ("lp", "Model name", lambda text, path: lp(model(model_name="m" + text), path)),
    ("lp", "obj_name", lambda text, path: lp(model(), path, obj_name="OBJ" + text)),
    ("lp", "dummy_var_name", lambda text, path: lp(model(), path, dummy="d" + text)),
    ("mps", "Variable name", lambda text, path: mps(model(var="x" + text), path)),
    ("mps", "Constraint name", lambda text, path: mps(model(row="r" + text), path)),
    ("mps", "model_name", lambda text, path: mps(model(), path, model_name="M" + text)),
    ("mps", "obj_name", lambda text, path: mps(model(), path, obj_name="OBJ" + text)),
]
PREFIX = {"Variable name": "x", "Constraint name": "r", "Model name": "m", "obj_name": "OBJ",
          "dummy_var_name": "d", "model_name": "M"}


@pytest.mark.parametrize("char", sorted(BREAKS))
@pytest.mark.parametrize("writer, what, write", PLACES, ids=[f"{w}-{what}" for w, what, _ in PLACES])
def test_each_line_break_is_refused_wherever_it_would_be_written(tmp_path, writer, what, write, char):
    text = BREAKS[char] + "tail"
    with pytest.raises(RuntimeError) as info:
        write(text, tmp_path / "out")
    assert str(info.value) == refusal(what, PREFIX[what] + text)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("char", sorted(KEPT))
@pytest.mark.parametrize("writer, what, write", PLACES, ids=[f"{w}-{what}" for w, what, _ in PLACES])
def test_other_characters_are_written_as_they_are(tmp_path, writer, what, write, char):
    text = KEPT[char] + "tail"
    write(text, tmp_path / "out")
    # A blank in a variable name becomes an underscore when the variable is made.
    stored = text.replace(" ", "_") if what == "Variable name" else text
    assert (PREFIX[what] + stored).encode() in (tmp_path / "out").read_bytes()


def test_the_checks_that_come_first_keep_their_messages(tmp_path):
    m = model(row="r\n")
    m.add_constraint(make_expr([], -1.0, Sense.LessEqual, "empty"))
    with pytest.raises(RuntimeError, match=r"^Repeated constraint names: \{\('empty', 2\)\}$"):
        lp(m, tmp_path / "a.lp")
    with pytest.raises(RuntimeError, match=r"^Repeated constraint names: "):
        mps(m, tmp_path / "a.mps")
    with pytest.raises(RuntimeError, match=r"^Variable names too long for Lp format: "):
        write_lp(model(var="long\nname"), str(tmp_path / "a.lp"), False, 3, "OBJ", "")
    assert not any(tmp_path.iterdir())


def test_only_what_is_written_is_checked(tmp_path):
    m = model()
    m.add_variable("unused\nvariable", 0.0, 1.0, Category.Continuous)
    lp(m, tmp_path / "a.lp")
    mps(m, tmp_path / "a.mps")
    # No empty constraint: the dummy variable is never written.
    m = Model("m")
    x = m.add_variable("x", 0.0, 1.0, Category.Continuous)
    m.set_objective(make_expr([(x, 1.0)]))
    lp(m, tmp_path / "b.lp", dummy="d\n")
    # Renaming writes generated names (MODEL, OBJ, X0000000, C0000000) in place of every stored
    # name and of model_name and obj_name.
    mps(model(var="x\n", row="r\n"), tmp_path / "c.mps", model_name="M\n", obj_name="O\n", rename=True)
    written = (tmp_path / "c.mps").read_text()
    assert "NAME          MODEL\n" in written and " N  OBJ\n" in written and "X0000000  C0000000" in written
    # An unused variable reached only through an SOS group is written, so it is checked.
    m = model()
    y = m.add_variable("y\r", 0.0, 1.0, Category.Continuous)
    m.add_sos_group(SosKind.Sos1, None, [(y, 1.0)])
    with pytest.raises(RuntimeError, match=r'^Variable name "y\\r" '):
        lp(m, tmp_path / "d.lp")
