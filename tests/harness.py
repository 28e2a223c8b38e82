"""A small bench for driving element models through the kernels in tests.

It owns a fresh set of lxglobals and SimulationParameters arrays for a system of
``unknowns`` unknowns with a dense value-array layout: the entry (row r,
column c) of unknowns r, c >= 1 lives at position ``pos(r, c)``.
"""

import numpy as np

from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxglobals


class Element:
    """A netlist element as the kernels see it."""

    def __init__(self, model, params=None, source=False):
        self.model = model
        self.params = params
        self.source = source
        self.updates = 0

    def UpdateParameters(self):
        self.updates += 1
        if self.params is not None:
            self.model.SetParameters(self.params)


class Harness:
    def __init__(self, unknowns, elements=4):
        self.n = unknowns
        self.nnz = unknowns * unknowns
        self.elements = []
        lxglobals.TotalNodes = unknowns
        lxglobals.OptimizeSimulation = 0
        lxglobals.CurrentTime = 0.0
        for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
            setattr(lxglobals, name, np.zeros(unknowns))
        for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
            setattr(lxglobals, name, np.zeros(elements))
        lxglobals.ElementN = np.zeros(elements, dtype=np.int32)
        lxglobals.ElementInc = np.zeros(elements, dtype=np.uint8)
        lxglobals.ElementDec = np.zeros(elements, dtype=np.uint8)
        SP.X = [np.zeros(unknowns) for _ in range(3)]
        SP.Xind = 1
        SP.DX = np.zeros(unknowns)
        SP.DDX = np.zeros(unknowns)
        SP.DXprev = np.zeros(unknowns)
        SP.InterpCoeffDt = [1.0]
        SP.InterpCoeffDDt = [1.0]
        SP.InitialSmoothFactor = 1.0
        SP.TimeSteps = [0.01]
        SP.INITIAL_RAMP = 0.0
        SP.PHASE_HISTERESIS = 0.1
        ck.NTHREADS = 4

    def pos(self, r, c):
        """Position of entry (r, c) of unknowns r, c >= 1; 0 where either is ground."""
        return 0 if r == 0 or c == 0 else (r - 1) * self.n + (c - 1)

    def positions(self, *pairs):
        return [self.pos(r, c) for r, c in pairs]

    def add(self, model, params=None, source=False):
        """Registers a model whose InitModel has run; returns its element."""
        element = Element(model, params, source)
        self.elements.append(element)
        lxglobals.ElementList = list(self.elements)
        lxglobals.SourceElementList = [e for e in self.elements if e.source]
        lxglobals.TotalElements = len(lxglobals.ElementList)
        lxglobals.TotalSourceElements = len(lxglobals.SourceElementList)
        ck.InitElementModels()
        return element

    def set_state(self, phases=None, voltages=None, dvoltages=None, previous=None):
        """Sets the present iterate (and the previous level) of the kernels' state."""
        for target, values in ((SP.X[SP.Xind], phases), (SP.DX, voltages), (SP.DDX, dvoltages)):
            if values is not None:
                target[:] = values
        if previous is not None:
            SP.X[SP.Xind - 1][:] = previous

    def set_nodes(self, phases=None, voltages=None, dvoltages=None):
        """Sets the converged node arrays that UpdateValues reads."""
        pairs = ((lxglobals.NodePhase, phases), (lxglobals.NodeVoltage, voltages))
        for target, values in pairs + ((lxglobals.NodeDVoltage, dvoltages),):
            if values is not None:
                target[:] = values

    def static_matrix(self):
        a0 = np.zeros(self.nnz)
        ck.BuildStaticMatrix(a0)
        return a0.reshape(self.n, self.n)

    def build(self):
        """BuildMatrix into zeroed arrays: (A1, A2, B) with A1, A2 as dense matrices."""
        a1, a2, b = np.zeros(self.nnz), np.zeros(self.nnz), np.zeros(self.n)
        ck.BuildMatrix(a1, a2, b)
        return a1.reshape(self.n, self.n), a2.reshape(self.n, self.n), b

    def update(self):
        a2, b = np.zeros(self.nnz), np.zeros(self.n)
        ck.UpdateMatrix(a2, b)
        return a2.reshape(self.n, self.n), b

    def rhs(self):
        b = np.zeros(self.n)
        ck.UpdateRHS(b)
        return b

    def values(self, index=0):
        """UpdateValues, then (current, phase, voltage, turns, inc, dec) of element `index`."""
        ck.UpdateValues()
        return (
            lxglobals.ElementCurrent[index],
            lxglobals.ElementPhase[index],
            lxglobals.ElementVoltage[index],
            int(lxglobals.ElementN[index]),
            int(lxglobals.ElementInc[index]),
            int(lxglobals.ElementDec[index]),
        )
