"""Running many simulations: in this process, or on Dask workers.

Every simulation is one call of :func:`evaluate` with a :class:`Run`; it never
raises for a failed simulation but returns an :class:`Outcome` saying why.
:class:`Runner` feeds runs from a *plan* (an object that hands out the runs it
can start now and takes their outcomes back) to ``client.map`` in batches
that keep every worker busy, collects them with ``as_completed``, shows a
progress bar, and turns a run lost with its worker into a failed outcome.

``client`` chooses where runs go:

* ``"auto"`` (the default of the analyses): in this process when a cluster
  cannot pay for itself (one core, runs shorter than :data:`MIN_PARALLEL_RUN`,
  fewer than :data:`MIN_FREE_CORES` cores left free by other work, or an
  estimate, start included, above :data:`CLUSTER_GAIN` of the serial time),
  else on a local cluster as ``"local"``.  The choice is made from the mean
  time of the first runs timed here and the number of runs to come, and is
  kept in the result's ``stats``;
* ``None``: one after another in this process;
* ``"local"``: a local Dask cluster started for the analysis, one
  single-threaded worker process per core (the simulation state is shared
  within a process, so one simulation runs per process);
* a ``distributed.Client``, or a scheduler address such as
  ``"tcp://10.0.0.1:8786"`` (for example of a cluster started by dask-jobqueue):
  always used.

On a cluster the design, the criterion and the measure go to every worker once
(``scatter``); each run then carries only its parameter values.

A run whose worker dies is rescheduled by Dask on another worker (up to the
scheduler's ``distributed.scheduler.allowed-failures`` times), and once more by
the runner (runs merely queued on a dying worker share its fate in Dask); a run
that still cannot finish is reported as failed with reason ``"worker"``.  Ctrl-C cancels
the runs not yet finished and closes a cluster started here.

A cluster that is lost (its scheduler stops answering, or it has had no
worker for :data:`NO_WORKER_GRACE` seconds) raises :class:`ClusterLost` within
seconds; the outcomes of the runs that finished stay recorded in the plan.  An
address is given :data:`SCHEDULER_TIMEOUT` seconds to answer as a Dask
scheduler, whether nothing listens there or something that is no scheduler.
"""

import time
import uuid
from dataclasses import dataclass, field

from ..errors import CircuitError, ConvergenceError, RunStopped, SingularMatrixError
from .cluster import SCHEDULER_TIMEOUT, ClusterLost, SchedulerError
from .cluster import connect as _connect
from .cluster import cores as _cores
from .cluster import free_cores as _free_cores
from .cluster import quiet_dask as _quiet_dask
from .events import events as find_events
from .run_measures import nan_measures, take_measures, why_nan
from .sampling import draw_sample

__all__ = [
    "MIN_PARALLEL_RUN",
    "REASONS",
    "Outcome",
    "Run",
    "ClusterLost",
    "Runner",
    "SCHEDULER_TIMEOUT",
    "SchedulerError",
    "evaluate",
]

#: shortest run (seconds) worth sending to a worker process: below it the
#: scheduler's round trip costs more than the run
MIN_PARALLEL_RUN = 0.02
#: seconds a local cluster takes to start and run its first task: measured at
#: 7-8 s on a loaded two-core machine (load average 9)
CLUSTER_START = 8.0
#: runs timed in this process before choosing where the others go (the first
#: pays for warming up the process and is not counted)
TIMED_RUNS = 3
#: fraction of the workers' time that goes into runs (the rest: scheduling, and
#: the scheduler and this process sharing the cores)
CLUSTER_EFFICIENCY = 0.75
#: the cluster is taken only when its estimate is at most this fraction of the
#: serial time: the estimates are rough, and a wrong choice must not cost
CLUSTER_GAIN = 0.7
#: fewest cores free of other work (after this process) for a cluster to pay
MIN_FREE_CORES = 1.5

#: seconds a cluster may have no worker while runs wait before it counts as lost
NO_WORKER_GRACE = 60.0
#: seconds the copies of the design to every worker may take (they only help)
REPLICATE_TIMEOUT = 5.0
#: seconds between checks of the cluster while no run finishes
HEALTH_POLL = 1.0

#: why a run can fail
REASONS = {
    "criterion": "the circuit did not behave as required",
    "convergence": "Newton's iteration did not converge",
    "singular": "the system matrix is singular",
    "invalid": "the changed circuit is not valid",
    "error": "the criterion, the measure or the simulation raised an exception",
    "worker": "the run was lost with its worker process",
    "measure": "a measure could not be taken (NaN)",
    "cluster": "the cluster was lost before the run finished",
}


@dataclass
class Run:
    """One simulation: what to change in the design and what to judge and measure.

    ``sample`` is ``(seed, index, spreads)`` for a Monte Carlo sample (see
    :mod:`loxant.analysis.montecarlo`), None otherwise.
    """

    multipliers: dict = field(default_factory=dict)
    values: dict = field(default_factory=dict)
    sample: tuple = None


@dataclass
class Outcome:
    """What became of one run.  ``reason`` is None for a run that passed, else a
    key of :data:`REASONS`; ``measures`` holds the measure's values (a dict),
    ``drawn`` the multipliers a Monte Carlo sample drew, ``events`` the switching
    events of the named junctions when asked for (the nominal run)."""

    passed: bool
    reason: str = None
    message: str = ""
    measures: dict = field(default_factory=dict)
    drawn: dict = field(default_factory=dict)
    events: list = None


def evaluate(design, run, criterion=None, measure=None, record_events=None):
    """Build and simulate one run of ``design`` and judge it; never raises for a
    failed run.  ``criterion(results)`` returns True/False or ``(passed, message)``;
    ``measure(results)`` a number or a dict of numbers; ``record_events`` names the
    junctions whose events to return."""
    drawn = {}
    try:
        if run.sample is not None:
            circuit, drawn = draw_sample(design, run.multipliers, run.values, *run.sample)
        else:
            circuit = design.build(run.multipliers, run.values)
        probes = _probes(criterion, measure, record_events, design)
        results = design.simulate(circuit, probes, _stop_rule(criterion, measure, design))
    except RunStopped as exc:  # failed, known before the end: no results to judge
        return Outcome(False, "criterion", criterion.explain_stop(exc.report), drawn=drawn)
    except ConvergenceError as exc:
        return Outcome(False, "convergence", str(exc), drawn=drawn)
    except SingularMatrixError as exc:
        return Outcome(False, "singular", str(exc), drawn=drawn)
    except CircuitError as exc:
        return Outcome(False, "invalid", str(exc), drawn=drawn)
    except Exception as exc:  # a run must not take the analysis down
        return Outcome(False, "error", f"{type(exc).__name__}: {exc}", drawn=drawn)
    try:
        measures = take_measures(measure, results)
        passed, message = _judge(criterion, results)
        found = find_events(results, record_events) if record_events is not None else None
    except Exception as exc:
        return Outcome(False, "error", f"{type(exc).__name__}: {exc}", drawn=drawn)
    reason = None if passed else "criterion"
    missing = nan_measures(measures)
    if passed and missing:
        passed, reason, message = False, "measure", why_nan(measure, missing, results)
    return Outcome(passed, reason, message, measures, drawn, found)


def _probes(criterion, measure, record_events, design=None):
    """What a run must record for the criterion, the measure and the events (the
    elements they name), or None (everything) when one of them is a function of
    the results that does not say what it reads (``probes()``)."""
    names = list(record_events or ())
    for part in (criterion, measure):
        if part is None:
            continue
        probes = getattr(part, "probes", None)
        listed = None if probes is None else probes()
        if listed is None:
            return None
        names += list(listed)
    if design is not None:  # names as the circuit spells them, whatever was written
        names = [design.element_name(n) or design.node_name(n) or n for n in names]
    return sorted(set(names)) or None


def _stop_rule(criterion, measure, design):
    """The criterion's rule that ends a failing run early, or None: runs that
    take a measure (whose value a failed run leaves out anyway) go to the end."""
    make = getattr(criterion, "stop_rule", None)
    if make is None or measure is not None:
        return None
    units = design.units
    return make(1.0 if units is None else units.scale["s"])


def _judge(criterion, results):
    if criterion is None:
        return True, ""
    verdict = criterion(results)
    if isinstance(verdict, tuple):
        passed, message = verdict
        return bool(passed), "" if message is None else str(message)
    return bool(verdict), ""


class ListPlan:
    """A plan of runs known in advance, keyed by their position."""

    def __init__(self, runs):
        self.runs = list(runs)
        self.outcomes = [None] * len(self.runs)
        self._next = 0
        self._recorded = 0

    def take(self, limit):
        start, self._next = self._next, min(self._next + limit, len(self.runs))
        return [(k, self.runs[k]) for k in range(start, self._next)]

    def record(self, key, outcome):
        self._recorded += self.outcomes[key] is None
        self.outcomes[key] = outcome

    def remaining(self):
        return len(self.runs) - self._recorded


class Runner:
    """Runs the plans of an analysis; use as a context manager so that a cluster
    started here is closed.

    ``client``: see the module.  ``progress`` shows a tqdm bar on standard error
    (True: when that is a terminal; False: never; any other true value: always).
    ``retries``: how many times a run lost with its worker is submitted again
    (after Dask's own rescheduling), and Dask's retries of a task that raised."""

    def __init__(self, client="auto", *, progress=True, retries=1, description="runs"):
        self._client_arg = client
        self.progress = progress
        self.retries = retries
        self.description = description
        self.client = None
        self._owned = []
        self._shipped = {}  # id(object) -> (object, its future on the cluster)
        self.done = 0
        self.failed = 0
        self._opened = None
        self._bar = None
        self._workers_at_start = None
        self._workerless_since = None
        #: where the runs go and why (see the module)
        self.choice = None
        #: seconds of the shortest run timed in this process, None before one
        self.run_seconds = None
        self._timed = 0
        self._timed_seconds = []  # the timed runs after the first
        #: seconds spent connecting (starting a local cluster included), and from
        #: the start to the first outcome and to the end
        self.connect_time = self.first_result = self.wall_time = None

    # -- connection --------------------------------------------------------

    def __enter__(self):
        self._opened = time.perf_counter()
        if self._client_arg is None:
            self.choice = "serial: client=None"
        elif self._client_arg != "auto":
            self._start(self._client_arg)
            given = self._client_arg == "local"
            self.choice = "local cluster: client='local'" if given else "the client given"
        return self

    def _start(self, client):
        started = time.perf_counter()
        try:
            self.client = _connect(client, self._owned)
        except (OSError, TimeoutError) as exc:  # an address that does not answer
            where = client if isinstance(client, str) else type(client).__name__
            raise SchedulerError(f"cannot reach the Dask scheduler {where}: {exc}") from None
        self.connect_time = time.perf_counter() - started
        self._workers_at_start = self.workers

    def __exit__(self, *exc_info):
        self.wall_time = time.perf_counter() - self._opened
        if self._bar is not None:
            self._bar.refresh()  # the last counts, whatever the refresh interval
            self._bar.close()
            self._bar = None
        self._shipped.clear()
        lost = exc_info[0] is not None and issubclass(exc_info[0], ClusterLost)
        with _quiet_dask(lost):  # a lost cluster's reconnection, cut short, logs tracebacks
            for resource in reversed(self._owned):
                try:
                    resource.close()
                except Exception:
                    if not lost:
                        raise
        self._owned.clear()
        self.client = None

    @property
    def stats(self):
        """Runs done and failed, where they ran (``runner``: "serial" or
        "cluster", ``choice``: why), workers, the time of one run in this process,
        and the times above (seconds)."""
        return {
            "runs": self.done,
            "failed": self.failed,
            "runner": "serial" if self._workers_at_start is None else "cluster",
            "choice": self.choice,
            "workers": self._workers_at_start or self.workers,
            "run_time": self.run_seconds,
            "connect_time": self.connect_time,
            "first_result": self.first_result,
            "wall_time": self.wall_time,
        }

    @property
    def workers(self):
        """Number of runs that can go on at once."""
        if self.client is None:
            return 1
        return max(sum(self.client.nthreads().values()), 1)

    def choose(self, runs, run_seconds):
        """With ``client="auto"``, decide where ``runs`` more runs of about
        ``run_seconds`` each go: a local cluster when it is expected to finish
        them well sooner, start included, on the cores other work leaves free;
        else this process (see the module)."""
        if self._client_arg != "auto" or self.choice is not None:
            return
        cores = _cores()
        free = min(float(cores), _free_cores(cores))
        work = runs * run_seconds
        on_cluster = CLUSTER_START + work / (max(free, 1.0) * CLUSTER_EFFICIENCY)
        size = f"up to {runs} more runs of {run_seconds * 1e3:.1f} ms expected"
        if cores < 2:
            self.choice = "serial: one core"
        elif run_seconds < MIN_PARALLEL_RUN:
            self.choice = f"serial: {size}, each shorter than {MIN_PARALLEL_RUN * 1e3:.0f} ms"
        elif free < MIN_FREE_CORES:
            self.choice = f"serial: {size}, but other work leaves {free:.1f} of {cores} cores free"
        elif on_cluster > CLUSTER_GAIN * work:
            self.choice = f"serial: {size} ({work:.1f} s) would not pay for starting a cluster"
        else:
            try:
                self._start("local")
            except ImportError:
                self.choice = f"serial: {size}, but dask.distributed is not installed"
            except Exception as exc:  # the runs can still go on here
                self.choice = f"serial: {size}, but a local cluster failed to start ({exc})"
            else:
                self.choice = f"local cluster: {size}, shared out over {cores} cores"

    def _mean_run_seconds(self):
        """Mean time of the runs timed here after the first (the runs of an
        analysis that stops failing runs early differ: the mean, not the
        nominal run, stands for them), else the shortest."""
        if self._timed_seconds:
            return sum(self._timed_seconds) / len(self._timed_seconds)
        return self.run_seconds

    # -- running -----------------------------------------------------------

    def run(self, plan, criterion=None, design=None, measure=None, events=None):
        """Run ``plan`` to its end: ``plan.take(limit)`` gives up to ``limit``
        ``(key, Run)`` pairs that can start now (fewer, or none, while it waits for
        outcomes), ``plan.record(key, outcome)`` takes each outcome back,
        ``plan.remaining()`` estimates the runs still to come.  With
        ``client="auto"`` the first runs are timed here before the choice."""
        bar = self._progress_bar()
        if bar is not None:
            bar.total = bar.n + plan.remaining()
            bar.refresh()
        started = self._opened if self._opened is not None else time.perf_counter()
        parts = (design, criterion, measure, events)
        if self.client is None and self._client_arg == "auto" and self.choice is None:
            # two runs timed here: the first pays for warming up the process
            self._serial(plan, bar, parts, started, limit=max(TIMED_RUNS - self._timed, 0))
            if plan.remaining() > 0:
                self.choose(plan.remaining(), self._mean_run_seconds())
        if self.client is None:
            self._serial(plan, bar, parts, started)
            return
        try:
            self._parallel(plan, bar, parts, started)
        except ClusterLost:
            raise
        except Exception as exc:
            # Dask's own error when the scheduler went away in a call to it.  A
            # connection closed under a result being fetched (an OSError) may
            # come before the client has noticed: the scheduler is asked.
            gone = self.client.status != "running" or (
                isinstance(exc, OSError) and not self._scheduler_answers()
            )
            if not gone:
                raise
            raise self._lost(plan, "its scheduler no longer answers") from None

    def _serial(self, plan, bar, parts, started, limit=None):
        design, criterion, measure, events = parts
        count = 0
        while limit is None or count < limit:
            batch = plan.take(1)
            if not batch:
                return
            for key, run in batch:
                begun = time.perf_counter()
                outcome = evaluate(design, run, criterion, measure, events)
                seconds = time.perf_counter() - begun
                self.run_seconds = min(seconds, self.run_seconds or seconds)
                if self._timed > 0:  # the first warms the process up
                    self._timed_seconds.append(seconds)
                self._timed += 1
                self._count(plan, key, outcome, bar, started)
                count += 1

    def _ship(self, value):
        """``value`` as a future held by every worker (None and small collections
        as they are), made once.  It is a task rather than scattered data so that
        the scheduler can make it again when the workers that held it die."""
        if value is None or isinstance(value, (list, tuple, dict, set)):
            return value
        held = self._shipped.get(id(value))
        if held is None or held[0] is not value:
            if self.client.status != "running":
                raise SchedulerError("the scheduler no longer answers")  # see run()
            key = f"loxant-{type(value).__name__}-{uuid.uuid4().hex}"
            future = self.client.submit(_same, value, key=key, pure=False)
            # on every worker, so that the runs do not crowd onto the one that made it;
            # only a help: it fails when a worker goes away meanwhile, and the runs
            # then fetch the value from wherever it is
            try:
                self.client.replicate([future], callback_timeout=REPLICATE_TIMEOUT)
            except Exception:
                pass
            held = (value, future)
            self._shipped[id(value)] = held
        return held[1]

    def _parallel(self, plan, bar, parts, started):
        from distributed import as_completed

        design, criterion, measure, events = (self._ship(part) for part in parts)
        # Several runs queued per worker: a short run takes less time than the
        # round trip that brings the next one.
        capacity = RUNS_IN_FLIGHT_PER_WORKER * self.workers
        pending = {}  # future -> (key, run, submissions so far)
        completed = as_completed()

        def submit(batch):
            futures = self.client.map(
                evaluate,
                [design] * len(batch),
                [run for _, run, _ in batch],
                [criterion] * len(batch),
                [measure] * len(batch),
                [events] * len(batch),
                key=[f"loxant-run-{uuid.uuid4().hex}" for _ in batch],
                pure=False,
                retries=self.retries,
            )
            for (key, run, tries), future in zip(batch, futures):
                pending[future] = (key, run, tries + 1)
                completed.add(future)

        try:
            while True:
                batch = plan.take(capacity - len(pending))
                if batch:
                    submit([(key, run, 0) for key, run in batch])
                if not pending:
                    return
                # every run finished by now, so that the next ones go in one message
                self._wait_for_one(completed, plan)
                finished = completed.next_batch(block=False)
                again = []
                for future in finished:
                    key, run, tries = pending.pop(future)
                    outcome = _collect(future)
                    # Runs queued on a worker that died are lost with it too, innocent
                    # or not: they get another chance before they count as failed.
                    if outcome.reason == "worker" and tries <= self.retries:
                        again.append((key, run, tries))
                    else:
                        self._count(plan, key, outcome, bar, started)
                del finished
                if again:
                    self._check_cluster(plan, workers_needed=False)
                    submit(again)
        except BaseException:
            # Ctrl-C or any error: nothing is left running on the cluster
            completed.clear()
            if pending:
                try:
                    self.client.cancel(list(pending))
                except Exception:  # a lost cluster has nothing left to cancel
                    pass
            pending.clear()
            raise

    def _wait_for_one(self, completed, plan):
        """Block until a run has finished, checking the cluster every
        :data:`HEALTH_POLL` seconds meanwhile (ClusterLost when it is gone)."""
        # as_completed's own wake-up (what its iterator waits on), with a deadline
        condition = getattr(completed, "thread_condition", None)
        while not completed.has_ready():
            waited = time.monotonic()
            if condition is None:
                time.sleep(0.01)
            else:
                with condition:
                    condition.wait(timeout=HEALTH_POLL)
            if not completed.has_ready() and time.monotonic() - waited >= HEALTH_POLL:
                self._check_cluster(plan)
        self._workerless_since = None

    def _check_cluster(self, plan, workers_needed=True):
        """Raise ClusterLost when the scheduler no longer answers or, with
        ``workers_needed``, when the cluster has had no worker for
        :data:`NO_WORKER_GRACE` seconds."""
        why = None
        if self.client.status != "running":
            why = "its scheduler no longer answers"
        elif workers_needed:
            try:
                workers = len(self.client.nthreads())
            except Exception as exc:
                why = f"its scheduler no longer answers ({type(exc).__name__})"
            else:
                now = time.monotonic()
                if workers:
                    self._workerless_since = None
                elif self._workerless_since is None:
                    self._workerless_since = now
                elif now - self._workerless_since > NO_WORKER_GRACE:
                    why = f"no worker for {NO_WORKER_GRACE:.0f} s"
        if why is not None:
            raise self._lost(plan, why)

    def _scheduler_answers(self):
        try:
            self.client.nthreads()
        except Exception:
            return False
        return True

    def _lost(self, plan, why):
        total = self.done + plan.remaining()
        return ClusterLost(
            f"the cluster was lost ({why}) after {self.done} of {total} runs", self.done, total
        )

    def _count(self, plan, key, outcome, bar, started):
        if self.first_result is None:
            self.first_result = time.perf_counter() - started
        plan.record(key, outcome)
        self.done += 1
        self.failed += not outcome.passed
        if bar is not None:
            remaining = plan.remaining()
            bar.total = bar.n + 1 + remaining  # bisections end when they end
            bar.set_postfix_str(
                f"done {self.done}, failed {self.failed}, remaining {remaining}", refresh=False
            )
            bar.update(1)

    def _progress_bar(self):
        if not self.progress:
            return None
        if self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(
                total=0,
                desc=self.description,
                unit="run",
                disable=None if self.progress is True else False,
                leave=False,
            )
        return self._bar


#: runs submitted and not yet finished, per worker
RUNS_IN_FLIGHT_PER_WORKER = 8


def _same(value):
    return value


def _collect(future):
    """The outcome of a finished future; a run lost with its worker, or whose task
    raised, is a failed outcome."""
    if future.status == "finished":
        return future.result()
    # no future.result(): its traceback would keep the future (and its task) alive
    exc = future.exception() if future.status == "error" else None
    detail = f"{type(exc).__name__}: {exc}" if exc is not None else f"run {future.status}"
    return Outcome(False, "worker", detail)
