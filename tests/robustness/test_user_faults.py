"""Faults in what the user writes, however extreme, are user errors: a
NetlistError naming file and line (or a CircuitError from the Python
interface), never an exception from deep inside."""

import textwrap
import warnings

import numpy as np
import pytest

from loxant import Netlist, NetlistError
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
