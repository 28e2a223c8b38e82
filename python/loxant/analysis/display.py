"""How the analyses' results show themselves: a matplotlib Figure from
``plot()`` (written to a file too when given a path), an HTML table in Jupyter
(``_repr_html_``), and table text that pandas does not cut off.

The sweep's and the I-V curve's results are pandas DataFrames
(:func:`sweep_table`, :func:`iv_table`) whose ``plot()`` draws the analysis's
own chart; ``table.plot.scatter(...)`` and the other pandas plots still work.
Derived frames (slices, copies) are plain DataFrames.
"""

import functools
import math

__all__ = [
    "finish",
    "full_text",
    "html_table",
    "iv_table",
    "labelled",
    "new_figure",
    "reasons_table",
    "sweep_table",
    "with_units",
]


def new_figure(width, height):
    """A Figure drawn off screen (no pyplot, so no window and no global state)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def finish(figure, path=None, dpi=110):
    """``figure``, written first to ``path`` when one is given."""
    if path is not None:
        figure.savefig(path, dpi=dpi)
    return figure


def full_text(frame):
    """The whole of ``frame`` as text: every row and column, no cell cut short."""
    import pandas as pd

    with pd.option_context(
        "display.max_rows",
        None,
        "display.max_columns",
        None,
        "display.width",
        None,
        "display.max_colwidth",
        None,
    ):
        return frame.to_string(index=False)


def html_table(frame, caption=None):
    """``frame`` as an HTML table, with an optional caption above it."""
    head = f"<p><b>{_escape(caption)}</b></p>" if caption else ""
    return head + frame.to_html(index=False, na_rep="", notebook=True)


def _escape(text):
    return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def labelled(name, units):
    """``name [unit]`` when ``units`` gives ``name`` one, else ``name``."""
    unit = (units or {}).get(name)
    return f"{name} [{unit}]" if unit else name


def with_units(frame):
    """A plain copy of ``frame`` whose column names carry the units that
    ``frame.attrs["units"]`` gives them (``IB1 [A]``)."""
    import pandas as pd

    units = frame.attrs.get("units", {})
    return pd.DataFrame(frame).rename(columns=lambda name: labelled(name, units))


class _Plot:
    """``table.plot(path=None)``: the analysis's chart; any other attribute is
    pandas' plot accessor (``table.plot.scatter(...)``)."""

    def __init__(self, table, draw):
        self._table, self._draw = table, draw

    def __call__(self, path=None, title=None, **pandas_options):
        if pandas_options:  # table.plot(x=..., y=...): pandas' own plot
            from pandas.plotting import PlotAccessor

            return PlotAccessor(self._table)(**pandas_options)
        chosen = {} if title is None else {"title": title}
        return finish(self._draw(self._table, **chosen), path)

    def __getattr__(self, name):
        from pandas.plotting import PlotAccessor

        return getattr(PlotAccessor(self._table), name)


@functools.cache
def _table_class(kind):
    """The DataFrame subclass of a sweep's, an I-V curve's or a failure list's
    table, made on first use (pandas is imported by the analyses that need it
    only)."""
    import pandas as pd

    class ResultTable(pd.DataFrame):
        @property
        def _constructor(self):
            return pd.DataFrame

        def with_units(self):
            """A copy whose column names carry their units (``IB1 [A]``), as the
            command line prints and writes the table."""
            return with_units(self)

    if kind in _DRAW:
        draw = _DRAW[kind]
        ResultTable.plot = property(lambda self: _Plot(self, draw))
    else:  # printed whole: no row, column or message cut short
        ResultTable.__repr__ = ResultTable.__str__ = full_text
    ResultTable.__name__ = ResultTable.__qualname__ = _CLASS_NAMES[kind]
    ResultTable.__module__ = __name__
    return ResultTable


_CLASS_NAMES = {"sweep": "SweepTable", "iv": "IVTable", "reasons": "ReasonsTable"}


def __getattr__(name):
    # the classes by name, as pickle looks them up
    for kind, class_name in _CLASS_NAMES.items():
        if name == class_name:
            return _table_class(kind)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def sweep_table(*args, **kwargs):
    """A sweep's table (see :func:`loxant.analysis.sweep.sweep`): a DataFrame
    whose ``plot()`` draws each measure against the first parameter."""
    return _table_class("sweep")(*args, **kwargs)


def reasons_table(frame):
    """``frame`` (failures grouped) as a DataFrame that prints whole."""
    return _table_class("reasons")(frame)


def iv_table(*args, **kwargs):
    """An I-V curve's table (``current`` A, ``voltage`` V, ``direction``): a
    DataFrame whose ``plot()`` draws the curve."""
    return _table_class("iv")(*args, **kwargs)


def _draw_sweep(table, title=None):
    """Each measure against the first parameter, a line per value of the others;
    a figure that says so when no row has a measure."""
    import pandas as pd

    names = list(table.attrs.get("parameters", table.columns[:1]))
    units = table.attrs.get("units", {})
    columns = [
        c
        for c in table.attrs.get("measures", ())
        if pd.to_numeric(table[c], "coerce").notna().any()
    ]
    figure = new_figure(7, 2.2 + 2.3 * max(len(columns), 1))
    if not columns or not names:
        axes = figure.add_subplot()
        axes.set_axis_off()
        why = "no measure was taken" if not table.attrs.get("measures") else "no row has a measure"
        axes.text(0.5, 0.5, f"nothing to plot: {why}", ha="center", va="center")
        return figure
    first, others = names[0], names[1:]
    groups = table.groupby(others, sort=False) if others else [((), table)]
    for k, column in enumerate(columns, 1):
        axes = figure.add_subplot(len(columns), 1, k)
        for key, part in groups:
            key = key if isinstance(key, tuple) else (key,)
            label = ", ".join(f"{n}={_short(v)}" for n, v in zip(others, key))
            axes.plot(part[first], part[column], ".-", label=label or None)
        axes.set_ylabel(labelled(column, units))
        axes.grid(alpha=0.3)
        if others:
            axes.legend(fontsize="small")
    figure.axes[-1].set_xlabel(labelled(first, units))
    if title:
        figure.axes[0].set_title(title)
    return figure


def _short(value):
    return f"{value:g}" if isinstance(value, (int, float)) and math.isfinite(value) else str(value)


def _draw_iv(table, title="I-V curve"):
    """Current against voltage, each run up or down a line of its colour."""
    figure = new_figure(6, 4.5)
    axes = figure.add_subplot()
    colours = {"up": "tab:blue", "down": "tab:orange"}
    shown = set()
    segment = (table["direction"] != table["direction"].shift()).cumsum()
    for _, part in table.groupby(segment, sort=False):
        direction = part["direction"].iloc[0]
        label = None if direction in shown else f"current {direction}"
        shown.add(direction)
        volts, micro_amps = part["voltage"] * 1e3, part["current"] * 1e6
        axes.plot(volts, micro_amps, ".-", lw=1, color=colours.get(direction), label=label)
    axes.set_xlabel("voltage (mV)")
    axes.set_ylabel("current (uA)")
    axes.set_title(title)
    axes.grid(alpha=0.3)
    axes.legend(loc="best", fontsize="small")
    return figure


_DRAW = {"sweep": _draw_sweep, "iv": _draw_iv}


def draw_yield(running, bounds, confidence, title):
    """The yield estimate ``running`` (after 1, 2, ... samples) and its interval
    ``bounds`` (rows of low, high), as the samples come in: how far the estimate
    has settled."""
    figure = new_figure(7, 3.6)
    axes = figure.add_subplot()
    counts = range(1, len(running) + 1)
    if len(running):
        axes.fill_between(
            counts, bounds[:, 0], bounds[:, 1], alpha=0.25, lw=0, label=f"{confidence:.0%} interval"
        )
        axes.plot(counts, running, color="tab:blue", label="yield")
        axes.legend(loc="best", fontsize="small")
    axes.set_ylim(-0.02, 1.02)
    axes.set_xlabel("samples")
    axes.set_ylabel("fraction that pass")
    axes.grid(alpha=0.3)
    axes.set_title(title)
    return figure


class CharacterizationDisplay:
    """``plot()`` and the Jupyter table of a characterization's result."""

    def plot(self, path=None):
        """Each arc's delay against the bias, a line per load: a matplotlib
        Figure, written to ``path`` too when one is given."""
        figure = new_figure(7, 4)
        axes = figure.add_subplot()
        delays = self.delays
        if len(delays):
            for (start, end, state, load), part in delays.groupby(
                ["from", "to", "state", "load"], sort=False
            ):
                label = f"{start} -> {end} ({state}), load {_short(load)}"
                axes.plot(part["bias"], part["delay_ps"], ".-", label=label)
            axes.legend(loc="best", fontsize="small")
        else:
            axes.text(0.5, 0.5, "no corner passed", ha="center", va="center")
        axes.set_xlabel("bias (multiple of nominal)")
        axes.set_ylabel("delay (ps)")
        axes.grid(alpha=0.3)
        axes.set_title(f"{self.cell}: delays")
        return finish(figure, path)

    def _repr_html_(self):
        parts = [html_table(self.delays, caption=f"{self.cell}: delays")]
        if len(self.constraints):
            parts.append(html_table(self.constraints, caption="constraints"))
        return "".join(parts)
