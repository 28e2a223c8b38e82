"""The test bench built around a cell to characterize it.

Each input port of the cell is driven by an SFQ source: a triangular current
pulse (DC/SFQ-like) injected into a short JTL whose last inductor ends on the
port node.  Each output port is loaded by ``load`` JTL loads in parallel (the
fan-out), each one JTL stage followed by a sink (a biased junction that
switches once per pulse and lets the flux quantum out to ground).  The cells
of the bench are plain ``.subckt`` texts, settable through :class:`Bench`;
the defaults below are written once here.

The pulse times are top-level ``.param`` values (``LXH_T_<PORT>_<k>``), so one
netlist serves every run and a run only sets them; pulses not used in a run
are parked after the end of the simulation.  Every name the bench adds starts
with ``LXH_`` so that it cannot meet a name of the cell.
"""

import os
import re
from dataclasses import dataclass

from ..units import to_si

__all__ = ["DEFAULT_CELLS", "Bench", "CellSource", "cell_source", "port_node"]

#: the bench's junction model and cells (Ic 250 uA, beta_c about 1, biased at 0.7 Ic);
#: a load stage takes its pulse through 6 pH, as a cell's input does, so that
#: three of them in parallel still switch at 90 % bias
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


def is_pulse_source(name):
    """Whether element ``name`` is one of the bench's pulse sources (not a bias)."""
    return name.upper().startswith(_PULSE_SOURCE)


@dataclass(frozen=True)
class Bench:
    """How the bench is built and run.

    ``cells``: the ``.model`` and the ``.subckt`` texts of ``LXH_SOURCE inj out``,
    ``LXH_STAGE a b`` and ``LXH_SINK a``; ``amplitude`` and ``rise``: the current
    pulse (rises for ``rise``, falls for ``rise``); ``settle``: time before the
    first pulse, while the biases ramp up; ``spacing``: time between pulses that
    must not interact (and the tail after the last); ``dt``: time step.  Times
    are seconds or strings such as ``"2ps"``.
    """

    cells: str = DEFAULT_CELLS
    amplitude: object = "400uA"
    rise: object = "2ps"
    settle: object = "30ps"
    spacing: object = "25ps"
    dt: object = "0.05ps"

    def seconds(self, name):
        value = to_si(getattr(self, name), "s")
        if not value > 0:
            raise ValueError(f"the bench's {name} must be positive, got {getattr(self, name)!r}")
        return value

    def text(self, source, inputs, outputs, load, slots, t_stop):
        """The bench netlist around ``source`` (a :class:`CellSource`): ``inputs``
        and ``outputs`` are port names, ``load`` the number of parallel JTL loads
        on each output, ``slots`` the number of pulses each input can carry."""
        amplitude = to_si(self.amplitude, "A")
        if not amplitude > 0:
            raise ValueError(
                f"the bench's pulse amplitude must be positive, got {self.amplitude!r}"
            )
        rise = self.seconds("rise")
        lines = [source.text.rstrip("\n"), "* -- characterization bench --", self.cells.rstrip()]
        for port in inputs:
            lines.append(self._pulse_source(port, slots, amplitude, rise, t_stop))
            lines.append(
                f"X{PREFIX}SRC_{port.upper()} LXH_SOURCE {PREFIX}INJ_{port.upper()} "
                f"{port_node(port)}"
            )
        nodes = [port_node(p) if p in inputs or p in outputs else "0" for p in source.ports]
        lines.append(f"X{PREFIX}DUT {source.cell} {' '.join(nodes)}")
        for port in outputs:
            for k in range(1, load + 1):
                tail = f"{PREFIX}{port.upper()}_LOAD{k}"
                lines.append(f"X{PREFIX}LOAD_{port.upper()}_{k} LXH_STAGE {port_node(port)} {tail}")
                lines.append(f"X{PREFIX}SINK_{port.upper()}_{k} LXH_SINK {tail}")
        lines.append(f".tran {to_si(self.dt, 's'):.6g} {t_stop:.6g}")
        lines.append(".end")
        return "\n".join(lines) + "\n"

    def _pulse_source(self, port, slots, amplitude, rise, t_stop):
        params = [pulse_parameter(port, k) for k in range(1, slots + 1)]
        # parked pulses sit after the end, in order, so the points always increase
        parked = " ".join(f"{p}={t_stop + (k + 1) * 4 * rise:.6g}" for k, p in enumerate(params))
        points = ["0 0"]
        for p in params:
            points.append(f"{{{p}}} 0 {{{p}+{rise:.6g}}} {amplitude:.6g} {{{p}+{2 * rise:.6g}}} 0")
        name = f"{_PULSE_SOURCE}{port.upper()}"
        return f".param {parked}\n{name} 0 {PREFIX}INJ_{port.upper()} pwl({' '.join(points)})"


@dataclass(frozen=True)
class CellSource:
    """The text that defines a cell (its file's subcircuits, models and
    parameters), the cell's name and ports, and where the text comes from."""

    text: str
    cell: str
    ports: tuple
    file: str
    base_dir: str


_KEEP = (".subckt", ".ends", ".model", ".param", ".include", ".inc", ".lib")
_DROP_BLOCK = {".control": ".endc"}


def _library_lines(lines):
    """The lines of a netlist that define subcircuits, models and parameters; the
    others (top-level elements, analyses, outputs) become comments so that the
    line numbers of the file stay and its errors point at the right line."""
    kept, depth, keeping, block_end = [], 0, False, None
    for number, line in enumerate(lines):
        word = line.split(None, 1)[0].lower() if line.strip() else ""
        if block_end is not None:
            block_end = None if word == block_end else block_end
            kept.append("*")
            continue
        if word in _DROP_BLOCK:
            block_end = _DROP_BLOCK[word]
            kept.append("*")
            continue
        if word == ".end":
            kept.extend("*" for _ in lines[number:])
            break
        if word.startswith("+"):
            kept.append(line if keeping else "*")
            continue
        if word == ".subckt":
            depth += 1
        keeping = depth > 0 or word in _KEEP or word.startswith("*") or not word
        kept.append(line if keeping else "*")
        if word == ".ends":
            depth = max(depth - 1, 0)
    return kept


def _ports(text, cell):
    pattern = re.compile(r"^\s*\.subckt\s+(\S+)(.*)$", re.IGNORECASE | re.MULTILINE)
    found = {}
    for match in pattern.finditer(text):
        words = []
        for word in match.group(2).split():
            if "=" in word:
                break
            words.append(word)
        found[match.group(1).upper()] = tuple(w.upper() for w in words)
    if cell.upper() not in found:
        known = ", ".join(sorted(found)) or "none"
        raise ValueError(f"no subcircuit named {cell} (subcircuits: {known})")
    return found[cell.upper()]


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
    kept = "\n".join(_library_lines(text.splitlines()))
    return CellSource(kept, cell.upper(), _ports(kept, cell), file, base_dir)
