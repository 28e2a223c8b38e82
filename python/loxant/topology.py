"""The connection checks of a circuit, whether read from a netlist or built in
Python: a loop of voltage and phase sources, and a node whose only ways to
ground pass through current sources, make the system singular.

Each element comes as ``(name, kind, nodes, where)``: its entry in
:mod:`loxant.kinds` says which node pairs conduct and whether it holds the
voltage across it; ``where`` is handed back to ``fail(where, message)``, which
returns the exception to raise (a netlist's names file and line).
Union-find with path compression keeps both checks linear.
"""

import numpy as np

from .nodes import GROUND

__all__ = ["all_grounded", "check_source_loops", "check_topology", "clip"]


def clip(text, limit=80):
    """``text`` cut to ``limit`` characters for a message."""
    text = str(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


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


def check_topology(elements, fail):
    """Raise ``fail(where, message)`` for the first loop of voltage and phase
    sources, then for the first node with no path to ground but through current
    sources."""
    elements = list(elements)
    _check_source_loops(elements, fail)
    _check_grounded(elements, fail)


def check_source_loops(elements, fail):
    """Raise ``fail(where, message)`` for the first loop of voltage and phase sources."""
    _check_source_loops(list(elements), fail)


def all_grounded(elements, edges, numbers, count):
    """Whether every one of the ``count`` nodes reaches ground through the
    conducting pairs of ``elements`` (as :func:`check_topology` takes them) and
    ``edges``, pairs of arrays of node numbers (every one conducts: a block's
    ends); ``numbers`` gives each node name's number (ground 0).  Vectorised,
    for circuits of millions of elements: a failure is named by
    :func:`check_topology`."""
    first, second = [], []
    for _name, kind, nodes, _where in elements:
        if not kind.nodes:
            continue
        for x, y in kind.conducting:
            first.append(_number(numbers, nodes[x]))
            second.append(_number(numbers, nodes[y]))
    u = np.concatenate([np.array(first, np.int64), *(a for a, _ in edges)]).astype(np.int64)
    v = np.concatenate([np.array(second, np.int64), *(b for _, b in edges)]).astype(np.int64)
    return bool(np.all(_components(count + 1, u, v) == 0))


def _number(numbers, node):
    return 0 if node == GROUND else numbers[node]


def _components(n, u, v):
    """The smallest vertex of each vertex's component, of the graph of ``n``
    vertices and edges (u[k], v[k]): roots hook onto smaller roots, and paths
    are halved until every vertex points at its root."""
    parent = np.arange(n)
    while u.size:
        pu, pv = parent[u], parent[v]
        apart = pu != pv
        u, v, pu, pv = u[apart], v[apart], pu[apart], pv[apart]
        np.minimum.at(parent, np.maximum(pu, pv), np.minimum(pu, pv))
        while True:
            grand = parent[parent]
            if np.array_equal(grand, parent):
                break
            parent = grand
    return parent


def _check_source_loops(elements, fail):
    sources = {}  # node -> [(other node, source name)]
    groups = _Groups()
    for name, kind, nodes, where in elements:
        if not kind.holds_voltage:
            continue
        a, b = nodes[0], nodes[1]
        if not groups.join(a, b):
            loop = _path(sources, a, b) + [name]
            raise fail(
                where,
                f"{clip(name)} closes a loop of voltage and phase sources: "
                f"{clip(', '.join(loop), 200)}",
            )
        sources.setdefault(a, []).append((b, name))
        sources.setdefault(b, []).append((a, name))


def _check_grounded(elements, fail):
    groups = _Groups()
    root, parent = groups.root, groups.parent
    first = {}  # node -> where of the first element on it
    for _name, kind, nodes, where in elements:
        for node in nodes if kind.nodes else ():  # a coupling names inductors, not nodes
            first.setdefault(node, where)
        if kind.conducting == ((0, 1),):  # most elements: their two ends, spelled out for speed
            a, b = root(nodes[0]), root(nodes[1])
            if a != b:
                parent[a] = b
            continue
        for x, y in kind.conducting:
            groups.join(nodes[x], nodes[y])
    ground = root(GROUND)
    for node, where in first.items():
        if root(node) != ground:
            raise fail(
                where, f"node {clip(node)} has no path to ground other than through current sources"
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
