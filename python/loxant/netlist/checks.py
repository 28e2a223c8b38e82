"""Fourth stage: checks of the expanded circuit's connections.

A node touched by one element only is a warning (an open output of a library
cell runs); loops of voltage and phase sources and nodes without a path to
ground other than through current sources are errors, since the system would
be singular (:mod:`loxant.topology`, shared with circuits built in Python).
"""

import numpy as np

from ..kinds import BY_LETTER
from ..nodes import GROUND
from ..topology import all_grounded, check_source_loops, check_topology
from .errors import clip, warn

__all__ = ["check_connections", "warn_of_shorts"]


def check_connections(flat, warnings=None, plain=None, singly=None):
    """Warn of nodes touched by one element; raise for loops of voltage and phase
    sources and for nodes with no path to ground but through current sources.
    ``plain``: the expansion's columns (:class:`~loxant.netlist.plain.Plain`);
    ``singly``, a function giving the expansion with every element a Flat, names
    a fault among them as it would be named without columns."""
    if plain is not None and len(plain):
        _check_with_columns(flat, warnings, plain, singly)
        return
    first, once = {}, {}  # node -> the first element on it; and while it is the only one
    for element in flat:
        if BY_LETTER[element.letter].nodes:  # a coupling names inductors, not nodes
            for node in element.nodes:
                if node not in first:
                    first[node] = once[node] = element
                else:
                    once.pop(node, None)
    once.pop(GROUND, None)
    for node, element in once.items():
        _warn_once(node, element.name, element.line, warnings)
    check_topology(_described(flat), lambda line, message: line.error(message))


def _described(flat):
    return ((e.name, BY_LETTER[e.letter], e.nodes, e.line) for e in flat)


def _warn_once(node, name, line, warnings):
    warn(f"node {clip(node)} is connected only to {clip(name)}", line.file, line.number, warnings)


def _check_with_columns(flat, warnings, plain, singly):
    """The same checks over the loose elements and the columns, counted with
    arrays; a node without a path to ground is then named by the full check."""
    numbers = dict(plain.numbers)  # the loose elements' own nodes numbered after
    loose = list(_described(flat))
    touched = [
        0 if n == GROUND else numbers.setdefault(n, len(numbers) + 1)
        for _, kind, nodes, _ in loose
        if kind.nodes
        for n in nodes
    ]
    columns = [c.arrays()[:2] for c in plain.columns.values()]
    ends = np.concatenate([np.array(touched, np.int64), *(x for pair in columns for x in pair)])
    counts = np.bincount(ends, minlength=len(numbers) + 1)
    names = list(numbers)
    for number in np.flatnonzero(counts == 1):
        if number:
            name, line = _only_element(int(number), names[number - 1], loose, plain)
            _warn_once(names[number - 1], name, line, warnings)
    fail = lambda line, message: line.error(message)  # noqa: E731
    if not all_grounded(loose, columns, numbers, len(numbers)):
        if singly is not None:
            every = list(_described(singly()))
        else:
            every = loose + [(n, BY_LETTER[k], e, r.line) for n, k, e, r in plain.elements()]
        check_topology(every, fail)
    check_source_loops(loose, fail)


def _only_element(number, node, loose, plain):
    """(name, line) of the one element on node ``number``."""
    for name, kind, nodes, line in loose:
        if kind.nodes and node in nodes:
            return name, line
    for column in plain.columns.values():
        a, b, _ = column.arrays()
        hits = np.flatnonzero((a == number) | (b == number))
        if hits.size:
            return column.names[hits[0]], column.records[hits[0]].line
    raise AssertionError(f"no element on node {node}")


def warn_of_shorts(flat, sink):
    """One warning per file for its zero-ohm resistors, which are read as shorts."""
    shorts = {}
    for element in flat:
        if element.letter == "R" and element.values.get("value") == 0:
            shorts.setdefault(element.line.file, []).append(element)
    for elements in shorts.values():
        first, more = elements[0], len(elements) - 1
        also = f" (and {more} more in this file)" if more else ""
        warn(
            f"{clip(first.name)}{also}: a resistance of 0 joins its nodes (read as a short)",
            first.line.file,
            first.line.number,
            sink,
        )
