"""What ``loxant run`` shows of a run: the progress bar, the summary of the
junctions' switches, the plot of the requested traces."""

import sys

from ..simulation.switching import first_crossing

__all__ = ["Progress", "plot", "summarise"]


class Progress:
    """A tqdm bar on standard error following the simulation time, which the
    engine reports about ten times a second through :meth:`update`."""

    def __init__(self, netlist, enabled):
        self.enabled = enabled
        self.time_scale = netlist.units.scale["s"] / netlist.tran.tstop
        self._bar = None

    def __enter__(self):
        if not self.enabled:
            return self
        try:
            from tqdm import tqdm
        except ImportError:
            return self
        self._bar = tqdm(
            total=100,
            file=sys.stderr,
            unit="%",
            bar_format="{l_bar}{bar}| {elapsed} elapsed, {remaining} left",
        )
        return self

    def update(self, t):
        """Called with the normalised simulation time."""
        if self._bar is not None:
            done = min(100.0, 100.0 * float(t) * self.time_scale)
            self._bar.update(max(0.0, done - self._bar.n))

    def __exit__(self, *exc):
        if self._bar is not None:
            if exc[0] is None:
                self._bar.update(100 - self._bar.n)
            self._bar.close()


def summarise(netlist, results, stream=None):
    """Per junction: the number of 2 pi switches and the time of the first."""
    stream = sys.stdout if stream is None else stream
    junctions = netlist.junctions()
    title = netlist.title or netlist.file
    print(f"{title}: {len(junctions)} junction(s), {len(results)} samples", file=stream)
    if not junctions or not len(results):
        return
    t = results.time("ps")
    print(f"{'junction':>12}  {'switches':>8}  {'first (ps)':>10}", file=stream)
    for name in junctions:
        turns = results.turn_count(name)
        count = int(abs(turns[1:] - turns[:-1]).sum())
        first = first_crossing(t, results.phase(name))
        when = "-" if first is None else f"{first:.3f}"
        print(f"{name:>12}  {count:8d}  {when:>10}", file=stream)


_DISPLAY = {"rad": ("phase (rad)", 1.0), "V": ("voltage (mV)", 1e3), "A": ("current (uA)", 1e6)}


def plot(path, time_axis, traces, title):
    """One panel per kind of quantity (phase, voltage, current), against time in ps."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = [unit for unit in _DISPLAY if any(u == unit for _, u, _ in traces)]
    fig, axes = plt.subplots(
        max(len(kinds), 1), 1, figsize=(9, 3 * max(len(kinds), 1)), sharex=True, squeeze=False
    )
    for ax, unit in zip(axes[:, 0], kinds):
        label, factor = _DISPLAY[unit]
        chosen = [(name, values) for name, u, values in traces if u == unit]
        for name, values in chosen:
            ax.plot(time_axis * 1e12, values * factor, lw=1, label=name)
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
        if chosen and len(chosen) <= 10:
            ax.legend(loc="best", fontsize="small")
    axes[-1, 0].set_xlabel("time (ps)")
    fig.suptitle(title)
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=110)
    finally:
        plt.close(fig)
