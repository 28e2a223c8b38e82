"""The loop's own solve: the factors by rows, and a chain's order by nested
dissection.

A line of thousands of stages is a chain that AMD's order leaves a chain of
rows; its matrix is then ordered afresh after the first factorisation.  The
stages near the input do not see the far end in the time watched, so a long
line must switch them at the times a short one (ordered by AMD) does.
"""

import numpy as np

from loxant import PWL, Circuit, simulate


def _line(stages):
    c = Circuit(f"JTL of {stages} stages", units="normalised")
    c.current_source("IIN", "0", "n1", PWL([(0, 0), (5, 0), (6, 3.0), (8, 3.0), (9, 0)]))
    for k in range(1, stages + 1):
        c.junction(f"J{k}", f"n{k}", "0", ic=1.0, r=1.0, c=1.0)
        c.current_source(f"IB{k}", "0", f"n{k}", PWL([(0, 0), (3, 0.7)]))
        if k < stages:
            c.inductor(f"L{k}", f"n{k}", f"n{k + 1}", 1.0)
    return c


def _switch_times(stages, watched):
    result = simulate(_line(stages), t_stop=45.0, dt=0.05, record=[f"phase(J{k})" for k in watched])
    times = []
    for k in watched:
        phase = result.phase(f"J{k}")
        i = int(np.argmax(phase > np.pi))
        assert phase[i - 1] <= np.pi < phase[i], f"J{k} does not switch"
        f = (np.pi - phase[i - 1]) / (phase[i] - phase[i - 1])
        times.append(result.time[i - 1] + f * (result.time[i] - result.time[i - 1]))
    return np.array(times)


def test_a_long_line_switches_its_first_stages_as_a_short_one():
    watched = [4, 8, 12, 16]
    short = _switch_times(300, watched)
    long = _switch_times(2500, watched)
    assert np.all(np.diff(short) > 5.0)  # the pulse travels, stage after stage
    np.testing.assert_allclose(long, short, rtol=0, atol=1e-9)
