"""The element-kind and waveform-kind tables and what is made from them."""

import inspect

import numpy as np
import pytest

import loxant.CircuitKernel as kernel
from loxant import Circuit, read_netlist
from loxant.errors import CircuitError
from loxant.kinds import BY_ADDER, BY_LETTER, KINDS, WAVEFORM_KINDS, kind_of
from loxant.netlist import NetlistError
from loxant.physical import PhysicalCircuit
from loxant.simulation.assembly import STATE_LOCK, System, native_modules
from loxant.simulation.native import engine_module, waveform_description
from loxant.waveforms import PWL, Constant, Noise, Pulse, Rescaled, Sine


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.declaration.__name__)
def test_every_kind_has_its_model_its_adders_and_nodes_in_range(kind):
    assert all(hasattr(kernel, name) for name in kind.model_names)
    assert not kind.adder or callable(getattr(Circuit, kind.adder))
    for x, y in kind.ports + kind.conducting:
        assert 0 <= x < y < kind.nodes
    if kind.generated:
        assert hasattr(PhysicalCircuit, kind.adder)


def test_letters_and_adders_are_unique():
    letters = [k.letter for k in KINDS if k.letter]
    assert len(set(letters)) == len(letters) == len(BY_LETTER)
    assert len(BY_ADDER) == len([k for k in KINDS if k.adder])


@pytest.mark.parametrize(
    "adder, expected",
    [
        ("capacitor", "(self, name, a, b, c)"),
        ("current_source", "(self, name, a, b, value)"),
        ("transmission_line", "(self, name, a, b, c, d, *, td, z0)"),
        ("vccs", "(self, name, a, b, c, d, *, gm)"),
        ("ccvs", "(self, name, a, b, control, *, r)"),
        ("cccs", "(self, name, a, b, control, *, gain)"),
    ],
)
def test_generated_adders_keep_their_signatures(adder, expected):
    for owner in (Circuit, PhysicalCircuit):
        assert str(inspect.signature(getattr(owner, adder))) == expected


def test_generated_adders_bind_like_a_written_method():
    c = Circuit(units="normalised")
    c.capacitor("C1", "a", "0", 2.0)
    c.capacitor("C2", "a", "0", c=3.0)
    assert (c["C1"].c, c["C2"].c) == (2.0, 3.0)
    with pytest.raises(TypeError):
        c.vccs("G1", "a", "0", "b", "0", 1.0)  # gm is keyword-only
    with pytest.raises(TypeError):
        c.capacitor("C3", "a", "0")


@pytest.mark.parametrize(
    "adder, args, value, attribute, expected",
    [
        # normalised by ic0 = 100 uA, r0 = 2 ohm: S * r0, ohm / r0, s / (Phi0 / 2 pi Ic0 R0)
        ("vccs", ("a", "0", "b", "0"), {"gm": 0.25}, "gain", 0.5),
        ("ccvs", ("a", "0", "V1"), {"r": "4ohm"}, "gain", 2.0),
        ("capacitor", ("a", "0"), {"c": "1pF"}, "c", 1e-12 / (3.291059784e-16 / (1e-4 * 4))),
    ],
)
def test_physical_adders_convert_by_the_units_of_the_table(adder, args, value, attribute, expected):
    pc = Circuit(ic0="100uA", r0="2ohm")
    pc.voltage_source("V1", "b", "0", "1mV")
    element = getattr(pc, adder)(f"X_{adder}", *args, **value)
    assert getattr(element, attribute) == pytest.approx(expected, rel=1e-6)


def _floating_vccs(c):
    c.vccs("G1", "n1", "0", "n2", "0", gm=1.0)
    c.resistor("R1", "n2", "0", 1.0)


def _grounded_vcvs(c):
    c.vcvs("E1", "n1", "n3", "n2", "0", gain=2.0)
    for name, node in (("R1", "n2"), ("R2", "n1"), ("R3", "n3")):
        c.resistor(name, node, "0", 1.0)


def _source_loop(c):
    c.voltage_source("V1", "a", "0", 1.0)
    c.resistor("R1", "a", "0", 1.0)
    c.phase_source("P1", "a", "0", 0.0)


@pytest.mark.parametrize(
    "lines, build, message, line",
    [
        # G conducts nothing between its output nodes: n1 floats (named at its first element)
        (["G1 n1 0 n2 0 1m", "R1 n2 0 1"], _floating_vccs, "node N1 has no path to ground", 2),
        # E holds its output pair: n1 reaches ground through it
        (["E1 n1 n3 n2 0 2", "R1 n2 0 1", "R2 n1 0 1", "R3 n3 0 1"], _grounded_vcvs, None, 0),
        (["V1 a 0 1m", "R1 a 0 1", "P1 a 0 0"], _source_loop, "P1 closes a loop .*: V1, P1", 4),
    ],
)
def test_the_netlist_and_the_builder_share_the_connection_checks(
    tmp_path, lines, build, message, line
):
    path = tmp_path / "c.cir"
    path.write_text("\n".join(["* t", *lines, ".tran 1p 10p", ".end", ""]))
    c = Circuit(units="normalised")
    build(c)
    if message is None:
        read_netlist(path)
        c.simulate(t_stop=1.0, dt=0.1)
        return
    with pytest.raises(NetlistError, match=message) as info:
        read_netlist(path)
    assert info.value.line == line
    with pytest.raises(CircuitError, match=message.replace("N1", "n1")):
        c.simulate(t_stop=1.0, dt=0.1)


def _one_of_each(c):
    """Every kind with a native parameter, each value distinct, so that a value
    landing in another parameter's slot shows."""
    c.resistor("R1", "a", "0", 1.5)
    c.inductor("L1", "a", "b", 2.5, branch=True)
    c.inductor("L2", "b", "0", 3.5, branch=True)
    c.mutual("K1", "L1", "L2", m=0.75)
    c.capacitor("C1", "a", "0", 0.125)
    c.junction("B1", "a", "0", ic=1.25, r=2.75, c=0.375)
    c.junction_gap("B2", "b", "0", ic=0.625, c=0.875, r0=9.5, rn=1.75, vg=3.25, delv=0.25)
    c.junction_rsjn("B3", "a", "b", ic=0.5, r=4.5, c=0.3, v0=2.125, p=6)
    c.junction_rsjph("B4", "b", "a", ic=0.7, r=1.1, c=0.45, theta=0.4)
    c.junction_tjm("B5", "a", "0", model="NbNb_4K2_008", amplitude=0.9, c=0.55, pair_factor=0.2)
    c.transmission_line("T1", "a", "0", "d", "0", td=1.0, z0=5.5)
    c.resistor("R2", "d", "0", 1.0)
    c.vcvs("E1", "e", "0", "a", "0", gain=1.3)
    c.vccs("G1", "e", "0", "b", "0", gm=0.35)
    c.ccvs("H1", "f", "0", "L1", r=0.65)
    c.cccs("F1", "f", "0", "L1", gain=0.15)
    c.resistor("R3", "e", "0", 1.0)
    c.resistor("R4", "f", "0", 1.0)


def test_every_native_parameter_of_the_table_is_its_models_and_holds_the_value():
    c = Circuit(units="normalised")
    _one_of_each(c)
    system = System(c)
    kernel_module, _ = native_modules()
    with STATE_LOCK:
        system.install(kernel_module, time_step=0.1)
        checked = set()
        for element in system.elements:
            kind = kind_of(element.decl)
            model = element.model
            assert type(model).__name__ in kind.model_names
            for param in kind.params:
                if param.native is None:
                    continue
                assert param.native in type(model).parameter_names, (kind.adder, param.name)
                expected = getattr(element.decl, param.held_in)
                assert getattr(model, param.native) == pytest.approx(expected), param
                checked.add((kind.adder, param.name))
    table = {(k.adder, p.name) for k in KINDS for p in k.params if p.native is not None}
    assert checked == table  # every entry was held to its model


@pytest.mark.parametrize(
    "waveform",
    [
        Constant(0.5),
        PWL([(0.0, 0.0), (1.0, 2.0), (3.0, -1.0)]),
        Pulse(0.0, 1.0, delay=0.5, rise=0.2, fall=0.3, width=1.0, period=3.0),
        Sine(0.1, 1.0, 0.2, delay=0.5),
        Noise(0.3, 0.0, 0.5, seed=4),
        Rescaled(Sine(0.0, 1.0, 0.1), 2.0, 4.0),
    ],
    ids=lambda w: type(w).__name__,
)
def test_the_native_decode_reads_every_kind_as_python_evaluates_it(waveform):
    encoded = waveform_description(waveform)
    assert encoded[0] != "python"
    times = np.linspace(0.0, 5.0, 41)
    out = np.empty_like(times)
    engine_module().waveform_values(encoded, times, out)
    np.testing.assert_allclose(out, [waveform(t) for t in times], rtol=1e-12, atol=1e-12)


def test_every_waveform_kind_has_a_native_name():
    names = [kind.native for kind in WAVEFORM_KINDS.values()]
    assert len(set(names)) == len(names)


def test_a_float_time_is_seconds_on_the_si_path_and_a_slip_on_the_other():
    pc = Circuit(ic0="100uA", r0="1ohm")
    pc.resistor("R1", "a", "0", 1.0)
    pc.current_source("I1", "0", "a", 1e-4)
    t_stop = 1e-3  # seconds: far beyond the plausible number of time units
    with pytest.raises(CircuitError, match="was read as"):
        pc.simulate(t_stop=t_stop, dt=t_stop / 4)
    res = pc.simulate_seconds(t_stop=t_stop, dt=t_stop / 4)
    assert res.time("s")[-1] == pytest.approx(t_stop)
    assert res.voltage("R1", "V")[-1] == pytest.approx(1e-4)
