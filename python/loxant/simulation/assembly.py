"""From a circuit description to a system the native kernels can assemble.

:class:`System` numbers the unknowns, builds the compressed-column sparsity
pattern, computes every element model's matrix positions, fills the shared
state of ``lxglobals`` and ``SimulationParameters`` and creates the element
models.

Unknowns are numbered from 1: the nodes other than ground in order of first
use, then one branch unknown per element that needs one (phase and voltage
sources, inductors with a branch), in element order.  Ground is 0 and has no
row, column or array entry; unknown k lives at index k - 1 of every
per-unknown array.  Matrix positions are 0-based indices into the value arrays.

The shared state lives in module globals, so one system at a time can be
installed in a process: installing a new one replaces the previous one.
"""

import array
import importlib
import threading

import numpy as np

from .. import SimulationParameters as SP
from .. import lxconfig, lxglobals
from ..elements import (
    CurrentSource,
    Inductor,
    JunctionTJM,
    NoiseCurrent,
    Orientation,
    check_kernel_finite,
    number,
)
from ..errors import CircuitError
from ..kinds import kind_of
from ..nodes import GROUND
from ..topology import all_grounded, check_source_loops, check_topology

# the elements whose currents read the phases of their nodes and nothing of
# their voltages (an inductor with a branch unknown is left out by has_branch)
_PHASE_ONLY = (Inductor, CurrentSource)

__all__ = ["STATE_LOCK", "NetlistElement", "System", "native_modules"]

#: serialises every use of the shared lxglobals / SimulationParameters state
STATE_LOCK = threading.Lock()


def _sparsity_pattern(n, rows, cols):
    """``loxant.NativeEngine.sparsity_pattern``: (Ap, Ai, where) as int32 bytes."""
    try:
        engine = importlib.import_module("loxant.NativeEngine")
    except ImportError as exc:
        raise ImportError(
            f"loxant.NativeEngine is not built or cannot be loaded ({exc}); "
            "build the native modules first"
        ) from exc
    return engine.sparsity_pattern(n, rows, cols)


def native_modules():
    """The modules ``loxant.CircuitKernel`` and ``loxant.SparseDirect``."""
    modules = []
    for name in ("CircuitKernel", "SparseDirect"):
        try:
            modules.append(importlib.import_module(f"loxant.{name}"))
        except ImportError as exc:
            raise ImportError(
                f"loxant.{name} is not built or cannot be loaded ({exc}); "
                "build the native modules first"
            ) from exc
    return tuple(modules)


def _return_tjm_kernels(lent):
    """Undoes what ``System._lend_tjm_kernels`` put into ``lxconfig.tjm_models``."""
    for name, previous in lent.items():
        if previous is None:
            lxconfig.tjm_models.pop(name, None)
        else:
            lxconfig.tjm_models[name] = previous


class NetlistElement:
    """An element as the kernels see it in ``lxglobals.ElementList``.

    ``model`` is its element model; ``UpdateParameters()`` hands the model the
    parameters at the present ``lxglobals.CurrentTime``.
    """

    # One per element of a circuit: slots keep a large circuit small.
    __slots__ = (
        "decl",
        "name",
        "index",
        "orientation",
        "model",
        "_q",
        "_v",
        "_letters",
        "_table",
        "_at",
    )

    def __init__(self, decl, index, orientation, q=0, v=0, letters=None):
        self.decl = decl
        self.name = decl.name
        self.index = index
        self.orientation = orientation
        self._q = q  # branch unknown, 0 if none
        self._v = v  # the second inductor's branch unknown of a mutual inductance
        self._letters = letters  # the unknowns of a multi-port element, by letter
        self.model = None
        self._table = None  # the system's positions, this element's from _at on
        self._at = 0

    @property
    def positions(self):
        """Matrix positions of the model's entries, in InitModel order."""
        if self._table is None:
            return ()
        return tuple(self._table[self._at : self._at + len(self.decl.positions)])

    @property
    def letters(self):
        """Unknown number of every position letter ("i", "j", "q", "v"; those of
        a multi-port element)."""
        if self._letters is not None:
            return self._letters
        if self._v:
            return {"q": self._q, "v": self._v}
        letters = {"i": self.orientation.i, "j": self.orientation.j}
        if self._q:
            letters["q"] = self._q
        return letters

    def UpdateParameters(self):
        sign = self.orientation.value_sign
        self.model.SetParameters(self.decl.parameters(lxglobals.CurrentTime, sign))

    def __repr__(self):
        return f"<NetlistElement {self.index}: {self.decl!r}>"


class _Numbers:
    """A circuit's node numbers by name, ground 0, read in place."""

    __slots__ = ("numbers",)

    def __init__(self, numbers):
        self.numbers = numbers

    def __getitem__(self, name):
        return 0 if name == GROUND else self.numbers[name]


def _block_stamps(block):
    """(rows, cols) of a block's four positions per element (ii, ij, ji, jj),
    0 where a terminal is ground."""
    a = block.a.astype(np.int64)
    b = block.b.astype(np.int64)
    rows = np.stack([a, a, b, b], axis=1)
    cols = np.stack([a, b, a, b], axis=1)
    grounded = (rows == 0) | (cols == 0)
    rows[grounded] = 0
    cols[grounded] = 0
    return rows.ravel(), cols.ravel()


def _int_array(data):
    """An ``array.array("i")`` holding the int32 values of the bytes ``data``."""
    values = array.array("i")
    values.frombytes(data)
    return values


class BlockEntry:
    """A block's place in ``lxglobals.ElementList``: its values are set once, at
    installation, so there is nothing to update."""

    __slots__ = ("block", "first", "model", "name", "positions", "kept", "singles")

    def __init__(self, block, first):
        self.block = block
        self.first = first  # the element index of its first element
        self.model = self.positions = None
        self.kept = np.arange(len(block))  # the elements the block model holds
        self.singles = []  # the others, as single elements
        self.name = f"<{len(block)} {block.adder}s from {block.names[0]}>"

    def UpdateParameters(self):
        pass


def _block_model(kernel, entry):
    """The native block of ``entry``, its values set and positions bound."""
    block, kept = entry.block, entry.kept
    whole = len(kept) == len(block)
    eindex = (entry.first + kept).astype(np.int32)
    a, b = (block.a, block.b) if whole else (block.a[kept], block.b[kept])
    model = getattr(kernel, block.model_name)(a, b, eindex)
    model.SetParameters(block.values if whole else block.values[kept])
    positions = entry.positions if whole else entry.positions.reshape(-1, 4)[kept].ravel()
    model.InitModel(np.ascontiguousarray(positions))
    return model


class System:
    """Numbering, sparsity pattern and element models of one circuit.

    ``blocks``: run the circuit's blocks of plain elements as native blocks
    (the native engine without thermal noise); otherwise, or when the circuit
    is noisy, the circuit unpacks them into single declarations first.
    """

    def __init__(self, circuit, blocks=True):
        noisy = getattr(circuit, "temperature", 0.0) != 0.0
        held = getattr(circuit, "blocks", [])
        if held and (noisy or not blocks):
            circuit.unpack()
            held = []
        decls = circuit.declarations if held else circuit.elements
        if not decls and not held:
            raise CircuitError("the circuit has no elements")
        self.circuit = circuit
        self.node_names = circuit.nodes
        self.n_nodes = len(self.node_names)
        if held:
            #: node name -> its unknown (ground 0)
            self.node_numbers = circuit.node_numbers()
            number = _Numbers(self.node_numbers)
        else:
            number = {name: k + 1 for k, name in enumerate(self.node_names)}
            number[GROUND] = 0
            self.node_numbers = number

        branch = {}
        next_unknown = self.n_nodes + 1
        for decl in decls:
            if decl.has_branch:
                branch[decl.name] = next_unknown
                next_unknown += 1
        #: number of unknowns, the order of the system
        self.size = next_unknown - 1
        #: element name -> its branch unknown
        self.branch_unknowns = branch

        self.elements = []
        for index, decl in enumerate(decls):
            stamps = kind_of(decl).stamps
            if stamps == "coupling":
                first, second = decl.inductors
                element = NetlistElement(
                    decl, index, decl.orientation(0, 0), branch[first.name], branch[second.name]
                )
            elif stamps == "ports":
                orientation = decl.orientation(number[decl.nodes[0]], number[decl.nodes[1]])
                letters = decl.letters(number, branch)
                element = NetlistElement(decl, index, orientation, letters=letters)
            else:
                a, b = decl.nodes
                orientation = decl.orientation(number[a], number[b])
                element = NetlistElement(decl, index, orientation, branch.get(decl.name, 0))
            self.elements.append(element)
        self._add_noise(circuit, number)
        #: the blocks' entries, their elements numbered after all the others
        self.block_entries = []
        first = len(self.elements)
        for block in held:
            self.block_entries.append(BlockEntry(block, first))
            first += len(block)
        #: number of elements, those of blocks included
        self.element_count = first
        self.sources = [e for e in self.elements if e.decl.is_source]
        self.nonlinear = any(e.decl.nonlinear for e in self.elements)
        self.steps_history = any(e.decl.steps_history for e in self.elements)
        self.values_keep_state = any(e.decl.values_keep_state for e in self.elements)

        self._check_grounded()
        self._build_pattern()

    # -- structure ---------------------------------------------------------

    def voltage_free_unknowns(self):
        """The unknowns (0-based) whose voltage no element reads: the nodes
        that only plain inductors and current sources touch.  Branch unknowns
        and every node of another element, blocks of resistors and capacitors
        included, are read."""
        read = np.zeros(self.size + 1, dtype=bool)
        read[self.n_nodes + 1 :] = True
        numbers = self.node_numbers
        for element in self.elements:
            decl = element.decl
            if isinstance(decl, _PHASE_ONLY) and not decl.has_branch:
                continue
            # a coupling has no nodes; ground is not in the node table of a
            # circuit with blocks
            for node in getattr(decl, "nodes", ()):
                if node not in (None, GROUND):
                    read[numbers[node]] = True
        for entry in self.block_entries:
            if entry.block.adder != "inductor":
                read[entry.block.a] = True
                read[entry.block.b] = True
        return np.flatnonzero(~read[1:]).astype(np.int32)

    def _add_noise(self, circuit, unknown):
        """One noise current beside every resistive element at a temperature above
        0, named ``<element>.noise``, after the declared elements."""
        default = number(
            getattr(circuit, "temperature", 0.0), "circuit temperature", nonnegative=True
        )
        bandwidth = number(
            getattr(circuit, "noise_bandwidth", 0.0), "noise bandwidth", nonnegative=True
        )
        names = {e.name for e in self.elements}
        for element in list(self.elements):
            decl = element.decl
            resistance = decl.noise_resistance
            temp = default if decl.temp is None else decl.temp
            if resistance is None or not temp > 0:
                continue
            name = f"{decl.name}.noise"
            if name in names:
                raise CircuitError(
                    f"{name!r} names an element: no room for the noise of {decl.name}"
                )
            a, b = decl.nodes
            noise = NoiseCurrent(name, a, b, 2.0 * temp / resistance, bandwidth=bandwidth)
            orientation = Orientation(unknown[a], unknown[b])
            self.elements.append(NetlistElement(noise, len(self.elements), orientation))
        #: the noise currents, in element order
        self.noise = [e for e in self.elements if type(e.decl) is NoiseCurrent]

    def _stamp_positions(self):
        """(rows, cols): the unknowns of every position of every element's model, in
        element order, as two int64 arrays; 0 where the position has no entry."""
        rows, cols = array.array("q"), array.array("q")
        for element in self.elements:
            decl = element.decl
            if kind_of(decl).stamps == "rhs":
                none = [0] * len(decl.positions)
                rows.extend(none)
                cols.extend(none)
                continue
            letters = element.letters
            for r, c in decl.positions:
                row, col = letters[r], letters[c]
                if row and col:
                    rows.append(row)
                    cols.append(col)
                else:
                    rows.append(0)
                    cols.append(0)
        rows, cols = np.frombuffer(rows, dtype=np.int64), np.frombuffer(cols, dtype=np.int64)
        if not self.block_entries:
            return rows, cols
        stamps = [_block_stamps(entry.block) for entry in self.block_entries]
        return (
            np.concatenate([rows, *(r for r, _ in stamps)]),
            np.concatenate([cols, *(c for _, c in stamps)]),
        )

    def _check_grounded(self):
        """No loop of voltage and phase sources, and every node reaches ground
        through elements that enter the matrix: the phase of a floating
        sub-circuit is undefined."""
        fail = lambda _where, message: CircuitError(message)  # noqa: E731
        loose = [
            (e.name, kind_of(e.decl), getattr(e.decl, "nodes", ()), None) for e in self.elements
        ]
        if not self.block_entries:
            check_topology(loose, fail)
            return
        blocks = [entry.block for entry in self.block_entries]
        numbers = self.circuit.node_numbers()
        if not all_grounded(loose, [(b.a, b.b) for b in blocks], numbers, self.n_nodes):
            # the slow check finds the same fault and names it
            names = self.node_names
            singles = (block.declaration(k, names) for block in blocks for k in range(len(block)))
            every = loose + [(d.name, kind_of(d), d.nodes, None) for d in singles]
            check_topology(every, fail)
        check_source_loops(loose, fail)

    def _build_pattern(self):
        n = self.size
        rows, cols = self._stamp_positions()
        ap, ai, where = _sparsity_pattern(n, rows, cols)
        #: compressed-column pattern: column pointers and row indices, 0-based
        self.Ap = _int_array(ap)
        self.Ai = _int_array(ai)
        self.nnz = len(self.Ai)
        # one flat table rather than a tuple of int objects per element
        table = _int_array(where)
        at = 0
        for element in self.elements:
            element._table, element._at = table, at
            at += len(element.decl.positions)
        positions = np.frombuffer(where, dtype=np.int32)
        for entry in self.block_entries:
            entry.positions = positions[at : at + 4 * len(entry.block)]
            at += 4 * len(entry.block)
        counts = np.diff(np.frombuffer(ap, dtype=np.int32))
        empty = np.flatnonzero(counts == 0).tolist()
        if empty:
            raise CircuitError(
                f"unknown(s) {', '.join(self.unknown_name(k + 1) for k in empty)} enter no equation"
            )

    def unknown_name(self, k):
        """Readable name of unknown ``k`` (1-based)."""
        if k <= self.n_nodes:
            return f"node {self.node_names[k - 1]!r}"
        for name, q in self.branch_unknowns.items():
            if q == k:
                return f"current of {name!r}"
        raise IndexError(k)

    def dense(self, values):
        """The matrix with the pattern's entries set from ``values``, as a dense array."""
        matrix = np.zeros((self.size, self.size))
        ap, ai = self.Ap, self.Ai
        for col in range(self.size):
            for p in range(ap[col], ap[col + 1]):
                matrix[ai[p], col] += values[p]
        return matrix

    # -- installation --------------------------------------------------------

    def install(
        self,
        kernel,
        *,
        recorded=(),
        initial_ramp=0.0,
        phase_hysteresis=0.0,
        time_step=None,
        seed=None,
    ):
        """Fill the shared state, create the element models and register them.

        ``kernel`` is the module ``loxant.CircuitKernel``.  ``time_step``, the
        largest step the driver will take, sizes the history of transmission
        lines.  ``recorded``: the element indices the run records, which leave
        their blocks as single models (a block reports all its elements or
        none, every step).  ``seed`` (an int >= 0) seeds the noise currents, each its own
        stream drawn from it; None: fresh entropy.  Replaces the state of any
        system installed before.
        """
        if time_step is not None:
            for element in self.elements:
                if hasattr(element.decl, "use_time_step"):
                    element.decl.use_time_step(time_step)
        self._seed_noise(seed)
        missing = sorted(
            {e.decl.model_name for e in self.elements if not hasattr(kernel, e.decl.model_name)}
            | {
                e.block.model_name
                for e in self.block_entries
                if not hasattr(kernel, e.block.model_name)
            }
        )
        if missing:
            users = [e.name for e in self.elements if e.decl.model_name in missing]
            users += [e.name for e in self.block_entries if e.block.model_name in missing]
            raise NotImplementedError(
                f"this build of loxant.CircuitKernel lacks {', '.join(missing)}, "
                f"needed by {', '.join(users)}"
            )
        self._split_recorded(set(recorded))
        lent = self._lend_tjm_kernels()
        try:
            self._install(kernel, initial_ramp, phase_hysteresis)
        finally:
            # A kernel given with one circuit is not left for later circuits.
            _return_tjm_kernels(lent)

    def _install(self, kernel, initial_ramp, phase_hysteresis):
        n, m = self.size, self.element_count
        lxglobals.TotalNodes = n
        singles = [single for entry in self.block_entries for single in entry.singles]
        held = [entry for entry in self.block_entries if len(entry.kept)]
        lxglobals.ElementList = [*self.elements, *singles, *held]
        lxglobals.TotalElements = len(lxglobals.ElementList)
        lxglobals.TotalSourceElements = len(self.sources)
        lxglobals.SourceElementList = list(self.sources)
        lxglobals.OptimizeSimulation = 0
        lxglobals.CurrentTime = 0.0
        lxglobals.NodePhase = np.zeros(n)
        lxglobals.NodeVoltage = np.zeros(n)
        lxglobals.NodeDVoltage = np.zeros(n)
        lxglobals.ElementPhase = np.zeros(m)
        lxglobals.ElementVoltage = np.zeros(m)
        lxglobals.ElementCurrent = np.zeros(m)
        lxglobals.ElementN = np.zeros(m, dtype=np.int32)
        lxglobals.ElementInc = np.zeros(m, dtype=np.uint8)
        lxglobals.ElementDec = np.zeros(m, dtype=np.uint8)

        SP.X = [np.zeros(n) for _ in range(3)]
        SP.Xind = 0
        SP.DX = np.zeros(n)
        SP.DDX = np.zeros(n)
        SP.DXprev = np.zeros(n)
        SP.InterpCoeffDt = [0.0, 0.0, 0.0]
        SP.InterpCoeffDDt = [0.0, 0.0, 0.0]
        SP.TimeSteps = [0.0, 0.0]
        SP.InitialSmoothFactor = 0.0 if initial_ramp > 0 else 1.0
        SP.INITIAL_RAMP = initial_ramp
        SP.PHASE_HISTERESIS = phase_hysteresis

        models = {}  # model name -> its class in the kernel, looked up once
        for element in [*self.elements, *singles]:
            decl = element.decl
            stamps = kind_of(decl).stamps
            if stamps == "coupling":
                letters = element.letters
                args = (letters["q"], letters["v"])
            elif stamps == "ports":
                letters = element.letters
                args = tuple(letters[x] for x in decl.model_letters)
            elif decl.has_branch:
                orientation = element.orientation
                args = (orientation.i, orientation.j, element.letters["q"])
            else:
                orientation = element.orientation
                args = (orientation.i, orientation.j)
            model_class = models.get(decl.model_name)
            if model_class is None:
                model_class = models[decl.model_name] = getattr(kernel, decl.model_name)
            model = model_class(*args, element.index)
            decl.prepare(model, element.orientation.value_sign)
            model.InitModel(*element.positions)
            element.model = model
        for entry in held:
            entry.model = _block_model(kernel, entry)
        kernel.InitElementModels()

    def _split_recorded(self, recorded):
        """Each block's recorded elements as single elements, the rest kept."""
        names = self.node_names
        for entry in self.block_entries:
            block, first = entry.block, entry.first
            mine = sorted(k - first for k in recorded if first <= k < first + len(block))
            kept = np.ones(len(block), bool)
            kept[mine] = False
            entry.kept = np.flatnonzero(kept)
            entry.singles = []
            for k in mine:
                decl = block.declaration(k, names)
                orientation = decl.orientation(int(block.a[k]), int(block.b[k]))
                single = NetlistElement(decl, first + k, orientation)
                single._table, single._at = entry.positions[4 * k : 4 * k + 4].tolist(), 0
                entry.singles.append(single)

    @property
    def models(self):
        """The installed models, in ``lxglobals.ElementList`` order."""
        return [e.model for e in lxglobals.ElementList]

    def model_names(self):
        """The name of each installed model (a block's says what it holds), in
        ``lxglobals.ElementList`` order: the engine names a failing model by its
        position there."""
        return [e.name for e in lxglobals.ElementList]

    def element_names(self):
        """Every element's name, in element index order."""
        names = [e.name for e in self.elements]
        for entry in self.block_entries:
            names += entry.block.names
        return names

    def _lend_tjm_kernels(self):
        """Puts the kernels the junctions bring into ``lxconfig.tjm_models`` for
        the models to load, and checks that every other named kernel is there.
        Returns name -> the entry it replaced (None if none), to put back."""
        lent = {}
        try:
            for element in self.elements:
                decl = element.decl
                if not isinstance(decl, JunctionTJM):
                    continue
                if decl.kernel is not None:
                    if decl.model not in lent:
                        lent[decl.model] = lxconfig.tjm_models.get(decl.model)
                    lxconfig.tjm_models[decl.model] = decl.kernel
                elif decl.model not in lxconfig.tjm_models:
                    known = ", ".join(sorted(lxconfig.tjm_models)) or "none"
                    raise CircuitError(
                        f"{decl.name}: no TJM kernel named {decl.model!r} (known: {known})"
                    )
                else:
                    check_kernel_finite(decl.name, lxconfig.tjm_models[decl.model])
        except BaseException:
            _return_tjm_kernels(lent)
            raise
        return lent

    def _seed_noise(self, seed):
        if not self.noise:
            return
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
            raise CircuitError(f"seed must be an integer >= 0, got {seed!r}")
        words = np.random.SeedSequence(seed).generate_state(len(self.noise), dtype=np.uint64)
        for element, word in zip(self.noise, words):
            element.decl.seed = int(word) >> 11  # below 2**53: exact as a float
