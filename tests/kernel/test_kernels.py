"""The six kernels: what they read, what they stamp, when they refuse."""

import gc
import math
import weakref

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Element, Harness
from loxant import SimulationParameters as SP
from loxant import lxglobals


def junction(h, i, j, eindex=0, params=(1.0, 2.0, 0.5)):
    model = ck.JunctionModel(i, j, eindex)
    model.SetParameters(list(params))
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    return model


def source(h, i, j, value, eindex=1):
    model = ck.CurrentSourceModel(i, j, eindex)
    model.SetParameters([value])
    model.InitModel(0, 0, 0, 0)
    return model


def test_empty_circuit_touches_nothing():
    h = Harness(3)
    lxglobals.TotalNodes = 5
    ck.NTHREADS = 2
    h.add.__self__.elements = []
    lxglobals.ElementList, lxglobals.SourceElementList = [], []
    lxglobals.TotalElements = lxglobals.TotalSourceElements = 0
    ck.InitElementModels()
    assert ck.RHSHelper.shape == (2, 5) and ck.RHSHelper.dtype == np.float64
    a = np.full(9, 7.0)
    b = np.full(3, 7.0)
    ck.BuildStaticMatrix(a)
    ck.BuildMatrix(a, a, b)
    ck.UpdateMatrix(a, b)
    ck.UpdateRHS(b)
    ck.UpdateValues()
    assert (a == 7.0).all() and (b == 7.0).all()


@pytest.mark.parametrize(
    "optimize, time, refreshed",
    [(0, 5.0, "all"), (1, 1.0, "all"), (1, 1.0 + 1e-9, "sources"), (1, 0.5, "all")],
)
def test_static_matrix_refreshes_the_chosen_elements(optimize, time, refreshed):
    h = Harness(2)
    passive = h.add(junction(h, 1, 0), params=[1.0, 1.0, 1.0])
    active = h.add(source(h, 1, 0, 1.0), params=[2.0], source=True)
    lxglobals.OptimizeSimulation, lxglobals.CurrentTime, SP.INITIAL_RAMP = optimize, time, 1.0
    a0 = h.static_matrix()
    assert not a0.any()  # neither class has time-invariant terms
    assert active.updates == 1
    assert passive.updates == (1 if refreshed == "all" else 0)


def test_failing_update_parameters_leaves_a0_untouched():
    h = Harness(2)

    class Broken(Element):
        def UpdateParameters(self):
            raise RuntimeError("no parameters")

    h.add(junction(h, 1, 0))
    lxglobals.ElementList.append(Broken(ck.ElementModel()))
    a0 = np.zeros(4)
    with pytest.raises(RuntimeError, match="no parameters"):
        ck.BuildStaticMatrix(a0)
    assert not a0.any()


def two_node_circuit():
    """J1 node 1 -> ground, J2 node 1 -> node 2, bias into node 2."""
    h = Harness(2)
    h.add(junction(h, 1, 0, 0, (2.0, 4.0, 0.5)))
    h.add(junction(h, 1, 2, 1, (1.0, 2.0, 0.25)))
    h.add(source(h, 2, 0, 0.75, 2), source=True)
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.InitialSmoothFactor = [10.0], [100.0], 0.5
    return h


def expected_two_node(phases, volts, dvolts):
    g1 = 10.0 / 4.0 + 0.5 * 100.0
    g2 = 10.0 / 2.0 + 0.25 * 100.0
    a1 = np.array([[g1 + g2, -g2], [-g2, g2]])
    c1, c2 = 2.0 * math.cos(phases[0]), math.cos(phases[0] - phases[1])
    a2 = np.array([[c1 + c2, -c2], [-c2, c2]])
    i1 = 2.0 * math.sin(phases[0]) + volts[0] / 4.0 + 0.5 * dvolts[0]
    d = phases[0] - phases[1]
    i2 = math.sin(d) + (volts[0] - volts[1]) / 2.0 + 0.25 * (dvolts[0] - dvolts[1])
    b = np.array([-i1 - i2, i2 + 0.75 * 0.5])
    return a1, a2, b


def test_build_and_update_matrix_of_a_small_circuit():
    h = two_node_circuit()
    state = dict(phases=[0.3, -1.1], voltages=[0.2, 0.05], dvoltages=[-0.4, 0.6])
    h.set_state(**state)
    a1, a2, b = h.build()
    want = expected_two_node(*state.values())
    np.testing.assert_allclose(a1, want[0], rtol=1e-15)
    np.testing.assert_allclose(a2, want[1], rtol=1e-15)
    np.testing.assert_allclose(b, want[2], rtol=1e-15)
    np.testing.assert_allclose(h.rhs(), want[2], rtol=1e-15)
    a2_twice, b_twice = np.zeros(4), np.zeros(2)
    ck.UpdateMatrix(A2=a2_twice, B=b_twice)
    ck.UpdateMatrix(a2_twice, b_twice)
    np.testing.assert_allclose(a2_twice.reshape(2, 2), 2 * want[1], rtol=1e-15)
    np.testing.assert_allclose(b_twice, 2 * want[2], rtol=1e-15)


def test_the_matrix_is_the_jacobian_of_the_right_hand_side():
    """With DX and DDX linear in the phases, -dB/dX must equal A1 + A2."""
    h = two_node_circuit()
    base = np.array([0.7, -0.4])

    def residual(phases):
        h.set_state(phases=phases, voltages=10.0 * phases, dvoltages=100.0 * phases)
        return h.rhs()

    h.set_state(phases=base, voltages=10.0 * base, dvoltages=100.0 * base)
    a1, a2, _ = h.build()
    step = 1e-6
    jacobian = np.column_stack(
        [-(residual(base + step * e) - residual(base - step * e)) / (2 * step) for e in np.eye(2)]
    )
    np.testing.assert_allclose(jacobian, a1 + a2, rtol=1e-7)


def test_strided_right_hand_side_and_value_arrays():
    h = two_node_circuit()
    h.set_state(phases=[0.3, -1.1])
    a1, a2, b = h.build()
    wide_a, wide_b = np.zeros((4, 3)), np.zeros(6)
    ck.BuildMatrix(wide_a[:, 0], wide_a[:, 1], wide_b[::3])
    np.testing.assert_array_equal(wide_a[:, 0], a1.ravel())
    np.testing.assert_array_equal(wide_a[:, 1], a2.ravel())
    np.testing.assert_array_equal(wide_b[::3], b)
    assert not wide_a[:, 2].any() and not np.delete(wide_b, [0, 3]).any()


def test_xind_zero_reads_the_last_row_as_previous():
    h = two_node_circuit()
    SP.Xind = 0
    SP.X[0][:] = [0.3, -1.1]
    _, _, b = h.build()
    np.testing.assert_allclose(b, expected_two_node([0.3, -1.1], [0, 0], [0, 0])[2])
    SP.X[-1] = None
    with pytest.raises(TypeError, match="Cannot convert NoneType"):
        h.build()


def test_smooth_factor_zero_removes_sources():
    h = two_node_circuit()
    SP.InitialSmoothFactor = 0.0
    assert not h.rhs().any()


def test_out_of_range_indices_are_refused_before_stamping():
    h = Harness(3)
    h.add(junction(h, 1, 0))
    far = ck.JunctionModel(3, 0, 1)
    far.InitModel(8, 0, 0, 0)
    h.add(far)
    lxglobals.TotalElements = 2
    b = np.zeros(2)
    with pytest.raises(
        IndexError, match="JunctionModel at element 1 uses unknown 3 but the arrays hold 2"
    ):
        ck.UpdateMatrix(np.zeros(9), b)
    with pytest.raises(
        IndexError, match="JunctionModel at element 1 stamps position 8 but the value arrays hold 8"
    ):
        ck.BuildMatrix(np.zeros(8), np.zeros(9), np.zeros(3))
    assert not b.any()
    lxglobals.TotalElements = 3
    with pytest.raises(IndexError, match="TotalElements is 3 but InitElementModels"):
        ck.UpdateRHS(np.zeros(3))


def test_values_refuses_unbound_and_outgrown_models():
    h = Harness(2)
    unbound = ck.JunctionModel(1, 0, 0)
    h.add(unbound)
    with pytest.raises(RuntimeError, match="no arrays bound"):
        ck.UpdateValues()
    unbound.InitModel(0, 0, 0, 0)
    unbound.__init__(2, 1, 9)  # numbers now beyond the arrays it bound
    with pytest.raises(IndexError, match="no longer fits"):
        ck.UpdateValues()


@pytest.mark.parametrize("i, j, eindex", [(3, 0, 0), (0, 1, 4), (-1, 1, 0), (1, 0, -2)])
def test_init_model_refuses_numbers_outside_the_arrays(i, j, eindex):
    Harness(2)
    with pytest.raises(IndexError):
        ck.JunctionModel(i, j, eindex).InitModel(0, 0, 0, 0)


def test_table_and_bindings_keep_their_objects_alive():
    class Tracked(ck.JunctionModel):  # a subclass can be weakly referenced
        pass

    h = Harness(2)
    model = Tracked(1, 0, 0)
    model.SetParameters([1.0, 2.0, 0.5])
    model.InitModel(*h.positions((1, 1), (1, 0), (0, 1), (0, 0)))
    h.add(model)
    model_ref = weakref.ref(model)
    currents = weakref.ref(lxglobals.ElementCurrent)
    del model
    h.elements.clear()
    lxglobals.ElementList = []
    lxglobals.ElementCurrent = np.zeros(4)
    gc.collect()
    assert model_ref() is not None and currents() is not None
    h.set_nodes(phases=[0.5, 0.0])
    ck.UpdateValues()  # writes into the array it bound, which is still alive
    assert currents()[0] == pytest.approx(math.sin(0.5))


def test_models_bound_to_one_array_set_each_keep_it_when_another_rebinds():
    h = Harness(2)
    first, second = junction(h, 1, 0, 0), junction(h, 1, 0, 1)
    h.add(first)
    h.add(second)
    old = lxglobals.ElementCurrent
    lxglobals.ElementCurrent = np.zeros(4)
    first.InitModel(*h.positions((1, 1), (1, 0), (0, 1), (0, 0)))
    third = junction(h, 1, 0, 2)  # binds the new array set, as first now does
    h.add(third)
    h.set_nodes(phases=[0.5, 0.0])
    ck.UpdateValues()
    new, expected = lxglobals.ElementCurrent, math.sin(0.5)
    assert (new[0], new[1], new[2]) == pytest.approx((expected, 0.0, expected))
    assert (old[0], old[1], old[2]) == pytest.approx((0.0, expected, 0.0))
    old_ref = weakref.ref(old)
    del old
    h.elements.pop(1)
    lxglobals.ElementList = list(h.elements)
    lxglobals.TotalElements = len(h.elements)
    ck.InitElementModels()
    del second
    gc.collect()
    assert old_ref() is None  # its last model gone, the array goes


def test_init_element_models_checks_counts_and_models():
    h = Harness(2)
    h.add(junction(h, 1, 0))
    lxglobals.TotalElements = 2
    with pytest.raises(IndexError):
        ck.InitElementModels()
    lxglobals.TotalElements = 1
    lxglobals.ElementList = [Element(42)]
    with pytest.raises(
        TypeError, match=r"ElementList\[0\].model is not an element model \(got int\)"
    ):
        ck.InitElementModels()


def test_python_subclass_keeps_native_operations():
    class Labelled(ck.JunctionModel):
        def __init__(self, *args):
            super().__init__(*args)
            self.label = "J1"

    h = two_node_circuit()
    h.set_state(phases=[0.3, -1.1])
    native = h.build()
    replaced = Labelled(1, 0, 0)
    replaced.SetParameters([2.0, 4.0, 0.5])
    replaced.InitModel(*h.positions((1, 1), (1, 0), (0, 1), (0, 0)))
    h.elements[0].model = replaced
    lxglobals.ElementList = list(h.elements)
    ck.InitElementModels()
    for got, want in zip(h.build(), native):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "hysteresis, phases, counts, incs, decs",
    [
        (0.1, [3.0, 3.2, 3.12, 3.05], [0, 1, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]),
        (0.1, [-6.3, -3.0, -3.3], [-1, 0, -1], [0, 1, 0], [1, 0, 1]),
        (0.1, [0.0, 20.0, 20.0, -20.0], [0, 3, 3, -3], [0, 1, 0, 0], [0, 0, 0, 1]),
        (2 * math.pi, [0.0, 7.0, -13.0], [0, 0, 0], [0, 0, 0], [0, 0, 0]),
        (0.0, [math.pi, 3.2, math.pi], [0, 1, 1], [0, 1, 0], [0, 0, 0]),
    ],
)
def test_turn_counting_through_update_values(hysteresis, phases, counts, incs, decs):
    h = Harness(1)
    h.add(junction(h, 1, 0))
    SP.PHASE_HISTERESIS = hysteresis
    seen = []
    for phase in phases:
        h.set_nodes(phases=[phase])
        _, _, _, n, inc, dec = h.values()
        seen.append((n, inc, dec))
    assert seen == list(zip(counts, incs, decs))


def test_failed_init_element_models_keeps_both_tables():
    """The tables own their models: a model only a table holds stays alive
    exactly as long as its table is installed."""

    class Tracked(ck.CurrentSourceModel):
        pass

    h = Harness(2)
    old_source = Tracked(1, 0, 0)
    h.add(old_source, source=True)
    kept = weakref.ref(old_source)
    new_source = Tracked(1, 0, 0)
    fresh = weakref.ref(new_source)
    lxglobals.SourceElementList = [Element(new_source)]  # collects fine
    lxglobals.ElementList = [Element(42)]  # then the element table fails
    h.elements.clear()
    del old_source, new_source
    with pytest.raises(TypeError, match="is not an element model"):
        ck.InitElementModels()
    lxglobals.SourceElementList = lxglobals.ElementList = []
    gc.collect()
    assert kept() is not None  # still in the source table kept
    assert fresh() is None  # the new source table was never installed
    lxglobals.TotalElements = lxglobals.TotalSourceElements = 0
    ck.InitElementModels()
    gc.collect()
    assert kept() is None


def linear(h, cls, i, j, value, eindex=0):
    model = getattr(ck, cls)(i, j, eindex)
    model.SetParameters([value])
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    return model


def test_each_value_array_is_checked_against_the_positions_it_receives():
    h = Harness(2)
    h.add(linear(h, "ResistorModel", 1, 2, 2.0))  # A1 only
    h.add(linear(h, "InductorModel", 1, 0, 0.5, eindex=1))  # A0 only
    a1, b = np.zeros(h.nnz), np.zeros(h.n)
    ck.BuildMatrix(a1, np.zeros(0), b)  # nothing stamps A2: an empty one will do
    ck.UpdateMatrix(np.zeros(0), np.zeros(h.n))
    assert a1[h.pos(1, 2)] == -SP.InterpCoeffDt[0] / 2.0
    a0 = np.zeros(1)  # the inductor stamps position 0 only
    ck.BuildStaticMatrix(a0)
    assert a0[0] == 2.0
    with pytest.raises(
        IndexError, match="stamps position 3 but the value arrays hold 3 entries in A1"
    ):
        ck.BuildMatrix(np.zeros(3), np.zeros(0), b)
    h.add(junction(h, 2, 0, eindex=2))  # stamps A1 and A2 at position 3
    with pytest.raises(
        IndexError, match="stamps position 3 but the value arrays hold 0 entries in A2"
    ):
        ck.BuildMatrix(np.zeros(h.nnz), np.zeros(0), b)
    with pytest.raises(IndexError, match="in A2"):
        ck.UpdateMatrix(np.zeros(3), b)


@pytest.mark.parametrize(
    "cls, node_array", [("InductorModel", "NodePhase"), ("CapacitorModel", "NodeDVoltage")]
)
@pytest.mark.parametrize("value", [0.0, -0.0, 1.25, -3.5])
def test_grounded_first_terminal_current_is_the_negated_product(cls, node_array, value):
    """For i = 0 the current is -(u_j x) with x = 1/L or C: -0.0 where u_j is
    0.0, which (0 - u_j) x would give as +0.0; for j = 0 it is u_i x."""
    h = Harness(1)
    h.add(linear(h, cls, 0, 1, 2.0))
    h.add(linear(h, cls, 1, 0, 2.0, eindex=1))
    getattr(lxglobals, node_array)[0] = value
    ck.UpdateValues()
    x = 0.5 if cls == "InductorModel" else 2.0
    first, second = lxglobals.ElementCurrent[:2]
    want_first, want_second = -(value * x), value * x
    assert (first, np.signbit(first)) == (want_first, np.signbit(want_first))
    assert (second, np.signbit(second)) == (want_second, np.signbit(want_second))
