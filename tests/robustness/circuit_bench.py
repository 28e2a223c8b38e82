"""A circuit that uses every model class, with the shared state it needs.

The robustness tests break the state, the models and the arguments in every
way they can think of, and then ask this bench to put everything back and run
one full, valid round of the six kernels.  The round must give exactly the
numbers of an untouched bench: a failed call may not leave anything behind.
"""

import decimal
import pickle

import numpy as np

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxconfig, lxglobals

# What a failing call may raise; anything else (SystemError above all) is a fault.
ALLOWED = (
    TypeError,
    ValueError,
    IndexError,
    OverflowError,
    AttributeError,
    NameError,
    ZeroDivisionError,
    RuntimeError,
    BufferError,
    MemoryError,
    KeyError,
    pickle.PickleError,
    decimal.InvalidOperation,  # comparing a signalling NaN, as Python itself does
)
assert SystemError not in ALLOWED and not issubclass(SystemError, ALLOWED)

HAS_TJM = hasattr(getattr(ck, "JunctionTJMModel", None), "InitTJMModel")
TJM_MODELS = lxconfig.tjm_models
TJM_KERNEL = next(iter(TJM_MODELS)) if HAS_TJM else None


def attempt(call, *args, exact_exception=False, **kwargs):
    """Runs call; returns None on success or the allowed exception it raised.

    exact_exception: a plain Exception (not a subclass) is allowed as well, as
    InitTJMModel raises for an unknown kernel name."""
    try:
        call(*args, **kwargs)
    except ALLOWED as error:
        return error
    except Exception as error:
        if exact_exception and type(error) is Exception:
            return error
        raise
    return None


# name: (constructor arguments, InitModel arguments, parameter count)
TWO = ("i", "j", "eindex")
BRANCH = ("i", "j", "q", "eindex")
FOUR = ("ind_ii", "ind_ij", "ind_ji", "ind_jj")
BRANCH_POSITIONS = ("ind_iq", "ind_jq", "ind_qi", "ind_qj")
CLASSES = {
    "InductorModel": (TWO, FOUR, 1),
    "InductorImpedanceModel": (BRANCH, BRANCH_POSITIONS + ("ind_qq",), 1),
    "ResistorModel": (TWO, FOUR, 1),
    "CapacitorModel": (TWO, FOUR, 1),
    "CurrentSourceModel": (TWO, FOUR, 1),
    "PhaseSourceModel": (BRANCH, BRANCH_POSITIONS, 1),
    "VoltageSourceModel": (BRANCH, BRANCH_POSITIONS, 1),
    "JunctionModel": (TWO, FOUR, 3),
    "JunctionRSJNModel": (TWO, FOUR, 5),
    "JunctionRSJPHModel": (TWO, FOUR, 4),
    "JunctionGapModel": (TWO, FOUR, 7),
    "NoiseCurrentSourceModel": (TWO, FOUR, 3),
    "MutualInductanceModel": (("q", "v", "eindex"), ("ind_qq", "ind_qv", "ind_vq", "ind_vv"), 1),
    "TransmissionLineModel": (
        ("i", "j", "k", "l", "eindex"),
        FOUR + ("ind_kk", "ind_kl", "ind_lk", "ind_ll"),
        3,
    ),
    "VCVSModel": (("i", "j", "k", "l", "q", "eindex"), BRANCH_POSITIONS + ("ind_qk", "ind_ql"), 1),
    "VCCSModel": (("i", "j", "k", "l", "eindex"), ("ind_ik", "ind_il", "ind_jk", "ind_jl"), 1),
    "CCCSModel": (("i", "j", "c", "eindex"), ("ind_ic", "ind_jc"), 1),
    "CCVSModel": (("i", "j", "q", "c", "eindex"), BRANCH_POSITIONS + ("ind_qc",), 1),
}
if HAS_TJM:
    CLASSES["JunctionTJMModel"] = (TWO, FOUR, 3)

UNKNOWNS = 9  # nodes 1-3, branch unknowns 4-9
NNZ = UNKNOWNS * UNKNOWNS

# (class, terminals, parameters, is a source); the element index is the row.
NETLIST = [
    ("InductorModel", (1, 2), [2.0], False),
    ("InductorImpedanceModel", (2, 3, 4), [1.5], False),
    ("InductorImpedanceModel", (3, 0, 5), [2.5], False),
    ("MutualInductanceModel", (4, 5), [0.4], False),
    ("ResistorModel", (1, 0), [3.0], False),
    ("CapacitorModel", (2, 3), [0.5], False),
    ("CurrentSourceModel", (0, 1), [0.8], True),
    ("PhaseSourceModel", (3, 0, 6), [0.3], True),
    ("VoltageSourceModel", (1, 2, 7), [0.2], True),
    ("JunctionModel", (1, 0), [1.0, 2.0, 0.5], False),
    ("JunctionRSJNModel", (2, 0), [1.0, 2.0, 0.7, 10.0, 0.5], False),
    ("JunctionRSJPHModel", (0, 3), [1.0, 2.0, 0.5, 0.25], False),
    ("TransmissionLineModel", (1, 0, 3, 2), [1.0, 2.0, 0.05], False),
    ("VCVSModel", (1, 2, 3, 0, 8), [1.5], False),
    ("VCCSModel", (0, 2, 1, 3), [0.25], False),
    ("CCCSModel", (2, 0, 7), [0.5], False),
    ("CCVSModel", (3, 0, 9, 6), [2.0], False),
    ("JunctionGapModel", (2, 3), [1.0, 6.0, 1.0, 0.5, 2.0, 0.1, 0.785], False),
    ("NoiseCurrentSourceModel", (1, 3), [0.5, 7.0, 0.0], False),
]
if HAS_TJM:
    NETLIST.append(("JunctionTJMModel", (1, 3), [TJM_KERNEL, 1.2, 0.6], False))
ELEMENTS = len(NETLIST)


def pos(r, c):
    """Dense layout: entry (r, c) of unknowns r, c >= 1; 0 where either is ground."""
    return 0 if r == 0 or c == 0 else (r - 1) * UNKNOWNS + (c - 1)


def valid_positions(name, terminals):
    """Positions of the InitModel arguments, each named ind_<row letter><column letter>."""
    letters = dict(zip(CLASSES[name][0], terminals))
    return [pos(letters[n[4]], letters[n[5]]) for n in CLASSES[name][1]]


class Element:
    """A netlist element as the kernels see it."""

    def __init__(self, model, params):
        self.model = model
        self.params = params

    def UpdateParameters(self):
        self.model.SetParameters(self.params)


def shared_state():
    """Fresh lxglobals and SimulationParameters values for the bench, as a dict
    of (module, attribute) -> value; the numbers are fixed, not random."""
    rng = np.random.default_rng(7)
    state = {}
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        state[lxglobals, name] = rng.uniform(-4.0, 4.0, UNKNOWNS)
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        state[lxglobals, name] = np.zeros(ELEMENTS)
    state[lxglobals, "ElementN"] = np.zeros(ELEMENTS, np.int32)
    state[lxglobals, "ElementInc"] = np.zeros(ELEMENTS, np.uint8)
    state[lxglobals, "ElementDec"] = np.zeros(ELEMENTS, np.uint8)
    state[lxglobals, "TotalNodes"] = UNKNOWNS
    state[lxglobals, "OptimizeSimulation"] = 0
    state[lxglobals, "CurrentTime"] = 0.0
    state[SP, "X"] = [rng.uniform(-4.0, 4.0, UNKNOWNS) for _ in range(3)]
    state[SP, "Xind"] = 1
    for name in ("DX", "DDX", "DXprev"):
        state[SP, name] = rng.uniform(-2.0, 2.0, UNKNOWNS)
    state[SP, "InterpCoeffDt"] = [1.5, -2.0, 0.5]
    state[SP, "InterpCoeffDDt"] = [2.25, -6.0, 4.0]
    state[SP, "InitialSmoothFactor"] = 0.75
    state[SP, "TimeSteps"] = [0.05, 0.05]
    state[SP, "INITIAL_RAMP"] = 1.0
    state[SP, "PHASE_HISTERESIS"] = 0.1
    state[lxconfig, "tjm_models"] = TJM_MODELS
    return state


class ModuleSnapshot:
    """Restores the dictionaries of the modules the kernels read, so that a test
    that breaks them leaves nothing behind for other tests."""

    MODULES = (lxglobals, SP, lxconfig, ck)

    def __init__(self):
        self.saved = [(m, dict(vars(m))) for m in self.MODULES]

    def restore(self):
        for module, saved in self.saved:
            namespace = vars(module)
            for name in [n for n in namespace if n not in saved]:
                del namespace[name]
            namespace.update(saved)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.restore()


class Bench:
    """The circuit of NETLIST on a shared state that install() makes valid."""

    def __init__(self):
        self.models = [getattr(ck, name).__new__(getattr(ck, name)) for name, *_ in NETLIST]
        self.install()

    def install(self):
        """Puts every global back, sets every model up again and collects the table."""
        ck.np, ck.SP, ck.lxglobals, ck.lxconfig, ck.NTHREADS = np, SP, lxglobals, lxconfig, 4
        ck.RHSHelper = None
        for (module, name), value in shared_state().items():
            setattr(module, name, value)
        self.elements = []
        for eindex, ((name, terminals, params, _), model) in enumerate(zip(NETLIST, self.models)):
            model.__init__(*terminals, eindex)
            if name == "JunctionTJMModel":
                model.InitTJMModel([TJM_KERNEL, 1.0, 1.0, 2.6 / 0.63, 0.6, 0.1])
            model.SetParameters(params)
            model.InitModel(*valid_positions(name, terminals))
            self.elements.append(Element(model, params))
        lxglobals.ElementList = list(self.elements)
        lxglobals.SourceElementList = [e for e, row in zip(self.elements, NETLIST) if row[3]]
        lxglobals.TotalElements = ELEMENTS
        lxglobals.TotalSourceElements = len(lxglobals.SourceElementList)
        ck.InitElementModels()

    def round(self):
        """Runs all six kernels once on fresh arrays; returns everything they wrote."""
        out = {"RHSHelper": ck.RHSHelper.shape}
        a0 = np.zeros(NNZ)
        ck.BuildStaticMatrix(a0)
        a1, a2, b = np.zeros(NNZ), np.zeros(NNZ), np.zeros(UNKNOWNS)
        ck.BuildMatrix(a1, a2, b)
        out.update(A0=a0, A1=a1, A2=a2, B=b)
        a2, b = np.zeros(NNZ), np.zeros(UNKNOWNS)
        ck.UpdateMatrix(A2=a2, B=b)
        out.update(A2u=a2, Bu=b)
        b = np.zeros(UNKNOWNS)
        ck.UpdateRHS(b)
        out["Br"] = b
        ck.UpdateValues()
        for name in ("ElementPhase", "ElementVoltage", "ElementCurrent", "ElementN"):
            out[name] = getattr(lxglobals, name).copy()
        return out


def assert_same_round(got, want):
    assert got.keys() == want.keys()
    for key, value in want.items():
        np.testing.assert_array_equal(got[key], value, err_msg=key)
