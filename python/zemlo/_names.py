"""Names that can be written to a file: the characters a reader may take as the end of a line.

The file writers refuse a name holding one of these (a name written as it is would end its line
early and turn its rest into lines of the file); the command and the modelling layer refuse such
names when they are given, so the mistake shows where it was made.
"""

from __future__ import annotations

import re

from zemlo import _native

# LF, VT, FF, CR, the separators U+001C..U+001E, NEL, LS, PS, and NUL, where readers that keep
# text as C strings stop.
LINE_BREAK = re.compile("[\0\n\v\f\r\x1c-\x1e\x85\u2028\u2029]")


def has_line_break(text: str) -> bool:
    """Whether `text` holds a character that would end its line in a written file."""
    return LINE_BREAK.search(text) is not None


LP_NAME_LIMIT = 255


def lp_name_problem(name: str) -> str | None:
    """What keeps `name` from being written to a CPLEX LP file as it is, or None when nothing
    does: the reason, worded to follow the quoted name. A name holds letters, digits and the
    symbols !"#$%&()/,.;?@_`'{}|~, does not start with a digit or a period, is at most 255 bytes
    long and is no word LP files reserve. The file writers apply the same rule."""
    return _native.lp_name_problem(name)
