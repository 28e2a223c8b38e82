"""Fourth stage: checks of the expanded circuit's connections.

A node touched by one element only is a warning (an open output of a library
cell runs); loops of voltage and phase sources and nodes without a path to
ground other than through current sources are errors, since the system would
be singular.  Union-find with path compression keeps every check linear.
"""

from ..kinds import BY_LETTER
from ..nodes import GROUND
from .errors import clip, warn

__all__ = ["check_connections", "warn_of_shorts"]

#: node pairs (by position) that an element joins by a path entering the matrix,
#: for the kinds that do not simply join their two nodes
_CONDUCTING = {
    letter: kind.conducting for letter, kind in BY_LETTER.items() if kind.conducting != ((0, 1),)
}
#: the kinds that hold the voltage across them
_HOLDS_VOLTAGE = frozenset(letter for letter, kind in BY_LETTER.items() if kind.holds_voltage)


class _Groups:
    """Union-find over node names, with path compression (by halving)."""

    def __init__(self):
        self.parent = {}

    def root(self, node):
        parent = self.parent
        while True:
            up = parent.get(node, node)
            if up == node:
                return node
            above = parent.get(up, up)
            parent[node] = above
            node = above

    def join(self, a, b):
        ra, rb = self.root(a), self.root(b)
        if ra != rb:
            self.parent[ra] = rb
        return ra != rb


def check_connections(flat, warnings=None):
    """Warn of nodes touched by one element; raise for loops of voltage and phase
    sources and for nodes with no path to ground but through current sources."""
    first, once = {}, {}  # node -> the first element on it; and while it is the only one
    for element in flat:
        if element.letter != "K":
            for node in element.nodes:
                if node not in first:
                    first[node] = once[node] = element
                else:
                    once.pop(node, None)
    once.pop(GROUND, None)
    for node, element in once.items():
        line = element.line
        warn(
            f"node {clip(node)} is connected only to {clip(element.name)}",
            line.file,
            line.number,
            warnings,
        )
    _check_source_loops(flat)
    _check_grounded(flat, first)


def _check_source_loops(flat):
    sources = {}  # node -> [(other node, source name)]
    groups = _Groups()
    for element in flat:
        if element.letter not in _HOLDS_VOLTAGE:
            continue
        a, b = element.nodes
        if not groups.join(a, b):
            loop = _path(sources, a, b) + [element.name]
            raise element.line.error(
                f"{clip(element.name)} closes a loop of voltage and phase sources: "
                f"{clip(', '.join(loop), 200)}"
            )
        sources.setdefault(a, []).append((b, element.name))
        sources.setdefault(b, []).append((a, element.name))


def _check_grounded(flat, first):
    groups = _Groups()
    root, parent, conducting = groups.root, groups.parent, _CONDUCTING
    for element in flat:
        nodes = element.nodes
        pairs = conducting.get(element.letter)
        if pairs is None:  # most elements: their two ends, spelled out for speed
            a, b = root(nodes[0]), root(nodes[1])
            if a != b:
                parent[a] = b
            continue
        for x, y in pairs:
            groups.join(nodes[x], nodes[y])
    ground = root(GROUND)
    for node, element in first.items():
        if root(node) != ground:
            raise element.line.error(
                f"node {clip(node)} has no path to ground other than through current sources"
            )


def _path(edges, start, goal):
    """Names of the sources on a path from ``start`` to ``goal``."""
    previous, pending, head = {start: None}, [start], 0
    while head < len(pending):
        node = pending[head]
        head += 1
        for other, name in edges.get(node, ()):
            if other not in previous:
                previous[other] = (node, name)
                pending.append(other)
    names, node = [], goal
    while previous.get(node) is not None:
        node, name = previous[node]
        names.append(name)
    return names[::-1]


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
