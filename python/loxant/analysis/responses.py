"""What a characterization run did: pulses sent into a cell's inputs (a
:class:`Scenario`) and what came out of its ports (a :class:`Response`),
matched against its state machine."""

import math
from collections import Counter
from dataclasses import dataclass

from .events import events
from .fsm import ILLEGAL
from .harness import port_node, pulse_parameter

__all__ = ["PortTimes", "Response", "Scenario", "matches", "response_of", "spaced_outputs"]


class _NodePhases:
    """Results seen through their node phases, so that the element switching-time
    measure dates a node's 2 pi turns."""

    def __init__(self, results):
        self.time = results.time("s") if callable(results.time) else results.time
        self._results = results

    def phase(self, name):
        return self._results.node_phase(name)


def _net_turns(seen, node):
    """Times of the forward turns of a node that a backward turn does not undo
    (a node that rings across pi and back has not turned)."""
    kept = []
    for t, _, sign in events(seen, [node]):
        if sign > 0:
            kept.append(t)
        elif kept:
            kept.pop()
    return kept


class PortTimes:
    """Measure: the forward 2 pi turns of the named port nodes (seconds).
    ``seen_at``: port node -> (node watched instead, its delay): an output into
    a line turns by fractions of 2 pi as the line's reflections come and go, so
    its pulses are dated at the line's far end, less the line's delay."""

    def __init__(self, nodes, seen_at=None):
        self.nodes = list(nodes)
        self.seen_at = dict(seen_at or {})

    def __call__(self, results):
        seen, found = _NodePhases(results), {}
        for node in self.nodes:
            watched, delay = self.seen_at.get(node, (node, 0.0))
            found[node] = [t - delay for t in _net_turns(seen, watched)]
        return found

    def probes(self):
        return [f"phase({self.seen_at.get(n, (n,))[0]})" for n in self.nodes]


# -- scenarios and their responses ----------------------------------------


@dataclass
class Scenario:
    """Pulses into the inputs, ``(time, port)``, in order of time; ``tag``: the
    times of the pair a constraint search varies."""

    pulses: list
    tag: tuple = ()

    def ports(self):
        return [port for _, port in self.pulses]

    def slots(self):
        return max(Counter(self.ports()).values(), default=1)

    def values(self, inputs, slots):
        values = {}
        for port in inputs:
            times = sorted(t for t, p in self.pulses if p == port)
            if len(times) > slots:
                raise ValueError(f"{len(times)} pulses into {port}, room for {slots}")
            for k, t in enumerate(times, start=1):
                values[pulse_parameter(port, k)] = t
        return values


def _groups(pulses, gap):
    """Indices of the pulses, grouped where their times are closer than ``gap``."""
    groups, last = [], None
    for k in range(len(pulses)):
        if groups and pulses[k][0] - last < gap:
            groups[-1].append(k)
        else:
            groups.append([k])
        last = pulses[k][0]
    return groups


@dataclass
class Response:
    """What one run did: the port-node time of each pulse of the scenario, the
    groups, and the output pulses ``(time, output)`` that fell into each group;
    ``illegal``: index of the first group whose input pulses the cell did not
    take as sent (None: all taken)."""

    times: list
    groups: list
    outputs: list
    problem: str = ""
    illegal: int = None

    def group_outputs(self):
        return [tuple(sorted(o for _, o in found)) for found in self.outputs]


def response_of(scenario, measures, inputs, outputs, gap):
    """Port times, groups and outputs of a run; each group spans from its first
    scheduled pulse to the next group's."""
    pulses = scenario.pulses
    groups = _groups(pulses, gap)
    starts = [pulses[g[0]][0] for g in groups] + [math.inf]
    times, found, illegal = [None] * len(pulses), [[] for _ in groups], None
    for g, group in enumerate(groups):
        lo, hi = starts[g], starts[g + 1]
        for port in inputs:
            seen = [t for t in measures.get(port_node(port), []) if lo <= t < hi]
            mine = [k for k in group if pulses[k][1] == port]
            if len(seen) != len(mine):
                illegal = g if illegal is None else illegal
                continue
            for k, t in zip(mine, seen):
                times[k] = t
    for port in outputs:
        for t in measures.get(port_node(port), []):
            if t < starts[0]:
                return Response(times, groups, found, f"{port} pulsed before any input", 0)
            g = max(i for i, s in enumerate(starts) if s <= t)
            found[g].append((t, port))
    problem = ""
    if illegal is not None:
        sent = " ".join(pulses[k][1] for k in groups[illegal])
        problem = f"pulse group {illegal + 1} ({sent}) was not taken as sent"
    return Response(times, groups, found, problem, illegal)


def _outs(outputs):
    return " ".join(outputs) if outputs else "none"


def matches(machine, scenario, response):
    """(passed, message): the run's output pulses per group against the machine."""
    if response.problem:
        return False, response.problem
    expected = machine.expected(scenario.ports())
    for g, (group, seen) in enumerate(zip(response.groups, response.group_outputs())):
        wanted = tuple(sorted(o for k in group for o in expected[k]))
        if Counter(wanted) != Counter(seen):
            return False, f"pulse group {g + 1}: outputs {_outs(seen)} instead of {_outs(wanted)}"
    return True, ""


def spaced_outputs(response):
    """Per pulse of a run of pulses well apart: its outputs, or ILLEGAL from the
    first pulse the cell did not take."""
    outs = [tuple(sorted(o for _, o in found)) for found in response.outputs]
    if response.illegal is not None:
        outs[response.illegal :] = [ILLEGAL] * (len(outs) - response.illegal)
    return outs
