"""Forms that decks written for JoSIM use: read as JoSIM reads them, checked
against its own run when its binary is at hand."""

import os
import subprocess
import warnings

import numpy as np
import pandas as pd
import pytest

from loxant import Netlist, NetlistError
from loxant.netlist import NetlistWarning

JOSIM = os.environ.get("LOXANT_JOSIM", "/work/peers/josim-cmake/build/josim-cli")

SHORTS = """\
* zero-ohm resistors join nodes
I1 0 1 pwl(0 0 10p 1m)
R1 1 2 0
R3 2 3 0
R2 3 0 1
.tran 1p 40p
.print v(1) v(3) i(R1) i(R2)
"""

NODE_PHASE = """\
* PHASE and DEVV of a node inside a subcircuit
.subckt cell a
L1 a 3 2p
R1 3 0 2
.ends
I1 0 1 pwl(0 0 10p 1m)
X5 cell 1
R2 1 0 5
.tran 1p 40p
.print phase 3|X5
.print devv 3.X5
.print nodep 3.X5
.print nodev 3.X5
"""

# (netlist, the labels printed, warnings expected, pairs of labels that agree exactly)
CASES = [
    (
        SHORTS,
        ["V(1)", "V(3)", "I(R1)", "I(R2)"],
        ["R1 (and 1 more in this file): a resistance of 0"],
        [(0, 1), (2, 3)],
    ),
    (NODE_PHASE, ["P(3|X5)", "V(3|X5)"], [], []),
]


def _read(text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", NetlistWarning)
        net = Netlist.from_string(text)
    return net, [str(w.message) for w in caught]


def _josim(text, folder):
    deck, out = folder / "deck.cir", folder / "josim.csv"
    deck.write_text(text)
    subprocess.run(
        [JOSIM, str(deck), "-o", str(out)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=True,
        timeout=120,
    )
    return pd.read_csv(out)


@pytest.mark.parametrize(("text", "labels", "warned", "equal"), CASES, ids=["short", "node phase"])
def test_forms_of_the_peer_read_and_run_as_the_peer_runs_them(
    text, labels, warned, equal, tmp_path
):
    net, said = _read(text)
    assert net.probes == labels
    assert len(said) == len(warned) and all(w in s for w, s in zip(warned, said)), said
    results = net.simulate()
    traces = [results.trace(label)[1] for label in labels]
    for a, b in equal:  # joined nodes, one current
        np.testing.assert_allclose(traces[a], traces[b], rtol=1e-12, atol=1e-18)
    if not os.access(JOSIM, os.X_OK):
        return
    theirs = _josim(text, tmp_path)
    time = results.time("s")
    for label, ours in zip(labels, traces):
        column = theirs[label].to_numpy()
        interpolated = np.interp(theirs["time"], time, ours)
        assert np.abs(interpolated - column).max() <= 0.01 * np.abs(column).max(), label


def test_a_node_phase_request_equals_the_node_request():
    net, said = _read(NODE_PHASE.replace("nodev 3.X5", "nodep 1\n.print phase 1"))
    assert not said  # no request skipped
    results = net.simulate()
    np.testing.assert_array_equal(results.trace("P(3|X5)")[1], results.node_phase("3|X5"))
    assert net.probes == ["P(3|X5)", "V(3|X5)", "P(1)"]


@pytest.mark.parametrize(
    ("wave", "message"),
    [
        ("pwl(0 0 300p 1m 201p 2m)", "PWL times must not decrease (201 ps follows 300 ps)"),
        ("pwl(0 0 2n 1m 1.5n 0)", "PWL times must not decrease (1.5 ns follows 2 ns)"),
        ("pws(0 0 5u 1m 2u 1m)", "PWS times must not decrease (2 us follows 5 us)"),
        ("noise(1u 0 -1p)", "noise: the time step must be positive, got -1 ps"),
        ("noise(1u 0 0)", "noise: the time step must be positive, got 0 s"),
    ],
)
def test_waveform_refusals_quote_the_times_as_written(wave, message):
    with pytest.raises(NetlistError) as caught:
        Netlist.from_string(f"* t\nI1 0 1 {wave}\nR1 1 0 1\n.tran 1p 40p\n")
    assert (caught.value.line, caught.value.message) == (2, message)
