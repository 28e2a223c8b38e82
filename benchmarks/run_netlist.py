"""Runs one netlist through the package with ``simulate`` options that the
command line does not take, and writes its requests as ``loxant run -q FILE
-o OUT`` would (not a benchmark; the whole-process benchmarks call it):

    python benchmarks/run_netlist.py FILE.cir OUT.csv [NAME=VALUE ...]
"""

import sys

from loxant.netlist import Netlist
from loxant.output import write_traces


def setting(value):
    """A number where the text is one (method=trapezoidal stays a string)."""
    try:
        return float(value)
    except ValueError:
        return value


def main(path, out, *settings):
    options = {name: setting(value) for name, value in (s.split("=", 1) for s in settings)}
    net = Netlist.from_file(path)
    results = net.simulate(record=net.record() or None, **options)
    traces = [(label, *results.trace(label)) for label in net.probes]
    write_traces(out, results.time("s"), traces)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
