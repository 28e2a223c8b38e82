"""Fourth stage: checks of the expanded circuit's connections.

A node touched by one element only is a warning (an open output of a library
cell runs); loops of voltage and phase sources and nodes without a path to
ground other than through current sources are errors, since the system would
be singular (:mod:`loxant.topology`, shared with circuits built in Python).
"""

from ..kinds import BY_LETTER
from ..nodes import GROUND
from ..topology import check_topology
from .errors import clip, warn

__all__ = ["check_connections", "warn_of_shorts"]


def check_connections(flat, warnings=None):
    """Warn of nodes touched by one element; raise for loops of voltage and phase
    sources and for nodes with no path to ground but through current sources."""
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
        line = element.line
        warn(
            f"node {clip(node)} is connected only to {clip(element.name)}",
            line.file,
            line.number,
            warnings,
        )
    check_topology(
        ((e.name, BY_LETTER[e.letter], e.nodes, e.line) for e in flat),
        lambda line, message: line.error(message),
    )


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
