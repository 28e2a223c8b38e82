"""The options of simulate: every fault refused before the run with the same
exception in both engines, and the limits of a run that reaches them."""

import dataclasses
import time

import numpy as np
import pytest
from bounded import deadline

from loxant import PWL, Circuit, CircuitError
from loxant.simulation import RunOptions, native
from loxant.simulation.assembly import STATE_LOCK, System, native_modules
from loxant.simulation.engines import ENGINES
from loxant.simulation.probes import RecordPlan


def biased_junction(noise=False):
    """A junction biased above its critical current: it never stops switching,
    so an adaptive step stays short for the whole run."""
    c = Circuit("running junction", units="normalised")
    c.junction("J1", "a", "0", r=1.0, c=1.0)
    c.current_source("I1", "0", "a", PWL([(0, 0), (5, 1.5)]))
    c.temperature = 0.01 if noise else 0.0
    return c


# (options, what the message says, the option the error names, the limit); t_stop = 100
FAULTS = [
    (
        {"dt": 0.1, "record_every": 2**70},
        "record_every must be at most 2147483647",
        "record_every",
        None,
    ),
    (
        {"dt": 0.1, "record_every": 0},
        "record_every must be a positive integer",
        "record_every",
        None,
    ),
    (
        {"dt": 0.1, "max_iterations": 2**40},
        "max_iterations must be at most",
        "max_iterations",
        None,
    ),
    ({"dt": 0.1, "seed": -1}, "seed must be None or an integer >= 0", "seed", None),
    ({"dt": 0.1, "seed": "x"}, "seed must be None or an integer >= 0", "seed", None),
    ({"dt": 0.1, "seed": True}, "seed must be None or an integer >= 0", "seed", None),
    (
        {"dt": 0.1, "record_from": 200.0},
        "record_from = 200 is after t_stop = 100",
        "record_from",
        None,
    ),
    (
        {"dt": 0.1, "record_every": 2000, "record_from": 60.0},
        "nothing would be recorded",
        None,
        None,
    ),
    ({"dt": 1e-8}, "(max_steps)", "t_stop", "steps"),
    ({"dt": 0.1, "max_steps": 10}, "more than 10 (max_steps)", "t_stop", "steps"),
    ({"dt": 0.1, "max_steps": 0}, "max_steps must be a positive integer", "max_steps", None),
    ({"dt": 0.1, "print_step": 1.0}, "print_step needs an adaptive step", "print_step", None),
    (
        {"dt_max": 1.0, "print_step": 1e-9},
        "more than 256 MiB: raise print_step to at least",
        "print_step",
        "recording",
    ),
    (
        {"dt_max": 1.0, "print_step": 50.0, "record_from": 60.0},
        "exceeds the recorded span",
        "print_step",
        None,
    ),
    ({"dt_max": 1.0, "dt_min": 2.0}, "dt_min = 2 exceeds dt = 0.01", "dt_min", None),
    ({"dt": 0.0}, "dt must be positive", "dt", None),
    ({"dt": 0.1, "initial_ramp": -1.0}, "initial_ramp must not be negative", "initial_ramp", None),
    ({"dt": 0.1, "record": ["nowhere"]}, "no node or element named 'nowhere'", "record", None),
    ({"dt": 0.1, "progress": 3}, "progress must be a callable", "progress", None),
]


@pytest.mark.parametrize(("options", "named", "option", "limit"), FAULTS)
@pytest.mark.parametrize("engine", ENGINES)
def test_faulty_options_are_refused_before_the_run(options, named, option, limit, engine):
    started = time.monotonic()
    with pytest.raises(CircuitError) as info:
        biased_junction().simulate(100.0, engine=engine, **{"progress": deadline(30), **options})
    error = info.value
    assert named in str(error)
    assert (error.option, error.limit) == (option, limit)
    # a limit's statement opens the message, its advice follows
    assert limit is None or str(error).startswith(error.reached + ": ")
    assert time.monotonic() - started < 30


def test_an_unknown_engine_is_refused_naming_the_engines():
    with pytest.raises(CircuitError, match="engine must be 'native' or 'python', got 'gpu'"):
        biased_junction().simulate(10.0, 0.1, engine="gpu")


def test_an_adaptive_run_is_checked_into_one_record_then_fitted_to_its_system():
    options = RunOptions.check(100.0, rtol=1e-3)
    # dt_max t_stop / 100, the first step a hundredth of it, dt_min 1e-9 dt_max
    assert (options.adaptive, options.dt_max, options.dt) == (True, 1.0, 0.01)
    assert options.dt_min == pytest.approx(1e-9)
    with pytest.raises(dataclasses.FrozenInstanceError):
        options.dt = 1.0
    quiet = options.for_system(System(biased_junction()))
    assert quiet.breakpoints == (5.0,) and quiet.noise_step == 0.0 and quiet.dt_max == 1.0
    # noise without a bandwidth is held over dt_max; a step takes a third of it
    noisy = options.for_system(System(biased_junction(noise=True)))
    assert noisy.noise_step == 1.0 and noisy.dt_max == pytest.approx(1 / 3)


def test_seed_is_checked_with_and_without_noise():
    for noise in (False, True):
        with pytest.raises(CircuitError, match="seed"):
            biased_junction(noise).simulate(10.0, 0.1, seed=1.5)


def test_physical_print_step_is_a_time_like_t_stop():
    pc = Circuit(ic0="100uA", r0="1ohm")
    pc.resistor("R1", "a", "0", "1ohm")
    pc.capacitor("C1", "a", "0", "1pF")
    pc.current_source("I1", "0", "a", [("0ps", 0), ("5ps", "50uA")])
    for print_step in ("2.5ps", 2.5e-12):  # a bare number is seconds, as for t_stop
        res = pc.simulate("50ps", dt_max="1ps", print_step=print_step)
        np.testing.assert_allclose(res.time("ps"), np.arange(21) * 2.5, atol=1e-9)
    with pytest.raises(CircuitError, match="raise print_step"):
        pc.simulate("50ps", dt_max="1ps", print_step="3e-25")


def test_record_every_beyond_32_bits_is_one_error_in_both_engines():
    errors = []
    for engine in ENGINES:
        with pytest.raises(CircuitError) as info:
            biased_junction().simulate(10.0, 0.1, record_every=2**70, engine=engine)
        errors.append(str(info.value))
    assert errors[0] == errors[1]


# runs whose generated engine options differ: fixed, adaptive with noise, settled
RUN_KINDS = [
    ((10.0, 0.1), {}),
    ((10.0,), {"rtol": 1e-3, "max_steps": 10**6}),
    ((10.0, 0.1), {"settle_steps": 5, "progress": print}),
]


@pytest.mark.parametrize(("args", "given"), RUN_KINDS)
def test_the_engine_takes_every_option_run_options_generates(args, given):
    module = native.engine_module()
    required, optional = set(module.REQUIRED_OPTIONS), set(module.OPTIONAL_OPTIONS)
    names = {field.metadata["native"] for field in dataclasses.fields(RunOptions)} - {None}
    assert names <= required | optional
    system = System(biased_junction(noise=True))
    options = RunOptions.check(*args, **given).for_system(system)
    generated = native.engine_options(options, system)
    assert required <= set(generated) <= required | optional
    kernel, _ = native_modules()
    with STATE_LOCK:  # and the engine reads them all without complaint
        engine = native.setup(system, kernel, RecordPlan(system, None), options)
    assert engine.recorded == 0


def test_the_outcomes_are_the_engines():
    module = native.engine_module()
    assert {o.name: int(o) for o in native.Outcome} == {
        name: getattr(module, name) for name in native.Outcome.__members__
    }
