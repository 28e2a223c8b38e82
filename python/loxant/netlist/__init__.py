"""Netlists in the SPICE dialect of superconducting-electronics simulators.

:func:`read_netlist` (or :meth:`Netlist.from_string`) reads a netlist and
returns a :class:`Netlist`: its circuit in physical units, the transient
analysis and the output requests::

    netlist = read_netlist("jtl.cir")
    results = netlist.simulate()                 # SI Results
    for label, unit, values in netlist.traces(results): ...
    pc = netlist.circuit(params={"LB": 2e-12}, rng=np.random.default_rng(1))

Reading goes in stages, one module each, each using only those before it:

* :mod:`.tokens`: files to logical lines of tokens, each token knowing its file
  and line (comments dropped, continuations joined, includes and ``.control``
  blocks read in place; input bounded and decoded);
* :mod:`.records`: lines to plain records (elements, models, subcircuits,
  parameters, the analysis, spreads, output requests); :mod:`.models` holds the
  junction model's parameters and their translation;
* :mod:`.expand`: subcircuits expanded (bounded before the work), values
  evaluated per instance, models found by scope, spreads drawn;
* :mod:`.checks`: connections (open nodes warned of, floating ones refused);
* :mod:`.build` (with :mod:`.sources`): the elements into a
  :class:`~loxant.physical.PhysicalCircuit`;
* :mod:`.reader`: :class:`Netlist`, running the stages and the analysis.

Every stage is linear in the size of the netlist.  Every problem is a
:class:`NetlistError` reported as ``file:line: message`` followed by the text
of the offending line; what runs but is probably unintended is a
:class:`NetlistWarning` of the same form.

Names are case-insensitive and kept in upper case.  Inside a subcircuit
instance every element and internal node name gets the instance name
appended: ``B1`` of ``X2`` placed in ``X1`` is ``B1|X2|X1`` (``B1.X2.X1`` in
requests and lookups alike).
"""

from .errors import NetlistError, NetlistWarning
from .reader import Netlist, read_netlist, record_quantities
from .records import IVRequest, OutputRequest, Tran

__all__ = [
    "IVRequest",
    "Netlist",
    "NetlistError",
    "NetlistWarning",
    "OutputRequest",
    "Tran",
    "read_netlist",
    "record_quantities",
]
