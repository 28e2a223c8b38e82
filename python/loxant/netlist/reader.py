"""The netlist as read: :class:`Netlist` and :func:`read_netlist`, which run the
stages (tokens, records, expansion, checks, circuit) and keep what an analysis
needs: the ``.tran`` analysis, output requests, parameters, spreads and noise
settings.
"""

import functools
import math
import os
import re

import numpy as np

from .. import expressions as ex
from ..errors import CircuitError
from ..gcpause import collector_paused
from ..nodes import GROUND
from ..output import write_traces
from ..simulation.probes import parse_probe
from .build import build_circuit, reference_units
from .checks import check_connections, warn_of_shorts
from .errors import NetlistError, clip, warn
from .expand import Expander
from .lookup import ModelLookup
from .outputs import check_output_paths
from .records import Parser, Tran
from .tokens import keyword, read_file, read_stream, read_string

__all__ = ["Netlist", "read_netlist", "record_quantities"]

#: most time steps between printed points (the engines count steps in 32 bits)
MAX_PRINT_RATIO = 2**31 - 1


def record_quantities(probes):
    """The quantities a simulation must record to give ``probes`` (resolved
    :class:`~loxant.simulation.probes.Probe` objects): ``(quantity, name)`` pairs, quantity one
    of ``node_phase``, ``node_voltage``, ``phase``, ``voltage``, ``current``, in
    order of first need, without repeats."""
    out, seen = [], set()
    for probe in probes:
        if probe.element is not None:
            wanted = [(probe.quantity, probe.element)]
        else:
            wanted = [(f"node_{probe.quantity}", n) for n in probe.nodes if n != GROUND]
        for quantity in wanted:
            if quantity not in seen:
                seen.add(quantity)
                out.append(quantity)
    return out


def canonical(name):
    """A device or node name as the circuit spells it: upper case, ``.`` between a
    device and its instances written as ``|``."""
    return name.upper().replace(".", "|")


class Netlist(ModelLookup):
    """A netlist as read: records, analysis and output requests.

    Attributes: ``title``; ``file`` (the name in messages); ``tran`` (a
    :class:`Tran` in seconds, or None); ``requests`` (the
    :class:`OutputRequest` records, resolved, each once); ``probes`` (their labels,
    such as ``"P(B1)"``, in request order); ``files`` (``.file`` path -> the labels
    that go there); ``params`` (the top-level ``.param`` names and nominal
    values); ``units`` (the reference units of every circuit built);
    ``temperature`` (``.temp``, kelvin, 0 without), ``noise_bandwidth`` (``.neb``,
    Hz, 0 without) and ``seed`` (``.option seed=``, None without); ``spreads``
    (element name -> relative half-width of its uniform variation, for every
    element given one by ``.spread`` or ``spread=``, and ``NAME`` or ``NAME@PATH``
    for every ``.param`` given one by ``.spread NAME=s``); ``warnings`` (the texts of
    the :class:`NetlistWarning` issued while reading).
    """

    def __init__(self, parsed, title, file, base_dir="."):
        self._parsed = parsed
        self._base_dir = base_dir
        self.title = title
        self.file = file
        parsed.file = file
        self.warnings = parsed.warnings
        self._tran_line = parsed.tran_line
        self.tran = self._tran()
        #: ``.option adaptive``: the step is adaptive, .tran's tstep its largest
        self.adaptive = self._parsed.adaptive
        self.temperature, self.noise_bandwidth, self.seed = self._noise()
        nominal = Expander(parsed, base_dir=base_dir, record=True)
        self.params = dict(nominal.global_values)
        flat = nominal.build()
        #: every subcircuit instance's parameters: "NAME@PATH" -> nominal value
        self.instance_params = nominal.instance_values
        #: junction name -> the parameter of its own level its area= names ("B1@XDUT")
        self.area_params = nominal.area_params
        # a file of models only serves .iv and junction_model
        has_models = parsed.top.models or any(sub.body.models for sub in parsed.subckts.values())
        plain = nominal.plain
        if not flat and not plain and not parsed.iv_requests and not has_models:
            raise self._end_error("the netlist has no elements")
        singly = self._singly(parsed, None, None)
        check_connections(flat, self.warnings, plain, singly)
        warn_of_shorts(flat, self.warnings)
        self.spreads = {e.name: e.values["spread"] for e in flat if "spread" in e.values}
        self.spreads.update(nominal.drawn_params)
        self.units = reference_units(flat)
        self._nominal = self._with_noise(
            build_circuit(self.units, title, flat, self.tran, self.seed, plain, singly)
        )
        # what the nominal circuit was built from: a plain run may use it unless
        # that has changed or a noise source would draw fresh noise for every run
        self._nominal_from = (self.tran, title, self.seed, self.units)
        self._nominal_drawn = any(e.values.get("wave") == "noise" for e in flat)
        self._names = self._flat = None
        resolved = (self._resolve(request) for request in parsed.requests)
        self.requests = self._unique(r for r in resolved if r is not None)
        self.probes = [request.label for request in self.requests]
        self.files = {}
        for request in self.requests:
            if request.path is not None:
                self.files.setdefault(request.path, []).append(request.label)
        #: the .iv cards, IVRequest records with max_current in amperes
        self.iv_requests = [self._iv_request(request) for request in parsed.iv_requests]

    def _iv_request(self, request):
        try:
            self._find_model(request.model)
        except NetlistError as exc:
            raise request.line.error(f".iv: {exc.message}") from None
        try:
            top = self._top_scope().evaluate(request.max_current.tree)
        except ex.ExpressionError as exc:
            raise request.line.error(f".iv: {exc.message}") from None
        if not top > 0:
            raise request.line.error(f".iv: the largest current must be positive, got {top:g}")
        self.junction_model(request.model)  # a bad model is reported now
        return request._replace(max_current=top)

    def _end_error(self, message):
        """An error about the netlist as a whole, placed at its last line."""
        last = self._parsed.last_line
        if last is None:
            return NetlistError(message, self.file, 1)
        return NetlistError(message, last.file, last.number)

    @classmethod
    def from_string(cls, text, name="<string>", base_dir=None, allow_outside=False):
        """Read a netlist from ``text``; ``name`` stands for the file in messages,
        ``.include`` files are looked up relative to ``base_dir`` (default: the
        current directory).  ``allow_outside``: let ``.file`` and ``.iv`` cards
        write outside the folder of the file that holds them (refused otherwise,
        see :mod:`loxant.netlist.outputs`)."""
        if not isinstance(text, str):
            raise NetlistError(f"a netlist is text, got {type(text).__name__}", name)
        base_dir = os.getcwd() if base_dir is None else base_dir
        warnings = []
        lines_of = functools.partial(read_string, text, name, base_dir, warnings)
        return cls._read(lines_of, name, base_dir, warnings, allow_outside)

    @classmethod
    def from_stream(cls, stream, name="<stdin>", base_dir=None, allow_outside=False):
        """Read a netlist from a binary stream (``sys.stdin.buffer``), bounded and
        decoded as files are; the rest as for :meth:`from_string`."""
        base_dir = os.getcwd() if base_dir is None else base_dir
        warnings = []
        lines_of = functools.partial(read_stream, stream, name, base_dir, warnings)
        return cls._read(lines_of, name, base_dir, warnings, allow_outside)

    @classmethod
    def from_file(cls, path, allow_outside=False):
        """Read the netlist file ``path`` (a regular file, of bounded size);
        ``allow_outside`` as for :meth:`from_string`."""
        path = os.fspath(path)
        warnings = []
        base_dir = os.path.dirname(os.path.abspath(path))
        lines_of = functools.partial(read_file, path, warnings)
        return cls._read(lines_of, path, base_dir, warnings, allow_outside)

    @classmethod
    def _read(cls, lines_of, file, base_dir, warnings, allow_outside=False):
        parser = Parser(file, warnings)
        try:
            with collector_paused():
                return cls._parse(parser, lines_of, file, base_dir, allow_outside)
        except RecursionError:
            last = parser.last_line
            number = last.number if last is not None else 1
            where = last.file if last is not None else file
            raise NetlistError("the netlist nests too deeply", where, number) from None

    @classmethod
    def _parse(cls, parser, lines_of, file, base_dir, allow_outside):
        lines, first = lines_of()
        title = ""
        sources = dict.fromkeys([file])  # the files read, its own first
        for k, line in enumerate(lines):
            sources[line.file] = None
            is_first = line.number == 1 and first is not None and line.file == file
            if is_first and keyword(line)[:1] != "." and _is_title(parser, line, lines):
                title = line.text
            else:
                parser.feed(line)
            # the records keep what they need of a line: its tokens go now, not
            # once the circuit is built beside them
            lines[k] = None
        parser.finish()
        if not allow_outside:
            check_output_paths(parser.output_cards, file, base_dir)
        netlist = cls(parser, title, file, base_dir)
        netlist.sources = tuple(sources)
        return netlist

    # -- analysis and outputs --

    def _top_scope(self):
        scope = ex.Scope()
        for name, value, where in self._parsed.top.params:
            scope.define(name, value.tree, where)
        return scope

    def _tran(self):
        values, line = self._parsed.tran, self._parsed.tran_line
        if values is None:
            return None
        scope = self._top_scope()
        try:
            numbers = [float(scope.evaluate(v.tree)) for v in values]
        except ex.ExpressionError as exc:
            raise (exc.where or line).error(f".tran: {exc.message}") from None
        tstep, tstop = numbers[0], numbers[1]
        prstart = numbers[2] if len(numbers) > 2 else 0.0
        prstep = numbers[3] if len(numbers) > 3 else tstep
        pwindow = numbers[4] if len(numbers) > 4 else 0.0
        if not 0 < tstep <= tstop:
            raise line.error(".tran needs 0 < tstep <= tstop")
        if not 0 <= prstart < tstop or prstep <= 0:
            raise line.error(".tran needs 0 <= prstart < tstop and prstep > 0")
        if not math.isfinite(pwindow):
            raise line.error(f".tran: pwindow must be finite, got {pwindow:g}")
        if prstep < tstep:
            # as the peer does: the run steps at the print step
            warn(
                f".tran: the print step {prstep:g} s is below the time step {tstep:g} s; "
                "the run steps at the print step",
                line.file,
                line.number,
                self.warnings,
            )
            tstep = prstep
        # a window is centred on each printed sample; one wider than the run is the run
        pwindow = min(max(pwindow, 0.0), tstop)
        ratio = prstep / tstep
        if not ratio < MAX_PRINT_RATIO:
            raise line.error(
                f".tran: prstep {prstep:g} s is more than {MAX_PRINT_RATIO:g} time steps "
                f"of {tstep:g} s"
            )
        if ratio < 1 - 1e-9 or abs(ratio - round(ratio)) > 1e-6 * ratio:
            raise line.error(
                f".tran: prstep {prstep:g} s is not a whole multiple of the time step {tstep:g} s"
            )
        return Tran(tstep, tstop, prstart, prstep, pwindow, self._parsed.settle)

    def _noise(self):
        """(.temp in kelvin, .neb in hertz, .option seed) with 0, 0, None when absent."""
        scope = self._top_scope()
        out = []
        for key, default in (("temp", 0.0), ("neb", 0.0), ("seed", None)):
            given = self._parsed.noise[key]
            if given is None:
                out.append(default)
                continue
            value, line = given
            try:
                number = scope.evaluate(value.tree)
            except ex.ExpressionError as exc:
                raise (exc.where or line).error(f"{key}: {exc.message}") from None
            if key == "seed":
                if not (0 <= number < 2**63 and number == int(number)):
                    raise line.error(f"seed must be a whole number >= 0, got {number:g}")
                number = int(number)
            elif not (math.isfinite(number) and number >= 0):
                raise line.error(f".{key} must not be negative, got {number:g}")
            out.append(number)
        return tuple(out)

    def _known_names(self):
        if self._names is None:
            circuit = self._nominal.circuit
            self._names = (_ElementNames(circuit), circuit.node_numbers())
        return self._names

    def _flat_names(self):
        """Device names as older flows spell them, instance names first and joined
        by ``_`` (``XI6_B2`` for ``B2|XI6``) -> the devices so spelt."""
        if self._flat is None:
            self._flat = {}
            for name in self._known_names()[0]:
                if "|" in name:
                    device, *instances = name.split("|")
                    flat = "_".join([*reversed(instances), device])
                    self._flat.setdefault(flat, []).append(name)
        return self._flat

    def _device(self, request, name, quiet=False):
        """The circuit's device written ``name``, directly or in the flat spelling;
        None, with a warning unless ``quiet``, for a name of no device or of several."""
        elements = self._known_names()[0]
        candidate = canonical(name)
        if candidate in elements:
            return candidate
        found = self._flat_names().get(candidate, ())
        if len(found) == 1:
            return found[0]
        what = (
            f"names several devices ({clip(', '.join(sorted(found)))})"
            if found
            else "names no device"
        )
        if not quiet:
            self._skip(request, f"{clip(name)} {what}")
        return None

    def _skip(self, request, why):
        line = request.line
        warn(
            f"output request skipped: {why}",
            line.file,
            line.number_of(request.token),
            self.warnings,
        )

    def _resolve(self, request):
        """The request with its label, or None (with a warning) when it names no
        device or node of the circuit: the peer skips those too."""
        elements, nodes = self._known_names()

        def known(name, pool):
            candidate = canonical(name)
            if pool is nodes and candidate in (GROUND, "GND"):
                return GROUND
            return candidate if candidate in pool else None

        names = request.names
        if request.target in ("device", "either") and known(names[0], elements):
            label = f"{request.kind}({known(names[0], elements)})"
        elif request.target == "device":
            # PHASE or DEVV of a node gives the node's, as the peer reads it
            node = known(names[0], nodes) if request.kind in ("P", "V") else None
            device = self._device(request, names[0], quiet=node is not None)
            if device is None and node is None:
                return None
            label = f"{request.kind}({device or node})"
        else:
            resolved = [known(n, nodes) for n in names]
            for name, found in zip(names, resolved):
                if found is None:
                    self._skip(request, f"{clip(name)} names no node or device")
                    return None
            if len(resolved) == 2 and resolved[1] == GROUND:
                resolved.pop()
            label = f"{request.kind}({','.join(resolved)})"
        return request._replace(label=label)

    @staticmethod
    def _unique(requests):
        """Requests that give the same trace into the same file, kept once."""
        out, seen = [], set()
        for request in requests:
            key = (request.label, request.path)
            if key not in seen:
                seen.add(key)
                out.append(request)
        return out

    def name_of(self, name):
        """The circuit's name for the device or node ``name`` as written in any case,
        with ``.`` or ``|`` before instance names (``b1.xdut`` -> ``B1|XDUT``);
        raises :class:`NetlistError` for a name the circuit does not have."""
        elements, nodes = self._known_names()
        candidate = canonical(str(name))
        if candidate in elements or candidate in nodes:
            return candidate
        raise NetlistError(f"no device or node named {clip(name)!r}", self.file)

    def resolved_probes(self):
        """The :class:`~loxant.simulation.probes.Probe` of every request."""
        circuit = self._nominal.circuit
        names = _ElementNames(circuit)
        return [parse_probe(label, circuit.node_numbers(), names) for label in self.probes]

    def quantities(self):
        """What a simulation must record for the output requests (see
        :func:`record_quantities`)."""
        return record_quantities(self.resolved_probes())

    def record(self, junctions=False):
        """The ``record=`` probes of :func:`~loxant.simulation.simulate` that give
        the output requests (and, with ``junctions``, every junction's phase and
        turn count, which :func:`~loxant.analysis.switching_times` and the
        summary of ``loxant run`` read): strings such as ``"phase(B1|X1)"``,
        ``"voltage(2)"``.  None, recording everything, when nothing is requested.
        :meth:`simulate` records ``record(junctions=True)`` unless told otherwise::

            res = net.simulate(record=net.record() + ["voltage(5)"])"""
        if not self.probes:
            return None
        names = {"node_phase": "phase", "node_voltage": "voltage"}
        wanted = [f"{names.get(q, q)}({name})" for q, name in self.quantities()]
        for name in self.junctions() if junctions else ():
            wanted += [f"phase({name})", f"turns({name})"]
        return wanted

    def nodes(self):
        """Names of the nodes other than ground, in order of first use."""
        return self._nominal.circuit.nodes

    def junctions(self):
        """Names of the junctions, in netlist order."""
        declared = self._nominal.circuit.declarations  # a block holds no junction
        return [e.name for e in declared if e.kind.endswith("junction")]

    # -- circuits and runs --

    def spread_generator(self):
        """The random generator of a plain run's spreads: seeded by ``.option
        seed=`` (so a run is reproducible), fresh without."""
        return np.random.default_rng(self.seed)

    def circuit(self, params=None, rng=None):
        """A fresh SI :class:`~loxant.circuit.Circuit` of the netlist.

        ``params`` overrides ``.param`` values (name -> number, any case): a
        top-level name, or ``NAME@PATH`` (see :attr:`instance_params`) for one
        subcircuit instance's parameter;
        ``rng`` (a NumPy Generator) draws the random functions ``gauss``,
        ``agauss``... and the spreads (:attr:`spreads`), which give their nominal
        value without it.  The reference units are those of the nominal circuit,
        so every draw is normalised alike.
        """
        return self._circuit(params, rng, rng)

    def _circuit(self, params, rng, spread_rng):
        with collector_paused():
            expander = Expander(self._parsed, params, rng, spread_rng, self._base_dir)
            flat = expander.build()
            plain = expander.plain
            singly = self._singly(self._parsed, params, rng, spread_rng)
            if params is not None or rng is not None or spread_rng is not None:
                check_connections(flat, self.warnings, plain, singly)
            pc = build_circuit(self.units, self.title, flat, self.tran, self.seed, plain, singly)
        return self._with_noise(pc)

    def _singly(self, parsed, params, rng, spread_rng=None):
        """A function expanding the netlist again with every element a Flat,
        for naming a connection fault as a netlist of any size names it."""

        def expanded():
            again = Expander(parsed, params, rng, spread_rng, self._base_dir, columns=False)
            again.warnings = []  # said once, by the first expansion
            return again.build()

        return expanded

    def _nominal_reusable(self):
        """Whether a run without parameters or draws may use the nominal circuit:
        a fresh one would be the same (a run changes no element of it)."""
        return not self._nominal_drawn and self._nominal_from == (
            self.tran,
            self.title,
            self.seed,
            self.units,
        )

    def _with_noise(self, pc):
        pc.temperature = self.temperature
        pc.noise_bandwidth = self.noise_bandwidth
        return pc

    def simulate(self, params=None, rng=None, settle=None, **options):
        """Run the ``.tran`` analysis of a fresh circuit (see :meth:`circuit`);
        ``options`` go to :meth:`~loxant.circuit.Circuit.simulate` (``t_stop``
        and ``dt`` replace the ``.tran`` values; an error in an option given here
        names the option, not the ``.tran`` line).  Without
        ``rng``, the spreads are drawn once from :meth:`spread_generator`.
        ``settle``: run the start-up period before t = 0 (default: unless
        ``.tran`` says ``DST``).  ``record`` defaults to :meth:`record` with every
        junction's phase: the ``.print`` requests and what the junctions'
        switching needs (everything when nothing is printed); ``record=None``
        records everything within the recording limit, ``record="all"`` beyond
        it.  Returns SI :class:`~loxant.simulation.Results`."""
        if self.tran is None:
            raise self._end_error("the netlist has no .tran analysis")
        if not len(self._nominal.circuit):
            raise self._end_error("the netlist has no elements")
        spread_rng = rng if rng is not None or not self.spreads else self.spread_generator()
        if params is None and spread_rng is None and self._nominal_reusable():
            pc = self._with_noise(self._nominal)  # built already: nothing is drawn
        else:
            pc = self._circuit(params, rng, spread_rng)
        tran = self.tran
        adaptive = self.adaptive and "dt" not in options
        windowed = tran.pwindow > 0 and not adaptive and not {"dt", "record_every"} & set(options)
        if windowed:  # every step is kept for the window, then the print steps taken
            options.update(record_every=1, record_from=0.0)
        # the netlist's times are SI floats (seconds) from the reader to the run
        options.setdefault("record_from", tran.prstart)
        options.setdefault("seed", self.seed)
        if "record" not in options:
            options["record"] = self.record(junctions=True)
        options["settle"] = tran.settle if settle is None else bool(settle)
        if adaptive and tran.record_every > 1 and not {"record_every", "print_step"} & set(options):
            # adaptive steps are not counted on a grid: resample on the print step's
            options.update(record_every=1, print_step=tran.prstep)
        options.setdefault("record_every", tran.record_every)
        given = set(options)
        t_stop = options.pop("t_stop", tran.tstop)  # the .tran's unless given
        try:
            if adaptive:
                options.setdefault("dt_max", tran.tstep)
                return pc.simulate_seconds(t_stop=t_stop, **options)
            dt = options.pop("dt", tran.tstep)
            results = pc.simulate_seconds(t_stop=t_stop, dt=dt, **options)
            return self._windowed(results) if windowed else results
        except NetlistError:
            raise
        except CircuitError as exc:
            if exc.option in given:
                raise  # the caller's own argument, not the .tran line, is at fault
            error = self._tran_line.error(str(exc))
            error.option, error.limit = exc.option, exc.limit
            error.reached = exc.reached and error.where + exc.reached
            raise error from None

    def _windowed(self, results):
        """``results`` (every step from t = 0) averaged over the ``.tran`` pwindow
        and taken at the print steps, as the peer does: a Hanning window of
        2 h + 1 taps, h = floor(pwindow / 2 tstep), weights 1 - cos(2 pi (k + 1/2)
        / taps) normalised to sum 1, centred on each printed step, the first or
        last value repeated beyond the run."""
        tran = self.tran
        taps = 2 * window_half_width(tran.pwindow, tran.tstep) + 1
        weights = 1.0 - np.cos((np.arange(taps) + 0.5) * (2.0 * np.pi / taps))
        weights /= weights.sum()
        time = results.time("s")
        first = int(np.searchsorted(time, tran.prstart * (1 - 1e-12) - 1e-9 * tran.tstep))
        rows = np.arange(first, len(time), tran.record_every)
        return results.windowed(rows, weights)

    def traces(self, results):
        """``(label, unit, values)`` of every output request, values in SI units
        (unit "rad", "V" or "A")."""
        return results.labelled(self.probes)

    def write_files(self, results):
        """Write the requests of each ``.file`` to its file (format by extension:
        .csv, .dat, else a SPICE raw file; paths relative to the current
        directory); returns the paths written."""
        time = results.time("s")
        for path, labels in self.files.items():
            write_traces(path, time, results.labelled(labels), self.title)
        return list(self.files)

    def __repr__(self):
        return (
            f"<Netlist {self.file}: {self.title!r}, {len(self._nominal.circuit)} elements, "
            f"{len(self.probes)} output requests>"
        )


class _ElementNames:
    """The names of a circuit's elements, asked without unpacking its blocks."""

    def __init__(self, circuit):
        self.circuit = circuit

    def __contains__(self, name):
        return name in self.circuit

    def __iter__(self):
        return iter(self.circuit.element_names())


def _is_title(parser, line, lines):
    """Whether the first line is a title: it does not read as an element, or it
    names a model, subcircuit or parameter that the netlist does not define."""
    try:
        record = parser.element(line)
    except NetlistError:
        return True
    return not _plausible(record, lines)


def _plausible(record, lines):
    """Whether a first line that reads as an element is one (and not a title):
    the model or subcircuit it names exists and its values use only defined names."""
    texts = " ".join(line.text.upper() for line in lines)
    if record.letter == "B":
        return re.search(r"\.MODEL\s+" + re.escape(record.model) + r"\b", texts) is not None
    if record.letter == "X":
        return any(
            re.search(r"\.SUBCKT\s+" + re.escape(word) + r"\b", texts)
            for word in (record.nodes[0], record.nodes[-1])
        )
    values = [record.value] if record.value is not None else []
    values += record.wave[1] if record.wave is not None else []
    values += [v for v in record.options.values() if hasattr(v, "tree")]
    used = set().union(*(ex.names(v.tree) for v in values)) if values else set()
    return all(n in ex.CONSTANTS or re.search(r"\b" + re.escape(n) + r"\s*=", texts) for n in used)


def window_half_width(pwindow, tstep):
    """floor(pwindow / 2 tstep), the taps on either side of a window's centre,
    robust to rounding: a ratio that is whole in decimal (0.6p over 0.1p steps)
    comes out a few ulps below it in binary."""
    ratio = 0.5 * pwindow / tstep
    return math.floor(ratio * (1 + 1e-9))


def read_netlist(path_or_text, allow_outside=False):
    """Read a netlist from a file (a path, or a string without a newline) or from
    text (a string with a newline).  Returns a :class:`Netlist`; raises
    :class:`NetlistError` for every problem.  ``allow_outside``: let the
    netlist's ``.file`` and ``.iv`` cards write outside the folder of the file
    that holds them (:meth:`Netlist.from_string`)."""
    if isinstance(path_or_text, str) and "\n" in path_or_text:
        return Netlist.from_string(path_or_text, allow_outside=allow_outside)
    if isinstance(path_or_text, (str, os.PathLike)):
        return Netlist.from_file(path_or_text, allow_outside=allow_outside)
    raise NetlistError(f"expected a path or netlist text, got {type(path_or_text).__name__}")
