"""Reading and building large netlists: the wall time of ``Netlist.from_string``
(reading, expanding, checking and building the nominal circuit) for

* a Josephson transmission line written flat (stages of a junction, a bias
  source, an inductor and, every third stage, a damping resistor);
* a hierarchy of instances of two 14-element cells, each cell holding its own
  ``.model`` of the same name;
* chains of dependent ``.param`` lines, written in dependency order and reversed.

Each case runs at several sizes so the growth with size shows; with ``--full``
the largest sizes are the targets (about 100 000 elements, 1.5 s each).
Timings on a shared machine are noisy: the best of ``--repeat`` runs is
reported, as wall time and as the process's CPU time.

    python benchmarks/bench_reader.py [--full] [--repeat N]
"""

import argparse
import time

from loxant.netlist import Netlist

MODEL = ".model jjmit jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)"


def flat_jtl(stages):
    lines = ["* flat JTL", MODEL, "VIN in 0 pulse(0 0.6m 10p 2p 2p 5p)", "RIN in 1 2"]
    for k in range(1, stages + 1):
        lines += [
            f"B{k} {k} 0 jjmit area=2.5",
            f"IB{k} 0 {k} pwl(0 0 10p 175u)",
            f"L{k} {k} {k + 1} 2p",
        ]
        if k % 3 == 0:
            lines.append(f"RD{k} {k} 0 50")
    lines += [f"RL {stages + 1} 0 2", ".tran 0.25p 100p", f".print p(B{stages})"]
    return "\n".join(lines) + "\n"


def _cell(name, scale):
    """A 14-element cell (4 junctions) holding its own model."""
    return f"""\
.subckt {name} a q
{MODEL}
L1 a 1 2p
B1 1 0 jjmit area={scale}
IB1 0 1 dc 100u
L2 1 2 3p
B2 2 0 jjmit area=2
L3 2 3 3p
B3 3 0 jjmit area=2
IB2 0 3 dc 150u
R1 3 4 1
L4 4 5 2p
B4 5 0 jjmit area=2.5
L5 5 q 2p
RS 5 0 40
IB3 0 5 dc 100u
.ends {name}
"""


def hierarchy(instances):
    lines = ["* hierarchy", _cell("CELLA", 2.5), _cell("CELLB", 2)]
    lines += ["VIN in 0 pulse(0 0.6m 10p 2p 2p 5p)", "RIN in n0 2"]
    for k in range(instances):
        cell = "CELLA" if k % 2 == 0 else "CELLB"
        lines.append(f"X{k} {cell} n{k} n{k + 1}")
    lines += [f"RL n{instances} 0 2", ".tran 0.25p 100p", ".print p(B1.X0)"]
    return "\n".join(lines) + "\n"


def param_chain(count, reverse=False):
    params = [".param P0=1.0"]
    params += [f".param P{k}=P{k - 1}*1.00001+1f" for k in range(1, count)]
    if reverse:
        params.reverse()
    lines = ["* parameter chain", *params, f"R1 1 0 {{P{count - 1}}}", "R2 1 0 5", "I1 0 1 1u"]
    return "\n".join(lines + [".tran 1p 10p"]) + "\n"


def timed(text, repeat):
    wall, cpu, net = float("inf"), float("inf"), None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        net = Netlist.from_string(text)
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return wall, cpu, net


def cases(full):
    jtl = [3000, 10000, 30000] if full else [1000, 3000]
    cells = [700, 2300, 7000] if full else [200, 700]
    chain = [1000, 5000, 20000] if full else [1000, 3000]
    for n in jtl:
        yield f"flat JTL, {n} stages", flat_jtl(n)
    for n in cells:
        yield f"hierarchy, {n} instances", hierarchy(n)
    for n in chain:
        yield f"{n} chained .params", param_chain(n)
        yield f"{n} chained .params, reversed", param_chain(n, reverse=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="up to the target sizes")
    parser.add_argument("--repeat", type=int, default=1, help="runs per case (best reported)")
    args = parser.parse_args()
    print(f"{'case':<38} {'lines':>8} {'elements':>9} {'wall s':>8} {'cpu s':>8}")
    for label, text in cases(args.full):
        try:
            wall, cpu, net = timed(text, args.repeat)
        except Exception as exc:  # a reader that refuses a case still reports the others
            print(f"{label:<38} refused: {str(exc).splitlines()[0][:60]}")
            continue
        elements = len(net.circuit().circuit)
        print(
            f"{label:<38} {text.count(chr(10)):>8} {elements:>9} {wall:>8.3f} {cpu:>8.3f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
