"""Small circuits and criteria shared by the analysis tests.

They live in a module of their own so that Dask workers can import them: a
waveform or criterion defined here travels to a worker by name.
"""

import math
import os
import signal

import numpy as np

from loxant import PWL, Circuit
from loxant.analysis.events import _crossings, _time_and_phase

BIAS = 0.9  # of the junction's nominal critical current


def input_phase(t):
    """2 pi step of the input phase from t = 5 to 8 (a plain function of time)."""
    if t <= 5.0:
        return 0.0
    if t >= 8.0:
        return 2 * math.pi
    return 2 * math.pi * (t - 5.0) / 3.0


def jtl(stages=4, bias=0.7):
    """A flux quantum pushed down a JTL of ``stages`` junctions (ic = r = c = 1)."""
    c = Circuit(f"JTL of {stages}", units="normalised")
    c.phase_source("P", "in", "0", input_phase)
    c.inductor("Lin", "in", 1, 2.0)
    for k in range(1, stages + 1):
        c.junction(f"J{k}", k, 0, ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", 0, k, PWL([(0, 0), (3, bias)]))
        if k < stages:
            c.inductor(f"L{k}", k, k + 1, 2.0)
    return c


JTL_RUN = {"t_stop": 30.0, "dt": 0.2, "window": 1.0}


def biased_junction(ic=1.0, bias=BIAS):
    """One overdamped junction whose bias ramps to ``bias``: it stays at rest while
    its critical current exceeds the bias and runs away below it."""
    c = Circuit("biased junction", units="normalised")
    c.junction("J1", "a", "0", ic=ic, r=1.0, c=0.1)
    c.current_source("I1", "0", "a", PWL([(0, 0), (10, bias)]))
    return c


JUNCTION_RUN = {"t_stop": 100.0, "dt": 0.5}


class FakeNetlist:
    """The interface of a netlist: ``params``, ``tran`` and ``circuit(params, rng)``;
    IC carries a gauss(IC, SIGMA) random function."""

    SIGMA = 0.1

    def __init__(self):
        self.params = {"IC": 1.0, "IB": BIAS}
        self.tran = {"tstep": JUNCTION_RUN["dt"], "tstop": JUNCTION_RUN["t_stop"]}

    def circuit(self, params=None, rng=None):
        values = dict(self.params, **(params or {}))
        ic = values["IC"]
        if rng is not None:
            ic *= 1 + self.SIGMA * rng.standard_normal()
        return biased_junction(ic=ic, bias=values["IB"])


class KillOnce:
    """Criterion that kills its worker process when it judges its ``after``-th run
    (counted over every process in the file ``counter``), once; otherwise it lets
    every run pass."""

    def __init__(self, counter, after=6):
        self.counter = str(counter)
        self.after = after

    def __call__(self, results):
        with open(self.counter, "ab") as stream:
            stream.write(b"x")
        if os.path.getsize(self.counter) < self.after:
            return True
        try:  # the first process past the count creates the marker and dies
            os.close(os.open(self.counter + ".killed", os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return True
        os.kill(os.getpid(), signal.SIGKILL)
        return False


def kill_when_switching(results):
    """Measure that kills its worker whenever junction J1 turns (runaway samples)."""
    if results.turn_count("J1")[-1] != 0:
        os.kill(os.getpid(), signal.SIGKILL)
    return 0.0


def slow_measure(results):
    import time

    time.sleep(0.5)
    return 0.0


#: A testbench as library cells come: a source cell turning each current pulse
#: into a flux quantum, the device under test (two JTL stages), a load cell; its
#: outputs are the device's last junction and the load's.
CELLS = """* source cell, device under test, load cell
.param IC=250u BIAS=0.7 LB=3p
.model jj0 jj(rtype=0, icrit=IC, rn=2.74, cap=0.175p)
.subckt stage in out
B1 in 0 jj0 area=1
IB 0 in pwl(0 0 20p {BIAS*IC})
L1 in out LB
.ends stage
.subckt source in out
X1 stage in out
.ends source
.subckt dut in out
X1 stage in a
X2 stage a out
.ends dut
.subckt load in
B2 in 0 jj0
IB2 0 in pwl(0 0 20p {BIAS*IC})
.ends load
IIN 0 in pulse(0 {1.2*IC} 40p 2p 2p 3p 40p)
XSOURCE source in 1
XDUT dut 1 2
XLOAD load 2
.tran 0.025p 120p 0 0.25p
.print p(B1.X2.XDUT) p(B2.XLOAD)
.end
"""

#: the outputs of CELLS, the junctions the default criterion watches
CELL_OUTPUTS = ["B1|X2|XDUT", "B2|XLOAD"]


class Switches:
    """Measure: the (time, direction) of every 2 pi turn of junction ``name``,
    read off its phase without the analysis' criterion."""

    def __init__(self, name):
        self.name = name

    def __call__(self, results):
        times, signs = _crossings(*_time_and_phase(results, self.name))
        return tuple(zip(times.tolist(), signs.tolist()))

    def probes(self):
        return [self.name]


def same_switching(found, nominal, window):
    """Whether ``found`` turns are ``nominal``'s: as many, the same ways, each
    within ``window`` of its nominal time."""
    if len(found) != len(nominal):
        return False
    return all(s == s0 and abs(t - t0) <= window for (t, s), (t0, s0) in zip(found, nominal))


def phase_with_turns(time, turns):
    """A phase that turns by 2 pi forward (+1) or back (-1) at each ``(t, sign)``
    of ``turns``, passing the odd multiple of pi at t (a steep ramp)."""
    phase = np.zeros_like(time)
    for t, sign in turns:
        phase += sign * 2 * math.pi * np.clip((time - t) / 0.2 + 0.5, 0.0, 1.0)
    return phase


class KillScheduler:
    """Measure that kills the scheduler process ``pid`` when the ``after``-th run
    (counted over every process in the file ``counter``) is measured; each run
    takes a tenth of a second, so that the others are still going."""

    def __init__(self, pid, counter, after):
        self.pid, self.counter, self.after = pid, str(counter), after

    def __call__(self, results):
        import time

        # The offset after an appending write is that write's own end, so one
        # process sees each count (two appends between two size checks would
        # have skipped the kill).
        with open(self.counter, "ab") as stream:
            stream.write(b"x")
            stream.flush()
            count = stream.tell()
        if count == self.after:
            os.kill(self.pid, signal.SIGKILL)
        time.sleep(0.1)
        return 1.0
