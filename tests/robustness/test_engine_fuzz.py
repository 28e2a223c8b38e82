"""Bad arguments to loxant.NativeEngine never crash: every call either works or
raises an ordinary Python exception, and a valid run afterwards still works."""

import array

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant import PWL, Circuit
from loxant.simulation import native
from loxant.simulation.assembly import STATE_LOCK, System, native_modules
from loxant.simulation.native import engine_module, waveform_description
from loxant.simulation.options import RunOptions
from loxant.simulation.probes import RecordPlan, grow

Engine = engine_module().Engine
waveform_values = engine_module().waveform_values

FUZZ = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
ARG_NAMES = [
    "models",
    "Ap",
    "Ai",
    "A0",
    "arrays",
    "sources",
    "channels",
    "turn_channels",
    "options",
]


def circuit():
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.inductor("L1", "a", "b", 2.0)
    c.junction("J2", "b", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I1", "0", "a", PWL([(0, 0), (5, 1.2)]))
    c.phase_source("P1", "b", "c", 0.2)
    c.resistor("R1", "c", "0", 1.0)
    return c


def valid_args(t_stop=2.0):
    """Keyword arguments of a working Engine, from the package's own set-up."""
    kernel, _ = native_modules()
    system = System(circuit())
    plan = RecordPlan(system, None)
    run_options = RunOptions.check(t_stop, 0.1).for_system(system)
    with STATE_LOCK:
        engine = native.setup(system, kernel, plan, run_options)
    options = native.engine_options(run_options, system)
    from loxant import lxglobals

    A0 = np.zeros(system.nnz)
    kernel.BuildStaticMatrix(A0)
    arrays = tuple(
        getattr(lxglobals, name)
        for name in (
            "NodePhase",
            "NodeVoltage",
            "NodeDVoltage",
            "ElementPhase",
            "ElementVoltage",
            "ElementCurrent",
            "ElementN",
        )
    )
    sources = [(e.index, 1.0, waveform_description(e.decl.waveform)) for e in system.sources]
    args = dict(
        models=[e.model for e in system.elements],
        Ap=system.Ap,
        Ai=system.Ai,
        A0=A0,
        arrays=arrays,
        sources=sources,
        channels=plan.channels,
        turn_channels=plan.turn_channels,
        options=options,
    )
    return args, plan, engine


def run_to_end(engine, plan, rows=64):
    tables = plan.allocate(rows)
    while True:
        code = engine.run(*tables)
        if code != 1:
            return code, tables
        tables = grow(tables, engine.recorded)


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except SystemError:  # pragma: no cover - the failure this test looks for
        raise
    except Exception:
        pass


def still_works():
    args, plan, engine = valid_args()
    code, tables = run_to_end(engine, plan)
    assert code == 0 and engine.recorded == 21
    assert np.isfinite(tables[1][: engine.recorded]).all()


JUNK = [
    None,
    0,
    -1,
    2**40,
    1.5,
    "x",
    [],
    (),
    {},
    [None],
    array.array("i", [0]),
    array.array("d", [0.0, 1.0]),
    np.zeros(3),
    np.zeros((2, 2)),
    np.zeros(3, np.float32),
    np.zeros(5, np.int32),
    object(),
]


@FUZZ
@given(st.data())
def test_engine_refuses_junk_arguments(data):
    args, _, _ = valid_args()
    for name in data.draw(st.lists(st.sampled_from(ARG_NAMES), min_size=1, max_size=3)):
        args[name] = data.draw(st.sampled_from(JUNK))
    attempt(Engine, **args)
    still_works()


def perturbed(args, data):
    """A copy of args with one part made subtly wrong."""
    args = dict(args)
    kind = data.draw(
        st.sampled_from(
            [
                "model",
                "pattern",
                "a0",
                "array",
                "source",
                "channel",
                "turn",
                "option",
                "adaptive",
                "waveform",
            ]
        )
    )
    if kind == "model":
        models = list(args["models"])
        models[data.draw(st.integers(0, len(models) - 1))] = data.draw(
            st.sampled_from([object(), 1.0, type(models[0])(0, 1, 0)])
        )
        args["models"] = models
    elif kind == "pattern":
        ap = array.array("i", args["Ap"])
        ai = array.array("i", args["Ai"])
        target = data.draw(st.sampled_from([ap, ai]))
        target[data.draw(st.integers(0, len(target) - 1))] = data.draw(
            st.integers(-(2**31), 2**31 - 1)
        )
        args["Ap"], args["Ai"] = ap, ai
    elif kind == "a0":
        args["A0"] = np.zeros(data.draw(st.integers(0, len(args["A0"]) - 1)))
    elif kind == "array":
        arrays = list(args["arrays"])
        k = data.draw(st.integers(0, 6))
        arrays[k] = data.draw(
            st.sampled_from(
                [np.zeros(1), np.zeros(100), np.zeros(3, np.int64), np.zeros(50, np.int32)]
            )
        )
        args["arrays"] = tuple(arrays)
    elif kind == "source":
        args["sources"] = [(data.draw(st.integers(-3, 20)), 1.0, ("constant", 1.0))]
    elif kind == "channel":
        args["channels"] = [(data.draw(st.integers(-2, 7)), data.draw(st.integers(-2, 40)), 1.0)]
    elif kind == "turn":
        args["turn_channels"] = [data.draw(st.integers(-5, 40))]
    elif kind == "option":
        options = dict(args["options"])
        # the optional flags too: "trapezoidal" here also meets the phase source
        key = data.draw(st.sampled_from(sorted(options) + ["bogus", "trapezoidal", "voltage_free"]))
        value = data.draw(st.sampled_from([None, -1, 0, 0.0, float("nan"), "x", 10**30, 1e-300]))
        if data.draw(st.booleans()):
            options.pop(key, None)
        else:
            options[key] = value
        args["options"] = options
    elif kind == "adaptive":
        options = dict(args["options"], adaptive=True, lte_rtol=1e-3, lte_atol=1e-3)
        options.update(dt_max=0.5, breakpoints=[0.35, 1.2])
        key = data.draw(st.sampled_from(["lte_rtol", "lte_atol", "dt_max", "breakpoints", "dt"]))
        options[key] = data.draw(
            st.sampled_from(
                [None, -1, 0.0, float("nan"), "x", 1e-300, 1e30, [float("inf")], ["x"], [], 5]
            )
        )
        args["options"] = options
    else:
        args["sources"] = [(3, 1.0, data.draw(waveform_descriptions))]
    return args


numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), st.integers(-5, 5), st.just("x"), st.none()
)
waveform_descriptions = st.recursive(
    st.one_of(
        st.tuples(st.sampled_from(["constant", "pwl", "pulse", "sine", "python", "nope"])),
        st.tuples(st.just("constant"), numbers),
        st.tuples(st.just("pwl"), st.lists(numbers, max_size=4), st.lists(numbers, max_size=4)),
        st.tuples(st.just("pulse"), *[numbers] * 7),
        st.tuples(st.just("sine"), *[numbers] * 5),
        st.tuples(st.just("python"), st.sampled_from([abs, 1, None, lambda t: "no"])),
        numbers,
    ),
    lambda inner: st.tuples(st.just("scaled"), inner, numbers, numbers),
    max_leaves=12,
)


@FUZZ
@given(st.data())
def test_engine_refuses_subtly_wrong_set_ups(data):
    args, plan, _ = valid_args()
    bad = perturbed(args, data)
    try:
        engine = Engine(**bad)
    except SystemError:  # pragma: no cover
        raise
    except Exception:
        engine = None
    if engine is not None:
        attempt(run_to_end, engine, plan)
    still_works()


@FUZZ
@given(waveform_descriptions, st.lists(st.floats(allow_nan=False), max_size=5))
def test_waveform_values_refuses_bad_descriptions(desc, times):
    out = np.zeros(len(times))
    attempt(waveform_values, desc, np.array(times), out)


@pytest.mark.parametrize(
    "tables",
    [
        lambda p: (
            np.zeros(0),
            np.zeros((0, len(p.channels))),
            np.zeros((0, len(p.turn_channels)), np.int32),
        ),
        lambda p: (
            np.zeros(8),
            np.zeros((8, len(p.channels) + 1)),
            np.zeros((8, len(p.turn_channels)), np.int32),
        ),
        lambda p: (
            np.zeros(8),
            np.zeros((8, len(p.channels))),
            np.zeros((8, len(p.turn_channels))),
        ),
        lambda p: (
            np.zeros(16)[::2],
            np.zeros((8, len(p.channels))),
            np.zeros((8, len(p.turn_channels)), np.int32),
        ),
        lambda p: (
            np.zeros(8),
            np.zeros((len(p.channels), 8)).T,
            np.zeros((8, len(p.turn_channels)), np.int32),
        ),
        lambda p: (None, None, None),
    ],
)
def test_run_refuses_bad_tables(tables):
    _, plan, engine = valid_args()
    with pytest.raises((TypeError, ValueError)):
        engine.run(*tables(plan))
    assert run_to_end(engine, plan)[0] == 0


def test_tables_smaller_than_what_is_recorded_are_refused():
    _, plan, engine = valid_args(t_stop=10.0)
    tables = plan.allocate(4)
    assert engine.run(*tables) == 1
    with pytest.raises(ValueError, match="rows"):
        engine.run(*plan.allocate(2))
    assert run_to_end(engine, plan)[0] == 0


def test_an_engine_is_used_once_at_a_time_and_not_after_an_error():
    args, plan, engine = valid_args()
    twin = Engine(**args)  # the same models

    def reenter(t):
        twin_code = None
        try:
            twin.run(*plan.allocate(64))
        except RuntimeError as exc:
            twin_code = str(exc)
        assert "another running engine" in twin_code
        raise RuntimeError("stop here")

    args["sources"] = [(3, 1.0, ("python", reenter))]
    caller = Engine(**args)
    with pytest.raises(RuntimeError, match="stop here"):
        caller.run(*plan.allocate(64))
    with pytest.raises(RuntimeError, match="stopped after an error"):
        caller.run(*plan.allocate(64))
    assert run_to_end(twin, plan)[0] == 0  # the models were released

    blank = Engine.__new__(Engine)
    with pytest.raises(RuntimeError, match="not initialised"):
        blank.run(*plan.allocate(4))
    with pytest.raises(RuntimeError, match="not initialised"):
        blank.stats  # noqa: B018


def test_engines_release_what_they_hold():
    import gc
    import sys

    args, plan, first = valid_args()
    watched = [args["models"][0], args["arrays"][0], args["A0"], args["Ap"]]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(20):
        engine = Engine(**args)
        run_to_end(engine, plan)
        attempt(Engine, **dict(args, channels=[(9, 0, 1.0)]))  # fails half-way through set-up
        del engine
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
    del first  # the engine of valid_args, which holds one of each
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == [n - 1 for n in before[:2]] + before[2:]


def test_a_model_changed_from_a_waveform_during_the_run_stops_it():
    """InitModel from Python code inside the loop may point a model beyond the
    engine's arrays: the run checks the models again and stops."""
    c = circuit()
    moved = []

    def meddle(t):
        if t > 0.5 and not moved:
            from loxant import lxglobals

            model = lxglobals.ElementList[0].model  # J1
            model.InitModel(10**6, 0, 0, 10**6)
            moved.append(t)
        return 0.3

    c.current_source("Im", "0", "a", meddle)
    with pytest.raises(ValueError, match=r"models\[0\] uses unknown"):
        c.simulate(2.0, 0.1)
    assert moved
    assert len(c.simulate(0.3, 0.1)) == 4
