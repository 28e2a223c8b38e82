"""Kernel call overhead and per-element cost.

Prints the cost of one kernel call on an empty circuit and the cost per
junction per call of UpdateMatrix and UpdateRHS on a large chain.
"""

import argparse
import time

import numpy as np

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxglobals


class Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def setup_state(unknowns, elements):
    lxglobals.TotalNodes = unknowns
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        setattr(lxglobals, name, np.zeros(unknowns))
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        setattr(lxglobals, name, np.zeros(max(elements, 1)))
    lxglobals.ElementN = np.zeros(max(elements, 1), np.int32)
    lxglobals.ElementInc = np.zeros(max(elements, 1), np.uint8)
    lxglobals.ElementDec = np.zeros(max(elements, 1), np.uint8)
    lxglobals.OptimizeSimulation, lxglobals.CurrentTime = 0, 0.0
    rng = np.random.default_rng(1)
    SP.X = [rng.uniform(-3, 3, unknowns) for _ in range(3)]
    SP.Xind = 1
    SP.DX, SP.DDX, SP.DXprev = (rng.uniform(-1, 1, unknowns) for _ in range(3))
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [100.0], [1e4], [0.01]
    SP.InitialSmoothFactor, SP.INITIAL_RAMP, SP.PHASE_HISTERESIS = 1.0, 0.0, 0.1


def plain_junction(i, j, k):
    model = ck.JunctionModel(i, j, k)
    model.SetParameters([1.0, 1.0, 0.1])
    return model


def chain(n, make_model=plain_junction):
    """n junctions made by make_model(i, j, eindex), junction k joining unknown k
    to unknown k+1 (the last one to ground); returns the value-array length."""
    setup_state(n, n)
    elements = []
    for k in range(n):
        i, j = k + 1, (k + 2 if k + 1 < n else 0)
        model = make_model(i, j, k)
        base = 3 * k
        model.InitModel(base, base + 1, base + 2, base + 3 if j else 0)
        elements.append(Element(model))
    lxglobals.ElementList, lxglobals.SourceElementList = elements, []
    lxglobals.TotalElements, lxglobals.TotalSourceElements = n, 0
    ck.InitElementModels()
    return 3 * n + 1


def best_time(call, repeat, number):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--junctions", type=int, default=100_000)
    args = parser.parse_args()

    setup_state(4, 0)
    lxglobals.ElementList, lxglobals.SourceElementList = [], []
    lxglobals.TotalElements = lxglobals.TotalSourceElements = 0
    ck.InitElementModels()
    a, b = np.zeros(16), np.zeros(4)
    print("kernel call overhead, empty circuit (us per call)")
    for name, call in [
        ("BuildStaticMatrix", lambda: ck.BuildStaticMatrix(a)),
        ("BuildMatrix", lambda: ck.BuildMatrix(a, a, b)),
        ("UpdateMatrix", lambda: ck.UpdateMatrix(a, b)),
        ("UpdateRHS", lambda: ck.UpdateRHS(b)),
        ("UpdateValues", ck.UpdateValues),
    ]:
        print(f"  {name:18s} {best_time(call, 5, 20_000) * 1e6:8.2f}")

    n = args.junctions
    nnz = chain(n)
    a, b = np.zeros(nnz), np.zeros(n)

    def next_iterate():
        # Every call sees new phases, as in a Newton iteration.
        SP.Xind = (SP.Xind + 1) % 3

    print(f"cost per junction per call, {n} junctions (ns)")
    for name, call in [
        ("BuildMatrix", lambda: (next_iterate(), ck.BuildMatrix(a, a, b))),
        ("UpdateMatrix", lambda: (next_iterate(), ck.UpdateMatrix(a, b))),
        ("UpdateRHS", lambda: (next_iterate(), ck.UpdateRHS(b))),
        ("UpdateValues", ck.UpdateValues),
    ]:
        print(f"  {name:18s} {best_time(call, 7, 10) / n * 1e9:8.2f}")


if __name__ == "__main__":
    main()
