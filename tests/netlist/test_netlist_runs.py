"""A plain run of a netlist gives what a run of a freshly built circuit gives,
however often it runs and whatever ran before; noise is drawn afresh for every
run unless seeded; a changed analysis is honoured."""

import os
import textwrap

import numpy as np
import pytest

from loxant import CircuitError, Netlist, NetlistError

VARIED = """\
* every kind of element the reader builds
.model jj1 jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
.param lb=2p
VIN in 0 pulse(0 0.6m 10p 2p 2p 5p)
RIN in 1 2
B1 1 0 jj1 area=2.5
IB1 0 1 pwl(0 0 10p 175u)
L1 1 2 {lb}
L0 2 3 0
LC 3 0 4p
LD 4 0 4p
K1 LC LD 0.3
RD 4 0 3
T1 3 0 5 0 td=3p z0=5
B2 5 0 jj1 area=2
IB2 0 5 sin(100u 20u 20g)
C5 5 6 0.1p
R6 6 0 4
E1 7 0 5 0 2
R7 7 0 10
.tran 0.25p 60p
"""

NOISY = """\
* a noise source
R1 1 0 2
I1 0 1 noise(1u 0 1p)
.tran 0.5p 40p
"""


def read(text):
    return Netlist.from_string(textwrap.dedent(text))


def tables(results):
    data = results.normalised
    return [data.node_phases, data.currents, data.phases, data.voltages]


def assert_same(first, second):
    for ours, theirs in zip(tables(first), tables(second), strict=True):
        np.testing.assert_array_equal(ours, theirs)


def fresh_run(net, **options):
    """A run of a circuit built anew for it."""
    net._nominal_reusable = lambda: False
    try:
        return net.simulate(**options)
    finally:
        del net._nominal_reusable


@pytest.mark.parametrize(
    "before",
    [{}, {"dt": "0.1p"}, {"engine": "python"}],
    ids=["first run", "after a smaller step", "after the Python engine"],
)
def test_plain_runs_equal_runs_of_a_fresh_circuit(before):
    net = read(VARIED)
    if before:
        net.simulate(**before)
    assert_same(net.simulate(), fresh_run(read(VARIED)))


@pytest.mark.parametrize(
    ("seed", "same"), [("", False), (".option seed=7\n", True)], ids=["unseeded", "seeded"]
)
def test_noise_is_drawn_for_every_run_unless_seeded(seed, same):
    net = read(NOISY + seed)
    first, second = net.simulate(), net.simulate()
    assert np.array_equal(first.normalised.currents, second.normalised.currents) == same


def test_a_changed_analysis_is_honoured():
    """Default source times follow .tran: replacing it gives the other netlist's run."""
    text = "R1 1 0 2\nI1 0 1 pulse(0 1m 5p)\n.tran {}\n"
    net, other = read(text.format("0.5p 40p")), read(text.format("0.25p 20p"))
    net.simulate()
    net.tran = other.tran
    assert_same(net.simulate(), other.simulate())


@pytest.mark.parametrize(
    "text",
    [VARIED, ".subckt cell a\nL1 a 1 2p\nR1 1 0 3\n.ends\nX1 cell n\nX2 cell n\nR0 n 0 1\n"],
    ids=["flat", "hierarchy"],
)
def test_node_names_are_those_of_a_fresh_circuit(text):
    net = read(text)
    assert net.nodes() == net.circuit().nodes


PRINTED = VARIED + ".print v(3) p(B1)\n"
LIBRARY = "/work/peers/RSFQlib/RSFQlib/mitll_AND2/THmitll_AND2_v3p0_testbench.cir"


@pytest.mark.parametrize(
    ("record", "kept", "missing"),
    [
        ({}, ["V(3)", "P(B1)", "P(B2)"], ["V(5)", "I(R6)"]),  # printed, and every junction
        ({"record": None}, ["V(3)", "V(5)", "I(R6)"], []),
        ({"record": ["voltage(5)"]}, ["V(5)"], ["V(3)"]),
    ],
    ids=["default", "everything", "chosen"],
)
def test_a_run_records_what_is_printed_unless_told_otherwise(record, kept, missing):
    net = read(PRINTED)
    results = net.simulate(**record)
    everything = net.simulate(record=None)
    for label in kept:  # the same values as a run that keeps everything
        np.testing.assert_array_equal(results.trace(label)[1], everything.trace(label)[1])
    for label in missing:
        with pytest.raises(KeyError, match="was not recorded"):
            results.trace(label)


def test_the_default_recording_fits_where_everything_would_not(monkeypatch):
    from loxant.simulation import options

    # 241 samples: everything takes ~25 kB, the print and the junctions ~10 kB
    monkeypatch.setattr(options, "MAX_RECORDING_BYTES", 16_000)
    net = read(PRINTED)
    assert len(net.simulate()) == 241
    with pytest.raises(NetlistError, match="the recording would take"):
        net.simulate(record=None)


@pytest.mark.skipif(not os.path.exists(LIBRARY), reason="no cell library here")
def test_a_library_testbench_runs_as_read():
    # its every quantity (~300 MiB) would be refused; what it prints is not
    net = Netlist.from_file(LIBRARY)
    results = net.simulate()
    assert net.probes and all(len(results.trace(p)[1]) == len(results) for p in net.probes)


# (options of simulate, the option the error names, True if the .tran line is
# blamed): the caller's own faulty option is reported as given, a fault of the
# .tran's values as an error of its line
BLAME = [
    ({"t_stop": "abc"}, "t_stop", False),
    ({"dt": 0}, "dt", False),
    ({"record": ["nowhere"]}, "record", False),
    ({"record_every": 0}, "record_every", False),
    ({"max_steps": 10, "rtol": 1e-3}, "t_stop", True),
    ({"record_every": 10**4, "record_from": 50e-12}, None, True),
]


@pytest.mark.parametrize(("options", "option", "tran_line"), BLAME)
def test_an_error_blames_the_callers_option_or_the_tran_line(options, option, tran_line):
    netlist = Netlist.from_string("R1 1 0 2\nI1 0 1 pwl(0 0 10p 1m)\n.tran 0.25p 100p\n")
    with pytest.raises(CircuitError) as info:
        netlist.simulate(**options)
    error = info.value
    assert error.option == option
    assert isinstance(error, NetlistError) == tran_line
    assert not tran_line or error.line == 3
    # a limit's statement, as the message opens
    assert error.limit is None or str(error).startswith(error.reached + ": ")
