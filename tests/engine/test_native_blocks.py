"""The native engine driving blocks of linear elements in place of the single
models they stand for: with the elements in the same order, the same
trajectory to the last bit where every model's currents are summed by its own
operations, and the same to the iteration's tolerance where the single models'
currents go through the engine's flat pass over linear branches."""

import numpy as np
import pytest

import loxant.CircuitKernel as ck
import loxant.simulation.native as native
from loxant import PWL, Circuit

STRICT = {"abstol": 1e-12, "reltol": 1e-12}
# single model class -> (block class, how the block's parameter is read back)
KINDS = {
    ck.ResistorModel: (ck.ResistorBlock, "resistance"),
    ck.InductorModel: (ck.InductorBlock, "inv_inductance"),
    ck.CapacitorModel: (ck.CapacitorBlock, "capacitance"),
}
POSITIONS = ("ind_ii", "ind_ij", "ind_ji", "ind_jj")


def shunted_line(n=5):
    """A pulse down a line of junctions, each shunted by R and C, coupled by
    inductors (of exact reciprocals, so that a block given L stores the very
    1/L of the single model), with a series RC load at the end."""
    c = Circuit("shunted line", units="normalised")
    c.phase_source("P", "in", "0", PWL([(0, 0), (5, 0), (7, 2 * np.pi)]))
    c.inductor("Lin", "in", "n1", 0.5)
    for k in range(1, n + 1):
        c.junction(f"J{k}", f"n{k}", "0", ic=1.0, r=4.0, c=0.25)
        c.resistor(f"R{k}", f"n{k}", "0", 1.5 + 0.1 * k)
        c.capacitor(f"C{k}", f"n{k}", "0", 0.3 + 0.05 * k)
        c.current_source(f"I{k}", "0", f"n{k}", 0.7)
        if k < n:
            c.inductor(f"L{k}", f"n{k}", f"n{k + 1}", 0.25 * 2 ** (k % 3))
    c.resistor("Rload", f"n{n}", "out", 2.0)
    c.capacitor("Cload", "out", "0", 0.8)
    return c


def block_of(singles):
    block_class, parameter = KINDS[type(singles[0])]
    block = block_class(
        *(np.array([getattr(m, name) for m in singles], np.int32) for name in ("i", "j", "eindex"))
    )
    block.InitModel(np.array([getattr(m, p) for m in singles for p in POSITIONS], np.int32))
    values = np.array([getattr(m, parameter) for m in singles])
    block.SetParameters(1.0 / values if block_class is ck.InductorBlock else values)
    assert bytes(getattr(block, parameter)) == values.tobytes()
    return block


class RegroupingEngines:
    """The engine module, whose Engine first groups the linear models by kind
    (one block per kind when `blocks`) ahead of the others, keeping every
    source pointed at its model; `chord` False turns off the kept matrix."""

    def __init__(self, blocks, chord):
        self.module, self.blocks, self.chord = native.engine_module(), blocks, chord

    def __getattr__(self, name):
        return getattr(self.module, name)

    def Engine(self, models, Ap, Ai, A0, arrays, sources, channels, turns, options):
        groups = {kind: [k for k, m in enumerate(models) if type(m) is kind] for kind in KINDS}
        rest = [k for k, m in enumerate(models) if type(m) not in KINDS]
        order = [k for kind in KINDS for k in groups[kind]] + rest
        if self.blocks:
            grouped = [block_of([models[k] for k in groups[kind]]) for kind in KINDS]
            grouped += [models[k] for k in rest]
            moved = {k: len(KINDS) + n for n, k in enumerate(rest)}
        else:
            grouped = [models[k] for k in order]
            moved = {k: n for n, k in enumerate(order)}
        sources = [(moved[k], sign, waveform) for k, sign, waveform in sources]
        options = dict(options, modified_newton=self.chord)
        return self.module.Engine(grouped, Ap, Ai, A0, arrays, sources, channels, turns, options)


def run(monkeypatch, blocks, chord, record):
    engines = RegroupingEngines(blocks, chord)
    monkeypatch.setattr(native, "engine_module", lambda: engines)
    return shunted_line().simulate(40.0, 0.05, engine="native", record=record, **STRICT)


TABLES = ("node_phases", "node_voltages", "currents", "phases", "voltages", "turns")


@pytest.mark.parametrize("record", [None, ["R3", "C5", "Lin", "J2", "phase(n4)"]])
@pytest.mark.parametrize("chord", [False, True])
def test_blocks_run_as_the_single_models_they_stand_for(monkeypatch, chord, record):
    singles = run(monkeypatch, blocks=False, chord=chord, record=record)
    blocks = run(monkeypatch, blocks=True, chord=chord, record=record)
    assert singles.turn_count("J2")[-1] == 1  # the pulse went by
    assert np.abs(singles.current("R3")).max() > 0.1
    for table in TABLES:
        want, got = getattr(singles, table), getattr(blocks, table)
        if chord:
            np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-9)
        else:
            assert got.tobytes() == want.tobytes()


def test_the_engine_refuses_a_block_beyond_its_system(monkeypatch):
    class Stretched(RegroupingEngines):
        def Engine(self, models, Ap, Ai, A0, *rest):
            resistors = [m for m in models if type(m) is ck.ResistorModel]
            block = block_of(resistors)
            block.InitModel(np.full(4 * len(block), len(A0), np.int32))
            return self.module.Engine([block, *models], Ap, Ai, A0, *rest)

    engines = Stretched(blocks=True, chord=True)
    monkeypatch.setattr(native, "engine_module", lambda: engines)
    with pytest.raises(ValueError, match=r"models\[0\] uses unknown \d+ and position \d+, beyond"):
        shunted_line().simulate(1.0, 0.05, engine="native")
