"""Liberty (.lib) files of characterized cells.

A table template ``loxant_load_bias`` indexes the delays by the load
(``index_1``: the number of JTL loads on the output, written as the output's
``total_output_net_capacitance`` as no Liberty variable counts fan-out) and by
the bias multiplier (``index_2``, variable ``bias``).  Each arc is a
``timing()`` group of the output pin: ``rising_edge`` from the clock of a
clocked cell, with ``when`` its state, ``combinational`` otherwise, the delay
in ``cell_rise`` (an SFQ pulse has no fall).  Setup and hold are ``timing()``
groups of the data pin (``setup_rising`` / ``hold_rising`` against the clock,
``when`` the state); the minimum separation of two inputs of an asynchronous
cell is a ``setup_rising`` of the first against the second, or the pin's
``min_period`` for one input twice.  Names are lower case, times picoseconds.
"""

import math

from .sdf import state_condition

__all__ = ["liberty_text", "write_liberty"]

TEMPLATE = "loxant_load_bias"


def _list(values):
    return ", ".join(f"{v:.4g}" for v in values)


def _table(result, rows):
    table = rows.pivot_table(index="load", columns="bias", values="delay_ps", dropna=False)
    table = table.reindex(index=list(result.loads), columns=list(result.biases))
    if table.isna().to_numpy().any():
        raise ValueError(
            f"{result.cell}: an arc failed at some load or bias (see the failures); "
            "leave that load or bias out to write a Liberty table"
        )
    return ", ".join(f'"{", ".join(f"{v:.4f}" for v in row)}"' for row in table.to_numpy())


def _output_timing(result, pin):
    out = []
    arcs = result.delays[result.delays["to"] == pin]
    for (source, state), rows in arcs.groupby(["from", "state"], sort=True):
        kind = "rising_edge" if source == result.clock else "combinational"
        out += [
            "      timing () {",
            f'        related_pin : "{source.lower()}" ;',
            f"        timing_type : {kind} ;",
        ]
        if result.clock is not None:
            out.append(f'        when : "{state_condition(result, state)}" ;')
        out += [
            f"        cell_rise ({TEMPLATE}) {{",
            f"          values ({_table(result, rows)}) ;",
            "        }",
            "      }",
        ]
    return out


def _input_timing(result, pin):
    out = []
    for row in result.constraints.itertuples(index=False):
        if math.isnan(row.value_ps):
            continue
        if row.check == "separation":
            if row.port == row.reference == pin:
                out.append(f"      min_period : {row.value_ps:.4f} ;")
                continue
            if row.reference != pin:
                continue
            related, kind, when = row.port, "setup_rising", None
        else:
            if row.port != pin:
                continue
            related, kind = row.reference, f"{row.check}_rising"
            when = state_condition(result, row.state)
        out += [
            "      timing () {",
            f'        related_pin : "{related.lower()}" ;',
            f"        timing_type : {kind} ;",
        ]
        if when is not None:
            out.append(f'        when : "{when}" ;')
        out += [
            "        rise_constraint (scalar) {",
            f'          values ("{row.value_ps:.4f}") ;',
            "        }",
            "      }",
        ]
    return out


def _cell(result):
    out = [f"  cell ({result.cell.lower()}) {{"]
    for pin in result.inputs:
        out += [f"    pin ({pin.lower()}) {{", "      direction : input ;"]
        if pin == result.clock:
            out.append("      clock : true ;")
        out += _input_timing(result, pin)
        out.append("    }")
    for pin in result.outputs:
        out += [f"    pin ({pin.lower()}) {{", "      direction : output ;"]
        out += _output_timing(result, pin)
        out.append("    }")
    out.append("  }")
    return out


def liberty_text(results, library="loxant_cells"):
    """The Liberty text of one :class:`~loxant.analysis.characterize.Characterization`
    or a list of them (all with the same loads and biases)."""
    if not isinstance(results, (list, tuple)):
        results = [results]
    loads, biases = results[0].loads, results[0].biases
    if any((r.loads, r.biases) != (loads, biases) for r in results):
        raise ValueError("the cells of one library need the same loads and biases")
    out = [
        f"library ({library}) {{",
        '  comment : "delays from input to output port node, each where its phase passes '
        'an odd multiple of pi; index_1 counts the JTL loads, index_2 scales the bias" ;',
        "  delay_model : table_lookup ;",
        '  time_unit : "1ps" ;',
        f"  lu_table_template ({TEMPLATE}) {{",
        "    variable_1 : total_output_net_capacitance ;",
        "    variable_2 : bias ;",
        f'    index_1 ("{_list(loads)}") ;',
        f'    index_2 ("{_list(biases)}") ;',
        "  }",
    ]
    for result in results:
        out += _cell(result)
    out.append("}")
    return "\n".join(out) + "\n"


def write_liberty(results, path, library="loxant_cells"):
    """Write :func:`liberty_text` to ``path``."""
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(liberty_text(results, library))
