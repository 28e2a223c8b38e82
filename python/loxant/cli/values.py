"""Values with units on the command line, read as the netlist reads them.

A number, then a scale suffix as in SPICE (case does not matter: ``f`` 1e-15,
``p``, ``n``, ``u``, ``m`` milli, ``k``, ``meg`` or ``x`` 1e6, ``g``, ``t``),
then optionally the unit's symbol: ``300u``, ``300uA``, ``5ps``, ``1meg``.
``1M`` is 1e-3, as in a netlist; ``1meg`` is a million.  A symbol of another
unit (``300uV`` for a current) is refused.
"""

import math
import re

from ..errors import UserError
from ..expressions import SCALE, ExpressionError, parse_number
from ..units import QUANTITIES

__all__ = ["quantity", "reader_options", "si_text"]

_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def quantity(text, unit, option, positive=True):
    """``text`` in SI ``unit`` (such as "A" or "s"; None: any unit letters) as a
    float; ``option`` (such as "--max") names the value in a refusal."""
    written = str(text).strip().replace(" ", "")
    given = f"{option}{text}" if option.endswith("=") else f"{option} {text}"
    try:
        value = parse_number(written)
    except ExpressionError as exc:
        raise UserError(f"{given}: {exc}; expected {_example(unit)}") from None
    symbol = _unit_letters(written)
    if unit is not None and symbol and symbol.lower() != unit.lower():
        raise UserError(f"{given}: {symbol!r} is not {unit}; expected {_example(unit)}")
    if not math.isfinite(value) or (positive and value <= 0):
        what = "a positive" if positive else "a finite"
        raise UserError(f"{given}: expected {what} {QUANTITIES.get(unit, 'value')}")
    return value


def reader_options(args):
    """The netlist reader's keywords that a command's options set."""
    return {"allow_outside": True} if getattr(args, "allow_outside", False) else {}


def si_text(value, unit):
    """A value for the Python API: ``"1e-12 s"`` reads back exactly."""
    return f"{value!r} {unit}"


def _unit_letters(text):
    """The letters after the number and its scale suffix ('' if none)."""
    letters = text[_NUMBER.match(text).end() :]
    lower = letters.lower()
    if lower.startswith("meg"):
        return letters[3:]
    return letters[1:] if lower[:1] in SCALE else letters


def _example(unit):
    return {"A": "a current such as 300u or 300uA", "s": "a time such as 5p or 5ps"}.get(
        unit, f"a value such as 2.5m{unit}"
    )
