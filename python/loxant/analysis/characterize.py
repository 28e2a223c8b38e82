"""Timing characterization of a cell: delays per state, setup and hold.

:func:`characterize` builds a bench around a ``.subckt`` of a netlist (see
:mod:`loxant.analysis.harness`), learns the cell's function from nominal runs
(or checks a truth table given), and measures:

* **delays**: for every input -> output path that produces an output pulse,
  from the input port node's phase passing an odd multiple of pi to the output
  port node's (the switching-time measure of :mod:`.events`, applied to node
  phases), for each internal state, over the loads (parallel JTL loads on the
  output) and the bias (every bias source of cell and bench scaled together;
  the input pulses are not); each input of an asynchronous cell in a run of
  its own, from rest;
* **constraints**, at the first load and nominal bias, by bisection on the
  scheduled separation of two pulses down to ``resolution``: setup and hold of
  each data input against the clock in each state of a clocked cell, or the
  minimum separation of two inputs of an asynchronous cell.  The value given
  is the separation measured at the port nodes in the passing run that bounds
  the bracket.

**State and function.** A clocked cell's state is the set of data inputs that
pulsed since the last clock pulse; the clock empties it.  Its function maps
(state, input pulse) to the output pulses that pulse causes.  An asynchronous
cell has one state.  A run passes when, for each group of pulses closer than
half the bench's spacing, the output pulses (how many of each output) after
the group's first input and before the next group are those the function
gives for the group's pulses read in the scenario's order (a setup run reads
the data before the clock however close they come), in every group of the run,
and each input port node turns once per pulse sent, no more.  Bisection takes
the passing separations to lie on one side of a single boundary.

**Asynchronous cells.** Two pulses into an asynchronous cell, however close,
are owed the outputs of each pulse alone: a merger owes two pulses at its
output.  The minimum separation of inputs ``first`` then ``second`` is thus
the separation above which the second pulse still gets its own outputs (as a
library's timing check states it: closer pulses are not allowed), searched
from ``window`` (passing) down to 0 (the pulses together; a merger gives one
output there), for each order of each pair of inputs.
"""

import itertools
import math
import time
from dataclasses import dataclass, field

from .. import elements as el
from ..netlist import Netlist
from ..units import to_si
from .design import Design
from .harness import Bench, cell_source, is_pulse_source, port_node
from .liberty import write_liberty
from .runner import ListPlan, Run, Runner
from .scenarios import (
    SLOTS,
    Function,
    PortTimes,
    Response,
    Scenario,
    _given_table,
    _matches,
    _outs,
    _response,
    state_label,
)
from .sdf import write_sdf

__all__ = ["Characterization", "characterize"]


@dataclass
class _Search:
    """Bisection of one constraint on the scheduled separation: ``good`` passes,
    ``fail`` fails; both ends are tried first."""

    check: str
    port: str
    reference: str
    state: frozenset
    build: object  # separation -> Scenario tagged (time of port's pulse, of reference's)
    good: float
    fail: float
    resolution: float
    good_run: tuple = None  # (scenario, response) of the passing run at ``good``
    note: str = ""
    started: bool = False
    waiting: int = 0
    done: bool = False
    ends: dict = field(default_factory=dict)

    def next(self):
        if self.done or self.waiting:
            return []
        if not self.started:
            self.started, self.waiting = True, 2
            return [self.good, self.fail]
        self.waiting = 1
        return [0.5 * (self.good + self.fail)]

    def record(self, separation, passed, run):
        self.waiting -= 1
        if len(self.ends) < 2:
            self.ends[separation] = (passed, run)
            if self.waiting:
                return
            good_passed, good_run = self.ends[self.good]
            if not good_passed:
                self.done, self.note = True, "fails at every separation tried"
            elif self.ends[self.fail][0]:
                self.done, self.note = True, "no constraint: passes at every separation tried"
            self.good_run = good_run
        elif passed:
            self.good, self.good_run = separation, run
        else:
            self.fail = separation
        if abs(self.good - self.fail) <= self.resolution * (1 + 1e-9):
            self.done = True

    def remaining(self):
        if self.done:
            return 0
        steps = math.ceil(math.log2(max(abs(self.good - self.fail) / self.resolution, 1)))
        return steps + (0 if self.started else 2)

    def value(self):
        """The separation measured at the port nodes in the passing run at the
        bracket's edge, in seconds (NaN without a constraint)."""
        if self.note or self.good_run is None:
            return math.nan
        scenario, response = self.good_run
        at_port, at_reference = scenario.tag
        port = response.times[scenario.pulses.index((at_port, self.port))]
        reference = response.times[scenario.pulses.index((at_reference, self.reference))]
        return reference - port if self.check == "setup" else port - reference


class _SearchPlan:
    """Every search at once; ``judge(scenario, outcome)`` gives (passed, response)."""

    def __init__(self, searches, make_run, judge):
        self.searches, self.make_run, self.judge = searches, make_run, judge
        self.scenarios = {}

    def take(self, limit):
        batch = []
        for index, search in enumerate(self.searches):
            if len(batch) >= limit:
                break
            for separation in search.next():
                scenario = search.build(separation)
                self.scenarios[(index, separation)] = scenario
                batch.append(((index, separation), self.make_run(scenario)))
        return batch

    def record(self, key, outcome):
        scenario = self.scenarios.pop(key)
        passed, response = self.judge(scenario, outcome)
        self.searches[key[0]].record(key[1], passed, (scenario, response))

    def remaining(self):
        return sum(s.remaining() for s in self.searches)


# -- the result -----------------------------------------------------------


@dataclass
class Characterization:
    """What :func:`characterize` found.

    ``delays``: a pandas DataFrame with columns ``from``, ``to``, ``state``,
    ``load``, ``bias``, ``delay_ps``; ``constraints``: ``check`` (setup, hold or
    separation), ``port``, ``reference`` (for a separation: the input pulsed
    second and the one pulsed first), ``state``, ``value_ps`` (NaN: none),
    ``fail_ps`` and ``pass_ps`` (the scheduled separations bracketing the
    boundary), ``note``; ``function``: the truth table as a DataFrame
    (``state``, ``input``, ``outputs``); ``failures``: corners whose runs did
    not behave as the function (a list of strings); ``seconds``: wall time.
    """

    cell: str
    inputs: list
    outputs: list
    clock: str
    loads: tuple
    biases: tuple
    delays: object
    constraints: object
    function: object
    failures: list
    seconds: float
    runs: int

    def table(self):
        """Delays and constraints in one long table (columns ``kind``, ``from``,
        ``to``, ``state``, ``load``, ``bias``, ``value_ps``)."""
        import pandas as pd

        delays = self.delays.rename(columns={"delay_ps": "value_ps"}).assign(kind="delay")
        checks = self.constraints.rename(columns={"port": "from", "reference": "to"})
        checks = checks.assign(kind=checks["check"], load=self.loads[0], bias=1.0)
        columns = ["kind", "from", "to", "state", "load", "bias", "value_ps"]
        return pd.concat([delays[columns], checks[columns]], ignore_index=True)

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


def _check_ports(source, inputs, outputs, clock):
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
    if clock is not None and len(inputs) < 2:
        raise ValueError("a clocked cell needs a data input besides the clock")


class _Job:
    """The settings of one characterization and the pieces its steps share."""

    def __init__(self, source, inputs, outputs, clock, bench, window, resolution):
        self.source, self.inputs, self.outputs, self.clock = source, inputs, outputs, clock
        self.bench = bench
        self.window, self.resolution = window, resolution
        self.spacing = bench.seconds("spacing")
        self.start = bench.seconds("settle")
        self.gap = 0.5 * self.spacing
        if not 0 < window < self.gap:
            raise ValueError(
                f"the search window ({window * 1e12:g} ps) must be below half the bench's "
                f"spacing ({self.gap * 1e12:g} ps)"
            )
        self.data = [p for p in inputs if p != clock]
        self.measure = PortTimes([port_node(p) for p in inputs + outputs])

    # scenarios

    def spaced(self, ports):
        return Scenario([(self.start + k * self.spacing, p) for k, p in enumerate(ports)])

    def learning(self, function):
        if self.clock is None:
            return [self.spaced(self.inputs + self.inputs)]
        found = {}
        for state in function.states():
            prefix = sorted(state)
            for extra in [[]] + [[d] for d in self.data]:
                ports = prefix + extra + [self.clock, self.clock]
                found[tuple(ports)] = self.spaced(ports)
        return list(found.values())

    def delay_scenarios(self, function):
        if self.clock is None:
            # each input from rest: a cell still rings a spacing after a pulse,
            # which would make the inputs pulsed later look faster or slower
            return [self.spaced([port]) for port in self.inputs]
        return [self.spaced(sorted(s) + [self.clock]) for s in function.states()]

    def _base(self, state):
        return self.start + len(state) * self.spacing + self.window

    def setup(self, state, port):
        def build(separation):
            base = self._base(state)
            pulses = self.spaced(sorted(state)).pulses
            pulses += [(base - separation, port), (base, self.clock)]
            pulses.append((base + self.window + self.spacing, self.clock))
            return Scenario(pulses, (base - separation, base))

        return build

    def hold(self, state, port):
        def build(separation):
            base = self._base(state)
            pulses = self.spaced(sorted(state)).pulses
            pulses += [(base, self.clock), (base + separation, port)]
            pulses.append((base + self.window + self.spacing, self.clock))
            return Scenario(pulses, (base + separation, base))

        return build

    def separation(self, first, second):
        def build(separation):
            base = self.start + self.window
            return Scenario([(base, first), (base + separation, second)], (base + separation, base))

        return build

    def t_stop(self):
        pulses = (len(self.data) + 3) if self.clock else 2 * len(self.inputs)
        return self.start + pulses * self.spacing + 2 * self.window + self.spacing

    def slots(self):
        return {p: SLOTS for p in self.inputs}

    # runs

    def run(self, scenario, bias_sources=(), bias=1.0):
        multipliers = {name: bias for name in bias_sources} if bias != 1.0 else {}
        return Run(multipliers=multipliers, values=scenario.values(self.inputs, self.slots()))

    def response(self, scenario, outcome):
        if not outcome.passed:
            problem = f"the run failed ({outcome.reason}): {outcome.message}"
            return Response([], [], [], problem)
        return _response(scenario, outcome.measures, self.inputs, self.outputs, self.gap)


def _design(job, load):

    text = job.bench.text(job.source, job.inputs, job.outputs, load, SLOTS, job.t_stop())
    netlist = Netlist.from_string(text, name=job.source.file, base_dir=job.source.base_dir)
    return Design(netlist, t_stop=job.t_stop(), dt=job.bench.seconds("dt"))


def _bias_sources(design):

    return [
        e.name
        for e in design.elements
        if isinstance(e, el.CurrentSource) and not is_pulse_source(e.name)
    ]


def characterize(
    netlist,
    cell,
    inputs,
    outputs,
    clock=None,
    *,
    truth_table=None,
    loads=(1, 2, 3),
    biases=(0.9, 1.0, 1.1),
    constraints=True,
    window="10ps",
    resolution="0.05ps",
    bench=None,
    client=None,
    progress=True,
):
    """Characterize the timing of subcircuit ``cell`` of ``netlist`` (a path, text,
    or a :class:`~loxant.netlist.Netlist` read from a file).

    ``inputs`` and ``outputs`` name its ports (lists or ``"a,b"``); ``clock`` is
    one of the inputs for a clocked cell.  ``truth_table``
    (``{(state, input): outputs}``) is checked against the nominal runs instead
    of being learnt from them.  ``loads`` are numbers of parallel JTL loads,
    ``biases`` multipliers of every bias source; constraints are searched within
    ``window`` of the reference pulse to ``resolution``.  ``bench``: a
    :class:`~loxant.analysis.harness.Bench`; ``client``: None (this process, the
    default), ``"local"``, a ``distributed.Client`` or a scheduler address.
    Returns a :class:`Characterization`; raises RuntimeError when the nominal
    runs do not behave as a cell (a lost input pulse, a contradiction).
    """
    import pandas as pd

    began = time.perf_counter()
    source = cell_source(netlist, cell)
    inputs, outputs = _ports(inputs, "inputs"), _ports(outputs, "outputs")
    clock = None if clock is None else _ports([clock], "clock")[0]
    if clock is not None and clock not in inputs:
        inputs.append(clock)
    _check_ports(source, inputs, outputs, clock)
    loads = tuple(_positive_int(n, "load") for n in loads)
    biases = tuple(_positive(b, "bias") for b in biases)
    if not loads or not biases:
        raise ValueError("give at least one load and one bias")
    window, resolution = to_si(window, "s"), to_si(resolution, "s")
    if not resolution > 0:
        raise ValueError(f"the resolution must be positive, got {resolution!r}")
    job = _Job(source, inputs, outputs, clock, bench or Bench(), window, resolution)
    given = None if truth_table is None else _given_table(truth_table, inputs, outputs, clock)

    designs = {load: _design(job, load) for load in loads}
    nominal = designs[loads[0]]
    with Runner(client, progress=progress, description=f"characterize {source.cell}") as runner:
        function = _learn(job, runner, nominal, given)
        delays, failures = _delays(job, runner, designs, function, biases)
        checks = _constraints(job, runner, nominal, function) if constraints else []
        count = runner.done
    columns = ["check", "port", "reference", "state", "value_ps", "fail_ps", "pass_ps", "note"]
    return Characterization(
        cell=source.cell,
        inputs=inputs,
        outputs=outputs,
        clock=clock,
        loads=loads,
        biases=biases,
        delays=pd.DataFrame(delays, columns=["from", "to", "state", "load", "bias", "delay_ps"]),
        constraints=pd.DataFrame(checks, columns=columns),
        function=pd.DataFrame(function.rows(), columns=["state", "input", "outputs"]),
        failures=failures,
        seconds=time.perf_counter() - began,
        runs=count,
    )


def _positive_int(value, what):
    if isinstance(value, bool) or int(value) != value or value < 1:
        raise ValueError(f"a {what} is a whole number >= 1, got {value!r}")
    return int(value)


def _positive(value, what):
    value = float(value)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"a {what} multiplier must be positive, got {value!r}")
    return value


def _run_list(runner, design, job, scenarios, bias_sources=(), bias=1.0):
    plan = ListPlan([job.run(s, bias_sources, bias) for s in scenarios])
    runner.run(plan, design=design, measure=job.measure)
    return [job.response(s, o) for s, o in zip(scenarios, plan.outcomes)]


def _learn(job, runner, design, given):
    """The cell's function from the nominal runs (or the one given, checked)."""
    learnt = Function(job.inputs, job.clock)
    scenarios = job.learning(learnt)
    for scenario, response in zip(scenarios, _run_list(runner, design, job, scenarios)):
        if response.problem:
            raise RuntimeError(f"nominal run {' '.join(scenario.ports())}: {response.problem}")
        seen = response.group_outputs()  # spaced pulses: one pulse per group
        learnt.learn(scenario.ports(), seen)
    if given is None:
        return learnt
    for key, seen in learnt.table.items():
        if given.table.get(key, seen) != seen:
            state, port = key
            raise RuntimeError(
                f"in state {state_label(state)} a pulse into {port} gave {_outs(seen)}, "
                f"the truth table says {_outs(given.table[key])}"
            )
    given.table = {**learnt.table, **given.table}
    return given


def _delays(job, runner, designs, function, biases):
    rows, failures = [], []
    scenarios = job.delay_scenarios(function)
    for load, design in designs.items():
        sources = _bias_sources(design)
        for bias in biases:
            responses = _run_list(runner, design, job, scenarios, sources, bias)
            for scenario, response in zip(scenarios, responses):
                passed, message = _matches(function, scenario, response)
                if not passed:
                    where = f"{' '.join(scenario.ports())} at load {load}, bias {bias:g}"
                    failures.append(f"{where}: {message}")
                rows += _arcs(function, scenario, response, load, bias, passed)
    return rows, failures


def _arcs(function, scenario, response, load, bias, passed):
    """Delay rows of every pulse that caused outputs (NaN for a failed corner)."""
    ports = scenario.ports()
    expected = function.expected(ports)
    rows, state = [], frozenset()
    for k, port in enumerate(ports):
        for output in sorted(set(expected[k])):
            value = math.nan
            if passed:
                group = next(i for i, g in enumerate(response.groups) if k in g)
                first = min(t for t, o in response.outputs[group] if o == output)
                value = (first - response.times[k]) * 1e12
            rows.append((port, output, state_label(state), load, bias, value))
        state = function.advance(state, port)
    return rows


def _constraints(job, runner, design, function):
    window, resolution = job.window, job.resolution
    searches = []
    for state in function.states() if job.clock else []:
        for port in job.data:
            for check, build in (("setup", job.setup), ("hold", job.hold)):
                searches.append(
                    _Search(
                        check,
                        port,
                        job.clock,
                        state,
                        build(state, port),
                        window,
                        -window,
                        resolution,
                    )
                )
    if job.clock is None:
        floor = 2 * job.bench.seconds("rise") + resolution  # the source's pulses must not overlap
        pairs = list(itertools.permutations(job.inputs, 2)) or [(job.inputs[0],) * 2]
        if len(job.inputs) == 1 and floor >= window:
            raise ValueError(
                f"the search window ({window * 1e12:g} ps) is shorter than two source pulses"
            )
        for first, second in pairs:
            lowest = floor if first == second else 0.0
            build = job.separation(first, second)
            searches.append(
                _Search("separation", second, first, frozenset(), build, window, lowest, resolution)
            )

    def judge(scenario, outcome):
        response = job.response(scenario, outcome)
        return _matches(function, scenario, response)[0], response

    runner.run(_SearchPlan(searches, job.run, judge), design=design, measure=job.measure)
    return [
        (
            s.check,
            s.port,
            s.reference,
            state_label(s.state),
            s.value() * 1e12,
            s.fail * 1e12,
            s.good * 1e12,
            s.note,
        )
        for s in searches
    ]
