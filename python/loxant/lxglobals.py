"""Shared counts, element lists and result arrays of one simulation.

The driver fills these module variables before it creates the element models;
``loxant.CircuitKernel`` reads them at every kernel call and element models keep
raw pointers into the arrays from ``InitModel`` on.  Replace an array only
together with a new ``InitModel`` of every element.

Unknowns are numbered from 1 (nodes other than ground, then branch unknowns);
unknown k lives at index k - 1 of every per-unknown array.
"""

#: int, written by the driver: number of unknowns of the system (node unknowns
#: plus branch unknowns); second dimension of ``CircuitKernel.RHSHelper``.
TotalNodes = 0

#: int, written by the driver: number of entries of ``ElementList``.
TotalElements = 0

#: int, written by the driver: number of entries of ``SourceElementList``.
TotalSourceElements = 0

#: list of element objects, written by the driver.  Each has an attribute
#: ``model`` (an element model of ``CircuitKernel``) and a method
#: ``UpdateParameters()`` that hands its present parameters to the model.
ElementList = []

#: list of element objects, written by the driver: the sources among
#: ``ElementList``, refreshed on every ``BuildStaticMatrix`` call.
SourceElementList = []

#: any object taken by truth value, written by the driver: when true,
#: ``BuildStaticMatrix`` refreshes only the sources once the initial ramp is over.
OptimizeSimulation = 0

#: float, written by the driver: present simulation time.
CurrentTime = 0

#: 1-D float64 arrays, one entry per unknown, written by the driver after each
#: converged step: phase, voltage (d phase / dt) and voltage derivative.
NodePhase = None
NodeVoltage = None
NodeDVoltage = None

#: 1-D float64 arrays, one entry per element (by element index), written by the
#: element models in ``UpdateValues``: phase difference, voltage difference and
#: branch current of every element.
ElementPhase = None
ElementVoltage = None
ElementCurrent = None

#: 1-D int32 array, one entry per element, written by junctions and phase and
#: voltage sources in ``UpdateValues``: signed count of whole 2*pi turns.
ElementN = None

#: 1-D uint8 arrays, one entry per element, written with ``ElementN``: 1 in the
#: update in which the turn count went up (``ElementInc``) or down (``ElementDec``).
ElementInc = None
ElementDec = None
