"""Faults in what the user writes, however extreme, are user errors: a
NetlistError naming file and line (or a CircuitError from the Python
interface), never an exception from deep inside."""

import warnings

import numpy as np
import pytest

from loxant import CircuitError, Netlist, NetlistError, jjmodel
from loxant.analysis import iv_curve
from loxant.netlist import NetlistWarning

WAVE = [0.0, 1.0, 3.0, 2.0]


def custom_source(card, tmp_path, times):
    """The values in amperes at ``times`` of the current source ``card``."""
    (tmp_path / "wave.txt").write_text(" ".join(map(str, WAVE)) + "\n")
    text = f"* t\nR1 1 0 1\nI1 0 1 {card}\n.tran 0.5p 100p\n"
    pc = Netlist.from_string(text, base_dir=str(tmp_path)).circuit()
    waveform = pc.circuit["I1"].waveform
    return np.array([waveform(t / pc.units.scale["s"]) for t in times]) * pc.units.scale["A"]


@pytest.mark.parametrize(
    ("card", "scale"),
    [("cus(wave.txt 10p)", 1.0), ("cus(wave.txt 10p 2u)", 2e-6), ("cus(wave.txt 10p 2u 1)", 2e-6)],
)
def test_custom_waveform_takes_the_peers_defaults(card, scale, tmp_path):
    # scale 1, linear between the points, from time 0, not repeated
    times = np.linspace(0, 60e-12, 121)
    expected = np.interp(times, 10e-12 * np.arange(len(WAVE)), scale * np.array(WAVE))
    np.testing.assert_allclose(custom_source(card, tmp_path, times), expected, atol=1e-18)


@pytest.mark.parametrize(
    ("card", "count"), [("cus(wave.txt)", 0), ("cus(wave.txt 1p 1 1 0 0 7)", 6)]
)
def test_custom_waveform_counts_its_values(card, count, tmp_path):
    message = f"<string>:3: I1: cus takes a file name and 1 to 5 values, got {count}"
    with pytest.raises(NetlistError, match=f"^{message}"):
        custom_source(card, tmp_path, [0.0])


JUNCTION = "* extremes\n.model jx jj({model})\nB1 a 0 jx{instance}\nI1 0 a pwl(0 0 10p 100u)\n"
LINE = "T1 a 0 b 0 td=10p z0=5\nR1 b 0 5\n"
# (model, junction options, .tran card, the line the error names: None when it runs)
EXTREMES = [
    ("t=4.9e-324", "", ".tran 1p 10p", None),  # the limit T -> 0
    ("icrit=1e308", "", ".tran 1p 10p", "junction"),
    ("icrit=1e-308", "", ".tran 1p 10p", "junction"),
    ("rn=1e-300", "", ".tran 1p 10p", "junction"),
    ("rn=1e300", "", ".tran 1p 10p", "junction"),
    ("rtype=0, rn=1e-300", "", ".tran 1p 10p", "junction"),
    ("cap=1e308", "", ".tran 1p 10p", "junction"),
    ("", " area=1e308", ".tran 1p 10p", "junction"),
    ("", " area=1e-308", ".tran 1p 10p", "junction"),
    ("", " ic=1e308", ".tran 1p 10p", "junction"),
    ("icrit=1e-300, rn=1e300, t=5", "", ".tran 1p 10p", "junction"),
    ("", "", ".tran 4.9e-324 10p", "tran"),
    ("", "", ".tran 1p 1e308", "tran"),
    ("", "", ".tran 1p 10p 0 1e308", "tran"),
]


@pytest.mark.parametrize(("model", "instance", "tran", "where"), EXTREMES)
@pytest.mark.parametrize("line", ["", LINE], ids=["", "T"])
def test_extreme_finite_values_are_netlist_errors(model, instance, tran, where, line):
    text = JUNCTION.format(model=model, instance=instance) + line + tran + "\n"
    number = {"junction": 3, "tran": 5 + line.count("\n")}.get(where)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", NetlistWarning)
            results = Netlist.from_string(text).simulate()
    except NetlistError as exc:
        assert number is not None and str(exc).startswith(f"<string>:{number}: "), str(exc)
        return
    assert number is None, "ran"
    assert np.isfinite(results.phase("B1")).all()


@pytest.mark.parametrize(
    "model",
    [
        {"rn": 1e-300},
        {"rtype": 0, "rn": 1e300},
        {"icrit": 1e308},
        {"icrit": 1e-300},
        {"cap": 1e308},
        {"t": 4.9e-324, "rn": 1e-300},
        {"icrit": 1e-300, "rn": 1e300, "t": 5},
    ],
)
def test_iv_curve_of_extreme_models_is_a_circuit_error(model):
    pytest.importorskip("pandas")
    with pytest.raises(CircuitError, match="junction model's icrit and rn|time steps"):
        iv_curve(model, 1e-4, points=2)


def test_the_zero_temperature_limit_runs_as_a_tiny_temperature():
    # t -> 0: the thermal factor saturates, 2 kB t being no number at all
    assert jjmodel.junction_model({"T": 4.9e-324}) == jjmodel.junction_model({"T": 1e-6})
