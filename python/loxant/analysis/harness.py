"""The test bench built around a cell to characterize it.

The bench is the cell as it is used.  Each input port of the cell is driven
by an SFQ source: a triangular current pulse (DC/SFQ-like) injected into a
short JTL whose last inductor ends on the port node; its pulses are sharp
enough that two of them a little over 2 ps apart still reach the port as two,
closer than a library cell takes them.  Each output port is loaded by ``load``
JTL loads in parallel (the fan-out), each one JTL stage followed by a sink (a
biased junction that switches once per pulse and lets the flux quantum out to
ground).

A port that meets a passive transmission line (PTL) is benched with one:

* an output reached from inside the cell through a series resistor alone (the
  driver's matching resistor) drives a lossless line of ``ptl_z0`` and
  ``ptl_delay`` into a receiver and a sink, whatever the load count;
* an input with a ``T`` element of the cell on it is fed by the source through
  a series resistor ``ptl_r`` and such a line.

``ptl_in``/``ptl_out`` of :meth:`Bench.records` override what the netlist shows.
A user's own cells can stand for the source or the load (``source_cell``,
``load_cell``: names of two-port subcircuits ``a q`` of the netlist, or of a
file given with ``include``).  The cells of the bench are plain ``.subckt``
texts, settable through :class:`Bench`; the defaults below are written once
here.

The pulse times are top-level ``.param`` values (``LXH_T_<PORT>_<k>``), so one
netlist serves every run and a run only sets them; pulses not used in a run
are parked after the end of the simulation.  Every name the bench adds starts
with ``LXH_`` so that it cannot meet a name of the cell.
"""

import os
from dataclasses import dataclass

from ..netlist import NetlistError
from ..netlist.records import Parser
from ..netlist.tokens import keyword, read_string
from ..units import to_si
from .bench_records import card_records, combined

__all__ = ["DEFAULT_CELLS", "Bench", "CellSource", "cell_source", "port_node"]

#: the bench's junction model and cells (Ic 250 uA, beta_c about 1, biased at 0.7 Ic);
#: a load stage takes its pulse through 6 pH, as a cell's input does, so that
#: three of them in parallel still switch at 90 % bias; the line receiver is a
#: small junction biased at 0.7 Ic, a series buffer and a JTL stage, which takes
#: the line's pulse once without ringing back
DEFAULT_CELLS = """\
.model LXH_JJ jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)
.subckt LXH_SOURCE inj out
B1 inj 0 LXH_JJ area=1
IB1 0 inj pwl(0 0 10p 175u)
L1 inj 1 4p
B2 1 0 LXH_JJ area=1
IB2 0 1 pwl(0 0 10p 175u)
L2 1 out 2p
.ends LXH_SOURCE
.subckt LXH_STAGE a b
L1 a 1 6p
B1 1 0 LXH_JJ area=1
IB1 0 1 pwl(0 0 10p 175u)
L2 1 b 2p
.ends LXH_STAGE
.subckt LXH_SINK a
L1 a 1 2p
B1 1 0 LXH_JJ area=1
IB1 0 1 pwl(0 0 10p 175u)
.ends LXH_SINK
.subckt LXH_RECEIVER a
L1 a 1 2p
B1 1 0 LXH_JJ area=0.64
IB1 0 1 pwl(0 0 10p 112u)
L2 1 2 8.2p
B2 2 0 LXH_JJ area=0.32
L3 2 3 1.4p
IB2 0 3 pwl(0 0 10p 240u)
L4 3 4 2.2p
B3 4 0 LXH_JJ area=1
L5 4 5 2p
B4 5 0 LXH_JJ area=1
IB4 0 5 pwl(0 0 10p 175u)
.ends LXH_RECEIVER
"""

#: prefix of every name the bench adds
PREFIX = "LXH_"
_PULSE_SOURCE = "ILXH_PULSE_"


def port_node(port):
    """The top-level node of the bench that a port of the cell is connected to."""
    return f"{PREFIX}{port.upper()}"


def pulse_parameter(port, slot):
    """The ``.param`` holding the time of the ``slot``-th pulse (from 1) into ``port``."""
    return f"{PREFIX}T_{port.upper()}_{slot}"


def pulse_source(port):
    """The name of the current source that sends the pulses into ``port``."""
    return f"{_PULSE_SOURCE}{port.upper()}"


def parked_time(t_stop, rise, slot):
    """Where an unused pulse ``slot`` (from 0) waits: after the end, in order."""
    return t_stop + (slot + 1) * 4 * rise


def pulse_points(times, amplitude, rise):
    """The (time, current) points of triangular pulses starting at ``times``."""
    points = [(0.0, 0.0)]
    for t in sorted(times):
        points += [(t, 0.0), (t + rise, amplitude), (t + 2 * rise, 0.0)]
    return points


def pulse_card(port, nodes, slots, amplitude, rise, t_stop):
    """The ``.param`` of the pulse times into ``port`` and the PWL current source
    between ``nodes`` that sends them: ``slots`` pulses of ``amplitude``, each
    rising and falling in ``rise``."""
    params = [pulse_parameter(port, k) for k in range(1, slots + 1)]
    # parked pulses sit after the end, in order, so the points always increase
    parked = " ".join(f"{p}={parked_time(t_stop, rise, k):.6g}" for k, p in enumerate(params))
    points = ["0 0"]
    for p in params:
        points.append(f"{{{p}}} 0 {{{p}+{rise:.6g}}} {amplitude:.6g} {{{p}+{2 * rise:.6g}}} 0")
    name = pulse_source(port)
    return f".param {parked}\n{name} {nodes[0]} {nodes[1]} pwl({' '.join(points)})"


def is_pulse_source(name):
    """Whether element ``name`` is one of the bench's pulse sources (not a bias)."""
    return name.upper().startswith(_PULSE_SOURCE)


@dataclass(frozen=True)
class Bench:
    """How the bench is built and run.

    ``cells``: the ``.model`` and the ``.subckt`` texts of ``LXH_SOURCE inj out``,
    ``LXH_STAGE a b``, ``LXH_SINK a`` and ``LXH_RECEIVER a``; ``amplitude`` and
    ``rise``: the current pulse (rises for ``rise``, falls for ``rise``);
    ``settle``: time before the first pulse, while the biases ramp up;
    ``spacing``: time between pulses that must not interact (and the tail after
    the last); ``dt``: time step; ``ptl_z0``, ``ptl_delay``: the bench's
    transmission lines (a short line: its echoes die out between pulses), ``ptl_r``
    the transmitter's series resistor; ``source_cell``, ``load_cell``: a
    subcircuit ``a q`` put between the bench's source and an input, or between
    an output and each sink; ``include``: a file that defines them.  Times are
    seconds or strings such as ``"2ps"``.
    """

    cells: str = DEFAULT_CELLS
    amplitude: object = "800uA"
    rise: object = "1ps"
    settle: object = "30ps"
    spacing: object = "25ps"
    dt: object = "0.05ps"
    ptl_z0: object = "5.3ohm"
    ptl_delay: object = "5ps"
    ptl_r: object = "1.36ohm"
    source_cell: str = None
    load_cell: str = None
    include: str = None

    def seconds(self, name):
        value = to_si(getattr(self, name), "s")
        if not value > 0:
            raise ValueError(f"the bench's {name} must be positive, got {getattr(self, name)!r}")
        return value

    def records(self, source, inputs, outputs, load, slots, t_stop, ptl_in=None, ptl_out=None):
        """The records of the bench around ``source`` (a :class:`CellSource`):
        ``inputs`` and ``outputs`` are port names, ``load`` the number of parallel
        JTL loads on each output, ``slots`` the number of pulses each input can
        carry; ``ptl_in``/``ptl_out``: the ports benched with a line (default:
        those the cell's netlist shows)."""
        cards = card_records(
            self.cards(source, inputs, outputs, load, slots, t_stop, ptl_in, ptl_out),
            source.base_dir,
        )
        return combined(source.file, [source.records, cards], cards.top.elements, cards)

    def cards(self, source, inputs, outputs, load, slots, t_stop, ptl_in=None, ptl_out=None):
        """The bench's own cards (as :meth:`records` takes them): its cells,
        sources, the cell's instance, loads and ``.tran``."""
        amplitude = to_si(self.amplitude, "A")
        if not amplitude > 0:
            raise ValueError(
                f"the bench's pulse amplitude must be positive, got {self.amplitude!r}"
            )
        rise = self.seconds("rise")
        ptl_in = source.ptl_inputs(inputs) if ptl_in is None else set(ptl_in)
        ptl_out = source.ptl_outputs(outputs) if ptl_out is None else set(ptl_out)
        lines = [self.cells.rstrip()]
        if self.include:
            lines.append(f'.include "{self.include}"')
        for port in inputs:
            lines.append(self._pulse_source(port, slots, amplitude, rise, t_stop))
            lines += self._driver(port, port in ptl_in)
        nodes = [port_node(p) if p in inputs or p in outputs else "0" for p in source.ports]
        lines.append(f"X{PREFIX}DUT {source.cell} {' '.join(nodes)}")
        for port in outputs:
            lines += self._loads(port, 1 if port in ptl_out else load, port in ptl_out)
        lines.append(f".tran {to_si(self.dt, 's'):.6g} {t_stop:.6g}")
        return "\n".join(lines) + "\n"

    def _line(self, name, a, b):
        z0, delay = to_si(self.ptl_z0, "ohm"), self.seconds("ptl_delay")
        return f"T{PREFIX}{name} {a} 0 {b} 0 td={delay:.6g} z0={z0:.6g}"

    def _driver(self, port, ptl):
        upper = port.upper()
        out = f"{PREFIX}SRC_OUT_{upper}" if ptl or self.source_cell else port_node(port)
        lines = [f"X{PREFIX}SRC_{upper} LXH_SOURCE {PREFIX}INJ_{upper} {out}"]
        if self.source_cell:
            nxt = f"{PREFIX}USER_OUT_{upper}" if ptl else port_node(port)
            lines.append(f"X{PREFIX}USER_SRC_{upper} {self.source_cell} {out} {nxt}")
            out = nxt
        if ptl:
            r = to_si(self.ptl_r, "ohm")
            lines.append(f"R{PREFIX}TX_{upper} {out} {PREFIX}TX_{upper} {r:.6g}")
            lines.append(self._line(f"IN_{upper}", f"{PREFIX}TX_{upper}", port_node(port)))
        return lines

    def _loads(self, port, count, ptl):
        upper, lines = port.upper(), []
        for k in range(1, count + 1):
            tail = f"{PREFIX}{upper}_LOAD{k}"
            if ptl:
                lines.append(self._line(f"OUT_{upper}_{k}", port_node(port), tail))
                lines.append(f"X{PREFIX}RX_{upper}_{k} LXH_RECEIVER {tail}")
                continue
            if self.load_cell:
                lines.append(
                    f"X{PREFIX}USER_LOAD_{upper}_{k} {self.load_cell} {port_node(port)} {tail}"
                )
            else:
                lines.append(f"X{PREFIX}LOAD_{upper}_{k} LXH_STAGE {port_node(port)} {tail}")
            lines.append(f"X{PREFIX}SINK_{upper}_{k} LXH_SINK {tail}")
        return lines

    def _pulse_source(self, port, slots, amplitude, rise, t_stop):
        nodes = ("0", f"{PREFIX}INJ_{port.upper()}")
        return pulse_card(port, nodes, slots, amplitude, rise, t_stop)


@dataclass(frozen=True)
class CellSource:
    """The records of a cell's file (its subcircuits, models and parameters are
    what a bench takes), the cell's name and ports, and where they come from."""

    records: object
    cell: str
    ports: tuple
    file: str
    base_dir: str
    spelling: dict = None  # upper-case name -> as the netlist writes it
    body: tuple = ()  # (kind letter, node words) of the cell's elements

    def name(self, port_or_cell):
        """A port's or the cell's name as the netlist spells it."""
        return (self.spelling or {}).get(port_or_cell.upper(), port_or_cell)

    def _touching(self, port):
        """(kind letter, node words) of the cell's elements on ``port``."""
        return [(kind, list(nodes)) for kind, nodes in self.body if port.upper() in nodes]

    def ptl_inputs(self, inputs):
        """Inputs with a transmission line of the cell on them."""
        return {p for p in inputs if any(kind == "T" for kind, _ in self._touching(p))}

    def ptl_outputs(self, outputs):
        """Outputs reached through a series resistor alone (a line driver's)."""
        found = set()
        for port in outputs:
            touching = self._touching(port)
            if len(touching) == 1 and touching[0][0] == "R":
                others = [n for n in touching[0][1][:2] if n != port.upper()]
                if others and others[0] not in ("0", "GND"):
                    found.add(port)
        return found


def parsed_records(lines, first, file):
    """The netlist reader's records of logical ``lines`` (subcircuits, models,
    parameters, top-level elements); ``first``, the file's first line, is its
    title unless it reads as an element or a control line."""
    parser = Parser(file)
    for line in lines:
        if line is first and keyword(line)[:1] != "." and not _is_element(parser, line):
            continue
        parser.feed(line)
    parser.finish()
    return parser


def _is_element(parser, line):
    try:
        parser.element(line)
    except NetlistError:
        return False
    return True


def _subckt(records, cell):
    """(cell name, port names) as the ``.subckt`` line spells them, and the
    (kind letter, upper-case node words) of the cell's own elements."""
    found = {name.upper(): sub for name, sub in records.subckts.items()}
    if not isinstance(cell, str) or cell.upper() not in found:
        known = ", ".join(sorted(found)) or "none"
        raise ValueError(f"no subcircuit named {cell} (subcircuits: {known})")
    sub = found[cell.upper()]
    words = sub.line.text.split()[1 : 2 + len(sub.ports)]
    body = tuple((e.letter, tuple(n.upper() for n in e.nodes)) for e in sub.body.elements)
    return words[0], tuple(words[1:]), body


def cell_source(netlist, cell):
    """The :class:`CellSource` of ``cell`` in ``netlist``: a path, netlist text
    (a string with a newline) or a :class:`~loxant.netlist.Netlist` read from a
    file."""
    if hasattr(netlist, "file") and hasattr(netlist, "circuit"):
        if not (isinstance(netlist.file, str) and os.path.isfile(netlist.file)):
            raise ValueError(
                "characterization rebuilds the netlist around the cell and needs its text: "
                "pass the path or the text of a netlist read from a string"
            )
        netlist = netlist.file
    if isinstance(netlist, str) and "\n" in netlist:
        text, file, base_dir = netlist, "<string>", os.getcwd()
    elif isinstance(netlist, (str, os.PathLike)):
        file = os.fspath(netlist)
        with open(file, encoding="utf-8", errors="replace") as stream:
            text = stream.read()
        base_dir = os.path.dirname(os.path.abspath(file))
    else:
        raise TypeError(f"expected a netlist path, text or Netlist, got {type(netlist).__name__}")
    if not isinstance(cell, str) or not cell.strip():
        raise ValueError(f"name the cell to characterize, got {cell!r}")
    records = parsed_records(*read_string(text, file, base_dir), file)
    name, ports, body = _subckt(records, cell)
    spelling = {p.upper(): p for p in ports}
    spelling[name.upper()] = name
    upper = tuple(p.upper() for p in ports)
    return CellSource(records, name.upper(), upper, file, base_dir, spelling, body)
