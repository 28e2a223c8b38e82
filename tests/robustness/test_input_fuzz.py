"""Random extreme inputs to the netlist reader and to iv_curve: every fault is a
user error said once (a NetlistError naming file and line, a CircuitError), or
a simulation that reports its failure; never another exception, never a run
without end.  The examples are derandomized and their number bounded."""

import re
import warnings

import pytest
from bounded import TimeUp, deadline
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from loxant import CircuitError, Netlist, NetlistError
from loxant.errors import SimulationError
from loxant.netlist import NetlistWarning

FUZZ = settings(
    max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)

extreme = st.sampled_from(
    [0.0, -1.0, 1.0, 4.2, 9.1, 1e-300, 4.9e-324, 2.2e-308, 1e-30, 1e30, 1e300, 1e308, -1e308]
)
number = st.one_of(extreme, st.floats(-1e6, 1e6, allow_nan=False), st.integers(-3, 20))
MODEL_KEYS = ["rtype", "icrit", "rn", "r0", "cap", "vg", "delv", "icfct", "phi", "t", "tc", "d"]
model = st.dictionaries(st.sampled_from(MODEL_KEYS), number, max_size=5)


def model_card(params):
    return ".model jx jj(" + ", ".join(f"{k}={v!r}" for k, v in params.items()) + ")"


def assert_said_once(exc):
    """The place, the message and the quoted line each appear once."""
    text = str(exc)
    assert re.match(r"<string>:\d+: ", text), text
    assert len(re.findall(r"<string>:\d+: ", text)) == 1, text
    assert text.count("\n") <= 1, text


def read_and_run(text, seconds=5.0):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        try:
            Netlist.from_string(text).simulate(progress=deadline(seconds))
        except NetlistError as exc:
            assert_said_once(exc)
        except (SimulationError, TimeUp):
            pass  # a run that fails says so (exit 1); a long one is stopped


@FUZZ
@given(model, st.sampled_from(["", " area=", " ic="]), number)
def test_junction_models_and_instances_of_any_value(params, option, value):
    instance = f"{option}{value!r}" if option else ""
    read_and_run(
        f"* fuzz\n{model_card(params)}\nB1 a 0 jx{instance}\nI1 0 a pwl(0 0 5p 100u)\n.tran 0.1p 5p\n"
    )


@FUZZ
@given(st.lists(number, min_size=2, max_size=4), st.booleans())
@example([5e-324, 2.0, 1.0], False)  # the step count overflows before it is compared
def test_transient_cards_of_any_value(values, line):
    cards = "T1 a 0 b 0 td=10p z0=5\nR2 b 0 5\n" if line else ""
    tran = ".tran " + " ".join(repr(v) for v in values)
    read_and_run(f"* fuzz\nR1 a 0 5\n{cards}I1 0 a pwl(0 0 5p 100u)\n{tran}\n", seconds=2.0)


@FUZZ
@given(arguments=st.lists(number, max_size=7), points=st.lists(number, min_size=1, max_size=5))
def test_custom_waveforms_of_any_arguments(arguments, points, tmp_path_factory):
    folder = tmp_path_factory.mktemp("cus")
    (folder / "wave.txt").write_text(" ".join(repr(p) for p in points))
    card = "cus(wave.txt " + " ".join(repr(a) for a in arguments) + ")"
    text = f"* fuzz\nR1 a 0 5\nI1 0 a {card}\n.tran 0.1p 5p\n"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        try:
            net = Netlist.from_string(text, base_dir=str(folder))
            net.simulate(progress=deadline(2.0))
        except NetlistError as exc:
            assert_said_once(exc)
        except (SimulationError, TimeUp):
            pass


@settings(max_examples=40, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(model, st.one_of(extreme, st.floats(1e-6, 1e-3)), st.integers(1, 3))
def test_iv_curve_of_any_model(params, top, points):
    pytest.importorskip("pandas")
    from loxant.analysis import iv_curve

    try:
        table = iv_curve(params, top, points=points, progress=deadline(2.0))
    except (CircuitError, SimulationError, TimeUp):
        return
    assert len(table) == 4 * points + 1
