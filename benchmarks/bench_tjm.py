"""Cost per TJM junction per kernel call, beside the plain JunctionModel.

A chain of junctions (junction k joins unknown k to unknown k+1, the last one to
ground) is driven through BuildMatrix (once per step: step weights, history and
the phase-dependent terms) and UpdateMatrix (once per Newton iteration).  The
TJM cost of BuildMatrix depends on the step: for |pole * step| < 2 the weights
come from a series, above it from their closed forms.
"""

import argparse

import numpy as np
from bench_kernels import best_time, chain, plain_junction

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxconfig


def tjm_junction(kernel):
    def make(i, j, k):
        model = ck.JunctionTJMModel(i, j, k)
        model.InitTJMModel([kernel, 1.0, 1.0, 2.6 / 0.63, 0.6, 0.1])
        return model

    return make


def twenty_term_kernel():
    """The ten terms of NbNb_4K2_001 and ten more with the poles moved a little."""
    a, b, p = lxconfig.tjm_models["NbNb_4K2_001"]
    return (a + a, b + b, p + [z * (1.05 + 0.02j) for z in p])


def measure(n, make_model, step):
    nnz = chain(n, make_model)
    a1, a2, b = np.zeros(nnz), np.zeros(nnz), np.zeros(n)
    ck.BuildStaticMatrix(a1)
    SP.TimeSteps = [step]
    build = best_time(lambda: ck.BuildMatrix(a1, a2, b), 5, 5)
    update = best_time(lambda: ck.UpdateMatrix(a2, b), 5, 10)
    return build / n * 1e9, update / n * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--junctions", type=int, default=20_000)
    args = parser.parse_args()
    lxconfig.tjm_models["twenty"] = twenty_term_kernel()
    rows = [("JunctionModel", plain_junction)]
    rows += [
        (f"TJM, {len(lxconfig.tjm_models[name][0])} terms", tjm_junction(name))
        for name in ("NbNb_4K2_008", "twenty")
    ]
    n = args.junctions
    print(f"ns per junction per call, {n} junctions")
    print(f"  {'model':16s} {'BuildMatrix':>12s} {'BuildMatrix':>12s} {'UpdateMatrix':>13s}")
    print(f"  {'':16s} {'step 0.01':>12s} {'step 1':>12s} {'':>13s}")
    for label, make in rows:
        small_build, update = measure(n, make, 0.01)
        large_build, _ = measure(n, make, 1.0)
        print(f"  {label:16s} {small_build:12.1f} {large_build:12.1f} {update:13.1f}")


if __name__ == "__main__":
    main()
