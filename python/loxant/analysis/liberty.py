"""Liberty (.lib) files of characterized cells.

Units are declared (``time_unit`` 1 ps, ``capacitive_load_unit`` 1 fF).  A
fan-out of SFQ loads has no capacitance; one load is written as its
equivalent of 1 fF (:data:`LOAD_EQUIVALENT`), every input pin has that
capacitance, and the delay tables are indexed by
``total_output_net_capacitance``, one entry per load count.  Bias is no
Liberty variable: each file holds one bias, written as the nominal voltage
and ``operating_conditions`` (voltage = the bias multiplier), and
:func:`write_liberty_corners` writes one file per bias.

Each cell keeps the names of its netlist.  Its pins have directions; the
clock pin (when one is named) ``clock : true``.  A cell of one state gives
each output the ``function`` of the inputs that pulse it; a clocked cell
whose clock reads its state gives an ``ff`` group, its ``next_state`` the
inputs that lead to a state the clock reads out (an SFQ pulse stands for a
logical 1 in that clock period).  Each delay is a ``timing()`` group of the
output pin (``rising_edge`` from the clock, ``combinational`` otherwise)
with ``sdf_cond`` its state, ``internal_state_N``; an SFQ pulse is one event,
so the same table serves rise and fall.  Each constraint (``y`` no closer than
``v`` after ``x`` in state ``s``) is a ``hold_rising`` group of pin ``y``
with ``related_pin`` ``x``.
"""

from ..output import write_text
from .sdf import AT_MOST, written_checks

__all__ = [
    "LOAD_EQUIVALENT",
    "library_name",
    "liberty_text",
    "write_liberty",
    "write_liberty_corners",
]

TEMPLATE = "loxant_loads"
#: capacitance (in fF, the file's load unit) that stands for one load
LOAD_EQUIVALENT = 1.0


#: a pulse's time is where its phase passes pi, half its 2 pi turn: the 50 %
#: point; an SFQ pulse has no slew of its own (transitions are written as 0)
_THRESHOLDS = (
    ("input_threshold_pct", 50),
    ("output_threshold_pct", 50),
    ("slew_lower_threshold_pct", 10),
    ("slew_upper_threshold_pct", 90),
)


def _nominal(biases):
    return min(biases, key=lambda b: abs(b - 1.0))


def _values(numbers):
    return ", ".join(f"{v:.4f}" for v in numbers)


def _output_timing(result, pin, bias):
    out = []
    arcs = result.delays[(result.delays["to"] == pin) & (result.delays["bias"] == bias)]
    for (state, source), rows in arcs.groupby(["state", "from"], sort=True):
        rows = rows.set_index("load")["delay_ps"].reindex(list(result.loads)).dropna()
        if rows.empty:
            continue
        kind = "rising_edge" if source == result.clock else "combinational"
        index = _values(load * LOAD_EQUIVALENT for load in rows.index)
        out += [
            "      timing () {",
            f'        related_pin : "{result.name(source)}" ;',
            f"        timing_type : {kind} ;",
            f'        sdf_cond : "{state}" ;',
        ]
        zeros = [0.0] * len(rows)
        for table, values in (
            ("cell_rise", rows.to_numpy()),
            ("cell_fall", rows.to_numpy()),
            ("rise_transition", zeros),
            ("fall_transition", zeros),
        ):
            out += [
                f"        {table} ({TEMPLATE}) {{",
                f'          index_1 ("{index}") ;',
                f'          values ("{_values(values)}") ;',
                "        }",
            ]
        out.append("      }")
    return out


def _input_timing(result, pin, bounds):
    out = []
    for row in written_checks(result, True):
        if row.second != pin:
            continue
        if not bounds and str(row.note).startswith(AT_MOST):
            # the bench's source, not the cell, limits it: no check of the cell
            out.append(
                f"      /* {result.name(row.second)} after {result.name(row.first)} in "
                f"{row.state}: {row.note}, {row.value_ps:.4f} ps; not written as a check */"
            )
            continue
        out += [
            "      timing () {",
            f'        related_pin : "{result.name(row.first)}" ;',
            "        timing_type : hold_rising ;",
            f'        sdf_cond : "{row.state}" ;',
        ]
        for table in ("rise_constraint", "fall_constraint"):
            out += [
                f"        {table} (scalar) {{",
                f'          values ("{row.value_ps:.4f}") ;',
                "        }",
            ]
        out.append("      }")
    return out


def _reads(result):
    """States (names) in which a clock pulse gives outputs, when the clock reads
    the state (it takes every state back to the state at rest)."""
    if result.clock is None or len(result.states) < 2:
        return None
    machine = result.machine
    clock = machine[machine["input"] == result.clock]
    rest = result.states[0]
    if len(clock) != len(result.states) or set(clock["next"]) != {rest}:
        return None
    return list(clock[clock["outputs"] != "none"]["state"])


def _next_state(result, reading):
    """The ``next_state`` of the ff: per state read out, the data inputs of its
    history set and the others clear."""
    data = [p for p in result.inputs if p != result.clock]
    terms = []
    for state in reading:
        held = set(result.access.get(state, ()))
        if result.clock in held:
            return None
        factors = [result.name(p) if p in held else f"!{result.name(p)}" for p in data]
        terms.append("(" + " & ".join(factors) + ")")
    return " | ".join(terms) if terms else "0"


def _functions(result):
    """(ff lines, {output: function}) from the state machine."""
    machine = result.machine
    if len(result.states) == 1:
        functions = {}
        for output in result.outputs:
            rows = machine[machine["outputs"].str.split().apply(lambda o, q=output: q in o)]
            if len(rows):
                functions[output] = " | ".join(result.name(p) for p in rows["input"])
        return [], functions
    reading = _reads(result)
    expression = _next_state(result, reading) if reading is not None else None
    if expression is None:
        return [], {}
    ff = [
        '    ff ("IQ", "IQN") {',
        f'      clocked_on : "{result.name(result.clock)}" ;',
        f'      next_state : "{expression}" ;',
        "    }",
    ]
    return ff, {output: "IQ" for output in result.outputs}


def _cell(result, bias, bounds):
    ff, functions = _functions(result)
    out = [f"  cell ({result.name(result.cell)}) {{", *ff]
    for pin in result.inputs:
        out += [
            f"    pin ({result.name(pin)}) {{",
            "      direction : input ;",
            f"      capacitance : {LOAD_EQUIVALENT:.4f} ;",
        ]
        if pin == result.clock:
            out.append("      clock : true ;")
        out += _input_timing(result, pin, bounds)
        out.append("    }")
    for pin in result.outputs:
        out += [f"    pin ({result.name(pin)}) {{", "      direction : output ;"]
        out.append(f"      max_capacitance : {max(result.loads) * LOAD_EQUIVALENT:.4f} ;")
        if pin in functions:
            out.append(f'      function : "{functions[pin]}" ;')
        out += _output_timing(result, pin, bias)
        out.append("    }")
    out.append("  }")
    return out


def library_name(results, library=None):
    """``library``, or the cells' names joined: two files OpenSTA reads together
    need two library names."""
    if library:
        return library
    if not isinstance(results, (list, tuple)):
        results = [results]
    return "_".join(result.name(result.cell) for result in results)


def liberty_text(results, library=None, bias=None, bounds=False):
    """The Liberty text of one :class:`~loxant.analysis.characterize.Characterization`
    or a list of them, at ``bias`` (default: the bias nearest 1); the library is
    named ``library`` (default: after the cells).  A constraint only the bench's
    source limits is a comment unless ``bounds``."""
    if not isinstance(results, (list, tuple)):
        results = [results]
    library = library_name(results, library)
    bias = _nominal(results[0].biases) if bias is None else float(bias)
    for result in results:
        if bias not in result.biases:
            raise ValueError(f"{result.cell} was not characterized at bias {bias:g}")
    corner = f"bias_{bias:g}".replace(".", "p")
    out = [
        f"library ({library}) {{",
        '  comment : "SFQ cells characterized by loxant: delays from input to output port '
        "node, each where its phase passes an odd multiple of pi; one load on an output "
        f'is written as {LOAD_EQUIVALENT:g} fF; the voltage is the bias multiplier" ;',
        "  delay_model : table_lookup ;",
        '  time_unit : "1ps" ;',
        '  voltage_unit : "1V" ;',
        '  current_unit : "1uA" ;',
        '  pulling_resistance_unit : "1ohm" ;',
        '  leakage_power_unit : "1nW" ;',
        "  capacitive_load_unit (1, ff) ;",
        *(
            f"  {name}_{edge} : {value} ;"
            for name, value in _THRESHOLDS
            for edge in ("rise", "fall")
        ),
        "  nom_process : 1 ;",
        "  nom_temperature : 4.2 ;",
        f"  nom_voltage : {bias:g} ;",
        f"  operating_conditions ({corner}) {{",
        "    process : 1 ;",
        "    temperature : 4.2 ;",
        f"    voltage : {bias:g} ;",
        "  }",
        f"  default_operating_conditions : {corner} ;",
        f"  lu_table_template ({TEMPLATE}) {{",
        "    variable_1 : total_output_net_capacitance ;",
        f'    index_1 ("{_values(load * LOAD_EQUIVALENT for load in results[0].loads)}") ;',
        "  }",
    ]
    for result in results:
        out += _cell(result, bias, bounds)
    out.append("}")
    return "\n".join(out) + "\n"


def write_liberty(results, path, library=None, bias=None, bounds=False):
    """Write :func:`liberty_text` to ``path`` (whole or not at all)."""
    write_text(path, liberty_text(results, library, bias, bounds))


def corner_path(path, bias, nominal):
    """``path`` for the nominal bias, ``NAME_bias0.9.lib`` beside it for another."""
    if bias == nominal:
        return str(path)
    stem, dot, ext = str(path).rpartition(".")
    if not dot or "/" in ext:
        return f"{path}_bias{bias:g}"
    return f"{stem}_bias{bias:g}.{ext}"


def write_liberty_corners(results, path, library=None, bounds=False):
    """One Liberty file per bias: ``path`` at the nominal bias, the others beside
    it (:func:`corner_path`), each library named for its bias too; returns the
    paths written."""
    if not isinstance(results, (list, tuple)):
        results = [results]
    nominal = _nominal(results[0].biases)
    base = library_name(results, library)
    written = []
    for bias in results[0].biases:
        target = corner_path(path, bias, nominal)
        name = base if bias == nominal else f"{base}_bias_{bias:g}".replace(".", "p")
        write_liberty(results, target, name, bias, bounds)
        written.append(target)
    return written
