"""The state-machine learner on machines written by hand: it sees only what a
bench would show (the outputs of each pulse of a sequence sent from rest) and
must find the same machine, states numbered in the order a breadth-first walk
from rest meets them."""

import pytest

from loxant.analysis.fsm import ILLEGAL, learn

# (state, input) -> (outputs, next state); a missing entry: the cell refuses the pulse
MACHINES = {
    # D flip-flop: a second datum escapes; the clock reads and clears
    "dff": {
        (0, "d"): ((), 1),
        (0, "clk"): ((), 0),
        (1, "d"): ((), 1),
        (1, "clk"): (("q",), 0),
    },
    # non-destructive readout: set, reset, the clock reads without clearing
    "ndro": {
        (0, "a"): ((), 1),
        (0, "b"): ((), 0),
        (0, "clk"): ((), 0),
        (1, "a"): ((), 1),
        (1, "b"): ((), 0),
        (1, "clk"): (("q",), 1),
    },
    # T flip-flop: toggles, an output every second pulse
    "tff": {(0, "t"): ((), 1), (1, "t"): (("q",), 0)},
    # clocked XOR: a then b (or b then a) cancel
    "xor": {
        (0, "a"): ((), 1),
        (0, "b"): ((), 2),
        (0, "clk"): ((), 0),
        (1, "a"): ((), 1),
        (1, "b"): ((), 0),
        (1, "clk"): (("q",), 0),
        (2, "a"): ((), 0),
        (2, "b"): ((), 2),
        (2, "clk"): (("q",), 0),
    },
    # clocked AND: states 1 and 2 look alike to one pulse, apart to two
    "and": {
        (0, "a"): ((), 1),
        (0, "b"): ((), 2),
        (0, "clk"): ((), 0),
        (1, "a"): ((), 1),
        (1, "b"): ((), 3),
        (1, "clk"): ((), 0),
        (2, "a"): ((), 3),
        (2, "b"): ((), 2),
        (2, "clk"): ((), 0),
        (3, "a"): ((), 3),
        (3, "b"): ((), 3),
        (3, "clk"): (("q",), 0),
    },
    # clocked NOT: the clock gives q unless a came
    "not": {(0, "a"): ((), 1), (0, "clk"): (("q",), 0), (1, "a"): ((), 1), (1, "clk"): ((), 0)},
    # splitter and merger: one state
    "split": {(0, "a"): (("q0", "q1"), 0)},
    "merge": {(0, "a"): (("q",), 0), (0, "b"): (("q",), 0)},
    # a cell that refuses a second pulse until read (no escape junction)
    "strict": {(0, "d"): ((), 1), (0, "clk"): ((), 0), (1, "clk"): (("q",), 0)},
}


def ports(machine):
    inputs = sorted({p for _, p in machine}, key=lambda p: (p == "clk", p))
    outputs = sorted({o for outs, _ in machine.values() for o in outs})
    return inputs, outputs


def bench(machine, calls):
    """``observe`` of a cell that behaves as ``machine`` (counting its runs)."""

    def observe(sequences):
        calls.append(len(sequences))
        found = []
        for sequence in sequences:
            state, outs = 0, []
            for port in sequence:
                if (state, port) not in machine:
                    outs += [ILLEGAL] * (len(sequence) - len(outs))
                    break
                out, state = machine[(state, port)]
                outs.append(tuple(sorted(out)))
            found.append(outs)
        return found

    return observe


def renumbered(machine, inputs):
    """The hand-written machine renumbered breadth-first from rest, inputs in order."""
    order, queue = {0: 0}, [0]
    while queue:
        state = queue.pop(0)
        for port in inputs:
            if (state, port) in machine:
                target = machine[(state, port)][1]
                if target not in order:
                    order[target] = len(order)
                    queue.append(target)
    return {(order[s], p): (tuple(sorted(o)), order[n]) for (s, p), (o, n) in machine.items()}


@pytest.mark.parametrize("name", sorted(MACHINES))
def test_learned_machine_equals_the_one_written_by_hand(name):
    machine = MACHINES[name]
    inputs, outputs = ports(machine)
    calls = []
    learned = learn(bench(machine, calls), inputs, outputs)
    found = {key: (learned.out[key], learned.next[key]) for key in learned.next}
    assert found == renumbered(machine, inputs)
    states = len({s for s, _ in machine})
    # one batch per layer of the walk, each a few runs per state and input
    assert sum(calls) <= (1 + states * len(inputs)) * len(inputs) ** 2


def test_states_are_named_as_behavioural_models_name_them_and_can_be_renamed():
    inputs, outputs = ports(MACHINES["ndro"])
    learned = learn(bench(MACHINES["ndro"], []), inputs, outputs)
    assert [learned.name(s) for s in range(2)] == ["internal_state_0", "internal_state_1"]
    learned.renamed({"internal_state_1": "set"})
    assert learned.rows()[-1] == ("set", "clk", "q", "set")
    with pytest.raises(ValueError, match="no state 7"):
        learned.renamed({7: "x"})


@pytest.mark.parametrize("name", ["and", "xor", "ndro", "tff"])
def test_the_check_after_a_pair_tells_the_expected_state_from_another(name):
    inputs, outputs = ports(MACHINES[name])
    learned = learn(bench(MACHINES[name], []), inputs, outputs)
    count = len(learned.access)
    for state in range(count):
        for other in set(range(count)) - {state}:
            check = learned.check_suffix(state, [other])
            assert learned.walk(check, state)[0] != learned.walk(check, other)[0]


def test_a_machine_with_too_many_states_is_refused():
    counter = {(k, "t"): ((f"q{k}",), (k + 1) % 20) for k in range(20)}
    with pytest.raises(RuntimeError, match="more than 16 states"):
        learn(bench(counter, []), ["t"], [f"q{k}" for k in range(20)])
