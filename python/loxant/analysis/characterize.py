"""Timing characterization of a cell: its state machine, delays and constraints.

:func:`characterize` builds a bench around a ``.subckt`` of a netlist (see
:mod:`loxant.analysis.harness`: sources into the inputs, loads on the outputs,
lines where the cell's ports meet lines) and:

* **learns the cell's state machine** (:mod:`.fsm`) at the first load and
  nominal bias, from sequences of pulses sent well apart from rest;
  states are ``internal_state_N``, 0 at rest;
* measures the **delay** of every pulse that gives outputs, per state, from
  the input port node's phase passing an odd multiple of pi to the output port
  node's (the switching-time measure of :mod:`.events`, applied to node
  phases), over the loads (parallel loads on each output) and the biases (the
  cell's own bias sources scaled; the bench's too with ``scale_bench``).  A
  corner (load, bias) at which the cell does not follow its machine is
  reported and left out;
* searches, at the first load and nominal bias, for every state ``s`` and
  ordered pair of inputs ``x`` then ``y`` legal there (``x`` twice
  included), the smallest separation at which the cell still follows its
  machine: its outputs per group of close pulses, each input port node turning
  once per pulse, and the state it ends in, checked by a short sequence of
  pulses after the pair.  Bisection from ``window`` (passing) down to 0 (the
  pulses together), to ``resolution``; the value given is the separation of
  the two port nodes' crossings in the passing run at the bracket's edge.
  Public libraries write it ``(HOLD y (COND s (posedge x)) value)``.
"""

import math
import os
import time
from dataclasses import dataclass

from ..errors import AnalysisError
from ..units import to_si
from ..waveforms import PWL
from .bench_records import bench_netlist
from .constraints import search_constraints
from .design import Design, is_bias
from .display import CharacterizationDisplay
from .fsm import learn
from .harness import (
    Bench,
    cell_source,
    parked_time,
    port_node,
    pulse_parameter,
    pulse_points,
    pulse_source,
)
from .liberty import write_liberty
from .responses import PortTimes, Response, Scenario, matches, response_of, spaced_outputs
from .runner import ListPlan, Run, Runner
from .sdf import write_sdf
from .user_bench import UserBench

__all__ = ["Characterization", "characterize"]

#: finest bisection resolution: below it the time step, not the cell, decides
MIN_RESOLUTION = 1e-15
#: most loads on an output, most loads or biases in one characterization
MAX_LOAD = 16
MAX_CORNERS = 16
#: pulses told apart when learning the states
DEPTH = 2


# -- the bench as a design --------------------------------------------------


class _BenchDesign(Design):
    """The bench's netlist, evaluated once: a run's ``values`` (the pulse-time
    parameters) go straight into the waveforms of the pulse sources, which
    spares evaluating the whole netlist again for every run."""

    def __init__(self, netlist, *, t_stop, dt, inputs, slots, amplitude, rise):
        super().__init__(netlist, t_stop=t_stop, dt=dt)
        self.inputs, self.slots = list(inputs), slots
        self.amplitude, self.rise = amplitude, rise

    def build(self, multipliers=None, values=None, rng=None):
        circuit_object = super().build(multipliers, None, rng)
        values = dict(values or {})
        units = circuit_object.units
        circuit = self.normalised(circuit_object)
        for port in self.inputs:
            times = [
                values.get(pulse_parameter(port, k + 1), parked_time(self.t_stop, self.rise, k))
                for k in range(self.slots)
            ]
            points = pulse_points(times, self.amplitude, self.rise)
            circuit[pulse_source(port)].waveform = PWL(
                [(units.to_normalised(t, "s"), units.to_normalised(i, "A")) for t, i in points]
            )
        return circuit_object


# -- the result -----------------------------------------------------------


@dataclass
class Characterization(CharacterizationDisplay):
    """What :func:`characterize` found.

    ``delays``: a pandas DataFrame with columns ``from``, ``to``, ``state``,
    ``load``, ``bias``, ``delay_ps`` (the corners that passed); ``constraints``:
    ``check`` (``hold``: ``second`` may follow ``first`` no closer than the
    value), ``first``, ``second``, ``state``, ``value_ps`` (NaN: none),
    ``fail_ps`` and ``pass_ps`` (the scheduled separations bracketing the
    boundary), ``note``; ``machine``: the state machine as a DataFrame
    (``state``, ``input``, ``outputs``, ``next``); ``failures``: the corners left
    out, ``(load, bias, reason)``; ``states``: the state names, 0 first;
    ``access``: per state the inputs that reach it from rest; ``names``: cell and port names as the netlist
    spells them; ``seconds``: wall time; ``runs``: simulations.
    """

    cell: str
    inputs: list
    outputs: list
    clock: str
    loads: tuple
    biases: tuple
    delays: object
    constraints: object
    machine: object
    states: list
    failures: list
    seconds: float
    runs: int
    names: dict = None
    ptl: dict = None
    access: dict = None

    def name(self, port_or_cell):
        """A port's or the cell's name as the netlist spells it."""
        return (self.names or {}).get(port_or_cell.upper(), port_or_cell)

    def table(self):
        """Delays, constraints and the corners left out in one long table
        (columns ``kind``, ``from``, ``to``, ``state``, ``load``, ``bias``,
        ``value_ps``, ``note``)."""
        import pandas as pd

        delays = self.delays.rename(columns={"delay_ps": "value_ps"}).assign(kind="delay", note="")
        checks = self.constraints.rename(columns={"first": "from", "second": "to"})
        checks = checks.assign(kind=checks["check"], load=self.loads[0], bias=1.0)
        failed = pd.DataFrame(
            [
                ("failed corner", "", "", "", load, bias, math.nan, why)
                for load, bias, why in self.failures
            ],
            columns=["kind", "from", "to", "state", "load", "bias", "value_ps", "note"],
        )
        columns = ["kind", "from", "to", "state", "load", "bias", "value_ps", "note"]
        parts = [p[columns] for p in (delays, checks, failed) if len(p)]
        return pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(columns=columns)

    def write_sdf(self, path, **options):
        write_sdf(self, path, **options)

    def write_liberty(self, path, **options):
        write_liberty(self, path, **options)


# -- the analysis ---------------------------------------------------------


def _ports(names, what):
    if isinstance(names, str):
        names = names.split(",")
    found = [str(n).strip().upper() for n in names or () if str(n).strip()]
    if len(set(found)) != len(found):
        raise ValueError(f"{what} named twice: {', '.join(found)}")
    return found


def _check_ports(source, inputs, outputs):
    if not inputs:
        raise ValueError("name at least one input")
    if not outputs:
        raise ValueError("name at least one output")
    both = set(inputs) & set(outputs)
    if both:
        raise ValueError(f"{', '.join(sorted(both))}: both an input and an output")
    for port in inputs + outputs:
        if port not in source.ports:
            raise ValueError(f"{source.cell} has no port {port} (ports: {' '.join(source.ports)})")
    for port in source.ports:
        if port not in inputs + outputs and port not in ("0", "GND"):
            raise ValueError(f"port {port} of {source.cell} is neither an input nor an output")


def _clock(clock, inputs):
    if clock is None:
        return None
    if not isinstance(clock, str) or not clock.strip():
        raise ValueError(f"clock: name one of the inputs, got {clock!r}")
    clock = clock.strip().upper()
    if clock not in inputs:
        inputs.append(clock)
    return clock


def _override(names, ports, what):
    if names is None:
        return None
    found = set(_ports(names, what))
    for name in found - set(ports):
        raise ValueError(f"{what}: {name} is not one of the ports {', '.join(ports)}")
    return found


class _Job:
    """The settings of one characterization and the pieces its steps share."""

    def __init__(self, source, inputs, outputs, bench, window, resolution, ptl, scale_bench):
        # a path is the user's own testbench; the default bench's timing settings still apply
        self.user = UserBench(os.fspath(bench)) if isinstance(bench, (str, os.PathLike)) else None
        bench = Bench() if self.user is not None else bench
        self.source, self.inputs, self.outputs = source, inputs, outputs
        self.bench, self.ptl, self.scale_bench = bench, ptl, scale_bench
        self.window, self.resolution = window, resolution
        self.spacing = bench.seconds("spacing")
        self.start = bench.seconds("settle")
        self.gap = 0.5 * self.spacing
        if self.user is not None:
            _, self.amplitude, self.rise = self.user.records(
                source, inputs, outputs, 1, 1e-9, 1e-13
            )
            ptl = (set(), set())  # the user's bench has its own lines
        else:
            self.amplitude, self.rise = to_si(bench.amplitude, "A"), bench.seconds("rise")
        self.ptl = ptl
        self.floor = 2 * self.rise  # a source's two pulses must not overlap
        if not 0 < window < self.gap:
            raise ValueError(
                f"the search window ({window * 1e12:g} ps) must be below half the bench's "
                f"spacing ({self.gap * 1e12:g} ps)"
            )
        ptl_out = ptl[1] if ptl[1] is not None else source.ptl_outputs(outputs)
        far = {port_node(p): (f"{port_node(p)}_LOAD1", bench.seconds("ptl_delay")) for p in ptl_out}
        self.measure = PortTimes([port_node(p) for p in inputs + outputs], far)
        self.designs = {}
        self.sources = {}

    def spaced(self, ports, begin=0):
        return Scenario([(self.start + (begin + k) * self.spacing, p) for k, p in enumerate(ports)])

    def pair(self, access, first, second, check):
        """Scenario builder: ``access`` spaced, then ``first`` and ``second``
        a separation apart, then ``check`` spaced."""

        def build(separation):
            base = self.start + len(access) * self.spacing
            pulses = self.spaced(access).pulses + [(base, first), (base + separation, second)]
            after = self.spaced(check, len(access) + 1).pulses
            pulses += [(t + self.window, p) for t, p in after]
            return Scenario(pulses, (base, base + separation))

        return build

    def design(self, load, scenarios):
        """The bench at ``load`` long enough and with pulses enough for every one
        of ``scenarios`` (benches are kept for reuse)."""
        slots = max(s.slots() for s in scenarios)
        last = max(s.pulses[-1][0] for s in scenarios)
        length = math.ceil((last - self.start) / self.spacing) + 2  # two spacings of tail
        key = (load, slots, length)
        if key not in self.designs:
            t_stop = self.start + length * self.spacing
            if self.user is not None:
                dt = self.bench.seconds("dt")
                records = self.user.records(
                    self.source, self.inputs, self.outputs, slots, t_stop, dt
                )[0]
            else:
                records = self.bench.records(
                    self.source, self.inputs, self.outputs, load, slots, t_stop, *self.ptl
                )
            netlist = bench_netlist(records, self.source)
            design = _BenchDesign(
                netlist,
                t_stop=t_stop,
                dt=self.bench.seconds("dt"),
                inputs=self.inputs,
                slots=slots,
                amplitude=self.amplitude,
                rise=self.rise,
            )
            self.designs[key] = (design, slots)
            self.sources[key] = self.bias_sources(design)
        return key

    def bias_sources(self, design):
        """The bias sources a bias corner scales: the cell's own (all with
        ``scale_bench``)."""
        return [
            e.name
            for e in design.elements
            if is_bias(e) and (self.scale_bench or e.name.upper().endswith("|XLXH_DUT"))
        ]

    def run(self, key, scenario, bias=1.0):
        _, slots = self.designs[key]
        multipliers = {name: bias for name in self.sources[key]} if bias != 1.0 else {}
        return Run(multipliers=multipliers, values=scenario.values(self.inputs, slots))

    def response(self, scenario, outcome):
        if not outcome.passed:
            problem = f"the run failed ({outcome.reason}): {outcome.message}"
            return Response([], [], [], problem, 0)
        return response_of(scenario, outcome.measures, self.inputs, self.outputs, self.gap)

    def run_all(self, runner, load, scenarios, bias=1.0):
        """Responses of ``scenarios`` at ``load`` and ``bias``."""
        if not scenarios:
            return []
        key = self.design(load, scenarios)
        plan = ListPlan([self.run(key, s, bias) for s in scenarios])
        runner.run(plan, design=self.designs[key][0], measure=self.measure)
        return [self.response(s, o) for s, o in zip(scenarios, plan.outcomes)]


def characterize(
    netlist,
    cell,
    inputs,
    outputs,
    clock=None,
    *,
    loads=(1, 2, 3),
    biases=(0.9, 1.0, 1.1),
    constraints=True,
    window="10ps",
    resolution="0.05ps",
    bench=None,
    states=None,
    ptl_in=None,
    ptl_out=None,
    scale_bench=False,
    client=None,
    progress=True,
):
    """Characterize the timing of subcircuit ``cell`` of ``netlist`` (a path, text,
    or a :class:`~loxant.netlist.Netlist` read from a file).

    ``inputs`` and ``outputs`` name its ports (lists or ``"a,b"``); ``clock``,
    one of the inputs, only marks it as the clock in the Liberty file.
    ``loads`` are numbers of parallel loads on each output, ``biases``
    multipliers of the cell's bias sources (of the bench's too with
    ``scale_bench``); constraints are searched within ``window`` to
    ``resolution``.  ``bench``: a :class:`~loxant.analysis.harness.Bench`, or
    the path of the user's own testbench holding one instance of the cell (its
    sources and loads are used as written, its pulsed current sources send the
    pulses; loads are not varied);
    ``states``: ``{"internal_state_N": name}`` renames states; ``ptl_in``,
    ``ptl_out``: ports benched with a transmission line (default: as the
    netlist shows); ``client``: None (this process, the default), ``"local"``,
    a ``distributed.Client`` or a scheduler address.  Returns a
    :class:`Characterization`; raises RuntimeError when the nominal runs do not
    behave as a cell.
    """
    import pandas as pd

    began = time.perf_counter()
    source = cell_source(netlist, cell)
    inputs, outputs = _ports(inputs, "inputs"), _ports(outputs, "outputs")
    clock = _clock(clock, inputs)
    _check_ports(source, inputs, outputs)
    ptl = (_override(ptl_in, inputs, "ptl_in"), _override(ptl_out, outputs, "ptl_out"))
    # a user's bench has its own loads: one corner of load
    loads = (1,) if isinstance(bench, (str, os.PathLike)) else _corners(loads, _load, "loads")
    biases = _corners(biases, _bias, "biases")
    window, resolution = to_si(window, "s"), to_si(resolution, "s")
    if not resolution >= MIN_RESOLUTION:
        raise ValueError(
            f"the resolution must be at least {MIN_RESOLUTION * 1e12:g} ps, "
            f"got {resolution * 1e12:g} ps"
        )
    job = _Job(source, inputs, outputs, bench or Bench(), window, resolution, ptl, scale_bench)
    with Runner(client, progress=progress, description=f"characterize {source.cell}") as runner:
        machine = _learn(job, runner, loads[0])
        if states:
            machine.renamed(states)
        delays, failures = _delays(job, runner, machine, loads, biases)
        checks = search_constraints(job, runner, machine, loads[0]) if constraints else []
        count = runner.done
    columns = ["check", "first", "second", "state", "value_ps", "fail_ps", "pass_ps", "note"]
    return Characterization(
        cell=source.cell,
        inputs=inputs,
        outputs=outputs,
        clock=clock,
        loads=loads,
        biases=biases,
        delays=pd.DataFrame(delays, columns=["from", "to", "state", "load", "bias", "delay_ps"]),
        constraints=pd.DataFrame(checks, columns=columns),
        machine=pd.DataFrame(machine.rows(), columns=["state", "input", "outputs", "next"]),
        states=[machine.name(s) for s in range(len(machine.access))],
        failures=failures,
        seconds=time.perf_counter() - began,
        runs=count,
        names=dict(source.spelling or {}),
        access={machine.name(s): list(a) for s, a in enumerate(machine.access)},
        ptl={
            "in": sorted(ptl[0] if ptl[0] is not None else source.ptl_inputs(inputs)),
            "out": sorted(ptl[1] if ptl[1] is not None else source.ptl_outputs(outputs)),
        },
    )


def _corners(values, convert, what):
    values = tuple(values)
    if not values:
        raise ValueError(f"give at least one of the {what}")
    if len(values) > MAX_CORNERS:
        raise ValueError(f"at most {MAX_CORNERS} {what}, got {len(values)}")
    values = tuple(convert(v) for v in values)
    if len(set(values)) != len(values):
        raise ValueError(f"{what}: a value given twice")
    return values


def _load(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or int(value) != value:
        raise ValueError(f"a load is a whole number of loads, got {value!r}")
    if not 1 <= value <= MAX_LOAD:
        raise ValueError(f"a load is 1 to {MAX_LOAD} loads on each output, got {value!r}")
    return int(value)


def _bias(value):
    value = float(value)
    if not (math.isfinite(value) and 0 < value <= 10):
        raise ValueError(f"a bias multiplier must be positive (at most 10), got {value!r}")
    return value


def _learn(job, runner, load):
    """The cell's state machine from nominal runs of spaced pulses."""

    def observe(sequences):
        scenarios = [job.spaced(seq) for seq in sequences]
        found = []
        for scenario, response in zip(scenarios, job.run_all(runner, load, scenarios)):
            if response.problem and response.times == []:
                raise AnalysisError(f"nominal run {' '.join(scenario.ports())}: {response.problem}")
            if (
                response.problem
                and response.illegal == 0
                and "before any input" in response.problem
            ):
                raise AnalysisError(f"the cell at rest: {response.problem}")
            found.append(spaced_outputs(response))
        return found

    return learn(observe, job.inputs, job.outputs, depth=DEPTH)


def _delay_scenarios(job, machine):
    """Runs covering every arc: a state's history then the input, each arc once."""
    covered, scenarios = set(), []
    for state, port, _ in machine.arcs():
        if (state, port) in covered:
            continue
        ports = list(machine.access[state]) + [port]
        s = 0
        for p in ports:
            covered.add((s, p))
            s = machine.next[(s, p)]
        scenarios.append(job.spaced(ports))
    return scenarios


def _delays(job, runner, machine, loads, biases):
    rows, failures = [], []
    scenarios = _delay_scenarios(job, machine)
    for load in loads:
        for bias in biases:
            responses = job.run_all(runner, load, scenarios, bias)
            found, reason = [], ""
            for scenario, response in zip(scenarios, responses):
                passed, message = matches(machine, scenario, response)
                if not passed:
                    reason = f"{' '.join(scenario.ports())}: {message}"
                    break
                found += _arcs(machine, scenario, response, load, bias)
            if reason:
                failures.append((load, bias, reason))
            else:
                rows += _unique(found)
    return rows, failures


def _unique(rows):
    seen, kept = set(), []
    for row in rows:
        key = row[:5]
        if key not in seen:
            seen.add(key)
            kept.append(row)
    return kept


def _arcs(machine, scenario, response, load, bias):
    """Delay rows of every pulse of a passing run that gave outputs."""
    rows, state = [], 0
    for k, port in enumerate(scenario.ports()):
        outs = machine.out[(state, port)]
        for output in sorted(set(outs)):
            first = min(t for t, o in response.outputs[k] if o == output)
            value = (first - response.times[k]) * 1e12
            rows.append((port, output, machine.name(state), load, bias, value))
        state = machine.next[(state, port)]
    return rows
