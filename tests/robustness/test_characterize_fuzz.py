"""The characterization's entry points against bad input: a cell library with
random edits (characterized at one corner, delays only) and random SDF text.
Each either works or raises a clear exception; nothing else escapes."""

from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pytest.importorskip("pandas")

from loxant.analysis.characterize import characterize
from loxant.analysis.sdf import read_sdf
from loxant.errors import CircuitError

CELLS = (Path(__file__).parent.parent / "analysis" / "data" / "cells.cir").read_text()
JTL = CELLS[: CELLS.index("* D flip-flop")]
WORDS = [
    ".subckt",
    ".ends",
    ".model",
    ".end",
    "jtl",
    "a",
    "q",
    "0",
    "1p",
    "4p",
    "1e9",
    "-1",
    "175u",
    "pwl(",
    ")",
    "{",
    "}",
    "area=",
    "B9",
    "L9",
    "X1",
    "\n",
    "\n+",
    " ",
    "=",
]

quick = settings(
    max_examples=40, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


@quick
@given(
    st.lists(st.tuples(st.integers(0, len(JTL)), st.sampled_from(WORDS)), min_size=1, max_size=4)
)
def test_an_edited_cell_library_characterizes_or_reports(edits):
    text = JTL
    for position, word in edits:
        text = text[:position] + word + text[position + 1 :]
    try:
        result = characterize(
            text + "\n",
            "jtl",
            "a",
            "q",
            loads=(1,),
            biases=(1.0,),
            constraints=False,
            progress=False,
        )
    except (ValueError, CircuitError, RuntimeError) as exc:
        assert str(exc)
        return
    assert list(result.delays.columns) == ["from", "to", "state", "load", "bias", "delay_ps"]


SDF_WORDS = [
    "(",
    ")",
    "DELAYFILE",
    "CELL",
    "CELLTYPE",
    '"x"',
    "DELAY",
    "ABSOLUTE",
    "IOPATH",
    "COND",
    "TIMESCALE",
    "1ps",
    "100fs",
    "1.2.3ps",
    "a",
    "q",
    "(1:2:3)",
    "SETUP",
    "HOLD",
    "PERIOD",
    "TIMINGCHECK",
    "!d",
    "::",
    '"',
    "//",
    "/*",
]


@settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(st.lists(st.sampled_from(SDF_WORDS), max_size=30).map(" ".join))
def test_random_sdf_text_reads_or_raises_value_error(text):
    try:
        read = read_sdf(text + "\n")
    except ValueError as exc:
        assert str(exc).startswith("SDF: ")
        return
    assert set(read) == {"timescale", "cells"}


ARGUMENT_VALUES = st.one_of(
    st.none(),
    st.just(""),
    st.text(max_size=6),
    st.integers(-3, 10**9),
    st.floats(allow_nan=True, allow_infinity=True),
    st.lists(st.integers(-2, 40), max_size=20),
    st.sampled_from(["a", "q", "A,Q", "1e-30ps", "0.05ps", "-1ps", "nan", "1e3ps", "3ps"]),
)


@settings(max_examples=60, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(
    st.fixed_dictionaries(
        {},
        optional={
            "clock": ARGUMENT_VALUES,
            "loads": ARGUMENT_VALUES,
            "biases": ARGUMENT_VALUES,
            "window": ARGUMENT_VALUES,
            "resolution": ARGUMENT_VALUES,
            "states": st.one_of(
                ARGUMENT_VALUES,
                st.dictionaries(st.text(max_size=20), st.text(max_size=5), max_size=2),
            ),
            "ptl_in": ARGUMENT_VALUES,
            "ptl_out": ARGUMENT_VALUES,
        },
    )
)
def test_random_arguments_characterize_or_raise_a_clear_error(options):
    """Arguments of any type or size: a result, or ValueError/TypeError/RuntimeError
    with a message, quickly (limits are checked before the work)."""
    options = {"loads": (1,), "biases": (1.0,), **options}
    try:
        result = characterize(
            JTL + "\n", "jtl", "a", "q", constraints=False, progress=False, **options
        )
    except (ValueError, TypeError, RuntimeError, CircuitError) as exc:
        assert str(exc)
        return
    assert len(result.states) == 1


def test_deeply_nested_sdf_is_refused_with_the_documented_error():
    with pytest.raises(ValueError, match="^SDF: "):
        read_sdf("(DELAYFILE " + "(CELL " * 50_000 + ")" * 50_001 + "\n")
