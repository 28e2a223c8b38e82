"""Sweep the global bias of the LX_DFF testbench and measure the clock-to-output delay.

Every bias source of the testbench (cells and bench alike) is scaled by the same
factor.  At each point it counts the flux quanta that reach the output load (two
at nominal bias) and measures the delay from the clock junction B5 to the output
junction B7 of the flip-flop at the first clock, which reads a stored quantum.

    python examples/library/sweep_bias.py [--plot sweep.png] [--points N]
"""

import argparse
import os
import sys

import numpy as np

from loxant.analysis import GLOBAL_BIAS, Delay, SwitchCount, scale, sweep

NOMINAL_PULSES = 2  # quanta reaching the output load at nominal bias
TESTBENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lx_dff_testbench.cir")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="PNG", help="plot the delay against the bias")
    parser.add_argument("--points", type=int, default=13, help="bias points, 0.7 to 1.3 (13)")
    args = parser.parse_args()

    biases = np.round(np.linspace(0.7, 1.3, args.points), 3)
    table = sweep(
        TESTBENCH,
        {GLOBAL_BIAS: scale(list(biases))},  # multipliers of the nominal
        measure={
            "q_pulses": SwitchCount("B2.XLOADOUT_Q"),
            "clk_to_q_ps": Delay("B5.XDUT", "B7.XDUT"),
        },
        client=None,
        progress=False,
    )
    table["clk_to_q_ps"] *= 1e12
    table.insert(0, "bias", biases)  # the rows follow the values given; the table holds amperes
    columns = ["bias", "q_pulses", "clk_to_q_ps"]
    print(table[columns].to_string(index=False, float_format="%.3f"))
    if args.plot:
        plot(table, args.plot)
    return 0


def plot(table, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
    works = table["q_pulses"] == NOMINAL_PULSES
    bias, delay = table["bias"], table["clk_to_q_ps"]
    ax.plot(bias[works], delay[works], "o-", label=f"{NOMINAL_PULSES} output pulses")
    ax.plot(bias[~works], delay[~works], "x", color="tab:red", ms=8, label="other counts")
    ax.legend()
    ax.set_xlabel("global bias (multiple of nominal)")
    ax.set_ylabel("clock to q delay (ps)")
    ax.set_title("LX_DFF: delay against bias")
    ax.grid(alpha=0.3)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot: {path}")


if __name__ == "__main__":
    sys.exit(main())
