"""Where one ``loxant run`` spends its time, in this process: importing the
package, reading the netlist, setting up the system (numbering and sparsity
pattern), the native run (models installed, the time loop) and writing the
traces, each as CPU time. By default the library-shaped testbench of
``library_shapes.cell_testbench`` (40 000 steps, CSV output); any netlist with
``--netlist``. No phase but the run should cost more than a fraction of it.

    python benchmarks/bench_phases.py [--netlist FILE.cir] [--format csv|dat|raw]
"""

import argparse
import pathlib
import sys
import tempfile
import time

started = time.process_time()
import loxant.cli as cli  # noqa: E402  (timed: the import is one of the phases)
from loxant.netlist import reader  # noqa: E402
from loxant.simulation import assembly, native  # noqa: E402

IMPORT_SECONDS = time.process_time() - started

from library_shapes import cell_testbench  # noqa: E402


def clocked(owner, name, label, clock):
    """Replaces owner.name by a wrapper adding its CPU time to clock[label]."""
    function = getattr(owner, name)

    def timed(*args, **kwargs):
        start = time.process_time()
        try:
            return function(*args, **kwargs)
        finally:
            clock[label] = clock.get(label, 0.0) + time.process_time() - start

    setattr(owner, name, timed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--netlist", type=pathlib.Path)
    parser.add_argument("--format", default="csv", choices=["csv", "dat", "raw"])
    args = parser.parse_args()
    clock = {}
    clocked(reader.Netlist, "from_file", "read", clock)
    clocked(assembly.System, "__init__", "set-up (numbering, pattern)", clock)
    clocked(native, "setup", "models installed", clock)
    clocked(native, "run", "native time loop", clock)
    clocked(cli, "write_traces", "write traces", clock)
    with tempfile.TemporaryDirectory() as folder:
        netlist = args.netlist
        if netlist is None:
            netlist = pathlib.Path(folder) / "tb.cir"
            netlist.write_text(cell_testbench())
        sys.argv = ["loxant", "run", "-q", str(netlist), "-o", f"{folder}/out.{args.format}"]
        start = time.process_time()
        try:
            cli.main()
        except SystemExit:
            pass
        total = time.process_time() - start
    print(f"{netlist.name}: CPU ms")
    print(f"  {'import':<42} {IMPORT_SECONDS * 1e3:8.1f}")
    for label, seconds in clock.items():
        print(f"  {label:<42} {seconds * 1e3:8.1f}")
    rest = total - sum(clock.values())
    print(f"  {'rest of the command':<42} {rest * 1e3:8.1f}")


if __name__ == "__main__":
    main()
