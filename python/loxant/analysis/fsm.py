"""A cell as a finite-state machine, learned from simulations.

An SFQ cell's state is what it holds between pulses (a stored flux quantum, a
data input seen since the clock).  :func:`learn` finds it from outside: from
rest it sends input sequences, breadth-first, and records which outputs each
pulse gives.  Two histories lead to the same state when every suffix of up to
``depth`` pulses gives the same outputs after both; states are numbered in
the order found, 0 the state at rest, and named ``internal_state_N`` as the
behavioural Verilog models of the public cell libraries do.

A pulse that the cell does not take (its input port node does not turn once)
is *illegal* in that state: the machine has no transition for it, and no
sequence goes on past it.
"""

import itertools
from dataclasses import dataclass, field

from ..errors import AnalysisError

__all__ = ["ILLEGAL", "Machine", "learn", "state_name"]

#: response of a pulse the cell did not take
ILLEGAL = None
#: most states a cell may have; a learner that finds more stops with a message
MAX_STATES = 16


def state_name(index):
    """The name of state ``index``: ``internal_state_N``."""
    return f"internal_state_{index}"


@dataclass
class Machine:
    """States (each with the shortest input sequence from rest that reaches it),
    and per (state, input) the next state and the outputs (a sorted tuple, an
    output twice if it pulses twice).  A missing transition: illegal."""

    inputs: list
    outputs: list
    access: list = field(default_factory=list)
    next: dict = field(default_factory=dict)
    out: dict = field(default_factory=dict)
    names: list = field(default_factory=list)

    def name(self, state):
        return self.names[state] if self.names else state_name(state)

    def legal(self, state, port):
        return (state, port) in self.next

    def walk(self, ports, state=0):
        """(outputs of each pulse, end state) of ``ports`` from ``state``;
        KeyError when a pulse is illegal."""
        outs = []
        for port in ports:
            outs.append(self.out[(state, port)])
            state = self.next[(state, port)]
        return outs, state

    def expected(self, ports):
        return self.walk(ports)[0]

    def arcs(self):
        """(state, input, outputs) of every legal pulse that gives outputs."""
        return [
            (s, p, self.out[(s, p)])
            for s in range(len(self.access))
            for p in self.inputs
            if self.legal(s, p) and self.out[(s, p)]
        ]

    def rows(self):
        """The machine as rows (state, input, outputs, next state) of names."""
        rows = []
        for s in range(len(self.access)):
            for p in self.inputs:
                if self.legal(s, p):
                    outs = " ".join(self.out[(s, p)]) or "none"
                    rows.append((self.name(s), p, outs, self.name(self.next[(s, p)])))
                else:
                    rows.append((self.name(s), p, "illegal", ""))
        return rows

    def check_suffix(self, state, others=None, depth=3):
        """A short legal sequence from ``state`` whose outputs tell it from as many
        of ``others`` (default: every state) as possible, shortest first."""
        others = [o for o in (range(len(self.access)) if others is None else others) if o != state]
        best, told = (), 0
        for length in range(1, depth + 1):
            for seq in itertools.product(self.inputs, repeat=length):
                try:
                    mine = self.walk(seq, state)[0]
                except KeyError:
                    continue
                count = sum(self._differs(seq, mine, other) for other in set(others))
                if count > told:
                    best, told = seq, count
            if told == len(set(others)):
                break
        return list(best)

    def _differs(self, seq, mine, other):
        try:
            return self.walk(seq, other)[0] != mine
        except KeyError:
            return True

    def renamed(self, mapping):
        """Names from ``mapping`` (``internal_state_N`` or N -> name)."""
        names = [state_name(s) for s in range(len(self.access))]
        for key, value in dict(mapping).items():
            index = _state_index(key, len(names))
            names[index] = str(value)
        if len(set(names)) != len(names):
            raise ValueError(f"the state names must differ: {', '.join(names)}")
        self.names = names
        return self


def _state_index(key, count):
    text = str(key).strip()
    if text.lower().startswith("internal_state_"):
        text = text[len("internal_state_") :]
    try:
        index = int(text)
    except ValueError:
        raise ValueError(f"state map: {key!r} is not a state (internal_state_N)") from None
    if not 0 <= index < count:
        raise ValueError(f"state map: the cell has no state {index} (states 0 to {count - 1})")
    return index


def suffixes(inputs, depth):
    """Every input sequence of exactly ``depth`` pulses (the shorter ones are
    their prefixes)."""
    return [list(s) for s in itertools.product(inputs, repeat=depth)]


def _signature(runs, responses, prefix_length, depth):
    """What the suffixes did after the first ``prefix_length`` pulses: per
    sequence of up to ``depth`` inputs, the outputs of each pulse, cut after the
    first illegal one; a dict keyed by the sequence."""
    seen = {}
    for ports, outs in zip(runs, responses):
        tail = outs[prefix_length:]
        for length in range(1, depth + 1):
            seen[tuple(ports[prefix_length : prefix_length + length])] = _cut(tail[:length])
    return seen


def _cut(outs):
    for k, out in enumerate(outs):
        if out is ILLEGAL:
            return tuple(outs[: k + 1])
    return tuple(outs)


def _key(signature):
    return tuple(sorted(signature.items()))


def learn(observe, inputs, outputs, *, depth=2, max_states=MAX_STATES):
    """The :class:`Machine` of a cell.

    ``observe(sequences)`` runs each input sequence (a list of port names, pulses
    well apart) from rest and returns, per sequence, the responses of its pulses
    (a sorted tuple of outputs, or :data:`ILLEGAL`).  States are told apart by all
    suffixes of ``depth`` pulses.  Raises RuntimeError when the rest state takes no input or there are
    more than ``max_states`` states.
    """
    inputs, outputs = list(inputs), list(outputs)
    tails = suffixes(inputs, depth)
    machine = Machine(inputs, outputs)
    signatures = _signatures(observe, [()], tails, depth)
    known = {_key(signatures[()]): 0}
    machine.access.append(())
    layer = [0]
    while layer:
        targets = [(s, p) for s in layer for p in inputs]
        responses = {t: signatures[machine.access[t[0]]][(t[1],)][0] for t in targets}
        targets = [t for t in targets if responses[t] is not ILLEGAL]
        deep = [machine.access[s] + (p,) for s, p in targets]
        signatures.update(_signatures(observe, deep, tails, depth))
        layer = []
        for (state, port), access in zip(targets, deep):
            machine.out[(state, port)] = responses[(state, port)]
            key = _key(signatures[access])
            if key not in known:
                if len(machine.access) >= max_states:
                    raise AnalysisError(
                        f"the cell has more than {max_states} states (told apart by "
                        f"{depth} pulses); a library cell has a few"
                    )
                known[key] = len(machine.access)
                machine.access.append(access)
                layer.append(known[key])
            machine.next[(state, port)] = known[key]
    if not machine.next:
        raise AnalysisError("the cell at rest takes no input pulse")
    return machine


def _signatures(observe, accesses, tails, depth):
    """Signature of each history in ``accesses`` (one run per suffix)."""
    runs = [list(a) + t for a in accesses for t in tails]
    responses = observe(runs) if runs else []
    found, count = {}, len(tails)
    for index, access in enumerate(accesses):
        part = slice(index * count, (index + 1) * count)
        found[tuple(access)] = _signature(runs[part], responses[part], len(access), depth)
    return found
