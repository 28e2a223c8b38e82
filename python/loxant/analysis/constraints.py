"""The constraints of a cell: for each state and ordered pair of inputs, the
smallest separation at which the cell still follows its state machine, found
by bisection (all pairs at once, their runs interleaved)."""

import math

from .bisection import Bisection
from .responses import matches

__all__ = ["search_constraints"]


class _Search(Bisection):
    """Bisection of one constraint on the scheduled separation between ``good``
    (passes) and ``bad`` (fails); both ends are tried first."""

    def __init__(self, state, first, second, build, good, bad, resolution):
        super().__init__(good, bad, resolution)
        self.state, self.first, self.second = state, first, second
        self.build = build  # separation -> Scenario tagged (time of first, of second)
        self.good_run = self.fail_run = None
        self.note = ""
        self.bound = False  # the value is an upper bound: the bench, not the cell, failed
        self.started, self.waiting, self.done = False, 0, False
        self.ends = None

    def next(self):
        if self.done or self.waiting:
            return []
        if not self.started:
            self.started, self.waiting, self.ends = True, 2, {}
            return [self.good, self.bad]
        self.waiting = 1
        return [self.middle()]

    def record(self, separation, passed, run):
        self.waiting -= 1
        if len(self.ends) < 2:
            self.ends[separation] = (passed, run)
            if self.waiting:
                return
            good_passed, good_run = self.ends[self.good]
            if not good_passed:
                self.done = True
                self.note = f"fails at every separation tried ({good_run[1].problem or 'outputs'})"
            elif self.ends[self.bad][0]:
                self.done, self.note = True, "no constraint: passes with the pulses together"
            self.good_run, self.fail_run = good_run, self.ends[self.bad][1]
        else:
            super().record(separation, passed)
            if passed:
                self.good_run = run
            else:
                self.fail_run = run
        if self.narrow:
            self.done = True
            self._mark_source_limit()

    def _mark_source_limit(self):
        """Two pulses on one input that reached the port node as fewer than two,
        at the failing edge, were merged by the bench's source, not refused by
        the cell: the cell took the closest pair the bench delivers, so the
        value is an upper bound of the cell's constraint."""
        if self.first != self.second or self.fail_run is None or self.note:
            return
        scenario, response = self.fail_run
        pair = [k for k, pulse in enumerate(scenario.pulses) if pulse[0] in scenario.tag]
        if any(response.times[k] is None for k in pair):
            self.bound = True
            self.note = "at most: the bench's source sends no closer pair into this input"

    def remaining(self):
        if self.done:
            return 0
        return self.halvings() + (0 if self.started else 2)

    def value(self):
        """The separation of the port nodes' crossings in the passing run at the
        bracket's edge, in seconds (NaN without a constraint)."""
        if (self.note and not self.bound) or self.good_run is None:
            return math.nan
        scenario, response = self.good_run
        first = response.times[scenario.pulses.index((scenario.tag[0], self.first))]
        second = response.times[scenario.pulses.index((scenario.tag[1], self.second))]
        return second - first


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


def _searches(job, machine):
    found = []
    for state in range(len(machine.access)):
        access = list(machine.access[state])
        for first in machine.inputs:
            if not machine.legal(state, first):
                continue
            middle = machine.next[(state, first)]
            for second in machine.inputs:
                if not machine.legal(middle, second):
                    continue
                end = machine.next[(middle, second)]
                check = machine.check_suffix(end, _wrong_ends(machine, state, first, second))
                build = job.pair(access, first, second, check)
                lowest = job.floor + job.resolution if first == second else 0.0
                found.append(
                    _Search(state, first, second, build, job.window, lowest, job.resolution)
                )
    return found


def _wrong_ends(machine, state, first, second):
    """The states a cell may be left in when two close pulses go wrong: either
    pulse lost, or both taken in the other order."""
    found = {state, machine.next[(state, first)]}
    if machine.legal(state, second):
        after = machine.next[(state, second)]
        found.add(after)
        if machine.legal(after, first):
            found.add(machine.next[(after, first)])
    return sorted(found)


def search_constraints(job, runner, machine, load):
    """The rows of the constraint table: every legal ordered pair of inputs in
    every state, searched by bisection at once."""
    searches = _searches(job, machine)
    if not searches:
        return []
    longest = [s.build(job.window) for s in searches]
    key = job.design(load, longest)

    def judge(scenario, outcome):
        response = job.response(scenario, outcome)
        return matches(machine, scenario, response)[0], response

    plan = _SearchPlan(searches, lambda scenario: job.run(key, scenario), judge)
    runner.run(plan, design=job.designs[key][0], measure=job.measure)
    return [
        (
            "hold",
            s.first,
            s.second,
            machine.name(s.state),
            s.value() * 1e12,
            s.bad * 1e12,
            s.good * 1e12,
            _note(s),
        )
        for s in searches
    ]


def _note(search):
    """The search's note; a negative value explained: the value is measured at
    the port nodes, where a bench's lines and sources may deliver the second
    pulse first although it was sent after the first."""
    value = search.value()
    if search.note or not value < 0:
        return search.note
    return (
        f"negative: passes with {search.second} reaching its port {-value * 1e12:.3f} ps "
        f"before {search.first}"
    )
