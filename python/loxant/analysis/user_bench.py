"""A testbench of the user's own around one instance of the cell.

The bench is read by the netlist reader, as ``loxant run`` reads it: its
includes (looked up beside the bench), ``.param`` values, comments,
continuations, any encoding the reader takes, nothing after ``.end``.  Its
sources (chains from a pulsed current source to an input), loads and
everything else stay as written; the cell's instance is found by the cell's
name, the pulse source of each input by following the bench's nodes from the
input without passing through the cell.
"""

import os
from dataclasses import dataclass, replace

from .. import expressions as ex
from ..netlist.tokens import read_file
from .bench_records import card_records, combined
from .harness import PREFIX, parsed_records, port_node, pulse_card

__all__ = ["UserBench"]

_GROUND = {"0", "GND"}


@dataclass(frozen=True)
class UserBench:
    path: str

    def records(self, source, inputs, outputs, slots, t_stop, dt):
        """The bench's records with the cell's ports on :func:`port_node` nodes,
        the cell's instance named ``XLXH_DUT`` and each input's pulse source
        replaced by one whose pulse times are parameters; also (amplitude,
        rise) of the user's pulses."""
        records = _records(self.path)
        elements = records.top.elements
        defined = {name.upper() for name in records.subckts}
        dut = self._instance(elements, source)
        rename = self._port_nodes(elements[dut], source, inputs, outputs)
        nodes = [_nodes(e, defined | {source.cell}) for e in elements]
        renamed = [[rename.get(n.upper(), n) for n in found] for found in nodes]
        scope = _scope(records.top.params)
        drivers = {p: self._driver(elements, renamed, dut, port_node(p), p, scope) for p in inputs}
        shape = _pulse_shape(elements[drivers[inputs[0]]], scope)
        if shape is None:
            raise ValueError(f"{self._where(elements[drivers[inputs[0]]])} sends no pulse")
        amplitude, rise = shape
        port_at = {}  # driver's position -> the (first) input it feeds
        for port, k in drivers.items():
            port_at.setdefault(k, port)
        pulses = [
            pulse_card(port_at[k], renamed[k][:2], slots, amplitude, rise, t_stop)
            for k in sorted(port_at)
        ]
        timing = f".tran {dt:.6g} {t_stop:.6g}"
        cards = card_records("\n".join([*pulses, timing]) + "\n", os.path.dirname(self.path))
        sources = iter(cards.top.elements)  # in the drivers' order
        kept = []
        for k, element in enumerate(elements):
            if k in port_at:
                kept.append(next(sources))
                continue
            name = f"X{PREFIX}DUT" if k == dut else element.name
            slot = _subckt_slot(element, defined | {source.cell})
            kept.append(_with_nodes(element, name, slot, renamed[k]))
        parts = [records, cards] if source.cell in defined else [source.records, records, cards]
        return combined(self.path, parts, kept, cards), amplitude, rise

    def _where(self, element):
        return f"{element.line.file}:{element.line.number}: {element.name}"

    def _instance(self, elements, source):
        found = [
            k
            for k, e in enumerate(elements)
            if e.letter == "X" and _subckt_slot(e, {source.cell}) is not None
        ]
        if len(found) != 1:
            raise ValueError(
                f"{self.path}: the bench must hold one instance of {source.name(source.cell)}, "
                f"it holds {len(found)}"
            )
        return found[0]

    def _port_nodes(self, element, source, inputs, outputs):
        """{bench node: port node} of the cell's instance."""
        nodes = _nodes(element, {source.cell})
        if len(nodes) != len(source.ports):
            raise ValueError(
                f"{self._where(element)} gives {len(nodes)} nodes to {source.cell}, "
                f"which has {len(source.ports)} ports"
            )
        rename = {}
        for port, node in zip(source.ports, nodes):
            if port in inputs or port in outputs:
                if node.upper() in _GROUND:
                    raise ValueError(f"{self._where(element)}: port {port} is on ground")
                rename[node.upper()] = port_node(port)
        return rename

    def _driver(self, elements, nodes, dut, node, port, scope):
        """The one pulsed current source whose nodes the bench joins to ``node``
        without passing through the cell or ground."""
        reach, todo = {node}, [node]
        while todo:
            at = todo.pop()
            for k, found in enumerate(nodes):
                touched = [n.upper() for n in found if n.upper() not in _GROUND]
                if k != dut and at in touched:
                    todo += [t for t in touched if t not in reach]
                    reach.update(touched)
        found = [
            k
            for k, e in enumerate(elements)
            if k != dut
            and e.letter == "I"
            and e.wave is not None
            and any(n.upper() in reach for n in nodes[k])
            and _pulse_shape(e, scope) is not None
        ]
        if len(found) != 1:
            raise ValueError(
                f"{self.path}: input {port} must be fed by one pulsed current source, "
                f"found {len(found)}"
            )
        return found[0]


def _subckt_slot(element, names):
    """Where an instance names its subcircuit among its words: first or last."""
    for k in (0, len(element.nodes) - 1) if element.nodes else ():
        if element.nodes[k].upper() in names:
            return k
    return None


def _nodes(element, names):
    """The node names of an element (an instance: all its words but the
    subcircuit's name; a coupling K has none)."""
    if element.letter == "K":
        return []
    if element.letter == "X":
        slot = _subckt_slot(element, names)
        return [n for k, n in enumerate(element.nodes) if k != slot]
    return list(element.nodes)


def _with_nodes(element, name, slot, nodes):
    """A copy of the element record with its name and nodes replaced (an
    instance's subcircuit name, at ``slot``, kept)."""
    if element.letter == "K":
        return replace(element, name=name)
    renamed = iter(nodes)
    words = [word if k == slot else next(renamed) for k, word in enumerate(element.nodes)]
    return replace(element, name=name.upper(), nodes=words)


def _records(path):
    """The records of the bench file: includes read in place, looked up beside it."""
    lines, first = read_file(path)
    return parsed_records(lines, first, path)


def _scope(params):
    scope = ex.Scope()
    for name, value, where in params:
        scope.define(name, value.tree, where)
    return scope


def _pulse_shape(element, scope):
    """(amplitude, rise) of the first pulse a current source sends: of a ``pwl``
    (a rise from zero and a fall back to it; a bias ramp is no pulse) or of a
    ``pulse(0 I td tr ...)``; None for a source that sends none."""
    kind, values = element.wave[0], element.wave[1]
    try:
        numbers = [float(scope.evaluate(v.tree)) for v in values]
    except (ex.ExpressionError, TypeError, ValueError):
        return None
    if kind == "pwl":
        points = list(zip(numbers[0::2], numbers[1::2]))
        for k in range(1, len(points) - 1):
            if points[k][1] != 0 and points[k - 1][1] == 0 and points[k + 1][1] == 0:
                return points[k][1], points[k][0] - points[k - 1][0]
        return None
    if kind == "pulse" and len(numbers) >= 4:
        low, high, rise = numbers[0], numbers[1], numbers[3]
        return (high, rise) if low == 0 and high != 0 and rise > 0 else None
    return None
