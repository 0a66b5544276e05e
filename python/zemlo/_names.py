"""Names that can be written to a file: the characters a reader may take as the end of a line.

The file writers refuse a name holding one of these (a name written as it is would end its line
early and turn its rest into lines of the file); the command and the modelling layer refuse such
names when they are given, so the mistake shows where it was made.
"""

from __future__ import annotations

import re

# LF, VT, FF, CR, the separators U+001C..U+001E, NEL, LS, PS, and NUL, where readers that keep
# text as C strings stop.
LINE_BREAK = re.compile("[\0\n\v\f\r\x1c-\x1e\x85\u2028\u2029]")


def has_line_break(text: str) -> bool:
    """Whether `text` holds a character that would end its line in a written file."""
    return LINE_BREAK.search(text) is not None


# What a name in a CPLEX LP file may hold: letters, digits and these symbols; it may not start
# with a digit or a period. The words below start sections or stand for infinity in an LP file,
# so a name equal to one of them (in any case) reads as something else.
_LP_SYMBOLS = "!\"#$%&()/,.;?@_`'{}|~"
_LP_NAME = re.compile("[A-Za-z!\"#$%&()/,;?@_`'{}|~][A-Za-z0-9" + re.escape(_LP_SYMBOLS) + "]*")
_LP_WORDS = frozenset(
    "minimize maximize minimum maximum min max subject such st s.t. st. bounds bound general generals gen "
    "integer integers binary binaries bin semi semis semi-continuous sos end free inf infinity".split()
)
LP_NAME_LIMIT = 255


def lp_name_problem(name: str) -> str | None:
    """What keeps `name` from being written to a CPLEX LP file as it is, or None when nothing
    does: the reason, worded to follow the quoted name."""
    if not name:
        return "is empty"
    if has_line_break(name):
        return "holds a line break or NUL character"
    if len(name.encode("utf-8", "surrogatepass")) > LP_NAME_LIMIT:
        return f"is longer than {LP_NAME_LIMIT} bytes"
    if _LP_NAME.fullmatch(name) is None:
        bad = next((ch for ch in name if not (ch.isascii() and (ch.isalnum() or ch in _LP_SYMBOLS))), None)
        if bad is not None:
            return f"holds {bad!r}; LP names hold letters, digits and {_LP_SYMBOLS}"
        return "starts with a digit or a period"
    if name.lower() in _LP_WORDS:
        return "is a word LP files reserve"
    return None
