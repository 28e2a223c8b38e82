"""Integration state and tuning parameters of one simulation.

Bound in ``loxant.CircuitKernel`` as ``SP``.  The driver owns and advances all of
it between kernel calls; the kernels only read it.
"""

#: list of 1-D float64 C-contiguous arrays (one per time level), written by the
#: driver: phase history of every unknown.  ``X[Xind]`` is the present iterate
#: and ``X[Xind - 1]`` the previous time level (Python indexing, so Xind = 0
#: selects the last row as previous).
X = []

#: int, written by the driver: ring index of the present row of ``X``.
Xind = 0

#: 1-D float64 arrays, written by the driver: estimates of the first and second
#: time derivative of every unknown at the present iterate, and the first
#: derivative of the previous time level.
DX = None
DDX = None
DXprev = None

#: list of floats, written by the driver: coefficients of the first- and
#: second-derivative formulas; item 0 is the weight of the newest phase, i.e.
#: d(DX)/dX and d(DDX)/dX.
InterpCoeffDt = []
InterpCoeffDDt = []

#: float, written by the driver: factor that source models apply to their value
#: during the initial ramp (0 at the start, 1 once the ramp is over).
InitialSmoothFactor = 0
# 1 during the start-up period: junctions see no voltage history
JunctionHistoryHeld = 0.0

#: list of floats, written by the driver: item 0 is the present time step.
TimeSteps = []

#: number, set by the user or driver: end time of the initial ramp.
INITIAL_RAMP = 0

#: float, radians, set by the user or driver: width of the dead band of the
#: 2*pi turn counter (spelled HISTERESIS).
PHASE_HISTERESIS = 0
