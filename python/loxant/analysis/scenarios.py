"""A cell's logic for its characterization: the truth table (learnt or given),
the input scenarios that exercise it, and the responses read from a run."""

import itertools
from collections import Counter
from dataclasses import dataclass

from .events import switching_times
from .harness import port_node, pulse_parameter

#: state label of a clocked cell that holds nothing, and of an asynchronous cell
EMPTY = "-"
#: pulses each input can carry in one run: no scenario sends more than two
SLOTS = 2


def state_label(state):
    """``"a+b"`` for the state of inputs a and b, ``"-"`` for the empty state."""
    return "+".join(sorted(state)) if state else EMPTY


class _NodePhases:
    """Results seen through their node phases, so that the element switching-time
    measure dates a node's 2 pi turns."""

    def __init__(self, results):
        self.time = results.time("s") if callable(results.time) else results.time
        self._results = results

    def phase(self, name):
        return self._results.node_phase(name)


class PortTimes:
    """Measure: the forward 2 pi turns of the named port nodes (seconds)."""

    def __init__(self, nodes):
        self.nodes = list(nodes)

    def __call__(self, results):
        seen = _NodePhases(results)
        return {n: [float(t) for t in switching_times(seen, n, direction=1)] for n in self.nodes}

    def probes(self):
        return [f"phase({n})" for n in self.nodes]


# -- the cell's function ---------------------------------------------------


class Function:
    """The truth table of a cell: ``(state, input) -> outputs``, state a frozenset
    of data inputs (always empty for an asynchronous cell), outputs a sorted
    tuple (an output twice if it pulses twice)."""

    def __init__(self, inputs, clock, table=None):
        self.inputs, self.clock = list(inputs), clock
        self.table = dict(table or {})

    def advance(self, state, port):
        if self.clock is None:
            return state
        return frozenset() if port == self.clock else state | {port}

    def expected(self, ports):
        """Outputs of each pulse of ``ports`` from the empty state; KeyError when
        the table lacks an entry."""
        state, out = frozenset(), []
        for port in ports:
            out.append(self.table[(state, port)])
            state = self.advance(state, port)
        return out

    def learn(self, ports, outputs):
        """Add what one run showed; raise RuntimeError if it contradicts the table."""
        state = frozenset()
        for port, seen in zip(ports, outputs):
            known = self.table.setdefault((state, port), seen)
            if known != seen:
                raise RuntimeError(
                    f"the cell is not a function of its state: in state {state_label(state)} "
                    f"a pulse into {port} gave {_outs(seen)} once and {_outs(known)} once"
                )
            state = self.advance(state, port)

    def states(self):
        data = [p for p in self.inputs if p != self.clock]
        if self.clock is None:
            return [frozenset()]
        return [frozenset(c) for k in range(len(data) + 1) for c in itertools.combinations(data, k)]

    def rows(self):
        """The table as ``(state, input, outputs)`` rows of labels."""
        return [
            (state_label(s), p, _outs(o))
            for (s, p), o in sorted(
                self.table.items(), key=lambda kv: (len(kv[0][0]), state_label(kv[0][0]), kv[0][1])
            )
        ]


def _outs(outputs):
    return " ".join(outputs) if outputs else "none"


def _given_table(truth_table, inputs, outputs, clock):
    """The :class:`Function` of a truth table given as ``{(state, input): outputs}``,
    state and outputs as iterables of port names or strings ``"a,b"``."""

    def names(value, allowed, what):
        if isinstance(value, str):
            value = [v for v in value.replace("+", ",").split(",") if v.strip() and v != EMPTY]
        found = [str(v).strip().upper() for v in value]
        for name in found:
            if name not in allowed:
                raise ValueError(f"truth table: {name} is not {what}")
        return found

    data = [p for p in inputs if p != clock]
    function = Function(inputs, clock)
    for key, value in dict(truth_table).items():
        try:
            state, port = key
        except (TypeError, ValueError):
            raise ValueError(f"truth table keys are (state, input) pairs, got {key!r}") from None
        state = frozenset(names(state, data, "a data input"))
        if clock is None and state:
            raise ValueError("truth table: an asynchronous cell has no state")
        port = names([port], inputs, "an input")[0]
        function.table[(state, port)] = tuple(sorted(names(value, outputs, "an output")))
    return function


# -- scenarios and their responses ----------------------------------------


@dataclass
class Scenario:
    """Pulses into the inputs, ``(time, port)``, in the order the function reads
    them (a setup run lists the data before the clock even when it is scheduled
    after it); ``tag``: what the scenario is for."""

    pulses: list
    tag: tuple = ()

    def ports(self):
        return [port for _, port in self.pulses]

    def values(self, inputs, slots):
        values = {}
        for port in inputs:
            times = sorted(t for t, p in self.pulses if p == port)
            if len(times) > slots[port]:
                raise ValueError(f"{len(times)} pulses into {port}, room for {slots[port]}")
            for k, t in enumerate(times, start=1):
                values[pulse_parameter(port, k)] = t
        return values


def _groups(pulses, gap):
    """Indices of the pulses, grouped where their times are closer than ``gap``,
    in order of time."""
    groups, last = [], None
    for k in sorted(range(len(pulses)), key=lambda k: pulses[k][0]):
        if groups and pulses[k][0] - last < gap:
            groups[-1].append(k)
        else:
            groups.append([k])
        last = pulses[k][0]
    return groups


@dataclass
class Response:
    """What one run did: the port-node time of each pulse of the scenario, the groups,
    and the output pulses ``(time, output)`` that fell into each group."""

    times: list
    groups: list
    outputs: list
    problem: str = ""

    def group_outputs(self):
        return [tuple(sorted(o for _, o in found)) for found in self.outputs]


def _response(scenario, measures, inputs, outputs, gap):
    pulses = scenario.pulses
    times = [None] * len(pulses)
    for port in inputs:
        seen = measures.get(port_node(port), [])
        mine = sorted((k for k, (_, p) in enumerate(pulses) if p == port), key=lambda k: pulses[k])
        if len(seen) != len(mine):
            problem = f"{len(seen)} pulses reached {port} instead of {len(mine)}"
            return Response(times, [], [], problem)
        for k, t in zip(mine, seen):
            times[k] = t
    groups = _groups(pulses, gap)
    starts = [min(times[k] for k in g) for g in groups]
    found = [[] for _ in groups]
    for port in outputs:
        for t in measures.get(port_node(port), []):
            before = [i for i, s in enumerate(starts) if s <= t]
            if not before:
                return Response(times, groups, found, f"{port} pulsed before any input")
            found[before[-1]].append((t, port))
    return Response(times, groups, found)


def _matches(function, scenario, response):
    """(passed, message): the run's output pulses per group against the function."""
    if response.problem:
        return False, response.problem
    ports = scenario.ports()
    expected = function.expected(ports)
    for g, (group, seen) in enumerate(zip(response.groups, response.group_outputs())):
        wanted = tuple(sorted(o for k in group for o in expected[k]))
        if Counter(wanted) != Counter(seen):
            return False, f"pulse group {g + 1}: outputs {_outs(seen)} instead of {_outs(wanted)}"
    return True, ""


# -- bisection --------------------------------------------------------------
