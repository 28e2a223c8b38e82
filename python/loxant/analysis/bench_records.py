"""Benches put together from the netlist reader's records.

A cell's file (or a user's bench) is read once into records; a bench takes its
subcircuits, models and parameters as they are, so that a message about them
still names the file and line they were written on, and adds its own cards
(its cells, sources, loads and ``.tran``), read as a small netlist of their own
named :data:`BENCH_FILE`.  No netlist text is edited or read twice.
"""

from ..netlist import Netlist
from ..netlist.errors import clip
from ..netlist.records import Parser
from ..netlist.tokens import read_string

__all__ = ["BENCH_FILE", "bench_netlist", "card_records", "combined"]

#: the name the bench's own cards go by in messages
BENCH_FILE = "<characterization bench>"


def card_records(text, base_dir):
    """The records of the bench's own cards ``text`` (``.include`` files looked up
    in ``base_dir``)."""
    lines, _ = read_string(text, BENCH_FILE, base_dir)
    parser = Parser(BENCH_FILE)
    for line in lines:
        parser.feed(line)
    parser.finish()
    return parser


def combined(file, parts, elements, timing):
    """One set of records named ``file``: the subcircuits, top-level models and
    parameters of ``parts`` in order, the top-level ``elements`` and the
    ``.tran`` of ``timing``; a name defined twice is the reader's error, at the
    second definition."""
    merged = Parser(file)
    top = merged.top
    for part in parts:
        merged.warnings += part.warnings
        for name, sub in part.subckts.items():
            if name in merged.subckts:
                raise sub.line.error(f"duplicate subcircuit {clip(name)}")
            merged.subckts[name] = sub
        for name, model in part.top.models.items():
            known = top.models.setdefault(name, model)
            if not known.same_as(model):
                raise model.line.error(
                    f"model {clip(name)} defined twice differently in one scope "
                    f"(first at {known.line.file}:{known.line.number})"
                )
        for name, value, line in part.top.params:
            if name in top.param_lines:
                first = top.param_lines[name]
                raise line.error(
                    f".param {clip(name)} defined twice (first at {first.file}:{first.number})"
                )
            top.param_lines[name] = line
            top.params.append((name, value, line))
    for element in elements:
        first = top.names.get(element.name)
        if first is not None:
            raise element.line.error(
                f"duplicate name {clip(element.name)} (first at {first.file}:{first.number})"
            )
        top.names[element.name] = element.line
        top.elements.append(element)
    merged.tran, merged.tran_line, merged.settle = timing.tran, timing.tran_line, timing.settle
    merged.last_line = timing.last_line
    return merged


def bench_netlist(records, source):
    """The :class:`~loxant.netlist.Netlist` of bench ``records`` around the cell
    of ``source`` (a :class:`~loxant.analysis.harness.CellSource`)."""
    return Netlist(records, "", source.file, source.base_dir)
